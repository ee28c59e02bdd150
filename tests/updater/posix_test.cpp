// The real quillmoor-updater on POSIX: messages as a user sees them (standard error, zenity), a
// real second helper, the descriptors it passes on, and failures made to happen with strace's
// fault injection.
#include "helper_run_fixture.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <signal.h>
#include <sys/stat.h>

namespace updater::test {
namespace {

namespace stdfs = std::filesystem;

const std::string leftover_line =
    "Files from an earlier failed update are in .update-backup.tmp, the update was not installed";

class posix_helper_test : public helper_run_test {
protected:
    // A zenity on PATH that writes its arguments, one per line, to a record and ends; with
    // blocking, it first says "shown" and stays until a file "release" appears.
    stdfs::path fake_zenity(bool blocking = false)
    {
        stdfs::path dir = at("bin");
        stdfs::create_directories(dir);
        const std::string record = shell_quoted(at("zenity.record"));
        std::string script = "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> " + record +
                             "\necho --- >> " + record + "\n";
        if (blocking)
            script += "touch " + shell_quoted(at("shown")) + "\nwhile [ ! -e " + shell_quoted(at("release")) +
                      " ]; do sleep 0.01; done\n";
        write_file(dir / "zenity", script);
        stdfs::permissions(dir / "zenity", stdfs::perms(0755));
        return dir;
    }

    std::string zenity_record() { return read_file(at("zenity.record")); }

    static std::string zenity_call(const std::string& kind, const std::string& text)
    {
        return kind + "\n--title\nQuillmoor update\n--text\n" + text + "\n--no-markup\n---\n";
    }

    // The command line of strace running the helper with the given options (filters, fault
    // injection), and the environment it needs.
    std::vector<std::string> traced_arguments(const std::vector<std::string>& options, const std::string& app_pid)
    {
        std::vector<std::string> args = {"-qq", "-o", "/dev/null"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(helper().string());
        for (const auto& argument : arguments(app_pid))
            args.push_back(argument);
        return args;
    }
    static std::vector<environment_change> traced_environment()
    {
        // LeakSanitizer cannot work in a traced process.
        const char* asan = std::getenv("ASAN_OPTIONS");
        return {{"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"}};
    }

    // Runs the helper under strace with the given options.
    outcome run_traced(const std::vector<std::string>& options, const std::string& app_pid = "0")
    {
        return run_program("/usr/bin/strace", traced_arguments(options, app_pid), traced_environment());
    }

    // Runs the helper under strace with options that stop it (SIGSTOP) after a chosen call, does
    // what meddle does while it stands still, and lets it go on.
    template <typename F> outcome run_stopped_once(const std::vector<std::string>& options, F meddle)
    {
        // strace writes "--- stopped by SIGSTOP ---" once the helper has really stopped; the
        // process state alone cannot tell that from the stops of tracing itself.
        const stdfs::path trace = at("strace.txt");
        std::vector<std::string> args = traced_arguments(options, "0");
        args[2] = trace.string();
        child_process tracer("/usr/bin/strace", args, traced_environment());
        std::string helper_pid;
        if (has_stopped(trace)) {
            const std::string task = "/proc/" + std::to_string(tracer.id()) + "/task/" + std::to_string(tracer.id());
            std::ifstream(task + "/children") >> helper_pid;
        }
        if (helper_pid.empty()) {
            ADD_FAILURE() << "the helper never stopped";
        } else {
            meddle();
            ::kill(std::stoi(helper_pid), SIGCONT);
        }
        outcome result;
        result.exit_code = tracer.finish();
        result.output = tracer.output();
        stdfs::remove(trace);
        return result;
    }

    // Whether strace's trace reports the helper stopped by SIGSTOP, waiting up to a minute.
    static bool has_stopped(const stdfs::path& trace)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream lines(trace);
            for (std::string line; std::getline(lines, line);)
                if (line.find("--- stopped by SIGSTOP ---") != std::string::npos)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // The installation without what every run leaves: its log and the lock file.
    tree installation_without_log() const
    {
        tree files = installation();
        files.erase(".update-helper.log");
        files.erase(lock_file().filename().string());
        return files;
    }

    void SetUp() override
    {
        helper_run_test::SetUp();
        if (needs_strace() && !strace_can_trace())
            GTEST_SKIP() << "strace is missing or cannot trace here";
    }

    virtual bool needs_strace() const { return false; }
};

class traced_helper_test : public posix_helper_test {
protected:
    bool needs_strace() const override { return true; }
};

// ---- messages ------------------------------------------------------------------------------------

TEST_F(posix_helper_test, message_goes_to_standard_error_and_to_zenity_in_a_graphical_session)
{
    const stdfs::path bin = fake_zenity();
    const std::string path = bin.string() + ":/usr/bin:/bin";
    const struct {
        const char* name;
        std::vector<environment_change> environment;
        bool zenity;
    } cases[] = {
        {"DISPLAY set", {{"DISPLAY", ":7"}, {"WAYLAND_DISPLAY", {}}, {"PATH", path}}, true},
        {"WAYLAND_DISPLAY set", {{"DISPLAY", {}}, {"WAYLAND_DISPLAY", "wayland-0"}, {"PATH", path}}, true},
        {"no graphical session", {{"DISPLAY", {}}, {"WAYLAND_DISPLAY", {}}, {"PATH", path}}, false},
        {"DISPLAY empty", {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", {}}, {"PATH", path}}, false},
        {"zenity not on PATH", {{"DISPLAY", ":7"}, {"WAYLAND_DISPLAY", {}}, {"PATH", "/usr/bin:/bin"}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(install_);
        stdfs::remove(at("zenity.record"));
        prepare_leftover();
        const outcome result = run(arguments(), c.environment);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.output, "Quillmoor update: " + m3 + "\n");
        EXPECT_EQ(zenity_record(), c.zenity ? zenity_call("--info", m3) : "");
    }
}

TEST_F(posix_helper_test, failed_install_is_shown_with_the_error_icon)
{
    prepare_failing_update();
    const outcome result = run(arguments(), {{"DISPLAY", ":7"}, {"PATH", fake_zenity().string() + ":/usr/bin:/bin"}});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.output, "Quillmoor update: " + m5 + "\n");
    EXPECT_EQ(zenity_record(), zenity_call("--error", m5));
    EXPECT_EQ(record_of(app_), expected_record(app_, install_));
}

TEST_F(posix_helper_test, second_helper_is_refused_while_the_first_shows_its_message)
{
    // The first helper holds the lock while its message is open; a second one for the same
    // application is refused at once and leaves its staged update alone.
    prepare_leftover();
    child_process& first =
        start_in_background(helper(), arguments(),
                            {{"DISPLAY", ":7"}, {"PATH", fake_zenity(true).string() + ":/usr/bin:/bin"}});
    ASSERT_TRUE(wait_for_file(at("shown")));

    const stdfs::path second_staging = at("second/.update-staging");
    write_tree(second_staging, staged_v2);
    const tree second_staged = read_tree(second_staging);
    const outcome second = run({"0", second_staging.string(), install_.string(), app_.string()},
                               {{"DISPLAY", {}}, {"WAYLAND_DISPLAY", {}}});
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_EQ(second.output, "Quillmoor update: " + m2 + "\n");
    EXPECT_EQ(read_tree(second_staging), second_staged);

    write_file(at("release"), "");
    EXPECT_EQ(first.finish(), 1);
    EXPECT_EQ(first.output(), "Quillmoor update: " + m3 + "\n");
    EXPECT_EQ(log_lines(),
              (std::vector<std::string>{leftover_line, "Another update holds the lock, the update was not installed"}));
    EXPECT_EQ(record_of(app_), std::nullopt);
}

// ---- what the started application receives -------------------------------------------------------

TEST_F(posix_helper_test, descriptors_the_helper_inherited_are_not_passed_on)
{
    prepare_update();
    std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" 5</dev/null 9>/dev/null", helper().string()};
    for (const auto& argument : arguments())
        args.push_back(argument);
    const outcome result = run_program("/bin/sh", args);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(record_of(app_), expected_record(app_, install_)); // descriptors 0 1 2 only
}

TEST_F(posix_helper_test, application_that_is_not_executable_is_not_started)
{
    prepare_update();
    stdfs::permissions(app_, stdfs::perms(0644));
    const outcome result = run(arguments());
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{installed_line, not_started_line}));
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(record_of(app_), std::nullopt);
}

// ---- failures made with strace -------------------------------------------------------------------

TEST_F(traced_helper_test, failed_wait_is_the_time_out_refusal)
{
    prepare_update();
    child_process& application = start_in_background(tool_path("linger"), {"60000"});
    const outcome result = run_traced({"-e", "trace=poll,ppoll", "-e", "inject=poll,ppoll:error=EINVAL"},
                                      std::to_string(application.id()));
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Quillmoor did not close in time, the update was not installed"});
    EXPECT_EQ(result.output, "Quillmoor update: " + m1 + "\n");
    EXPECT_FALSE(stdfs::exists(staging_)); // named .update-staging: disposed
    EXPECT_FALSE(stdfs::exists(lock_file()));
    EXPECT_EQ(record_of(app_), std::nullopt);
    EXPECT_EQ(read_file(install_ / "readme.txt"), "version 1");
}

TEST_F(traced_helper_test, without_pidfd_open_the_process_id_is_watched_instead)
{
    // The application ends as an unreaped child of this test (a zombie), which counts as ended.
    prepare_update();
    child_process& application = start_in_background(tool_path("linger"), {"1000", (staging_ / "late.txt").string()});
    const outcome result = run_traced({"-e", "trace=pidfd_open", "-e", "inject=pidfd_open:error=ENOSYS"},
                                      std::to_string(application.id()));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>{installed_line});
    EXPECT_EQ(read_file(install_ / "late.txt"), "done");
}

TEST_F(traced_helper_test, rollback_that_cannot_restore_a_file_keeps_it_and_does_not_start_the_application)
{
    prepare_failing_update();
    // strace picks a renameat2 by either of its paths: the first is the move of "readme.txt" into
    // the backup, and every later one, the restore and its retries, fails.
    const stdfs::path backup = install_ / ".update-backup.tmp/readme.txt";
    const outcome result = run_traced({"-P", backup.string(), "-e", "trace=rename,renameat,renameat2", "-e",
                                       "inject=rename,renameat,renameat2:error=EACCES:when=2+"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(log_lines(),
              std::vector<std::string>{"Install failed, some previous files are still in .update-backup.tmp: " +
                                       already_exists_error().message()});
    EXPECT_EQ(result.output, "Quillmoor update: " + m4 + "\n");
    EXPECT_EQ(record_of(app_), std::nullopt);
    EXPECT_EQ(read_file(backup), "version 1");
    EXPECT_FALSE(stdfs::exists(install_ / "readme.txt"));
}

TEST_F(traced_helper_test, after_a_failed_install_only_a_pending_backup_not_found_counts_as_absent)
{
    // A missing staging folder makes the install fail before it creates ".update-backup.tmp". Its
    // status is taken twice before (the helper's guard, the install's guard) and once after.
    const struct {
        const char* name;
        std::vector<std::string> options;
        std::string line;
        std::string message;
        bool started;
    } cases[] = {
        {"not found", {}, "Install failed, the previous files were put back: ", m5, true},
        {"status that cannot be read",
         {"-e", "inject=%%stat:error=EACCES:when=3+"},
         "Install failed, some previous files are still in .update-backup.tmp: ",
         m4,
         false},
        // Asked again after a pause, the status answers "not found": the previous version is whole.
        {"status that cannot be read for a moment",
         {"-e", "inject=%%stat:error=EACCES:when=3..5"},
         "Install failed, the previous files were put back: ",
         m5,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(install_);
        write_tree(install_, installed_v1);
        install_app(app_);
        std::vector<std::string> options = {"-P", (install_ / ".update-backup.tmp").string(), "-e", "trace=%%stat"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        const outcome result = run_traced(options);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(log_lines(), std::vector<std::string>{c.line + not_found_error().message()});
        EXPECT_EQ(result.output, "Quillmoor update: " + c.message + "\n");
        EXPECT_EQ(record_of(app_).has_value(), c.started);
    }
}

// ---- moves that must not replace ----------------------------------------------------------------

tree with_user_folder(tree files)
{
    files["user/"] = "";
    return files;
}

// What a racing process or a stale network answer does: the query of an installed file says it is
// not there. The move-in must not replace what was never moved aside.
TEST_F(traced_helper_test, installed_file_whose_query_answers_not_found_is_not_replaced)
{
    prepare_update();
    const stdfs::path readme = install_ / "readme.txt";
    const outcome result =
        run_traced({"-P", readme.string(), "-e", "trace=%%stat", "-e", "inject=%%stat:error=ENOENT:when=1"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Install failed, the previous files were put back: " +
                                                    already_exists_error().message()});
    EXPECT_EQ(result.output, "Quillmoor update: " + m5 + "\n");
    EXPECT_EQ(installation_without_log(), with_user_folder(installed_v1));
    EXPECT_EQ(read_tree(staging_), staged_v2);
    EXPECT_EQ(record_of(app_), expected_record(app_, install_));
}

// A retired file whose query answers "not found" while it is there: the listing of its folder
// shows it, so it is retired all the same, into the backup, and not left installed and unlisted.
TEST_F(traced_helper_test, retired_file_whose_query_answers_not_found_is_retired_all_the_same)
{
    prepare_update();
    const stdfs::path retired = install_ / "old-plugin.dll";
    const outcome result =
        run_traced({"-P", retired.string(), "-e", "trace=%%stat", "-e", "inject=%%stat:error=ENOENT"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>{installed_line});
    EXPECT_EQ(installation_without_log(), installed_v2);
}

// A manifest whose open answers "not found" once while the listing shows it. Believed, the staged one
// would be replaced by one written from the scan, which retires the application that the update
// keeps without staging it; the installed one would leave old-plugin.dll installed and unlisted.
// Neither is believed: the install stops before anything moves.
TEST_F(traced_helper_test, manifest_whose_open_answers_not_found_stops_the_install)
{
    const struct {
        const char* name;
        stdfs::path (*manifest)(const stdfs::path& install, const stdfs::path& staging);
        std::string error;
    } cases[] = {
        {"staged", [](const stdfs::path&, const stdfs::path& staging) { return staging / "install-manifest.txt"; },
         generic_error(generic_io_error).message()},
        {"installed", [](const stdfs::path& install, const stdfs::path&) { return install / "install-manifest.txt"; },
         not_found_error().message()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(install_);
        stdfs::remove_all(staging_);
        prepare_update();
        const stdfs::path manifest = c.manifest(install_, staging_);
        const outcome result = run_traced(
            {"-P", manifest.string(), "-e", "trace=open,openat", "-e", "inject=open,openat:error=ENOENT:when=1"});
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(log_lines(),
                  std::vector<std::string>{"Install failed, the previous files were put back: " + c.error});
        EXPECT_EQ(installation_without_log(), with_user_folder(installed_v1));
        EXPECT_EQ(read_tree(staging_), staged_v2);
        EXPECT_EQ(record_of(app_), expected_record(app_, install_));
    }
}

// A file that appears at the place of a new file after the query found it free: the move-in fails,
// the file stays as it came, and the update is rolled back.
TEST_F(traced_helper_test, file_that_appears_between_the_query_and_the_move_is_not_replaced)
{
    prepare_update();
    const stdfs::path place = install_ / "new-plugin.dll";
    const outcome result =
        run_stopped_once({"-P", place.string(), "-e", "trace=%%stat", "-e", "inject=%%stat:signal=SIGSTOP:when=1"},
                         [&] { write_file(place, "appeared"); });
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Install failed, the previous files were put back: " +
                                                    already_exists_error().message()});
    tree expected = with_user_folder(installed_v1);
    expected["new-plugin.dll"] = "appeared";
    EXPECT_EQ(installation_without_log(), expected);
    EXPECT_EQ(read_tree(staging_), staged_v2);
}

// ---- the relaunch --------------------------------------------------------------------------------

// A start that fails for a moment: here the helper's fork answers EAGAIN three times, as at the
// process limit; on Windows a scanner that holds the new executable makes CreateProcessW answer 32
// or 5. The start is tried again, and the update ends installed and started rather than reported
// as not started.
TEST_F(traced_helper_test, start_that_fails_for_a_moment_is_tried_again)
{
    prepare_update();
    const outcome result = run_traced(
        {"-e", "trace=fork,vfork,clone,clone3", "-e", "inject=fork,vfork,clone,clone3:error=EAGAIN:when=1..3"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>{installed_line});
    EXPECT_EQ(record_of(app_), expected_record(app_, install_));
}

// ---- the commit ---------------------------------------------------------------------------------

// What a scanner holding a file of the backup for a moment does on Windows: the rename of the
// pending backup is refused a few times. The commit waits it out, so no pending backup is left to
// refuse the next update.
TEST_F(traced_helper_test, commit_waits_out_a_pending_backup_held_for_a_moment)
{
    prepare_update();
    const stdfs::path pending = install_ / ".update-backup.tmp";
    const outcome result = run_traced({"-P", pending.string(), "-e", "trace=rename,renameat,renameat2", "-e",
                                       "inject=rename,renameat,renameat2:error=EBUSY:when=1..3"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>{installed_line});
    EXPECT_EQ(installation_without_log(), installed_v2);
    EXPECT_FALSE(stdfs::exists(staging_));
}

} // namespace
} // namespace updater::test

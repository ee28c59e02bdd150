// The real quillmoor-updater, run as a process over real folders: every outcome of a run, with its
// exit code, its log lines, its messages, the lock file and the application it starts again.
#include "support/child_process.h"
#include "support/test_support.h"
#include "support/undeletable.h"

#include <cstdlib>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#endif

namespace updater::test {
namespace {

namespace stdfs = std::filesystem;

const std::string m1 = "Quillmoor did not close in time, so the update was not installed. Your installation was "
                       "not changed. Try the update again.";
const std::string m2 = "Another Quillmoor window is updating this installation, so this update was not installed. "
                       "Start Quillmoor again once it has finished.";
const std::string m3 = "An earlier update could not put back some files of your previous version. They are kept in "
                       ".update-backup.tmp in the Quillmoor folder. Copy them back from there, or delete that "
                       "folder if you no longer need them, then try the update again. Your installation was not "
                       "changed.";
const std::string m4 = "Quillmoor could not install the update, and some files of your previous version could not "
                       "be put back. They are kept in .update-backup.tmp in the Quillmoor folder. Copy them back "
                       "from there, or download Quillmoor again. Your settings and data are not affected.";
const std::string m5 = "Quillmoor could not install the update. Your previous version was put back and will start "
                       "now. See .update-helper.log in the Quillmoor folder for details.";

const std::string installed_line = "Installed the staged update";
const std::string not_started_line = "Could not start the program after the update";

const std::string app_name = windows_path_rules ? "Quillmoor.exe" : "Quillmoor";

struct outcome {
    int exit_code = -1;
    std::string output;
};

// An installation of version 1 and a staged version 2 that replaces, adds and retires files; the
// user's folder stays.
const tree installed_v1 = {
    {"install-manifest.txt", app_name + "\nreadme.txt\nold-plugin.dll\n"},
    {"readme.txt", "version 1"},
    {"old-plugin.dll", "retired by version 2"},
    {"user/settings.ini", "the user's own"},
};
const tree staged_v2 = {
    {"install-manifest.txt", app_name + "\nreadme.txt\nnew-plugin.dll\n"},
    {"readme.txt", "version 2"},
    {"new-plugin.dll", "new in version 2"},
};
const tree installed_v2 = {
    {".update-backup/", ""},
    {".update-backup/old-plugin.dll", "retired by version 2"},
    {".update-backup/readme.txt", "version 1"},
    {".update-backup/install-manifest.txt", app_name + "\nreadme.txt\nold-plugin.dll\n"},
    {"install-manifest.txt", app_name + "\nreadme.txt\nnew-plugin.dll\n"},
    {"readme.txt", "version 2"},
    {"new-plugin.dll", "new in version 2"},
    {"user/", ""},
    {"user/settings.ini", "the user's own"},
};

class helper_run_test : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        // A space in the installation folder: the relaunch must quote it.
        install_ = at("Quillmoor app");
        staging_ = at("download/.update-staging");
        app_ = install_ / app_name;
    }

    void TearDown() override
    {
        for (auto& process : background_)
            process->kill();
        temp_dir_test::TearDown();
    }

    static stdfs::path helper() { return QM_UPDATER_PATH; }

    // An installation of version 1 with the recording application, and version 2 staged.
    void prepare_update()
    {
        write_tree(install_, installed_v1);
        install_app(app_);
        write_tree(staging_, staged_v2);
    }

    static void install_app(const stdfs::path& where)
    {
        stdfs::create_directories(where.parent_path());
        stdfs::copy_file(tool_path("record_app"), where, stdfs::copy_options::overwrite_existing);
    }

    std::vector<std::string> arguments(const std::string& app_pid = "0") const
    {
        return {app_pid, U(staging_.native()), U(install_.native()), U(app_.native())};
    }

    // Runs the helper until it and everything it started have ended.
    outcome run(const std::vector<std::string>& args, const std::vector<environment_change>& environment = {})
    {
        child_process helper_process(helper(), args, with_message_trace(environment));
        outcome result;
        result.exit_code = helper_process.finish();
        result.output = helper_process.output();
        return result;
    }

    child_process& start_in_background(const stdfs::path& program, const std::vector<std::string>& args,
                                       const std::vector<environment_change>& environment = {})
    {
        background_.push_back(std::make_unique<child_process>(program, args, environment));
        return *background_.back();
    }

    // The messages shown, as "caption: text". POSIX: the lines on standard error. Windows: the
    // MessageBoxW calls in Wine's relay trace.
    static std::vector<std::string> messages(const outcome& result)
    {
        std::vector<std::string> shown;
        std::string_view output = result.output;
        while (!output.empty()) {
            std::size_t end = output.find('\n');
            std::string_view line = output.substr(0, end);
            output.remove_prefix(end == std::string_view::npos ? output.size() : end + 1);
            if (auto message = message_of(line))
                shown.push_back(*message);
        }
        return shown;
    }

    static std::vector<std::string> shown(std::initializer_list<std::string> texts)
    {
        std::vector<std::string> lines;
        for (const auto& text : texts)
            lines.push_back("Quillmoor update: " + text);
        return lines;
    }

    // The lines of the update log, each checked for the platform's line end.
    std::vector<std::string> log_lines() const
    {
        const std::string end = windows_path_rules ? "\r\n" : "\n";
        const std::string text = read_file(install_ / ".update-helper.log");
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t found = text.find(end, start);
            if (found == std::string::npos) {
                ADD_FAILURE() << "log line without its line end: " << text.substr(start);
                break;
            }
            lines.push_back(text.substr(start, found - start));
            start = found + end.size();
        }
        return lines;
    }

    // What the recording application wrote when it was started as app, if it was.
    static std::optional<std::string> record_of(const stdfs::path& app)
    {
        std::error_code ec;
        stdfs::path record = app.native() + P(".record");
        if (!stdfs::exists(record, ec))
            return std::nullopt;
        return read_file(record);
    }

    // What the recording application writes when started as app_path in install_dir.
    static std::string expected_record(const stdfs::path& app_path, const stdfs::path& install_dir)
    {
        std::string received = windows_path_rules
                                   ? "command line: \"" + U(app_path.native()) + "\"\n"
                                   : "arguments: 1\nargument: " + U(app_path.native()) + "\nopen descriptors: 0 1 2\n";
        return received + "working directory: " + U(install_dir.native()) + "\n";
    }

    // The installation as the tests compare it: without the application's binary and its record.
    tree installation() const
    {
        tree files = read_tree(install_);
        files.erase(app_name);
        files.erase(app_name + ".record");
        return files;
    }

    stdfs::path lock_file() const { return install_ / ("." + app_name + ".lock"); }

    stdfs::path install_;
    stdfs::path staging_;
    stdfs::path app_;
    std::vector<std::unique_ptr<child_process>> background_;

private:
#ifdef _WIN32
    // Wine's relay trace shows each MessageBoxW call with its texts; limited to that one function.
    static std::vector<environment_change> with_message_trace(std::vector<environment_change> environment)
    {
        static const bool relay_limited = [] {
            return RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Debug", L"RelayInclude", REG_SZ,
                                   L"user32.MessageBoxW", sizeof(L"user32.MessageBoxW")) == ERROR_SUCCESS;
        }();
        if (relay_limited)
            environment.push_back({"WINEDEBUG", "+relay"});
        return environment;
    }

    // 0110:Call user32.MessageBoxW(00000000,140004022 L"text",140004000 L"caption",00000010) ret=...
    static std::optional<std::string> message_of(std::string_view line)
    {
        const std::string_view call = "Call user32.MessageBoxW(";
        std::size_t at = line.find(call);
        if (at == std::string_view::npos)
            return std::nullopt;
        std::string_view rest = line.substr(at + call.size());
        std::size_t text_start = rest.find("L\"");
        std::size_t text_end = rest.find("\",", text_start);
        std::size_t caption_start = rest.find("L\"", text_end);
        std::size_t caption_end = rest.find("\",", caption_start);
        if (text_start == std::string_view::npos || text_end == std::string_view::npos ||
            caption_start == std::string_view::npos || caption_end == std::string_view::npos)
            return std::string(line);
        std::string owner(rest.substr(0, rest.find(',')));
        std::string type(rest.substr(caption_end + 2, rest.find(')', caption_end) - caption_end - 2));
        std::string message = std::string(rest.substr(caption_start + 2, caption_end - caption_start - 2)) + ": " +
                              std::string(rest.substr(text_start + 2, text_end - text_start - 2));
        // No owner window; OK only, with the information (0x40) or the error (0x10) icon.
        if (owner != "00000000" || (type != "00000040" && type != "00000010"))
            message += " [owner " + owner + ", type " + type + "]";
        return message;
    }
#else
    static std::vector<environment_change> with_message_trace(std::vector<environment_change> environment)
    {
        return environment;
    }

    static std::optional<std::string> message_of(std::string_view line) { return std::string(line); }
#endif
};

// ---- the command line ----------------------------------------------------------------------------

TEST_F(helper_run_test, command_line_without_exactly_four_arguments_does_nothing)
{
    prepare_update();
    const tree install_before = read_tree(install_);
    const tree staging_before = read_tree(staging_);
    const std::string staging = U(staging_.native()), install = U(install_.native()), app = U(app_.native());
    const struct {
        const char* name;
        std::vector<std::string> args;
    } cases[] = {
        {"no arguments", {}},
        {"three arguments", {"0", staging, install}},
        {"five arguments", {"0", staging, install, app, app}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const outcome result = run(c.args);
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_EQ(messages(result), std::vector<std::string>{});
        EXPECT_EQ(read_tree(install_), install_before); // no log, no lock file, not started
        EXPECT_EQ(read_tree(staging_), staging_before);
    }
}

// ---- a successful update -------------------------------------------------------------------------

TEST_F(helper_run_test, update_is_installed_and_the_application_started_again)
{
    prepare_update();
    const outcome result = run(arguments());

    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>{installed_line});
    EXPECT_EQ(messages(result), std::vector<std::string>{});
    EXPECT_EQ(record_of(app_), expected_record(app_, install_));
    tree expected = installed_v2;
    expected[".update-helper.log"] = read_file(install_ / ".update-helper.log");
    expected["." + app_name + ".lock"] = ""; // created empty and left in place
    EXPECT_EQ(installation(), expected);
    EXPECT_FALSE(stdfs::exists(staging_));
}

TEST_F(helper_run_test, lock_file_from_an_earlier_run_is_used_and_never_changed)
{
    prepare_update();
    write_file(lock_file(), "left by an earlier run");
    const outcome result = run(arguments());
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>{installed_line});
    EXPECT_EQ(read_file(lock_file()), "left by an earlier run");
}

TEST_F(helper_run_test, log_lines_are_appended_to_what_the_log_held)
{
    prepare_update();
    const std::string end = windows_path_rules ? "\r\n" : "\n";
    write_file(install_ / ".update-helper.log", "Installed the staged update" + end);
    const outcome result = run(arguments());
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{installed_line, installed_line}));
}

// ---- the wait for the application ----------------------------------------------------------------

TEST_F(helper_run_test, application_that_ends_while_waited_for_is_waited_for)
{
    // The application leaves a file in the staged update just before it ends: the file is installed
    // only when the helper really waited for it.
    const struct {
        const char* name;
        std::string (*argument)(std::uint32_t pid);
    } cases[] = {
        {"the process id", [](std::uint32_t pid) { return std::to_string(pid); }},
        {"white space, a plus sign, the id and letters", [](std::uint32_t pid) { return "  +" + std::to_string(pid) + "xyz"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(install_);
        prepare_update();
        child_process& application = start_in_background(tool_path("linger"), {"1000", U((staging_ / "late.txt").native())});
        const outcome result = run(arguments(c.argument(application.id())));
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(log_lines(), std::vector<std::string>{installed_line});
        EXPECT_EQ(read_file(install_ / "late.txt"), "done");
        EXPECT_EQ(application.finish(), 0);
    }
}

TEST_F(helper_run_test, process_id_that_names_no_running_process_is_not_waited_for)
{
    child_process ended(tool_path("linger"), {"0"});
    ASSERT_EQ(ended.finish(), 0);
    const struct {
        const char* name;
        std::string argument;
    } cases[] = {
        {"letters only (id 0)", "abc"},
        {"empty (id 0)", ""},
        {"an application that has already ended", std::to_string(ended.id())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(install_);
        prepare_update();
        const outcome result = run(arguments(c.argument));
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(log_lines(), std::vector<std::string>{installed_line});
        EXPECT_EQ(read_file(install_ / "readme.txt"), "version 2");
    }
}

// ---- the installation lock -----------------------------------------------------------------------

TEST_F(helper_run_test, lock_held_by_another_helper_refuses_at_once_and_leaves_the_staging_folder)
{
    prepare_update();
    child_process& holder = start_in_background(
        tool_path("hold_lock"), {U(app_.native()), U(at("held").native()), U(at("release").native())});
    ASSERT_TRUE(wait_for_file(at("held")));
    ASSERT_EQ(read_file(at("held")), "held");
    const tree install_before = read_tree(install_);
    const tree staging_before = read_tree(staging_);

    const outcome refused = run(arguments());
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Another update holds the lock, the update was not installed"});
    EXPECT_EQ(messages(refused), shown({m2}));
    EXPECT_EQ(record_of(app_), std::nullopt);
    EXPECT_EQ(read_tree(staging_), staging_before);
    tree expected = install_before;
    expected[".update-helper.log"] = read_file(install_ / ".update-helper.log");
    EXPECT_EQ(read_tree(install_), expected);

    // Once the holder is gone, the lock file it left is taken.
    write_file(at("release"), "");
    EXPECT_EQ(holder.finish(), 0);
    const outcome installed = run(arguments());
    EXPECT_EQ(installed.exit_code, 0);
    EXPECT_EQ(read_file(install_ / "readme.txt"), "version 2");
}

TEST_F(helper_run_test, started_application_does_not_inherit_the_lock)
{
    // The application started again stays running, while a second update runs to its end.
    prepare_update();
    write_file(app_.native() + P(".hold"), "");
    child_process& first = start_in_background(helper(), arguments());
    ASSERT_TRUE(wait_for_file(app_.native() + P(".record")));
    EXPECT_EQ(record_of(app_), expected_record(app_, install_));
    EXPECT_EQ(first.wait_for_exit(), 0);
    stdfs::remove(app_.native() + P(".hold")); // the next start of the application does not stay

    write_tree(staging_, {{"install-manifest.txt", app_name + "\nreadme.txt\n"}, {"readme.txt", "version 3"}});
    const outcome second = run(arguments());
    write_file(app_.native() + P(".release"), "");
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{installed_line, installed_line}));
    EXPECT_EQ(read_file(install_ / "readme.txt"), "version 3");
    EXPECT_EQ(first.finish(), 0);
}

// ---- leftovers of an earlier failed update -------------------------------------------------------

TEST_F(helper_run_test, leftovers_refuse_the_update_and_dispose_only_a_staging_folder_so_named)
{
    const struct {
        const char* name;
        stdfs::path staging;
        bool disposed;
    } cases[] = {
        {"named .update-staging", at("download/.update-staging"), true},
        {"named otherwise", at("download/staging"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(install_);
        staging_ = c.staging;
        prepare_update();
        write_tree(install_, {{".update-backup.tmp/readme.txt", "version 0"}});
        const tree install_before = read_tree(install_);

        const outcome result = run(arguments());
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(log_lines(), std::vector<std::string>{
                                   "Files from an earlier failed update are in .update-backup.tmp, the update was not installed"});
        EXPECT_EQ(messages(result), shown({m3}));
        EXPECT_EQ(record_of(app_), std::nullopt);
        tree expected = install_before;
        expected[".update-helper.log"] = read_file(install_ / ".update-helper.log");
        expected["." + app_name + ".lock"] = "";
        EXPECT_EQ(read_tree(install_), expected);
        EXPECT_EQ(read_tree(c.staging), c.disposed ? tree{} : staged_v2);
        stdfs::remove_all(c.staging);
    }
}

// ---- a failed install ----------------------------------------------------------------------------

TEST_F(helper_run_test, failed_install_that_was_rolled_back_starts_the_previous_version)
{
    // "web" stays an installed file, so the staged "web/guide.txt" cannot move in; the manifest and
    // "readme.txt" have moved in by then and go back.
    write_tree(install_, {{"install-manifest.txt", app_name + "\nreadme.txt\nweb\n"},
                          {"readme.txt", "version 1"},
                          {"web", "a file"}});
    install_app(app_);
    write_tree(staging_, {{"install-manifest.txt", app_name + "\nreadme.txt\nweb\nweb/guide.txt\n"},
                          {"readme.txt", "version 2"},
                          {"web/guide.txt", "version 2"}});
    const tree install_before = installation();

    const outcome result = run(arguments());
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Install failed, the previous files were put back: " +
                                                    already_exists_error().message()});
    EXPECT_EQ(messages(result), shown({m5}));
    EXPECT_EQ(record_of(app_), expected_record(app_, install_));
    tree expected = install_before;
    expected[".update-helper.log"] = read_file(install_ / ".update-helper.log");
    expected["." + app_name + ".lock"] = "";
    EXPECT_EQ(installation(), expected);
}

TEST_F(helper_run_test, failed_install_that_leaves_the_pending_backup_does_not_start_the_application)
{
    // An empty ".update-backup.tmp" that the install cannot remove.
    prepare_update();
    stdfs::create_directories(install_ / ".update-backup.tmp");
    undeletable_path pending(install_ / ".update-backup.tmp");
    if (!pending.held())
        GTEST_SKIP() << "cannot make a folder undeletable here";
    const tree install_before = installation();

    const outcome result = run(arguments());
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Install failed, some previous files are still in .update-backup.tmp: " +
                                                    undeletable_path::deletion_error().message()});
    EXPECT_EQ(messages(result), shown({m4}));
    EXPECT_EQ(record_of(app_), std::nullopt);
    tree expected = install_before;
    expected[".update-helper.log"] = read_file(install_ / ".update-helper.log");
    expected["." + app_name + ".lock"] = "";
    EXPECT_EQ(installation(), expected);
    EXPECT_EQ(read_tree(staging_), staged_v2);
}

// ---- a relaunch that fails -----------------------------------------------------------------------

TEST_F(helper_run_test, installed_update_whose_application_cannot_start_logs_it_and_exits_1)
{
    const struct {
        const char* name;
        std::optional<std::string> program; // the file at app_path, or none
    } cases[] = {
        {"no program at app_path", std::nullopt},
        {"a file that is not a program", std::string("not a program\n")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(install_);
        write_tree(install_, installed_v1);
        write_tree(staging_, staged_v2);
        if (c.program) {
            write_file(app_, *c.program);
            stdfs::permissions(app_, stdfs::perms::owner_exec, stdfs::perm_options::add);
        }

        const outcome result = run(arguments());
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(log_lines(), (std::vector<std::string>{installed_line, not_started_line}));
        EXPECT_EQ(messages(result), std::vector<std::string>{});
        EXPECT_EQ(read_file(install_ / "readme.txt"), "version 2");
    }
}

// ---- the time-out --------------------------------------------------------------------------------

// Takes the full two minutes of the wait: run with QM_SLOW_TESTS set (CTest: label "slow").
TEST_F(helper_run_test, slow_application_still_running_after_two_minutes_is_refused)
{
    if (!std::getenv("QM_SLOW_TESTS"))
        GTEST_SKIP() << "waits 120 s; set QM_SLOW_TESTS=1 or run ctest -L slow";
    prepare_update();
    child_process& application = start_in_background(tool_path("linger"), {"200000"});
    const outcome result = run(arguments(std::to_string(application.id())));

    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Quillmoor did not close in time, the update was not installed"});
    EXPECT_EQ(messages(result), shown({m1}));
    EXPECT_EQ(record_of(app_), std::nullopt);
    EXPECT_FALSE(stdfs::exists(lock_file()));
    EXPECT_FALSE(stdfs::exists(staging_));
    EXPECT_EQ(read_file(install_ / "readme.txt"), "version 1");
}

} // namespace
} // namespace updater::test

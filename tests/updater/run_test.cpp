// The real quillmoor-updater, run as a process over real folders: every outcome of a run, with its
// exit code, its log lines, its messages, the lock file and the application it starts again.
#include "helper_run_fixture.h"

#include "support/undeletable.h"

#include <cstdlib>

namespace updater::test {
namespace {

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
        expect_messages(result, {});
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
    expect_messages(result, {});
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
        {"white space, a plus sign, the id and letters",
         [](std::uint32_t pid) { return "  +" + std::to_string(pid) + "xyz"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(install_);
        prepare_update();
        child_process& application =
            start_in_background(tool_path("linger"), {"1000", U((staging_ / "late.txt").native())});
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
    child_process& holder = start_in_background(tool_path("hold_lock"),
                                                {U(app_.native()), U(at("held").native()), U(at("release").native())});
    ASSERT_TRUE(wait_for_file(at("held")));
    ASSERT_EQ(read_file(at("held")), "held");
    const tree install_before = read_tree(install_);
    const tree staging_before = read_tree(staging_);

    const outcome refused = run(arguments());
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Another update holds the lock, the update was not installed"});
    expect_messages(refused, shown({m2}));
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
        prepare_leftover();
        const tree install_before = read_tree(install_);

        const outcome result = run(arguments());
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(log_lines(),
                  std::vector<std::string>{
                      "Files from an earlier failed update are in .update-backup.tmp, the update was not installed"});
        expect_messages(result, shown({m3}));
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
    prepare_failing_update();
    const tree install_before = installation();
    const tree staging_before = read_tree(staging_);

    const outcome result = run(arguments());
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Install failed, the previous files were put back: " +
                                                    already_exists_error().message()});
    expect_messages(result, shown({m5}));
    EXPECT_EQ(record_of(app_), expected_record(app_, install_));
    tree expected = install_before;
    expected[".update-helper.log"] = read_file(install_ / ".update-helper.log");
    expected["." + app_name + ".lock"] = "";
    EXPECT_EQ(installation(), expected);
    EXPECT_EQ(read_tree(staging_), staging_before);
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
    EXPECT_EQ(log_lines(),
              std::vector<std::string>{"Install failed, some previous files are still in .update-backup.tmp: " +
                                       undeletable_path::deletion_error().message()});
    expect_messages(result, shown({m4}));
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
        expect_messages(result, {});
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
    expect_messages(result, shown({m1}));
    EXPECT_EQ(record_of(app_), std::nullopt);
    EXPECT_FALSE(stdfs::exists(lock_file()));
    EXPECT_FALSE(stdfs::exists(staging_));
    EXPECT_EQ(read_file(install_ / "readme.txt"), "version 1");
}

} // namespace
} // namespace updater::test

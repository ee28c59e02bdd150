// The process services on their own: the process id of argument 1, the wait for a real process
// and the start of a real program.
#include "updater/run.h"
#include "updater/system/process.h"

#include "support/child_process.h"
#include "support/test_support.h"

namespace updater::test {
namespace {

namespace stdfs = std::filesystem;
using std::chrono::milliseconds;

TEST(parse_app_pid, reads_a_decimal_number_as_the_c_runtime_does)
{
    const struct {
        const char* text;
        std::uint32_t pid;
    } cases[] = {
        {"1234", 1234},
        {"  +1234xyz", 1234},
        {"\t\n\v\f\r 7", 7},
        {"00042", 42},
        {"12 34", 12},
        {"abc", 0},
        {"", 0},
        {" x12", 0},
        {"+", 0},
        {"-", 0},
        {"+-5", 0},
        {"-0", 0},
        {"-1", 4294967295u},
        {"-4294967295", 1},
        {"4294967295", 4294967295u},
        {"4294967296", 4294967295u},
        {"99999999999999999999999999", 4294967295u},
        {"-99999999999", 4294967295u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse_app_pid(P(c.text)), c.pid);
    }
}

TEST(wait_for_application, nothing_to_wait_for_continues_at_once)
{
    child_process ended(tool_path("linger"), {"0"});
    ASSERT_EQ(ended.finish(), 0);
    const struct {
        const char* name;
        std::uint32_t pid;
    } cases[] = {
        {"id 0", 0},
        {"an ended process", ended.id()},
        {"the largest id", 4294967295u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A wait that did happen would run into the time-out and give false.
        EXPECT_TRUE(wait_for_application(c.pid, milliseconds(60000)));
    }
}

TEST(wait_for_application, process_that_ends_in_time_ends_the_wait)
{
    child_process application(tool_path("linger"), {"300"});
    EXPECT_TRUE(wait_for_application(application.id(), milliseconds(60000)));
    EXPECT_EQ(application.finish(), 0);
}

TEST(wait_for_application, process_still_running_at_the_time_out_fails_the_wait)
{
    child_process application(tool_path("linger"), {"60000"});
    EXPECT_FALSE(wait_for_application(application.id(), milliseconds(200)));
}

class relaunch_test : public temp_dir_test {
protected:
    stdfs::path install_app(const std::string& rel)
    {
        stdfs::path app = at(rel);
        stdfs::create_directories(app.parent_path());
        stdfs::copy_file(tool_path("record_app"), app);
        return app;
    }
};

TEST_F(relaunch_test, started_program_receives_its_own_path_and_the_working_directory)
{
    const stdfs::path app = install_app("the app/Quillmoor");
    stdfs::create_directories(at("work dir"));
    ASSERT_TRUE(relaunch_application(app.native(), native("work dir")));
    const stdfs::path record = app.native() + P(".record");
    ASSERT_TRUE(wait_for_file(record));
    const std::string received = windows_path_rules
                                     ? "command line: \"" + U(app.native()) + "\"\n"
                                     : "arguments: 1\nargument: " + U(app.native()) + "\nopen descriptors: 0 1 2\n";
    EXPECT_EQ(read_file(record), received + "working directory: " + U(native("work dir")) + "\n");
}

TEST_F(relaunch_test, relative_program_path_is_found_from_the_callers_working_directory)
{
    const stdfs::path app = install_app("the app/Quillmoor");
    stdfs::create_directories(at("work dir"));
    // From "work dir" the relative path names nothing.
    const stdfs::path caller_dir = stdfs::current_path();
    stdfs::current_path(root_);
    const bool started = relaunch_application(P("the app/Quillmoor"), native("work dir"));
    stdfs::current_path(caller_dir);
    ASSERT_TRUE(started);
    const stdfs::path record = app.native() + P(".record");
    ASSERT_TRUE(wait_for_file(record));
    const std::string received = windows_path_rules
                                     ? "command line: \"the app/Quillmoor\"\n"
                                     : "arguments: 1\nargument: the app/Quillmoor\nopen descriptors: 0 1 2\n";
    EXPECT_EQ(read_file(record), received + "working directory: " + U(native("work dir")) + "\n");
}

TEST_F(relaunch_test, program_that_cannot_start_is_reported)
{
    const stdfs::path app = install_app("Quillmoor");
    write_file(at("not a program"), "just text\n");
    stdfs::permissions(at("not a program"), stdfs::perms::owner_exec, stdfs::perm_options::add);
    stdfs::create_directories(at("a folder"));
    const struct {
        const char* name;
        path_string app_path;
        path_string working_dir;
    } cases[] = {
        {"missing program", native("missing"), native()},
        {"a file that is not a program", native("not a program"), native()},
        {"a folder", native("a folder"), native()},
        {"missing working directory", app.native(), native("missing")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(relaunch_application(c.app_path, c.working_dir));
    }
}

} // namespace
} // namespace updater::test

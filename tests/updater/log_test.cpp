// The update log: lines appended in text mode, every failure silent.
#include "updater/log.h"

#include "support/test_support.h"

namespace updater::test {
namespace {

const std::string line_end = windows_path_rules ? "\r\n" : "\n";

class update_log_test : public temp_dir_test {};

TEST_F(update_log_test, lines_are_appended_after_what_the_log_held)
{
    write_file(at(".update-helper.log"), "from an earlier run" + line_end);
    append_log_line(native(), "Installed the staged update");
    append_log_line(native(), "Could not start the program after the update");
    EXPECT_EQ(read_file(at(".update-helper.log")), "from an earlier run" + line_end + "Installed the staged update" +
                                                       line_end + "Could not start the program after the update" +
                                                       line_end);
}

TEST_F(update_log_test, missing_log_is_created_by_the_first_line)
{
    append_log_line(native(), "Installed the staged update");
    EXPECT_EQ(read_tree(root_), (tree{{".update-helper.log", "Installed the staged update" + line_end}}));
}

TEST_F(update_log_test, text_is_written_byte_for_byte_and_a_line_feed_inside_becomes_a_line_end)
{
    append_log_line(native(), "");
    append_log_line(native(), "caf\xc3\xa9\r and\nmore");
    EXPECT_EQ(read_file(at(".update-helper.log")), line_end + "caf\xc3\xa9\r and" + line_end + "more" + line_end);
}

TEST_F(update_log_test, missing_installation_folder_writes_nothing)
{
    append_log_line(native("missing"), "Installed the staged update");
    EXPECT_EQ(read_tree(root_), tree{});
}

TEST_F(update_log_test, log_that_cannot_be_opened_is_left_alone)
{
    // A folder where the log should be: the open fails, and the call returns normally.
    std::filesystem::create_directories(at(".update-helper.log"));
    append_log_line(native(), "Installed the staged update");
    EXPECT_EQ(read_tree(root_), (tree{{".update-helper.log/", ""}}));
}

TEST_F(update_log_test, log_is_joined_to_an_installation_folder_that_ends_in_a_separator)
{
    append_log_line(native() + P("/"), "Installed the staged update");
    EXPECT_EQ(read_file(at(".update-helper.log")), "Installed the staged update" + line_end);
}

} // namespace
} // namespace updater::test

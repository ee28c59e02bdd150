// What the Windows build cannot show under Wine, said where the test results list it, and the
// Windows answers that Wine never gives, made through the backends' call table.
#include "updater/refusal.h"

#include "helper_run_fixture.h"
#include "support/test_support.h"
#include "support/win32_call_override.h"

#include <gtest/gtest.h>

#include <sstream>

#include <windows.h>

namespace updater::test {
namespace {

TEST(message_boxes, are_seen_only_on_posix)
{
    // Without a display Wine's MessageBoxW returns at once and leaves nothing a test can read: its
    // relay trace goes to the Unix standard error of the process that started Wine, not to the
    // helper's own. The run tests check everything else of each outcome here, and the POSIX build
    // checks the same texts on standard error and through zenity.
    GTEST_SKIP() << "message boxes cannot be observed under Wine without a display";
}

using leftover_guard_test = temp_dir_test;

// A status query that answers "not found" for a folder that is there (a scanner that moves it aside
// and back) cannot hide leftovers: the listing decides. Found by the fault sweep: the later run over
// leftovers installed instead of refusing.
TEST_F(leftover_guard_test, a_status_query_that_answers_not_found_does_not_hide_leftovers)
{
    write_tree(at("install"), {{".update-backup.tmp/readme.txt", "left over"}});
    for (DWORD error : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND}) {
        SCOPED_TRACE(error);
        static DWORD answer;
        answer = error;
        call_override missing(&os_calls::win32_call_table::get_file_attributes_ex,
                              [](LPCWSTR, GET_FILEEX_INFO_LEVELS, LPVOID) -> BOOL {
                                  SetLastError(answer);
                                  return FALSE;
                              });
        EXPECT_TRUE(has_leftover_backup(native("install")));
    }
}

// Every status query answers "path not found" from the first one after a file has moved aside (a
// volume that drops out for a moment, from then on): the move-ins and the restores cannot make
// their folders. The outcome must not claim that the previous files were put back while one of them
// is still in .update-backup.tmp. Found by the fault sweep: the check after the rollback trusted one
// such status of .update-backup.tmp. Run with the helper's fault-injection build.
TEST_F(helper_run_test, status_queries_that_answer_path_not_found_never_claim_the_previous_files_were_put_back)
{
    const stdfs::path record = at("calls.txt");
    const std::vector<environment_change> recording = {{"QM_FAULTS", "record=" + U(record.native())}};
    prepare_update();
    run_program(QM_FAULTS_UPDATER_PATH, arguments(), recording);
    // The status queries before the first move, from the record of a run without faults.
    long queries_before_move = 0;
    std::istringstream calls(read_file(record));
    for (std::string line; std::getline(calls, line) && line.find(" MoveFileExW#") == std::string::npos;)
        queries_before_move += line.find(" GetFileAttributesExW#") != std::string::npos ? 1 : 0;
    ASSERT_GT(queries_before_move, 0);

    stdfs::remove_all(install_);
    stdfs::remove_all(staging_.parent_path());
    prepare_update();
    const tree before = installation();
    const std::string fault = "fail=GetFileAttributesExW#" + std::to_string(queries_before_move + 1) + ":3+";
    const outcome result =
        run_program(QM_FAULTS_UPDATER_PATH, arguments(), {{"QM_FAULTS", "record=" + U(record.native()) + ";" + fault}});

    EXPECT_EQ(result.exit_code, 1);
    const std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Install failed, some previous files are still in .update-backup.tmp: ", 0), 0u)
        << lines[0];
    EXPECT_NE(read_file(record).find("INJECTED"), std::string::npos);
    EXPECT_NE(read_file(record).find("MessageBoxW#1 ok Quillmoor update: " + m4), std::string::npos);
    EXPECT_FALSE(record_of(app_));
    // Every file of the previous version at its place or in .update-backup.tmp.
    const tree now = installation();
    for (const auto& [rel, content] : before) {
        if (rel == ".update-helper.log" || rel.back() == '/')
            continue;
        auto at_place = now.find(rel);
        auto kept = now.find(".update-backup.tmp/" + rel);
        EXPECT_TRUE((at_place != now.end() && at_place->second == content) ||
                    (kept != now.end() && kept->second == content))
            << rel;
    }
}

// What a scanner that examines the executable just moved into place does on Windows: CreateProcessW
// answers 32 (sharing violation) for a moment. The start is tried again, so the update ends
// installed and started. Run with the helper's fault-injection build.
TEST_F(helper_run_test, a_start_refused_for_a_moment_by_a_scanner_is_tried_again)
{
    const stdfs::path record = at("calls.txt");
    prepare_update();
    const outcome result = run_program(QM_FAULTS_UPDATER_PATH, arguments(),
                                       {{"QM_FAULTS", "record=" + U(record.native()) + ";fail=CreateProcessW#1:32*3"}});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>{installed_line});
    EXPECT_NE(read_file(record).find("INJECTED"), std::string::npos);
    EXPECT_NE(read_file(record).find(" CreateProcessW#4 ok "), std::string::npos);
    EXPECT_EQ(record_of(app_), expected_record(app_, install_));
}

} // namespace
} // namespace updater::test

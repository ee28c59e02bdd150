// Files that Windows will not move at once, through the real quillmoor-updater: a file held open
// without delete sharing by another process (for the whole run, or for a moment), a read-only
// file, and a folder where the update brings a file. POSIX has no sharing modes, so the held cases
// run on Windows only (under Wine in CI); the others run on both.
#include "helper_run_fixture.h"

#include <chrono>
#include <thread>

namespace updater::test {
namespace {

const std::string restored_line = "Install failed, the previous files were put back: ";
const std::string leftover_line =
    "Files from an earlier failed update are in .update-backup.tmp, the update was not installed";
// Windows ERROR_SHARING_VIOLATION: what a move of a file held without delete sharing answers.
const error_code sharing_violation = system_error(32);

class blocked_move_test : public helper_run_test {
protected:
    // A second process that holds file open until release() (or the test's end).
    class holder {
    public:
        holder(blocked_move_test& test, const stdfs::path& file, const std::string& name)
            : ready_(test.at("holders/" + name + ".ready")), release_(test.at("holders/" + name + ".release"))
        {
            stdfs::create_directories(ready_.parent_path());
            process_ = &test.start_in_background(tool_path("hold_file"),
                                                 {U(file.native()), U(ready_.native()), U(release_.native())});
            EXPECT_TRUE(wait_for_file(ready_));
            // Observed under Wine: the answer, renamed into place whole, can still read empty for a
            // moment after it appears.
            std::string answer;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
            while ((answer = read_file(ready_)).empty() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(answer, "held") << U(file.native());
        }
        ~holder() { release(); }

        void release()
        {
            if (released_)
                return;
            released_ = true;
            write_file(release_, "");
            EXPECT_EQ(process_->finish(), 0);
        }

    private:
        stdfs::path ready_;
        stdfs::path release_;
        child_process* process_ = nullptr;
        bool released_ = false;
    };

    // The log line, installation and staged update of an install that failed and put back what it
    // had moved; the application is started again all the same.
    void expect_put_back(const outcome& result, const error_code& error, const tree& install_before,
                         const tree& staging_before)
    {
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(log_lines(), std::vector<std::string>{restored_line + error.message()});
        expect_messages(result, shown({m5}));
        tree now = installation();
        now.erase(".update-helper.log");
        now.erase("." + app_name + ".lock");
        EXPECT_EQ(now, install_before);
        EXPECT_EQ(read_tree(staging_), staging_before);
        EXPECT_EQ(record_of(app_), expected_record(app_, install_));
    }

    void expect_installed(const outcome& result, const tree& expected)
    {
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(log_lines(), std::vector<std::string>{installed_line});
        tree now = installation();
        now.erase(".update-helper.log");
        now.erase("." + app_name + ".lock");
        EXPECT_EQ(now, expected);
        EXPECT_FALSE(stdfs::exists(staging_));
        EXPECT_EQ(record_of(app_), expected_record(app_, install_));
    }

    static tree v2_with(const tree& changes)
    {
        tree expected = installed_v2;
        for (const auto& [path, content] : changes)
            expected[path] = content;
        return expected;
    }
};

// ---- a file held open by another process ---------------------------------------------------------

class held_file_test : public blocked_move_test {
protected:
    void SetUp() override
    {
        blocked_move_test::SetUp();
        if (!windows_path_rules)
            GTEST_SKIP() << "POSIX has no sharing modes: a file that is open still moves";
    }
};

TEST_F(held_file_test, each_file_of_the_update_held_for_the_whole_run)
{
    // Every file of the installation and of the staged update in turn, held by another process
    // for the whole run: a file that has to move stops the install, and everything moved before it
    // goes back; a file that stays where it is changes nothing.
    const struct {
        std::string file;
        bool installs;
    } cases[] = {
        {"install:install-manifest.txt", false}, // moved aside when the staged one comes in
        {"install:readme.txt", false},           // replaced
        {"install:old-plugin.dll", false},       // retired, before any staged file moves
        {"install:user/settings.ini", true},     // the user's folder is never touched
        {"install:" + app_name, true},           // kept: neither staged nor retired
        {"staging:install-manifest.txt", false}, // read (readers are welcome), then moved in
        {"staging:readme.txt", false},           {"staging:new-plugin.dll", false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string& file = cases[i].file;
        SCOPED_TRACE(file);
        const stdfs::path folder = at("case " + std::to_string(i));
        install_ = folder / "Quillmoor app";
        staging_ = folder / "download" / ".update-staging";
        app_ = install_ / app_name;
        prepare_update();
        const tree install_before = installation();
        const tree staging_before = read_tree(staging_);
        const std::string rel = file.substr(file.find(':') + 1);
        const stdfs::path held_path = (file.starts_with("install:") ? install_ : staging_) / rel;
        holder held(*this, held_path, "case-" + std::to_string(i));

        const outcome result = run(arguments());
        held.release();
        if (cases[i].installs)
            expect_installed(result, installed_v2);
        else
            expect_put_back(result, sharing_violation, install_before, staging_before);
    }
}

TEST_F(held_file_test, installed_file_held_for_a_moment_moves_on_a_later_attempt)
{
    prepare_update();
    holder held(*this, install_ / "readme.txt", "readme");
    child_process& helper_process = start_in_background(helper(), arguments());

    // The old manifest reaches the pending backup just before "readme.txt" is first tried (set
    // order). The holder lets go a moment later, while the helper pauses between its attempts;
    // existence is asked without opening anything, so the helper's moves are not disturbed.
    const stdfs::path moved_aside = install_ / ".update-backup.tmp" / "install-manifest.txt";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    std::error_code ec;
    while (!stdfs::exists(moved_aside, ec) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(stdfs::exists(moved_aside, ec)) << "the helper never began to move files";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    held.release();

    outcome result;
    result.exit_code = helper_process.finish();
    result.output = helper_process.output();
    expect_installed(result, installed_v2);
}

TEST_F(held_file_test, previous_backup_held_at_the_commit_stays_pending_and_the_next_run_refuses)
{
    // The commit cannot undo the install, so it succeeds; the pending backup that could not take
    // the old backup's place is kept, and the next update refuses to work over it.
    prepare_update();
    write_tree(install_, {{".update-backup/older.txt", "from the update before"}});
    holder held(*this, install_ / ".update-backup" / "older.txt", "older");

    const outcome result = run(arguments());
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>{installed_line});
    const tree pending = read_tree(install_ / ".update-backup.tmp");
    EXPECT_EQ(pending.at("readme.txt"), "version 1");
    EXPECT_EQ(pending.at("old-plugin.dll"), "retired by version 2");
    EXPECT_EQ(read_file(install_ / ".update-backup" / "older.txt"), "from the update before");
    held.release();

    write_tree(staging_, staged_v2);
    const outcome next = run(arguments());
    EXPECT_EQ(next.exit_code, 1);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{installed_line, leftover_line}));
    EXPECT_EQ(read_tree(install_ / ".update-backup.tmp"), pending);
}

TEST_F(held_file_test, previous_backup_held_for_a_moment_at_the_commit_is_waited_out)
{
    // A scanner's look at a file of the previous backup: its removal is refused while the commit
    // begins, and the commit tries again after a pause, so no pending backup is left behind.
    prepare_update();
    write_tree(install_, {{".update-backup/older.txt", "from the update before"}});
    holder held(*this, install_ / ".update-backup" / "older.txt", "older");
    child_process& helper_process = start_in_background(helper(), arguments());

    // The last staged file in set order has left the staging folder: the commit is next. Asked
    // without opening anything, so the helper's moves are not disturbed.
    const stdfs::path last = staging_ / "readme.txt";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    std::error_code ec;
    while (stdfs::exists(last, ec) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    held.release();

    outcome result;
    result.exit_code = helper_process.finish();
    result.output = helper_process.output();
    expect_installed(result, installed_v2);
}

// ---- read-only files and a folder in a file's place ----------------------------------------------

TEST_F(blocked_move_test, read_only_files_are_replaced_retired_and_later_deleted_with_their_backup)
{
    prepare_update();
    const auto read_only = stdfs::perms::owner_read | stdfs::perms::group_read | stdfs::perms::others_read;
    stdfs::permissions(install_ / "readme.txt", read_only);
    stdfs::permissions(install_ / "old-plugin.dll", read_only);

    const outcome result = run(arguments());
    expect_installed(result, installed_v2);

    // The next update deletes the backup that holds them before its own takes its place.
    write_tree(staging_,
               {{"install-manifest.txt", app_name + "\nreadme.txt\nnew-plugin.dll\n"}, {"readme.txt", "version 3"}});
    const outcome next = run(arguments());
    EXPECT_EQ(next.exit_code, 0);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{installed_line, installed_line}));
    EXPECT_EQ(read_tree(install_ / ".update-backup"),
              (tree{{"install-manifest.txt", app_name + "\nreadme.txt\nnew-plugin.dll\n"},
                    {"readme.txt", "version 2"}}));
    EXPECT_FALSE(stdfs::exists(install_ / ".update-backup.tmp"));
}

TEST_F(blocked_move_test, installed_folder_where_the_update_brings_a_file_is_moved_aside_whole)
{
    prepare_update();
    write_tree(install_, {{"docs/guide.txt", "the user's notes"}, {"docs/images/a.png", "image"}});
    write_file(staging_ / "docs", "docs as a file");
    write_file(staging_ / "install-manifest.txt", app_name + "\nreadme.txt\nnew-plugin.dll\ndocs\n");

    const outcome result = run(arguments());
    expect_installed(result, v2_with({{"docs", "docs as a file"},
                                      {"install-manifest.txt", app_name + "\nreadme.txt\nnew-plugin.dll\ndocs\n"},
                                      {".update-backup/docs/", ""},
                                      {".update-backup/docs/guide.txt", "the user's notes"},
                                      {".update-backup/docs/images/", ""},
                                      {".update-backup/docs/images/a.png", "image"}}));
}

TEST_F(held_file_test, installed_folder_with_a_held_file_where_the_update_brings_a_file)
{
    // Windows refuses to move a folder that holds a file open without delete sharing (5). Observed:
    // Wine moves it, as Linux does, and the file stays open at its new place.
    prepare_update();
    write_tree(install_, {{"docs/guide.txt", "the user's notes"}});
    write_file(staging_ / "docs", "docs as a file");
    write_file(staging_ / "install-manifest.txt", app_name + "\nreadme.txt\nnew-plugin.dll\ndocs\n");
    const tree install_before = installation();
    const tree staging_before = read_tree(staging_);
    holder held(*this, install_ / "docs" / "guide.txt", "guide");

    const outcome result = run(arguments());
    held.release();
    if (running_under_wine()) {
        expect_installed(result, v2_with({{"docs", "docs as a file"},
                                          {"install-manifest.txt", app_name + "\nreadme.txt\nnew-plugin.dll\ndocs\n"},
                                          {".update-backup/docs/", ""},
                                          {".update-backup/docs/guide.txt", "the user's notes"}}));
    } else {
        expect_put_back(result, system_error(5), install_before, staging_before);
    }
}

} // namespace
} // namespace updater::test

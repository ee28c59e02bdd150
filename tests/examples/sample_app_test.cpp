// The integration guide's worked example, end to end: version 1 of the sample application, installed
// with the update staged in ".update-staging" inside its installation, starts the real helper with
// its own process id and exits; version 2 is installed and started, or the refusal disposes of the
// staged update.
#include "support/child_process.h"
#include "support/test_support.h"

#include <sstream>

namespace updater::test {
namespace {

namespace stdfs = std::filesystem;

const std::string app_name = windows_path_rules ? "sample-app.exe" : "sample-app";

class sample_app_test : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        prepare("first");
    }

    // Version 1 installed in where/"Sample App", version 2 staged inside it.
    void prepare(const std::string& where)
    {
        // A space in the installation folder, which the command lines must quote.
        install_ = at(where + "/Sample App");
        staging_ = install_ / ".update-staging";
        app_ = install_ / app_name;
        report_ = at(where + "/report.txt");

        write_tree(install_, {{"install-manifest.txt", app_name + "\nreadme.txt\nold-plugin.dll\n"},
                              {"readme.txt", "version 1"},
                              {"old-plugin.dll", "retired by version 2"},
                              {"user/settings.ini", "the user's own"}});
        stdfs::copy_file(QM_SAMPLE_APP_V1, app_);
        write_tree(staging_, {{"install-manifest.txt", app_name + "\nreadme.txt\nnew-plugin.dll\n"},
                              {"readme.txt", "version 2"},
                              {"new-plugin.dll", "new in version 2"}});
        stdfs::copy_file(QM_SAMPLE_APP_V2, staging_ / app_name);
    }

    // Starts version 1 as the guide's example does and waits until it, the helper and the
    // application started again have all ended; returns what version 1 exits with.
    int update(const std::string& staging_argument)
    {
        child_process app(app_, {"--update", QM_UPDATER_PATH, staging_argument},
                          {{"SAMPLE_APP_REPORT", U(report_.native())}});
        const int exit_code = app.finish();
        output_ = app.output();
        return exit_code;
    }

    // The lines that the sample application of a version reported, without their "[sample app N,
    // process M] " prefix.
    std::vector<std::string> reported_by(int version) const
    {
        const std::string prefix = "[sample app " + std::to_string(version) + ", process ";
        std::vector<std::string> lines;
        std::istringstream report(read_file(report_));
        for (std::string line; std::getline(report, line);) {
            if (line.ends_with('\r')) // written in text mode on Windows
                line.pop_back();
            if (line.starts_with(prefix))
                lines.push_back(line.substr(line.find("] ") + 2));
        }
        return lines;
    }

    std::string log() const { return read_file(install_ / ".update-helper.log"); }

    // The installation without the programs, which are compared on their own.
    tree installation() const
    {
        tree files = read_tree(install_);
        files.erase(app_name);
        files.erase(".update-backup/" + app_name);
        return files;
    }

    stdfs::path install_;
    stdfs::path staging_;
    stdfs::path app_;
    stdfs::path report_;
    std::string output_;
};

TEST_F(sample_app_test, update_is_installed_and_version_2_started)
{
    const std::string line_end = windows_path_rules ? "\r\n" : "\n";
    const struct {
        const char* name;
        const char* after_staging;
    } cases[] = {
        {"the staging folder as it is", ""},
        // A separator before the closing quote: on Windows it must be doubled, or the quote, and
        // with it the rest of the command line, becomes part of this argument.
        {"a staging folder that ends in a separator", windows_path_rules ? "\\" : "/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (&c != cases)
            prepare(c.name);
        ASSERT_EQ(update(U(staging_.native()) + c.after_staging), 0) << output_;

        EXPECT_EQ(log(), "Installed the staged update" + line_end);
        EXPECT_EQ(installation(),
                  (tree{{".update-backup/", ""},
                        {".update-backup/install-manifest.txt", app_name + "\nreadme.txt\nold-plugin.dll\n"},
                        {".update-backup/old-plugin.dll", "retired by version 2"},
                        {".update-backup/readme.txt", "version 1"},
                        {".update-helper.log", log()},
                        {"." + app_name + ".lock", ""},
                        {"install-manifest.txt", app_name + "\nreadme.txt\nnew-plugin.dll\n"},
                        {"new-plugin.dll", "new in version 2"},
                        {"readme.txt", "version 2"},
                        {"user/", ""},
                        {"user/settings.ini", "the user's own"}}));
        EXPECT_EQ(read_file(app_), read_file(QM_SAMPLE_APP_V2));
        EXPECT_EQ(read_file(install_ / ".update-backup" / app_name), read_file(QM_SAMPLE_APP_V1));

        // Version 2, started by the helper: its own path in quotes, in the installation folder.
        const std::vector<std::string> reported = reported_by(2);
        ASSERT_EQ(reported.size(), 3u) << read_file(report_);
        EXPECT_EQ(reported[0], "version 2.0");
        // The paths as the program found its own; they may be spelled unlike the test's.
        const std::string command_prefix = "command line: \"", directory_prefix = "working directory: ";
        ASSERT_TRUE(reported[1].starts_with(command_prefix) && reported[1].ends_with('"')) << reported[1];
        ASSERT_TRUE(reported[2].starts_with(directory_prefix)) << reported[2];
        const std::string program =
            reported[1].substr(command_prefix.size(), reported[1].size() - command_prefix.size() - 1);
        std::error_code ec;
        EXPECT_TRUE(stdfs::equivalent(program, app_, ec)) << reported[1];
        EXPECT_TRUE(stdfs::equivalent(reported[2].substr(directory_prefix.size()), install_, ec)) << reported[2];
    }
}

TEST_F(sample_app_test, refused_update_disposes_of_the_staging_folder_inside_the_installation)
{
    // Files of an earlier failed update: the helper refuses, and since the staged update lies in
    // ".update-staging" it removes it, so that it does not linger in the installation.
    write_tree(install_, {{".update-backup.tmp/readme.txt", "version 0"}});
    const tree before = read_tree(install_);

    ASSERT_EQ(update(U(staging_.native())), 0) << output_;

    tree expected = before;
    for (auto it = expected.begin(); it != expected.end();)
        it = it->first.rfind(".update-staging/", 0) == 0 ? expected.erase(it) : std::next(it);
    expected[".update-helper.log"] = log();
    expected["." + app_name + ".lock"] = "";
    EXPECT_EQ(read_tree(install_), expected);
    EXPECT_EQ(log(), std::string("Files from an earlier failed update are in .update-backup.tmp, the update was not "
                                 "installed") +
                         (windows_path_rules ? "\r\n" : "\n"));
    EXPECT_TRUE(reported_by(2).empty()) << read_file(report_);
}

} // namespace
} // namespace updater::test

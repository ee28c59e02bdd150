// The fixture of the tests that run the real quillmoor-updater: an installation of version 1 of
// the recording application, version 2 staged, and what a run leaves behind (exit code, log lines,
// messages, the application started again).
#pragma once

#include "support/child_process.h"
#include "support/test_support.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace updater::test {

namespace stdfs = std::filesystem;

inline const std::string m1 = "Quillmoor did not close in time, so the update was not installed. Your installation was "
                              "not changed. Try the update again.";
inline const std::string m2 =
    "Another Quillmoor window is updating this installation, so this update was not installed. "
    "Start Quillmoor again once it has finished.";
inline const std::string m3 =
    "An earlier update could not put back some files of your previous version. They are kept in "
    ".update-backup.tmp in the Quillmoor folder. Copy them back from there, or delete that "
    "folder if you no longer need them, then try the update again. Your installation was not "
    "changed.";
inline const std::string m4 =
    "Quillmoor could not install the update, and some files of your previous version could not "
    "be put back. They are kept in .update-backup.tmp in the Quillmoor folder. Copy them back "
    "from there, or download Quillmoor again. Your settings and data are not affected.";
inline const std::string m5 =
    "Quillmoor could not install the update. Your previous version was put back and will start "
    "now. See .update-helper.log in the Quillmoor folder for details.";

inline const std::string installed_line = "Installed the staged update";
inline const std::string not_started_line = "Could not start the program after the update";

inline const std::string app_name = windows_path_rules ? "Quillmoor.exe" : "Quillmoor";

struct outcome {
    int exit_code = -1;
    std::string output;
};

// An installation of version 1 and a staged version 2 that replaces, adds and retires files; the
// user's folder stays.
inline const tree installed_v1 = {
    {"install-manifest.txt", app_name + "\nreadme.txt\nold-plugin.dll\n"},
    {"readme.txt", "version 1"},
    {"old-plugin.dll", "retired by version 2"},
    {"user/settings.ini", "the user's own"},
};
inline const tree staged_v2 = {
    {"install-manifest.txt", app_name + "\nreadme.txt\nnew-plugin.dll\n"},
    {"readme.txt", "version 2"},
    {"new-plugin.dll", "new in version 2"},
};
inline const tree installed_v2 = {
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

    // A leftover of an earlier failed update in ".update-backup.tmp": the helper refuses.
    void prepare_leftover()
    {
        prepare_update();
        write_tree(install_, {{".update-backup.tmp/readme.txt", "version 0"}});
    }

    // "web" stays an installed file, so the staged "web/guide.txt" cannot move in, after the
    // manifest and "readme.txt" have: the install fails and is rolled back.
    void prepare_failing_update()
    {
        write_tree(install_, {{"install-manifest.txt", app_name + "\nreadme.txt\nweb\n"},
                              {"readme.txt", "version 1"},
                              {"web", "a file"}});
        install_app(app_);
        write_tree(staging_, {{"install-manifest.txt", app_name + "\nreadme.txt\nweb\nweb/guide.txt\n"},
                              {"readme.txt", "version 2"},
                              {"web/guide.txt", "version 2"}});
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
        return run_program(helper(), args, environment);
    }

    // The same with a program that runs the helper (strace, setpriv, a shell).
    outcome run_program(const stdfs::path& program, const std::vector<std::string>& args,
                        const std::vector<environment_change>& environment = {})
    {
        child_process helper_process(program, args, environment);
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

    // The messages shown, as "caption: text", checked where they can be seen: on POSIX they are
    // the lines on standard error. Under Wine without a display a message box returns at once and
    // leaves nothing a test can read (Wine's relay trace of the call goes to the Unix standard
    // error of the process that started Wine, not to the helper's), so Windows checks the rest.
    static void expect_messages(const outcome& result, const std::vector<std::string>& expected)
    {
        if (windows_path_rules)
            return;
        std::vector<std::string> shown;
        std::string_view output = result.output;
        while (!output.empty()) {
            std::size_t end = output.find('\n');
            if (end == std::string_view::npos) {
                ADD_FAILURE() << "message without a line end: " << output;
                break;
            }
            shown.emplace_back(output.substr(0, end));
            output.remove_prefix(end + 1);
        }
        EXPECT_EQ(shown, expected);
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
};

} // namespace updater::test

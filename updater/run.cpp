// The run sequence. Its order is the order of the gates: the wait, then the lock, then the
// leftover guard, then the install; each refusal stops at its gate.
#include "updater/run.h"

#include "updater/fs/fs.h"
#include "updater/install/move.h"
#include "updater/install/transaction.h"
#include "updater/layout.h"
#include "updater/lock/lock.h"
#include "updater/log.h"
#include "updater/refusal.h"

#include <string>

namespace updater {

namespace {

constexpr std::chrono::milliseconds application_close_timeout{120000};

constexpr std::string_view message_caption = "Quillmoor update";

struct outcome_message {
    std::string_view text;
    message_icon icon;
};

constexpr outcome_message timeout_message{
    "Quillmoor did not close in time, so the update was not installed. Your installation was not "
    "changed. Try the update again.",
    message_icon::information};
constexpr outcome_message lock_message{
    "Another Quillmoor window is updating this installation, so this update was not installed. Start "
    "Quillmoor again once it has finished.",
    message_icon::information};
constexpr outcome_message leftover_message{
    "An earlier update could not put back some files of your previous version. They are kept in "
    ".update-backup.tmp in the Quillmoor folder. Copy them back from there, or delete that folder if "
    "you no longer need them, then try the update again. Your installation was not changed.",
    message_icon::information};
constexpr outcome_message not_restored_message{
    "Quillmoor could not install the update, and some files of your previous version could not be "
    "put back. They are kept in .update-backup.tmp in the Quillmoor folder. Copy them back from "
    "there, or download Quillmoor again. Your settings and data are not affected.",
    message_icon::error};
constexpr outcome_message restored_message{
    "Quillmoor could not install the update. Your previous version was put back and will start now. "
    "See .update-helper.log in the Quillmoor folder for details.",
    message_icon::error};

constexpr std::string_view timeout_line = "Quillmoor did not close in time, the update was not installed";
constexpr std::string_view lock_line = "Another update holds the lock, the update was not installed";
constexpr std::string_view leftover_line =
    "Files from an earlier failed update are in .update-backup.tmp, the update was not installed";
constexpr std::string_view installed_line = "Installed the staged update";
constexpr std::string_view not_restored_line = "Install failed, some previous files are still in .update-backup.tmp: ";
constexpr std::string_view restored_line = "Install failed, the previous files were put back: ";
constexpr std::string_view not_started_line = "Could not start the program after the update";

void show(const outcome_message& message) { show_message(message_caption, message.text, message.icon); }

bool is_space(path_char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// After a failed install: whether files may have stayed in ".update-backup.tmp". Only a clear
// "not found" means they did not, and one wrong answer must not give it: the listing and a status
// query both have to say so. Anything else may hide files the rollback could not put back, so it
// counts as present, in the same spirit as the leftover guard, but only once it has been asked with
// the patience of a move: a file held for a moment must not cost the user the restart of a version
// that was put back whole.
bool pending_backup_remains(const path_string& install_dir)
{
    const path_string pending = pending_backup_dir_of(install_dir);
    for (int attempt = 1;; ++attempt) {
        error_code ec;
        fs::directory_iteration entries(pending, fs::iteration_mode::plain, ec);
        if (!ec)
            return true;
        if (is_not_found(ec)) {
            const fs::file_type type = fs::status(pending, ec);
            if (type == fs::file_type::not_found)
                return false;
            if (!ec)
                return true;
        }
        if (attempt == attempts_per_move)
            return true;
        pause_after_failed_attempt();
    }
}

// The program was just moved into place, and a scanner that examines a new executable holds it
// for a moment: Windows then refuses to start it (sharing violation or access denied), as Linux
// refuses a file still open for writing. So a failed start is tried again with the moves'
// patience before the relaunch counts as failed.
bool relaunch_with_patience(const path_string& app_path, const path_string& install_dir)
{
    for (int attempt = 1;; ++attempt) {
        if (relaunch_application(app_path, install_dir))
            return true;
        if (attempt == attempts_per_move)
            return false;
        pause_after_failed_attempt();
    }
}

} // namespace

std::uint32_t parse_app_pid(path_view text) noexcept
{
    std::size_t at = 0;
    while (at < text.size() && is_space(text[at]))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    std::uint64_t value = 0;
    constexpr std::uint64_t largest = 0xFFFFFFFF;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
        if (value > largest)
            return static_cast<std::uint32_t>(largest);
    }
    auto result = static_cast<std::uint32_t>(value);
    return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

int run_helper(const entry_arguments& entry)
{
    std::vector<path_string> arguments;
    if (!split_command_line(entry, arguments) || arguments.size() != 5)
        return exit_bad_command_line;
    const std::uint32_t app_pid = parse_app_pid(arguments[1]);
    const path_string staging_dir = std::move(arguments[2]);
    const path_string install_dir = std::move(arguments[3]);
    const path_string app_path = std::move(arguments[4]);
    arguments.clear();

    if (!wait_for_application(app_pid, application_close_timeout)) {
        append_log_line(install_dir, timeout_line);
        dispose_staging_dir(staging_dir);
        show(timeout_message);
        return exit_not_installed;
    }

    install_lock lock = acquire_install_lock(app_path);
    if (!lock) {
        append_log_line(install_dir, lock_line);
        show(lock_message);
        return exit_not_installed;
    }

    if (has_leftover_backup(install_dir)) {
        append_log_line(install_dir, leftover_line);
        dispose_staging_dir(staging_dir);
        show(leftover_message);
        release_install_lock(lock);
        return exit_not_installed;
    }

    error_code install_error = system_error(0);
    int exit_code = exit_installed;
    if (install_staged_update(staging_dir, install_dir, install_error)) {
        append_log_line(install_dir, installed_line);
    } else {
        const bool remains = pending_backup_remains(install_dir);
        const std::string error_text = install_error.message();
        if (remains) {
            append_log_line(install_dir, std::string(not_restored_line) + error_text);
            show(not_restored_message);
            release_install_lock(lock);
            return exit_not_installed;
        }
        append_log_line(install_dir, std::string(restored_line) + error_text);
        show(restored_message);
        exit_code = exit_not_installed;
    }

    if (!relaunch_with_patience(app_path, install_dir)) {
        append_log_line(install_dir, not_started_line);
        exit_code = exit_not_installed;
    }
    release_install_lock(lock);
    return exit_code;
}

} // namespace updater

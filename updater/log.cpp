// Appending to the update log.
#include "updater/log.h"

#include "updater/fs/fs.h"
#include "updater/layout.h"

namespace updater {

void append_log_line(const path_string& install_dir, std::string_view line)
{
    error_code ignored;
    // Text mode turns the line feed into CR LF on Windows; "a" makes every write go to the end even
    // when another process appends at the same time.
    fs::unique_file file = fs::open_file(update_log_of(install_dir), "at", ignored);
    if (!file)
        return;
    std::fwrite(line.data(), 1, line.size(), file.get());
    std::fputc('\n', file.get());
}

} // namespace updater

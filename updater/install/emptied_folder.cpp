#include "updater/install/emptied_folder.h"

#include "updater/fs/fs.h"

namespace updater {

bool remove_emptied_folder(const path_string& path)
{
    error_code ec;
    if (fs::status(path, ec) != fs::file_type::directory)
        return false;
    for (fs::directory_iteration it(path, fs::iteration_mode::recursive, ec); !ec && !it.at_end(); it.advance(ec))
        if (it.type() != fs::file_type::directory)
            return false;
    if (ec)
        return false;
    fs::remove_all(path, ec);
    return !ec;
}

} // namespace updater

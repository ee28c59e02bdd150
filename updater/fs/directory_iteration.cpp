// Plain and recursive directory listing on top of the backend's directory streams. One path
// buffer is reused for every entry, so a walk costs no allocation per file beyond the names.
#include "updater/fs/fs.h"

namespace updater::fs {

directory_iteration::directory_iteration(const path_string& dir, iteration_mode mode, error_code& ec) : mode_(mode)
{
    ec.clear();
    detail::unique_dir_stream stream = detail::open_dir_stream(dir, ec);
    if (ec)
        return;
    path_ = dir;
    std::size_t size = path_.size();
    // The root's own trailing separator (or a bare drive designator) takes no second one.
    if (!path_.empty() && !is_os_separator(path_.back()) && path_.size() != root_name(path_).size())
        path_ += windows_path_rules ? path_char('\\') : path_char('/');
    root_size_ = path_.size();
    levels_.push_back({std::move(stream), size});
    read_next(ec);
}

path_view directory_iteration::relative_path() const noexcept { return path_view(path_).substr(root_size_); }

void directory_iteration::advance(error_code& ec)
{
    ec.clear();
    if (levels_.empty())
        return;
    if (mode_ == iteration_mode::recursive && type_ == file_type::directory) {
        detail::unique_dir_stream stream = detail::open_dir_stream(path_, ec);
        if (ec) {
            levels_.clear();
            return;
        }
        levels_.push_back({std::move(stream), path_.size()});
    }
    read_next(ec);
}

void directory_iteration::read_next(error_code& ec)
{
    while (!levels_.empty()) {
        level& top = levels_.back();
        if (detail::read_dir_stream(*top.stream, name_, type_, ec)) {
            path_.resize(levels_.size() == 1 ? root_size_ : top.path_size);
            if (levels_.size() > 1)
                path_ += windows_path_rules ? path_char('\\') : path_char('/');
            path_ += name_;
            return;
        }
        if (ec) {
            levels_.clear();
            return;
        }
        levels_.pop_back();
    }
}

bool is_listed(const path_string& place)
{
    const path_view name = last_element(place);
    error_code ec;
    for (directory_iteration it(path_string(parent_path(place)), iteration_mode::plain, ec); !ec && !it.at_end();
         it.advance(ec))
        if (last_element(it.path()) == name)
            return true;
    return false;
}

} // namespace updater::fs

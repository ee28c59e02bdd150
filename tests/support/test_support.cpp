#include "support/test_support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace updater::test {

namespace fs = std::filesystem;

std::string describe(const error_code& ec)
{
    std::ostringstream out;
    out << ec.category().name() << ' ' << ec.value() << " \"" << ec.message() << '"';
    return out.str();
}

void write_file(const fs::path& file, const std::string& content)
{
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

std::string read_file(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_tree(const fs::path& root, const tree& files)
{
    fs::create_directories(root);
    for (const auto& [rel, content] : files) {
        fs::path place = root / fs::path(reinterpret_cast<const char8_t*>(rel.c_str()));
        if (!rel.empty() && rel.back() == '/')
            fs::create_directories(place);
        else
            write_file(place, content);
    }
}

tree read_tree(const fs::path& root)
{
    tree result;
    std::error_code ec;
    if (!fs::is_directory(root, ec))
        return result;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        auto u8 = it->path().lexically_relative(root).generic_u8string();
        std::string rel(u8.begin(), u8.end());
        if (it->is_symlink())
            result[rel + "@"] = "";
        else if (it->is_directory())
            result[rel + "/"] = "";
        else
            result[rel] = read_file(it->path());
    }
    return result;
}

std::string shell_quoted(const fs::path& path)
{
    std::string quoted = "'";
    for (char c : path.string()) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

void temp_dir_test::SetUp()
{
    static std::atomic<unsigned> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::string name = std::string("qm-") + info->test_suite_name() + "-" + info->name() + "-" + std::to_string(stamp) +
                       "-" + std::to_string(counter++);
    for (char& c : name)
        if (c == '/')
            c = '_';
    root_ = fs::temp_directory_path() / name;
    fs::create_directories(root_);
}

void temp_dir_test::TearDown()
{
    std::error_code ec;
    fs::remove_all(root_, ec);
}

fs::path temp_dir_test::at(const std::string& rel) const
{
    if (rel.empty())
        return root_;
    return root_ / fs::path(reinterpret_cast<const char8_t*>(rel.c_str()));
}

path_string temp_dir_test::native(const std::string& rel) const { return at(rel).native(); }

} // namespace updater::test

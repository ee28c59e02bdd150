#include "support/child_process.h"
#include "support/child_process_shared.h"

#include "updater/fs/path.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace updater::test {

namespace fs = std::filesystem;

namespace {

bool changed(const std::vector<environment_change>& changes, std::string_view entry)
{
    for (const auto& change : changes)
        if (entry.size() > change.name.size() && entry.substr(0, change.name.size()) == change.name &&
            entry[change.name.size()] == '=')
            return true;
    return false;
}

} // namespace

std::vector<std::string> environment_with(const std::vector<environment_change>& changes,
                                          const std::vector<std::string>& current)
{
    std::vector<std::string> result;
    for (const auto& entry : current)
        if (!changed(changes, entry))
            result.push_back(entry);
    for (const auto& change : changes)
        if (change.value)
            result.push_back(change.name + "=" + *change.value);
    return result;
}

fs::path tool_path(const std::string& name)
{
    const char* tools = std::getenv("QM_TEST_TOOLS");
    if (!tools)
        throw std::runtime_error("QM_TEST_TOOLS names the folder of the test tools");
    return fs::path(tools) / (windows_path_rules ? name + ".exe" : name);
}

bool wait_for_file(const fs::path& file)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    std::error_code ec;
    while (!fs::exists(file, ec)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace updater::test

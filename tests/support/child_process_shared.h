// What the platform parts of child_process share.
#pragma once

#include "support/child_process.h"

#include <chrono>
#include <string>
#include <vector>

namespace updater::test {

// Long enough for any process the tests start to get going; never reached when things work.
inline constexpr auto patience = std::chrono::seconds(60);

// The environment entries ("NAME=value") of current with changes made.
std::vector<std::string> environment_with(const std::vector<environment_change>& changes,
                                          const std::vector<std::string>& current);

} // namespace updater::test

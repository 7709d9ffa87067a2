// The message of the library exception an action raises.
#pragma once

#include <functional>
#include <string>

namespace vorn::test {

// The message text of the exception the action raises, or "no exception".
std::string MessageOf(const std::function<void()> &action);

}  // namespace vorn::test

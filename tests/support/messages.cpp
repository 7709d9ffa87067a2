#include "support/messages.h"

#include "runtime/exceptions.h"

namespace vorn::test {

std::string MessageOf(const std::function<void()> &action) {
  try {
    action();
  } catch (const Exception &e) {
    return e.Message();
  }
  return "no exception";
}

}  // namespace vorn::test

// The notices (message boxes) the library shows, as the tests see them. On
// Linux the library's own user layer records them. On Windows the test
// program takes the place of the system's MessageBoxA (see notices.cpp), so
// that the library's calls are recorded instead of opening a window.
#pragma once

#include "platform/user.h"

#if defined(_WIN32)

#include <optional>
#include <string>

namespace vorn {

struct ShownMessageBox {
  std::string caption;
  std::string text;
  UINT type = 0;
};

std::optional<ShownMessageBox> LastShownMessageBoxForTesting();
void ClearShownMessageBoxForTesting();
int ShownMessageBoxCountForTesting();

}  // namespace vorn

#endif  // _WIN32

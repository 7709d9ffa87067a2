// Switches the process-wide active ANSI code page for the length of a scope,
// so that a failing test cannot leave a double-byte page behind for others.
#pragma once

#include <gtest/gtest.h>

#include "platform/user.h"

#if !defined(_WIN32)  // Windows's active code page is the system's

namespace vorn::test {

class ScopedCodePage {
 public:
  explicit ScopedCodePage(UINT codePage) : previous_(GetACP()) {
    EXPECT_TRUE(SetActiveCodePageForTesting(codePage)) << codePage;
  }
  ~ScopedCodePage() { SetActiveCodePageForTesting(previous_); }
  ScopedCodePage(const ScopedCodePage &) = delete;
  ScopedCodePage &operator=(const ScopedCodePage &) = delete;

 private:
  UINT previous_;
};

}  // namespace vorn::test

#endif  // !_WIN32

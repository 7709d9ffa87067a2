// POSIX implementation of the user-interface services declared in user.h.
#include "platform/user.h"

#if !defined(_WIN32)

#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

constexpr UINT kDefaultCodePage = 1252;

std::atomic<UINT> g_activeCodePage{kDefaultCodePage};

// Everything about the last message box; guarded because a host may open
// documents from several threads at once.
std::mutex g_shownMutex;
std::optional<vorn::ShownMessageBox> g_lastShown;
int g_shownCount = 0;

bool IsDoubleBytePage(UINT codePage) {
  return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}

bool IsKnownSingleBytePage(UINT codePage) {
  switch (codePage) {
    case 437: case 850: case 852: case 866: case 874: case 20127:
    case 28605:
      return true;
    default:
      return (codePage >= 1250 && codePage <= 1258) ||
             (codePage >= 28591 && codePage <= 28599);
  }
}

// A message box is one line: line breaks would split it, and a reader of the
// log should see caption and text together.
void AppendOnOneLine(std::string &line, const char *text) {
  for (; *text != '\0'; ++text) line += (*text == '\r' || *text == '\n') ? ' ' : *text;
}

}  // namespace

extern "C" {

int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
  if (caption == nullptr) caption = "Error";
  if (text == nullptr) text = "";
  std::string line;
  AppendOnOneLine(line, caption);
  line += ": ";
  AppendOnOneLine(line, text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);

  std::lock_guard<std::mutex> lock(g_shownMutex);
  g_lastShown = vorn::ShownMessageBox{caption, text, type};
  ++g_shownCount;
  return IDOK;
}

BOOL WINAPI IsDBCSLeadByte(BYTE testChar) {
  switch (g_activeCodePage.load(std::memory_order_relaxed)) {
    case 932:  // Shift JIS
      return (testChar >= 0x81 && testChar <= 0x9F) || (testChar >= 0xE0 && testChar <= 0xFC);
    case 936:  // GBK
    case 949:  // Unified Hangul Code
    case 950:  // Big5
      return testChar >= 0x81 && testChar <= 0xFE;
    default:
      return FALSE;
  }
}

UINT WINAPI GetACP(void) { return g_activeCodePage.load(std::memory_order_relaxed); }

}  // extern "C"

namespace vorn {

bool SetActiveCodePageForTesting(UINT codePage) {
  if (!IsDoubleBytePage(codePage) && !IsKnownSingleBytePage(codePage)) return false;
  g_activeCodePage.store(codePage, std::memory_order_relaxed);
  return true;
}

std::optional<ShownMessageBox> LastShownMessageBoxForTesting() {
  std::lock_guard<std::mutex> lock(g_shownMutex);
  return g_lastShown;
}

void ClearShownMessageBoxForTesting() {
  std::lock_guard<std::mutex> lock(g_shownMutex);
  g_lastShown.reset();
  g_shownCount = 0;
}

int ShownMessageBoxCountForTesting() {
  std::lock_guard<std::mutex> lock(g_shownMutex);
  return g_shownCount;
}

}  // namespace vorn

#endif  // !_WIN32

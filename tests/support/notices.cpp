#include "support/notices.h"

#if defined(_WIN32)

namespace vorn {

namespace {

std::optional<ShownMessageBox> g_last;
int g_count = 0;

int WINAPI RecordMessageBox(HWND, LPCSTR text, LPCSTR caption, UINT type) {
  g_last = ShownMessageBox{caption ? caption : "Error", text ? text : "", type};
  ++g_count;
  return IDOK;
}

}  // namespace

std::optional<ShownMessageBox> LastShownMessageBoxForTesting() { return g_last; }

void ClearShownMessageBoxForTesting() {
  g_last.reset();
  g_count = 0;
}

int ShownMessageBoxCountForTesting() { return g_count; }

}  // namespace vorn

// The library calls MessageBoxA through the import pointer the linker
// would otherwise take from user32's import library: defined here, it
// points at the recorder.
#if defined(_WIN64)
#define VORN_MESSAGEBOX_IMPORT "__imp_MessageBoxA"
#else
#define VORN_MESSAGEBOX_IMPORT "__imp__MessageBoxA@16"
#endif
extern "C" decltype(&MessageBoxA) vornMessageBoxImport __asm__(VORN_MESSAGEBOX_IMPORT);
decltype(&MessageBoxA) vornMessageBoxImport = &vorn::RecordMessageBox;

#endif  // _WIN32

// User-interface services with Win32 names and semantics: the message box and
// the lead-byte test of the active ANSI code page. On Windows these are the
// system's own; elsewhere user.cpp implements them for a process without a
// desktop: a message box is one line on standard error, and the active code
// page is a process-wide setting that starts single-byte.
#pragma once

#include "platform/wintypes.h"

#if !defined(_WIN32)

#include <optional>
#include <string>

extern "C" {

// Message box styles and results.
#define MB_OK 0x00000000u
#define MB_ICONINFORMATION 0x00000040u
#define IDOK 1

// Writes "caption: text" as one line to standard error (line breaks in
// either become spaces) and returns IDOK at once. A null caption reads
// "Error", as on Windows; a null text is empty.
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// True when the byte opens a two-byte character in the active ANSI code
// page; always false on a single-byte page.
BOOL WINAPI IsDBCSLeadByte(BYTE testChar);

// The active ANSI code page: 1252 unless a test switched it.
UINT WINAPI GetACP(void);

}  // extern "C"

namespace vorn {

// Makes codePage the process-wide active ANSI code page, so that tests can
// run the double-byte paths. Known pages are the double-byte 932, 936, 949
// and 950 and the common single-byte pages (437, 850, 852, 866, 874,
// 1250-1258, 20127, 28591-28599, 28605); an unknown page is refused with
// false and the active page stays as it was.
bool SetActiveCodePageForTesting(UINT codePage);

// What the most recent MessageBoxA call showed, so that tests can check a
// notice without a screen.
struct ShownMessageBox {
  std::string caption;
  std::string text;
  UINT type = 0;
};

// The last message box shown since the process started or since
// ClearShownMessageBoxForTesting, if any.
std::optional<ShownMessageBox> LastShownMessageBoxForTesting();
// Forgets the last message box and resets the count.
void ClearShownMessageBoxForTesting();
// How many message boxes were shown since the last clear.
int ShownMessageBoxCountForTesting();

}  // namespace vorn

#endif  // !_WIN32

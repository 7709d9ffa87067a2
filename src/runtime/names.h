// File-name and text helpers with no dependencies beyond the standard
// library, so that small programs (the command-line tool) can compile them
// together with the table of file kinds alone.
#pragma once

#include <string>

namespace vorn {

// The extension of a file name: the text from the last dot of its last path
// component, dot included; empty when there is none.
std::string ExtractFileExt(const std::string &fileName);

// ASCII lower case; other bytes unchanged (names are in the ANSI code page).
std::string LowerCase(std::string text);

}  // namespace vorn

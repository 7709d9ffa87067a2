// The kinds of file the library knows, in one table: each kind's name and how
// its first bytes are recognised. The table
// and the signature test are pure (no file access, no readers), so the
// readers, the opener and the command-line tool can all consult them.
#pragma once

#include <span>
#include <string>

namespace vorn {

struct TFileKind {
  const char *Kind;       // lower-case extension with its dot: ".png"
  const char *Name;       // what a user calls it: "PNG"
  const char *Signature;  // the content test, in words; nullptr: by extension only
};

// Every kind, in the order the content signatures are tested (kinds told by
// extension only come after them).
std::span<const TFileKind> FileKinds();

// The entry of a kind (".png"), or nullptr when the library does not know it.
const TFileKind *FindFileKind(const std::string &kind);

// The kind of a file from its first ten bytes (zero-padded when the file is
// shorter) and its name: ".gif", ".png", ".jpg" (0xFF 0xD8), ".bmp" or
// ".vrn" when the bytes say so, in that order, otherwise the name's own
// extension in lower case (empty when it has none).
std::string DetectFormatFromBytes(const unsigned char (&head)[10], const std::string &fileName);

}  // namespace vorn

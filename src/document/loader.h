// Opening a document by format: detection by content and extension, and the
// dispatch to one reader (TFrameList::LoadFromFile).
#pragma once

#include <string>

namespace vorn {

// The kind of a file as a lower-case extension with its dot: ".gif", ".png",
// ".jpg", ".bmp" or ".vrn" when the first bytes say so, otherwise the file
// name's own extension in lower case (empty when it has none). Raises when
// the file cannot be opened.
std::string DetectFormat(const std::string &fileName);

// The same decision on bytes already read (the first ten, zero-padded).
std::string DetectFormatFromBytes(const unsigned char (&head)[10],
                                  const std::string &fileName);

}  // namespace vorn

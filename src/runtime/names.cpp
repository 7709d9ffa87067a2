#include "runtime/names.h"

namespace vorn {

std::string ExtractFileExt(const std::string &fileName) {
  size_t dot = fileName.find_last_of(".\\/:");
  if (dot == std::string::npos || fileName[dot] != '.') return {};
  return fileName.substr(dot);
}

std::string LowerCase(std::string text) {
  for (char &c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace vorn

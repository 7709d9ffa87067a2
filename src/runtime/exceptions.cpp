#include "runtime/exceptions.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/kernel.h"

namespace vorn {

std::string Format(const char *format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(length));
  }
  va_end(args);
  return text;
}

EFOpenError::EFOpenError(const std::string &name, uint32_t osError)
    : EStreamError(Format("Cannot open file \"%s\". OS error %u", name.c_str(), osError)),
      osError_(osError) {}

EFCreateError::EFCreateError(const std::string &name, uint32_t osError)
    : EStreamError(Format("Cannot create file \"%s\". OS error %u", name.c_str(), osError)),
      osError_(osError) {}

EOSError::EOSError(uint32_t code)
    : Exception(Format("System Error.  Code: %u.", code)), code_(code) {}

void RaiseLastOSError() { throw EOSError(GetLastError()); }

bool IsOutOfMemory(const std::exception &error) {
  return dynamic_cast<const std::bad_alloc *>(&error) || dynamic_cast<const EOutOfMemory *>(&error);
}

}  // namespace vorn

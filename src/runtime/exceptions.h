// The library's exception classes. Every failure inside the library is one of
// these, carrying a fixed message text; the exported functions translate any
// of them into an error code at the C boundary.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace vorn {

// printf-style formatting into a std::string.
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Base of every library exception: a message text.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char *what() const noexcept override { return message_.c_str(); }
  const std::string &Message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Graphic errors of the pixel surfaces and stores.
class EInvalidGraphic : public Exception {
  using Exception::Exception;
};
class EInvalidGraphicOperation : public Exception {
  using Exception::Exception;
};
class EOutOfResources : public Exception {
  using Exception::Exception;
};

// Memory that could not be obtained.
class EOutOfMemory : public Exception {
 public:
  EOutOfMemory() : Exception("Out of memory") {}
};

// Whether an error says memory ran out (the allocator's std::bad_alloc, or
// EOutOfMemory): no fault of the file being read, so a reader that keeps
// the frames before a damaged one must not keep them for this.
bool IsOutOfMemory(const std::exception &error);

// Stream errors: a short read, a short write, a file that cannot be opened
// or created.
class EStreamError : public Exception {
  using Exception::Exception;
};
class EReadError : public EStreamError {
 public:
  EReadError() : EStreamError("Stream read error") {}
};
class EWriteError : public EStreamError {
 public:
  EWriteError() : EStreamError("Stream write error") {}
};
class EFOpenError : public EStreamError {
 public:
  explicit EFOpenError(const std::string &name, uint32_t osError);
  uint32_t OSError() const noexcept { return osError_; }

 private:
  uint32_t osError_;
};
class EFCreateError : public EStreamError {
 public:
  explicit EFCreateError(const std::string &name, uint32_t osError);
  uint32_t OSError() const noexcept { return osError_; }

 private:
  uint32_t osError_;
};

// An operating-system call failed; carries the system's error code.
class EOSError : public Exception {
 public:
  explicit EOSError(uint32_t code);
  uint32_t Code() const noexcept { return code_; }

 private:
  uint32_t code_;
};

// Raises EOSError with the calling thread's last system error.
[[noreturn]] void RaiseLastOSError();

// An index outside a list.
class EListError : public Exception {
  using Exception::Exception;
};

// Message texts of the graphic error classes (the offending number goes in
// place of %d, the object's name in place of %s).
inline constexpr const char *kInvalidBitCount = "不正なビット数です (%d)";
inline constexpr const char *kInvalidPixelFormat = "不正なピクセルフォーマットです";
inline constexpr const char *kScanLineOutOfRange =
    "スキャンラインのインデックスが範囲を越えました (%d)";
inline constexpr const char *kInvalidDIB = "不正な DIB です";
inline constexpr const char *kCannotCreate = "%s を作成できません";

// Message of the foreign-format readers for a file they do not serve or
// cannot read.
inline constexpr const char *kUnknownFormat = "Unknown format";

}  // namespace vorn

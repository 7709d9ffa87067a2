#include "runtime/streams.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <cstring>
#include <limits>

#include "platform/kernel.h"
#include "platform/littleendian.h"
#include "runtime/exceptions.h"

namespace vorn {

// --- TStream ---------------------------------------------------------------

void TStream::SetSize(int64_t) { throw EStreamError("Stream size cannot be changed"); }

int64_t TStream::Size() {
  int64_t position = Seek(0, soFromCurrent);
  int64_t size = Seek(0, soFromEnd);
  Seek(position, soFromBeginning);
  return size;
}

void TStream::ReadBuffer(void *buffer, int64_t count) {
  if (count < 0) throw EReadError();
  if (count > 0 && Read(buffer, count) != count) throw EReadError();
}

void TStream::WriteBuffer(const void *buffer, int64_t count) {
  if (count < 0) throw EWriteError();
  if (count > 0 && Write(buffer, count) != count) throw EWriteError();
}

int64_t TStream::CopyFrom(TStream &source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  if (count < 0) throw EReadError();
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(count, 1 << 20)));
  int64_t left = count;
  while (left > 0) {
    int64_t n = std::min<int64_t>(left, static_cast<int64_t>(buffer.size()));
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return count;
}

uint8_t TStream::ReadU8() {
  uint8_t b;
  ReadBuffer(&b, 1);
  return b;
}

uint16_t TStream::ReadU16() {
  uint8_t b[2];
  ReadBuffer(b, 2);
  return UncheckedLe16(b);
}

uint32_t TStream::ReadU32() {
  uint8_t b[4];
  ReadBuffer(b, 4);
  return UncheckedLe32(b);
}

void TStream::WriteU16(uint16_t value) {
  uint8_t b[2];
  UncheckedStoreLe16(b, value);
  WriteBuffer(b, 2);
}

void TStream::WriteU32(uint32_t value) {
  uint8_t b[4];
  UncheckedStoreLe32(b, value);
  WriteBuffer(b, 4);
}

// Position after a seek, clamped to [0, size] as memory streams allow.
static int64_t SeekTarget(int64_t position, int64_t size, int64_t offset, int origin) {
  int64_t base = origin == soFromCurrent ? position : origin == soFromEnd ? size : 0;
  if (offset > 0 && base > std::numeric_limits<int64_t>::max() - offset)
    return std::numeric_limits<int64_t>::max();
  int64_t target = base + offset;
  return target < 0 ? 0 : target;
}

// --- TMemoryStream ---------------------------------------------------------

int64_t TMemoryStream::Read(void *buffer, int64_t count) {
  int64_t size = Size();
  if (count <= 0 || position_ >= size) return 0;
  int64_t n = std::min(count, size - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void *buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = position_ + count;
  if (end > Size()) data_.resize(static_cast<size_t>(end));
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, int origin) {
  position_ = SeekTarget(position_, Size(), offset, origin);
  return position_;
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  data_.resize(static_cast<size_t>(size));
  if (position_ > size) position_ = size;
}

// --- TReadOnlyMemoryStream -------------------------------------------------

int64_t TReadOnlyMemoryStream::Read(void *buffer, int64_t count) {
  if (count <= 0 || position_ >= size_) return 0;
  int64_t n = std::min(count, size_ - position_);
  std::memcpy(buffer, data_ + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TReadOnlyMemoryStream::Seek(int64_t offset, int origin) {
  position_ = SeekTarget(position_, size_, offset, origin);
  return position_;
}

// --- TStreamWindow -----------------------------------------------------------

TStreamWindow::TStreamWindow(TStream &source, int64_t base, int64_t size, const void *prefix,
                             size_t prefixSize)
    : source_(source),
      base_(std::max<int64_t>(base, 0)),
      size_(std::max<int64_t>(size, 0)),
      prefix_(static_cast<const uint8_t *>(prefix)),
      prefixSize_(prefix ? static_cast<int64_t>(prefixSize) : 0) {
  // A part reaching past the largest offset ends there.
  size_ = std::min(size_, std::numeric_limits<int64_t>::max() - base_);
}

int64_t TStreamWindow::Read(void *buffer, int64_t count) {
  const int64_t end = Size();
  if (count <= 0 || position_ >= end) return 0;
  count = std::min(count, end - position_);
  auto *out = static_cast<uint8_t *>(buffer);
  int64_t done = 0;
  if (position_ < prefixSize_) {
    done = std::min(count, prefixSize_ - position_);
    std::memcpy(out, prefix_ + position_, static_cast<size_t>(done));
    position_ += done;
  }
  if (done < count) {
    source_.SetPosition(base_ + (position_ - prefixSize_));
    const int64_t got = source_.Read(out + done, count - done);
    if (got > 0) {
      done += got;
      position_ += got;
    }
  }
  return done;
}

int64_t TStreamWindow::Seek(int64_t offset, int origin) {
  position_ = SeekTarget(position_, Size(), offset, origin);
  return position_;
}

// --- TFileStream -----------------------------------------------------------

TFileStream::TFileStream(const std::string &fileName, FileMode mode) : fileName_(fileName) {
  switch (mode) {
    case FileMode::OpenRead:
    case FileMode::OpenShared: {
      DWORD share = mode == FileMode::OpenRead ? FILE_SHARE_READ
                                               : FILE_SHARE_READ | FILE_SHARE_WRITE;
      handle_ = CreateFileA(fileName.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle_ == INVALID_HANDLE_VALUE) throw EFOpenError(fileName, GetLastError());
      break;
    }
    case FileMode::Create:
    case FileMode::CreateNew:
      handle_ = CreateFileA(fileName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            mode == FileMode::Create ? CREATE_ALWAYS : CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle_ == INVALID_HANDLE_VALUE) throw EFCreateError(fileName, GetLastError());
      break;
  }
}

TFileStream::~TFileStream() { CloseHandle(handle_); }

int64_t TFileStream::Read(void *buffer, int64_t count) {
  auto *out = static_cast<uint8_t *>(buffer);
  int64_t total = 0;
  while (count > 0) {
    DWORD chunk = static_cast<DWORD>(std::min<int64_t>(count, 1 << 30));
    DWORD done = 0;
    if (!ReadFile(handle_, out + total, chunk, &done, nullptr)) break;
    total += done;
    count -= done;
    if (done < chunk) break;
  }
  return total;
}

int64_t TFileStream::Write(const void *buffer, int64_t count) {
  auto *in = static_cast<const uint8_t *>(buffer);
  int64_t total = 0;
  while (count > 0) {
    DWORD chunk = static_cast<DWORD>(std::min<int64_t>(count, 1 << 30));
    DWORD done = 0;
    if (!WriteFile(handle_, in + total, chunk, &done, nullptr)) break;
    total += done;
    count -= done;
    if (done < chunk) break;
  }
  return total;
}

int64_t TFileStream::Seek(int64_t offset, int origin) {
  LARGE_INTEGER distance{}, position{};
  distance.QuadPart = offset;
  if (!SetFilePointerEx(handle_, distance, &position, static_cast<DWORD>(origin))) {
    // A seek before the start leaves the position where it was, as files do.
    distance.QuadPart = 0;
    SetFilePointerEx(handle_, distance, &position, FILE_CURRENT);
  }
  return position.QuadPart;
}

int64_t TFileStream::Size() {
  LARGE_INTEGER size{};
  GetFileSizeEx(handle_, &size);
  return size.QuadPart;
}

void TFileStream::Flush() {
  if (!FlushFileBuffers(handle_)) throw EWriteError();
}

void WriteFileReplacing(const std::string &fileName,
                        const std::function<void(TStream &)> &write) {
  DWORD attributes = GetFileAttributesA(fileName.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
    throw EFCreateError(fileName, ERROR_ACCESS_DENIED);

  static std::atomic<uint32_t> counter{0};
  std::unique_ptr<TFileStream> file;
  std::string temporary;
  for (int attempt = 0; !file; ++attempt) {
    temporary = fileName + Format(".%08X%04X.tmp", static_cast<unsigned>(GetCurrentProcessId()),
                                  static_cast<unsigned>(counter++ & 0xFFFF));
    try {
      file = std::make_unique<TFileStream>(temporary, FileMode::CreateNew);
    } catch (const EFCreateError &e) {
      if (e.OSError() != ERROR_FILE_EXISTS || attempt >= 16) throw EFCreateError(fileName, e.OSError());
    }
  }
  try {
    write(*file);
    file.reset();
  } catch (...) {
    file.reset();
    DeleteFileA(temporary.c_str());
    throw;
  }
  if (!MoveFileExA(temporary.c_str(), fileName.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DWORD error = GetLastError();
    DeleteFileA(temporary.c_str());
    throw EFCreateError(fileName, error);
  }
}

// --- File names ------------------------------------------------------------

bool FileExists(const std::string &fileName) {
  DWORD attributes = GetFileAttributesA(fileName.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace vorn

// Byte streams: the abstract TStream with exact-length reads and writes, a
// growable memory stream, a read-only view over caller memory, and a file
// stream over the platform's file functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/wintypes.h"
#include "runtime/names.h"

namespace vorn {

// Seek origins.
enum : int { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to count bytes; returns how many were read (0 at the end).
  virtual int64_t Read(void *buffer, int64_t count) = 0;
  // Writes count bytes; returns how many were written.
  virtual int64_t Write(const void *buffer, int64_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  virtual void SetSize(int64_t size);

  int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(int64_t position) { Seek(position, soFromBeginning); }
  virtual int64_t Size();
  int64_t Remaining() { return Size() - Position(); }

  // Reads exactly count bytes or raises EReadError.
  void ReadBuffer(void *buffer, int64_t count);
  // Writes exactly count bytes or raises EWriteError.
  void WriteBuffer(const void *buffer, int64_t count);
  // Copies count bytes from source (all of it from its start when count is
  // 0); raises on a short read or write. Returns the bytes copied.
  int64_t CopyFrom(TStream &source, int64_t count);

  // Little-endian integers; each raises EReadError on a short read.
  uint8_t ReadU8();
  uint16_t ReadU16();
  uint32_t ReadU32();
  int32_t ReadI32() { return static_cast<int32_t>(ReadU32()); }
  void WriteU8(uint8_t value) { WriteBuffer(&value, 1); }
  void WriteU16(uint16_t value);
  void WriteU32(uint32_t value);
};

// A growable stream in memory.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> bytes) : data_(std::move(bytes)) {}

  int64_t Read(void *buffer, int64_t count) override;
  int64_t Write(const void *buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  uint8_t *Memory() { return data_.data(); }
  const std::vector<uint8_t> &Bytes() const { return data_; }
  std::vector<uint8_t> TakeBytes() { position_ = 0; return std::move(data_); }
  void Clear() { data_.clear(); position_ = 0; }

 private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};

// A read-only stream over memory the caller keeps alive.
class TReadOnlyMemoryStream : public TStream {
 public:
  TReadOnlyMemoryStream(const void *data, size_t size)
      : data_(static_cast<const uint8_t *>(data)), size_(static_cast<int64_t>(size)) {}

  int64_t Read(void *buffer, int64_t count) override;
  int64_t Write(const void *, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return size_; }

 private:
  const uint8_t *data_;
  int64_t size_;
  int64_t position_ = 0;
};

// A read-only view of part of another stream: bytes [base, base + size)
// of the source seen as a stream of their own, optionally after a few
// bytes of the caller's (a header the source lacks). Reads go to the source
// as they come, without a copy of the part; the source and the prefix must
// outlive the view, and nothing else may move the source's position while a
// read is under way.
class TStreamWindow : public TStream {
 public:
  TStreamWindow(TStream &source, int64_t base, int64_t size, const void *prefix = nullptr,
                size_t prefixSize = 0);

  int64_t Read(void *buffer, int64_t count) override;
  int64_t Write(const void *, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return prefixSize_ + size_; }

 private:
  TStream &source_;
  int64_t base_;
  int64_t size_;
  const uint8_t *prefix_;
  int64_t prefixSize_;
  int64_t position_ = 0;
};

// File modes of TFileStream.
enum class FileMode {
  OpenRead,   // read an existing file; other readers allowed, writers denied
  OpenShared, // read an existing file; nothing denied to others
  Create,     // create or truncate for writing
  CreateNew,  // create for writing; fail when the name exists
};

// A file on disk. Opening failures raise EFOpenError / EFCreateError.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string &fileName, FileMode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream &) = delete;
  TFileStream &operator=(const TFileStream &) = delete;

  int64_t Read(void *buffer, int64_t count) override;
  int64_t Write(const void *buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override;

  const std::string &FileName() const { return fileName_; }
  // Flushes written data to the disk; raises EWriteError on failure.
  void Flush();

 private:
  std::string fileName_;
  HANDLE handle_;
};

// Writes a file through a temporary file in the same folder that is renamed
// into place when complete, so that a failure part-way leaves an existing
// file of that name as it was. A read-only existing file is not replaced
// (EFCreateError). The temporary file is removed on failure.
void WriteFileReplacing(const std::string &fileName, const std::function<void(TStream &)> &write);

// True when a file (not a folder) of that name exists.
bool FileExists(const std::string &fileName);

}  // namespace vorn

// Helpers for tests that need files: a private temporary folder removed at
// the end of the test, and whole-file reads and writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vorn::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::filesystem::path &Path() const { return path_; }
  // The full name of a file in this folder.
  std::string File(const std::string &name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::string &name, const std::vector<uint8_t> &bytes);
void WriteFile(const std::string &name, const std::string &text);
std::vector<uint8_t> ReadFile(const std::string &name);

// A file of the bundled test data (tests/data/...).
std::string DataFile(const std::string &relative);

}  // namespace vorn::test

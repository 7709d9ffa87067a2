// A fixture for tests that open documents through vnOpen: bytes are written
// into a private folder as numbered files, and every document opened is
// closed when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "api/registry.h"
#include "api/vnframelist.h"
#include "support/files.h"
#include "vornfile.h"

namespace vorn::test {

class DocumentTest : public ::testing::Test {
 protected:
  // Opens the bytes as a new file with the extension; 0 when the open fails.
  vnHandle OpenBytes(const std::vector<uint8_t> &bytes, const std::string &extension) {
    const std::string name = dir_.File("file" + std::to_string(files_++) + extension);
    WriteFile(name, bytes);
    return Track(vnOpen(name.c_str()));
  }
  // Closes the document when the test ends.
  vnHandle Track(vnHandle handle) {
    if (handle) handles_.push_back(handle);
    return handle;
  }
  void TearDown() override {
    for (vnHandle handle : handles_) vnClose(handle);
  }
  // The first frame's first layer, and the options the document was read
  // with.
  static TDIBSurface &Layer(vnHandle handle) {
    return registry::Find(handle)->FrameAt(0)->Layers().LayerAt(0)->GetSurface();
  }
  static TSaveOption &Options(vnHandle handle) { return registry::Find(handle)->SaveOptions; }

  TempDir dir_;

 private:
  int files_ = 0;
  std::vector<vnHandle> handles_;
};

}  // namespace vorn::test

// The registry of live documents. A document handle is a 32-bit identifier
// issued here, never an address: a value that names no live document is
// refused without being dereferenced.
#pragma once

#include <cstdint>
#include <memory>

namespace vorn {

class TVNFrameList;

namespace registry {

// Takes ownership of a document and returns its new handle (never 0).
uint32_t Add(std::unique_ptr<TVNFrameList> document);
// The live document of a handle, or nullptr.
TVNFrameList *Find(uint32_t handle);
// Removes a handle and hands its document back (nullptr when not live).
std::unique_ptr<TVNFrameList> Remove(uint32_t handle);
// The number of live documents.
size_t LiveCount();

}  // namespace registry
}  // namespace vorn

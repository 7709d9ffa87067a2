#include "api/registry.h"

#include <mutex>
#include <unordered_map>

#include "api/vnframelist.h"

namespace vorn::registry {
namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<uint32_t, std::unique_ptr<TVNFrameList>> documents;
  uint32_t next = 1;
};

Registry &Instance() {
  static Registry registry;
  return registry;
}

}  // namespace

uint32_t Add(std::unique_ptr<TVNFrameList> document) {
  Registry &r = Instance();
  std::lock_guard lock(r.mutex);
  // Identifiers count upwards, so a closed handle is not reused until the
  // counter wraps after 2^32 opens.
  uint32_t handle;
  do {
    handle = r.next++;
  } while (handle == 0 || r.documents.count(handle) != 0);
  r.documents.emplace(handle, std::move(document));
  return handle;
}

TVNFrameList *Find(uint32_t handle) {
  Registry &r = Instance();
  std::lock_guard lock(r.mutex);
  auto it = r.documents.find(handle);
  return it == r.documents.end() ? nullptr : it->second.get();
}

std::unique_ptr<TVNFrameList> Remove(uint32_t handle) {
  Registry &r = Instance();
  std::lock_guard lock(r.mutex);
  auto it = r.documents.find(handle);
  if (it == r.documents.end()) return nullptr;
  std::unique_ptr<TVNFrameList> document = std::move(it->second);
  r.documents.erase(it);
  return document;
}

size_t LiveCount() {
  Registry &r = Instance();
  std::lock_guard lock(r.mutex);
  return r.documents.size();
}

}  // namespace vorn::registry

// libFuzzer target for the native document readers, current and older
// versions: reads the input as a document into a frame list, as vnOpen
// does, under limits that keep one run small.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "document/framelist.h"
#include "native/nativefile.h"
#include "nativelimits.h"
#include "runtime/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1u << 20)) return 0;  // documents worth searching are small
  const vorn::TNativeOptions options = vorn::fuzz::SmallDocumentOptions();
  vorn::TReadOnlyMemoryStream stream(data, size);
  vorn::TFrameList list;
  try {
    vorn::ReadNative(list, stream, false, nullptr, nullptr, options);
    if (list.Count() > 0) list.ComposeAll();
  } catch (const std::exception &) {
    // A refused document is a normal outcome.
  }
  return 0;
}

// libFuzzer target for animated cursors: reads the input as vnOpen does
// (container, icon images, one frame per step) under a document bound that
// keeps one run small.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "document/framelist.h"
#include "formats/ani.h"
#include "runtime/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1u << 20)) return 0;  // cursors worth searching are small
  vorn::TAniLimits limits;
  // A short sequence over one large image asks for many large frames.
  limits.MaxDocumentBytes = int64_t{64} << 20;
  vorn::TReadOnlyMemoryStream stream(data, size);
  vorn::TFrameList list;
  vorn::TSaveOption options;
  try {
    vorn::ReadAni(list, stream, options, nullptr, nullptr, limits);
    if (list.Count() > 0) list.ComposeAll();
  } catch (const std::exception &) {
    // A refused file is a normal outcome.
  }
  return 0;
}

// libFuzzer target for the XML reader of the native header: loads the input
// as a header text and walks it the way the native reader does.
#include <cstddef>
#include <cstdint>

#include "native/krxmls.h"
#include "platform/user.h"
#include "runtime/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1u << 20)) return 0;  // headers are small; larger inputs only slow the search
  // A first byte below 4 picks a code page, so that the double-byte paths
  // are searched too; any other input is read on the single-byte default.
  static constexpr UINT kCodePages[] = {1252, 932, 936, 950};
  UINT codePage = 1252;
  if (size > 0 && data[0] < 4) {
    codePage = kCodePages[data[0]];
    ++data;
    --size;
  }
  vorn::SetActiveCodePageForTesting(codePage);

  vorn::TReadOnlyMemoryStream stream(data, size);
  vorn::TKrXmlElement root;
  root.LoadFromStream(stream);

  volatile int64_t sink = root.AttrInt("Count", 0) + root.AttrBool("SyncPal", false);
  const int32_t frames = root.ChildCount() < 64 ? root.ChildCount() : 64;
  for (int32_t i = 0; i < frames; ++i) {
    const vorn::TKrXmlElement *frame = root.Child(i);
    sink = sink + frame->NameIs("Frame") + frame->AttrStr("Name").size();
    const vorn::TKrXmlElement *layers = frame->ChildByName("Layers");
    if (layers == nullptr) continue;
    sink = sink + layers->AttrInt("Bpp", 8) + layers->ChildText("RGB").size();
    const int32_t first = layers->IndexOfChild("Layer");
    for (int32_t j = 0; first >= 0 && j < 64; ++j) {
      const vorn::TKrXmlElement *layer = layers->Child(first + j);
      if (layer == nullptr) break;
      sink = sink + layer->AttrInt("Left", 0) + layer->AttrBool("Visible", true);
    }
  }
  (void)sink;
  return 0;
}

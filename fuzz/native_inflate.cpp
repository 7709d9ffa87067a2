// Differential libFuzzer target for the native block decoder: reads the
// input twice, with zlib blocks inflated whole where the stream allows and
// with every block streamed through zlib, and stops on the first input for
// which the two documents differ (the failure, or any layer's pixels or
// alpha channel).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <typeinfo>

#include "document/framelist.h"
#include "layers/layerlist.h"
#include "native/nativefile.h"
#include "nativelimits.h"
#include "runtime/streams.h"

namespace {

// FNV-1a over the bytes of every row.
void Mix(uint64_t &hash, const uint8_t *bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
}

void MixSurface(uint64_t &hash, vorn::TDIBSurface &surface) {
  const uint32_t shape[3] = {static_cast<uint32_t>(surface.Width()),
                             static_cast<uint32_t>(surface.Height()),
                             static_cast<uint32_t>(surface.BitCount())};
  Mix(hash, reinterpret_cast<const uint8_t *>(shape), sizeof shape);
  if (surface.Empty()) return;
  vorn::TReadRows rows = surface.ReadRows();
  for (int y = 0; y < surface.Height(); ++y)
    Mix(hash, rows.Row(y), static_cast<size_t>(surface.Stride()));
}

std::string Outcome(const uint8_t *data, size_t size, bool whole) {
  vorn::TNativeOptions options = vorn::fuzz::SmallDocumentOptions();
  options.WholeInflate = whole;
  vorn::TReadOnlyMemoryStream stream(data, size);
  vorn::TFrameList list;
  std::string outcome;
  try {
    vorn::ReadNative(list, stream, false, nullptr, nullptr, options);
  } catch (const std::exception &e) {
    outcome = std::string(typeid(e).name()) + ": " + e.what();
  }
  uint64_t hash = 0xCBF29CE484222325ull;
  for (int f = 0; f < list.Count(); ++f) {
    vorn::TFastLayerList &layers = list.FrameAt(f)->Layers();
    const int32_t count = layers.Count();
    Mix(hash, reinterpret_cast<const uint8_t *>(&count), sizeof count);
    for (int l = 0; l < count; ++l) {
      vorn::TDIBSurface &surface = layers.LayerAt(l)->GetSurface();
      MixSurface(hash, surface);
      if (surface.AlphaChannel()) MixSurface(hash, *surface.AlphaChannel());
    }
  }
  return outcome + " / " + std::to_string(list.Count()) + " frames / " + std::to_string(hash);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1u << 20)) return 0;
  const std::string whole = Outcome(data, size, true), streamed = Outcome(data, size, false);
  if (whole != streamed) {
    std::fprintf(stderr, "inflated whole: %s\nstreamed: %s\n", whole.c_str(), streamed.c_str());
    std::abort();
  }
  return 0;
}

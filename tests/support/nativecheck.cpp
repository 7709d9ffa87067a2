#include "support/nativecheck.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "layers/layerlist.h"
#include "native/nativefile.h"
#include "runtime/streams.h"

namespace vorn::test {

TNativeResult ReadBytes(TFrameList &list, const std::vector<uint8_t> &bytes,
                        const TNativeOptions &options, bool firstFrameOnly) {
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  return ReadNative(list, stream, firstFrameOnly, nullptr, nullptr, options);
}

NativeFrame PatternFrame(int32_t width, int32_t height, int32_t bpp,
                         std::vector<std::function<uint32_t(int32_t, int32_t)>> layers) {
  NativeFrame frame;
  frame.Width = width;
  frame.Height = height;
  frame.Bpp = bpp;
  for (int32_t i = 0; i < PaletteEntries(bpp); ++i) frame.Palette.push_back(i * 0x010101u);
  for (auto &pattern : layers) {
    NativeLayer layer;
    layer.Name = "L" + std::to_string(frame.Layers.size());
    layer.Pixels = PackRows(width, height, bpp, pattern);
    frame.Layers.push_back(std::move(layer));
  }
  return frame;
}

std::vector<uint8_t> SurfaceRows(TDIBSurface &surface) {
  std::vector<uint8_t> rows;
  TReadRows pinned = surface.ReadRows();
  for (int y = 0; y < surface.Height(); ++y) {
    const uint8_t *row = pinned.Row(y);
    rows.insert(rows.end(), row, row + surface.Stride());
  }
  return rows;
}

::testing::AssertionResult HoldsDecoded(TFrameList &list, const DecodedFrames &decoded,
                                        bool moreFrames) {
  if (moreFrames ? list.Count() < static_cast<int>(decoded.size())
                 : list.Count() != static_cast<int>(decoded.size()))
    return ::testing::AssertionFailure() << list.Count() << " frames, expected " << decoded.size();
  for (size_t f = 0; f < decoded.size(); ++f) {
    TFastLayerList &layers = list.FrameAt(static_cast<int>(f))->Layers();
    if (layers.Count() != static_cast<int>(decoded[f].size()))
      return ::testing::AssertionFailure() << "frame " << f << ": " << layers.Count()
                                           << " layers, expected " << decoded[f].size();
    for (size_t l = 0; l < decoded[f].size(); ++l) {
      const DecodedLayer &want = decoded[f][l];
      if (!want.Known) continue;
      TDIBSurface &surface = layers.LayerAt(static_cast<int>(l))->GetSurface();
      auto where = [&] { return "frame " + std::to_string(f) + " layer " + std::to_string(l); };
      if (want.Width <= 0 || want.Height <= 0) {
        if (!surface.Empty()) return ::testing::AssertionFailure() << where() << ": not empty";
        continue;
      }
      if (surface.Width() != want.Width || surface.Height() != want.Height ||
          surface.BitCount() != want.Bpp)
        return ::testing::AssertionFailure()
               << where() << ": " << surface.Width() << "x" << surface.Height() << "x"
               << surface.BitCount() << ", expected " << want.Width << "x" << want.Height << "x"
               << want.Bpp;
      if (SurfaceRows(surface) != want.Pixels)
        return ::testing::AssertionFailure() << where() << ": pixels differ";
      TDIBSurface *alpha = surface.AlphaChannel();
      if ((alpha != nullptr) != want.HasAlpha)
        return ::testing::AssertionFailure()
               << where() << ": alpha channel " << (alpha ? "present" : "missing");
      if (alpha && SurfaceRows(*alpha) != want.Alpha)
        return ::testing::AssertionFailure() << where() << ": alpha differs";
    }
  }
  return ::testing::AssertionSuccess();
}

std::vector<uint8_t> DeflateWithZeros(const std::vector<uint8_t> &prefix, size_t zeros) {
  z_stream z{};
  deflateInit(&z, 1);
  std::vector<uint8_t> out, chunk(1 << 20), zero(1 << 20, 0);
  auto pump = [&](const uint8_t *data, size_t size, int flush) {
    z.next_in = const_cast<Bytef *>(data);
    z.avail_in = static_cast<uInt>(size);
    do {
      z.next_out = chunk.data();
      z.avail_out = static_cast<uInt>(chunk.size());
      deflate(&z, flush);
      out.insert(out.end(), chunk.data(), chunk.data() + (chunk.size() - z.avail_out));
    } while (z.avail_out == 0);
  };
  pump(prefix.data(), prefix.size(), Z_NO_FLUSH);
  for (; zeros > 0; zeros -= std::min(zeros, zero.size()))
    pump(zero.data(), std::min(zeros, zero.size()), Z_NO_FLUSH);
  pump(nullptr, 0, Z_FINISH);
  deflateEnd(&z);
  return out;
}

}  // namespace vorn::test

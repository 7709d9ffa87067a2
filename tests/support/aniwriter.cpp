#include "support/aniwriter.h"

#include <stdexcept>

namespace vorn::test {

namespace {

void Put16(Bytes &out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes &out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void Append(Bytes &out, const Bytes &more) { out.insert(out.end(), more.begin(), more.end()); }

size_t RowBytes(int width, int bpp) { return ((static_cast<size_t>(width) * bpp + 31) / 32) * 4; }

}  // namespace

IconImage SolidImage(int width, int height, int bpp, uint32_t value,
                     std::vector<uint32_t> palette) {
  IconImage image;
  image.Width = width;
  image.Height = height;
  image.Bpp = bpp;
  image.Palette = std::move(palette);
  image.Pixels.assign(static_cast<size_t>(width) * height, value);
  image.Mask.assign(static_cast<size_t>(width) * height, 0);
  return image;
}

Bytes IconImageBytes(const IconImage &image) {
  const size_t count = static_cast<size_t>(image.Width) * image.Height;
  if (image.Pixels.size() != count || image.Mask.size() != count)
    throw std::invalid_argument("icon image: pixels and mask must cover the image");
  Bytes out;
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(image.Width));
  Put32(out, static_cast<uint32_t>(image.Height * 2));
  Put16(out, 1);
  Put16(out, static_cast<uint32_t>(image.Bpp));
  for (int i = 0; i < 6; ++i) Put32(out, 0);  // compression .. colours important
  if (image.Bpp <= 8)
    for (size_t i = 0; i < (size_t{1} << image.Bpp); ++i) {
      uint32_t c = i < image.Palette.size() ? image.Palette[i] : 0;
      Put32(out, c & 0xFFFFFF);  // blue, green, red, 0
    }

  const size_t xorRow = RowBytes(image.Width, image.Bpp), andRow = RowBytes(image.Width, 1);
  for (int y = image.Height - 1; y >= 0; --y) {
    Bytes row(xorRow, 0);
    for (int x = 0; x < image.Width; ++x) {
      uint32_t v = image.Pixels[static_cast<size_t>(y) * image.Width + x];
      switch (image.Bpp) {
        case 1: row[x / 8] |= static_cast<uint8_t>((v & 1) << (7 - x % 8)); break;
        case 4: row[x / 2] |= static_cast<uint8_t>((v & 0xF) << (x % 2 ? 0 : 4)); break;
        case 8: row[x] = static_cast<uint8_t>(v); break;
        default:
          for (int b = 0; b < image.Bpp / 8; ++b)
            row[static_cast<size_t>(x) * (image.Bpp / 8) + b] = static_cast<uint8_t>(v >> (8 * b));
      }
    }
    Append(out, row);
  }
  for (int y = image.Height - 1; y >= 0; --y) {
    Bytes row(andRow, 0);
    for (int x = 0; x < image.Width; ++x)
      if (image.Mask[static_cast<size_t>(y) * image.Width + x])
        row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    Append(out, row);
  }
  return out;
}

Bytes IconFile(const IconImage &image, bool cursor, int hotX, int hotY) {
  Bytes data = IconImageBytes(image);
  Bytes out;
  Put16(out, 0);
  Put16(out, cursor ? 2 : 1);
  Put16(out, 1);
  out.push_back(static_cast<uint8_t>(image.Width));
  out.push_back(static_cast<uint8_t>(image.Height));
  out.push_back(0);
  out.push_back(0);
  Put16(out, cursor ? static_cast<uint32_t>(hotX) : 1);
  Put16(out, cursor ? static_cast<uint32_t>(hotY) : static_cast<uint32_t>(image.Bpp));
  Put32(out, static_cast<uint32_t>(data.size()));
  Put32(out, 22);
  Append(out, data);
  return out;
}

Bytes U32s(const std::vector<uint32_t> &values) {
  Bytes out;
  for (uint32_t v : values) Put32(out, v);
  return out;
}

Bytes Chunk(const std::string &id, const Bytes &data) {
  Bytes out(id.begin(), id.end());
  Put32(out, static_cast<uint32_t>(data.size()));
  Append(out, data);
  if (data.size() & 1) out.push_back(0);
  return out;
}

Bytes List(const std::string &type, const std::vector<Bytes> &chunks) {
  Bytes body(type.begin(), type.end());
  for (const Bytes &c : chunks) Append(body, c);
  Bytes out{'L', 'I', 'S', 'T'};
  Put32(out, static_cast<uint32_t>(body.size()));
  Append(out, body);
  return out;
}

Bytes Riff(const std::vector<Bytes> &chunks) {
  Bytes body{'A', 'C', 'O', 'N'};
  for (const Bytes &c : chunks) Append(body, c);
  Bytes out{'R', 'I', 'F', 'F'};
  Put32(out, static_cast<uint32_t>(body.size()));
  Append(out, body);
  return out;
}

Bytes Anih(uint32_t frames, uint32_t steps, uint32_t rate, uint32_t flags) {
  return Chunk("anih", U32s({36, frames, steps, 0, 0, 0, 0, rate, flags}));
}

Bytes AniFile(const std::vector<Bytes> &icons, uint32_t steps, uint32_t rate) {
  std::vector<Bytes> frames;
  for (const Bytes &icon : icons) frames.push_back(Chunk("icon", icon));
  return Riff({Anih(static_cast<uint32_t>(icons.size()), steps, rate), List("fram", frames)});
}

}  // namespace vorn::test

// `vorn info`: a document's structure in words, or as one JSON document.
#include <cstdio>
#include <string>

#include "tool.h"

namespace vorn::tool {

namespace {

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

// A COLORREF (red in the low byte) as #RRGGBB.
std::string ColourText(uint32_t colour) {
  std::string text = "#";
  text += Hex(((colour & 0xFF) << 16) | (colour & 0xFF00) | ((colour >> 16) & 0xFF), 6);
  return text;
}

std::string DepthText(int32_t bpp) {
  switch (bpp) {
    case 1: return "1 bit per pixel (2 colours from a palette)";
    case 4: return "4 bits per pixel (16 colours from a palette)";
    case 8: return "8 bits per pixel (256 colours from a palette)";
    case 15: return "15 bits per pixel (5 bits each of red, green and blue)";
    case 16: return "16 bits per pixel (5 bits of red, 6 of green, 5 of blue)";
    case 24: return "24 bits per pixel (8 bits each of red, green and blue)";
    case 32: return "32 bits per pixel (8 bits each of red, green and blue, one spare byte)";
    default: return std::to_string(bpp) + " bits per pixel";
  }
}

std::string DisposalText(int32_t disposal) {
  switch (disposal) {
    case 0: return "disposal not specified";
    case 1: return "then left in place";
    case 2: return "then cleared to the background";
    case 3: return "then restored to what was there before";
    default: return "then disposal method " + std::to_string(disposal);
  }
}

// A transparent colour as stored: a palette index at 8 bits or fewer,
// otherwise a pixel value of the surface's own format.
std::string TransparentText(int32_t value, int32_t bpp) {
  if (value == -1) return "no transparent colour";
  if (bpp <= 8) return "transparent where the palette index is " + std::to_string(value);
  return "transparent where the pixel value is 0x" + Hex(static_cast<uint32_t>(value), 6);
}

void PrintText(const Document &doc, bool all) {
  const vnHandle h = doc.Handle();
  const int32_t bpp = vnGetInfo(h, VN_INFO_BPP);
  const int32_t frames = doc.Frames();
  // Timing, disposal and the frame's transparent colour mean something only
  // in the frames of an animation; the background and its fill rule belong
  // to native documents. --all prints every value regardless.
  const bool animation = doc.Animated() && frames > 1;
  const bool native = doc.Kind() == ".vrn";
  std::printf("file         %s\n", doc.FileName().c_str());
  std::printf("kind         %s\n", doc.KindName().c_str());
  std::printf("size         %d x %d pixels\n", vnGetInfo(h, VN_INFO_WIDTH),
              vnGetInfo(h, VN_INFO_HEIGHT));
  std::printf("colours      %s\n", DepthText(bpp).c_str());
  if (native || all) {
    const bool notFill = vnGetInfo(h, VN_INFO_NOTFILLBG) != 0;
    std::printf("background   %s, %s\n",
                ColourText(static_cast<uint32_t>(vnGetInfo(h, VN_INFO_BGCOLOR))).c_str(),
                notFill ? "left out under a bottom layer that is keyed on a transparent colour"
                        : "painted under every frame");
  }
  if ((animation && bpp <= 8) || all)
    std::printf("palette      %s\n", vnGetInfo(h, VN_INFO_SYNCPAL)
                                         ? "one palette shared by all frames"
                                         : "each frame has its own palette");
  std::printf("frames       %d%s\n", frames, animation ? " (an animation)" : "");
  for (int32_t f = 0; f < frames; ++f) {
    const std::string name = doc.FrameName(f);
    std::printf(name.empty() ? "frame %d%s" : "frame %d \"%s\"", f, name.c_str());
    if (animation || all) {
      const int32_t trans = vnGetFrameInfo(h, f, VN_FRAME_TRANSCOLOR);
      std::printf(": shown for %d ms, %s", vnGetFrameInfo(h, f, VN_FRAME_DELAY),
                  DisposalText(vnGetFrameInfo(h, f, VN_FRAME_DISPOSAL)).c_str());
      if (trans != -1 || all) std::printf(", %s", TransparentText(trans, bpp).c_str());
    }
    std::printf("\n");
    const int32_t layers = doc.Layers(f);
    for (int32_t l = 0; l < layers; ++l) {
      const int32_t opacity = vnGetLayerInfo(h, f, l, VN_LAYER_ALPHA);
      const int32_t trans = vnGetLayerInfo(h, f, l, VN_LAYER_TRANSCOLOR);
      const bool alpha = vnGetLayerInfo(h, f, l, VN_LAYER_ALPHAINEFFECT) != 0;
      std::string text = vnGetLayerInfo(h, f, l, VN_LAYER_VISIBLE) ? "visible" : "hidden";
      text += opacity == 255 ? ", opaque" : ", opacity " + std::to_string(opacity) + " of 255";
      if (trans != -1 || all) text += ", " + TransparentText(trans, bpp);
      if (alpha)
        text += ", blended through its alpha channel";
      else if (all)
        text += ", no alpha channel in effect";
      const std::string layerName = doc.LayerName(f, l);
      std::printf(layerName.empty() ? "  layer %d%s: %s\n" : "  layer %d \"%s\": %s\n", l,
                  layerName.c_str(), text.c_str());
    }
  }
}

// --- JSON ------------------------------------------------------------------

bool ValidUtf8(const std::string &text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

// A JSON string. Names are bytes in the code page of whoever wrote the file;
// text that is not UTF-8 is given byte by byte as the characters U+0000 to
// U+00FF, so the output always parses.
std::string Quote(const std::string &text) {
  const bool utf8 = ValidUtf8(text);
  std::string out = "\"";
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || (c >= 0x80 && !utf8) || c == 0x7F) {
      out += "\\u00" + Hex(c, 2);
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

void PrintJson(const Document &doc) {
  const vnHandle h = doc.Handle();
  std::string out = "{\n";
  out += "  \"file\": " + Quote(doc.FileName()) + ",\n";
  out += "  \"kind\": " + Quote(doc.Kind()) + ",\n";
  out += "  \"kindName\": " + Quote(doc.KindName()) + ",\n";
  out += "  \"info\": {";
  static const struct { const char *name; uint32_t code; } kInfo[] = {
      {"BGColor", VN_INFO_BGCOLOR}, {"SyncPal", VN_INFO_SYNCPAL}, {"NotFillBG", VN_INFO_NOTFILLBG},
      {"Bpp", VN_INFO_BPP},         {"Width", VN_INFO_WIDTH},     {"Height", VN_INFO_HEIGHT}};
  for (size_t i = 0; i < std::size(kInfo); ++i)
    out += std::string(i ? ", " : "") + "\"" + kInfo[i].name +
           "\": " + std::to_string(vnGetInfo(h, kInfo[i].code));
  out += "},\n  \"frames\": [";
  const int32_t frames = doc.Frames();
  for (int32_t f = 0; f < frames; ++f) {
    out += f ? ",\n" : "\n";
    out += "    {\"index\": " + std::to_string(f) + ", \"name\": " + Quote(doc.FrameName(f)) +
           ", \"info\": {\"TransColor\": " +
           std::to_string(vnGetFrameInfo(h, f, VN_FRAME_TRANSCOLOR)) +
           ", \"Delay\": " + std::to_string(vnGetFrameInfo(h, f, VN_FRAME_DELAY)) +
           ", \"Disposal\": " + std::to_string(vnGetFrameInfo(h, f, VN_FRAME_DISPOSAL)) +
           "},\n     \"layers\": [";
    const int32_t layers = doc.Layers(f);
    for (int32_t l = 0; l < layers; ++l) {
      out += l ? ",\n" : "\n";
      out += "       {\"index\": " + std::to_string(l) + ", \"name\": " + Quote(doc.LayerName(f, l)) +
             ", \"info\": {\"Visible\": " + std::to_string(vnGetLayerInfo(h, f, l, VN_LAYER_VISIBLE)) +
             ", \"TransColor\": " + std::to_string(vnGetLayerInfo(h, f, l, VN_LAYER_TRANSCOLOR)) +
             ", \"Alpha\": " + std::to_string(vnGetLayerInfo(h, f, l, VN_LAYER_ALPHA)) +
             ", \"AlphaInEffect\": " +
             std::to_string(vnGetLayerInfo(h, f, l, VN_LAYER_ALPHAINEFFECT)) + "}}";
    }
    out += layers ? "\n     ]}" : "]}";
  }
  out += frames ? "\n  ]\n}\n" : "]\n}\n";
  std::fputs(out.c_str(), stdout);
}

}  // namespace

int InfoCommand(const std::vector<std::string> &arguments) {
  bool all = false, json = false;
  std::vector<std::string> files;
  for (const std::string &a : arguments) {
    if (a == "--all")
      all = true;
    else if (a == "--json")
      json = true;
    else if (a.size() > 1 && a[0] == '-')
      throw UsageError("info: unknown option " + a);
    else
      files.push_back(a);
  }
  if (files.empty()) throw UsageError("info: which file?");
  if (files.size() > 1) throw UsageError("info: one file at a time");
  Document doc(files[0]);
  if (json)
    PrintJson(doc);
  else
    PrintText(doc, all);
  return 0;
}

}  // namespace vorn::tool

#include "layers/layerkinds.h"

#include <algorithm>

#include "layers/layerlist.h"
#include "platform/gdi.h"
#include "runtime/exceptions.h"

namespace vorn {

// --- TPosSizeList ------------------------------------------------------------

const TPosSizeList::Entry &TPosSizeList::At(int index) const {
  if (index < 0 || index >= Count()) throw EListError("Invalid Index");
  return items_[static_cast<size_t>(index)];
}

TPosSizeList::Entry &TPosSizeList::At(int index) {
  if (index < 0 || index >= Count()) throw EListError("Invalid Index");
  return items_[static_cast<size_t>(index)];
}

void TPosSizeList::Add(const Entry &entry) {
  // Grows 64 entries at a time, as the outline tracer expects.
  if (items_.size() == items_.capacity()) items_.reserve(items_.size() + 64);
  items_.push_back(entry);
}

// --- TSelectLayer ------------------------------------------------------------

TSelectLayer::TSelectLayer(TFastLayerList *owner) : TFastLayer(owner) {}

void TSelectLayer::Resize(int width, int height, int bitCount) {
  TFastLayer::Resize(width, height, bitCount);
  TDIBSurface &mask = Surface();
  mask.ColorTable[0] = RGBQUAD{0, 0, 0, 0};
  mask.ColorTable[1] = RGBQUAD{255, 255, 255, 0};
  mask.UpdatePalette();
  mask.FillRect(mask.BoundsRect(), 0);
}

void TSelectLayer::SelectNone() {
  TDIBSurface &mask = Surface();
  mask.FillRect(mask.BoundsRect(), 0);
  for (TPosSizeList &list : outlines_) list.Clear();
  Bounds = RECT{0, 0, 0, 0};
  TFastLayerList *owner = Owner();
  if (owner && (mask.Width() != owner->Width() || mask.Height() != owner->Height()))
    Resize(owner->Width(), owner->Height(), 1);
  Angle = 0;
  Editing = false;
}

TPosSizeList &TSelectLayer::Outline(int index) {
  if (index < 0 || index > 3) throw EListError("Invalid Index");
  return outlines_[index];
}

const TPosSizeList &TSelectLayer::Outline(int index) const {
  if (index < 0 || index > 3) throw EListError("Invalid Index");
  return outlines_[index];
}

void TSelectLayer::DrawTo(bool, TDIBSurface *target) {
  TDIBSurface &t = target ? *target : Owner()->Composite().Surface();
  bool any = false;
  for (const TPosSizeList &list : outlines_) any = any || list.Count() > 0;
  if (!any) return;
  HDC dc = t.Canvas();
  for (const TPosSizeList &list : outlines_)
    for (int i = 0; i < list.Count(); ++i) {
      const TPosSizeList::Entry &e = list.At(i);
      PatBlt(dc, e.x, e.y, e.width, e.height, DSTINVERT);
    }
}

void TSelectLayer::Assign(const TCustomLayer &source) {
  const auto *other = dynamic_cast<const TSelectLayer *>(&source);
  if (!other) {
    TFastLayer::Assign(source);
    return;
  }
  Bounds = other->ReferenceBounds;
  ReferenceBounds = other->ReferenceBounds;
  Surface().CopyFrom(other->Surface());
  for (int i = 0; i < 4; ++i) outlines_[i] = other->outlines_[i];
}

void TSelectLayer::MirrorOutline(const int (&map)[4], bool horizontal) {
  TPosSizeList mirrored[4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < outlines_[i].Count(); ++j) {
      TPosSizeList::Entry e = outlines_[i].At(j);
      if (horizontal)
        e.x = ReferenceBounds.left + ReferenceBounds.right - (e.x + e.width);
      else
        e.y = ReferenceBounds.top + ReferenceBounds.bottom - (e.y + e.height);
      mirrored[map[i]].Add(e);
    }
  for (int i = 0; i < 4; ++i) outlines_[i] = mirrored[i];
}

void TSelectLayer::FlipHorizontal(bool withAlpha) {
  TFastLayer::FlipHorizontal(withAlpha);
  static constexpr int kMap[4] = {1, 0, 2, 3};
  MirrorOutline(kMap, true);
}

void TSelectLayer::FlipVertical(bool withAlpha) {
  TFastLayer::FlipVertical(withAlpha);
  static constexpr int kMap[4] = {0, 1, 3, 2};
  MirrorOutline(kMap, false);
}

// --- TTextLayer ----------------------------------------------------------------

RECT NullTextRenderer(TDIBSurface *, int x, int y, uint32_t, int32_t, const TTextFont &,
                      const std::string &, bool) {
  return RECT{x, y, x, y};
}

TextRenderer TTextLayer::Renderer = NullTextRenderer;

TTextLayer::TTextLayer(TFastLayerList *owner) : TCustomLayer(owner) { Floating = true; }

void TTextLayer::SetAlpha(int32_t value) {
  Opacity = value;
  Changed();
}

namespace {

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::string current;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(current);
      current.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      current += c;
    }
  }
  lines.push_back(current);
  return lines;
}

}  // namespace

void TTextLayer::DrawTo(bool, TDIBSurface *target) {
  TDIBSurface &t = target ? *target : Owner()->Composite().Surface();
  std::vector<std::string> lines = SplitLines(Text.empty() ? std::string(" ") : Text);
  const bool alphaInEffect = AlphaInEffect();

  // Measure every line; a line of height 0 takes the height of the one above.
  std::vector<int64_t> widths, heights;
  int64_t blockWidth = 0, previousHeight = 0;
  for (const std::string &line : lines) {
    RECT r = Renderer(nullptr, Left, Top, TextColor, GetAlpha(), Font, line, alphaInEffect);
    int64_t w = int64_t{r.right} - r.left, h = int64_t{r.bottom} - r.top;
    if (h == 0) h = previousHeight;
    widths.push_back(w);
    heights.push_back(h);
    blockWidth = std::max(blockWidth, w);
    previousHeight = h;
  }

  // Place and render them; the union of their rectangles is the layer's size.
  int64_t y = Top;
  int64_t unionLeft = INT64_MAX, unionTop = INT64_MAX, unionRight = INT64_MIN,
          unionBottom = INT64_MIN;
  for (size_t i = 0; i < lines.size(); ++i) {
    int64_t x = Alignment == 0   ? Left
              : Alignment == 2 ? Left + (blockWidth - widths[i]) / 2
                               : Left + blockWidth - widths[i];
    auto clampInt = [](int64_t v) {
      return static_cast<int>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
    };
    RECT r = Renderer(&t, clampInt(x), clampInt(y), TextColor, GetAlpha(), Font, lines[i],
                      alphaInEffect);
    if (r.left < r.right && r.top < r.bottom) {
      unionLeft = std::min<int64_t>(unionLeft, r.left);
      unionTop = std::min<int64_t>(unionTop, r.top);
      unionRight = std::max<int64_t>(unionRight, r.right);
      unionBottom = std::max<int64_t>(unionBottom, r.bottom);
    }
    y += heights[i] + std::max<int64_t>(LineSpacing, -heights[i]);
  }
  if (unionLeft < unionRight && unionTop < unionBottom) {
    MeasuredWidth = static_cast<int32_t>(std::min<int64_t>(unionRight - unionLeft, INT32_MAX));
    MeasuredHeight = static_cast<int32_t>(std::min<int64_t>(unionBottom - unionTop, INT32_MAX));
    if (Owner()) {
      TSelectLayer &selection = Owner()->Selection();
      selection.Bounds =
          RECT{Left, Top, static_cast<LONG>(std::min<int64_t>(int64_t{Left} + MeasuredWidth, INT32_MAX)),
               static_cast<LONG>(std::min<int64_t>(int64_t{Top} + MeasuredHeight, INT32_MAX))};
    }
  } else {
    MeasuredWidth = 0;
    MeasuredHeight = 0;
  }
}

}  // namespace vorn

// The two special layer kinds: the selection layer every layer list owns (a
// 1-bit mask of the frame with the outline of the selected area), and the
// floating text layer, which renders a text onto the composite.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "layers/layers.h"

namespace vorn {

// A growable list of rectangles stored as position and size.
class TPosSizeList {
 public:
  struct Entry {
    int32_t x, y, width, height;
  };

  int Count() const { return static_cast<int>(items_.size()); }
  // Raises EListError "Invalid Index" outside 0..Count-1.
  const Entry &At(int index) const;
  Entry &At(int index);
  void Add(const Entry &entry);
  void Clear() { items_.clear(); }

 private:
  std::vector<Entry> items_;
};

class TSelectLayer : public TFastLayer {
 public:
  explicit TSelectLayer(TFastLayerList *owner);

  // The base resize, then a black-and-white table and nothing selected.
  void Resize(int width, int height, int bitCount) override;
  // Clears the mask and the outline, resizing to the frame when needed.
  void SelectNone();
  // Outline list 0..3.
  TPosSizeList &Outline(int index);
  const TPosSizeList &Outline(int index) const;
  // Inverts the outline rectangles on target (default: the composite).
  void DrawTo(bool first, TDIBSurface *target) override;
  void Assign(const TCustomLayer &source) override;
  // The mask flips; the outline is mirrored within the reference bounds.
  void FlipHorizontal(bool withAlpha) override;
  void FlipVertical(bool withAlpha) override;

  // Rectangle of the selection in the frame; empty when nothing is selected.
  RECT Bounds{0, 0, 0, 0};
  // The reference for mirroring the outline.
  RECT ReferenceBounds{0, 0, 0, 0};
  // Rotation of a selection being moved.
  double Angle = 0;
  bool Editing = false;

 private:
  // Moves every rectangle of list i to list map[i], mirrored horizontally
  // or vertically across the reference bounds.
  void MirrorOutline(const int (&map)[4], bool horizontal);

  TPosSizeList outlines_[4];
};

// Font attributes handed to the text renderer.
struct TTextFont {
  std::string Name;
  int32_t Size = 0;
  uint8_t Style = 0;
};
// Draws one line of text at (x, y) and returns the rectangle it covers; with
// no surface it only measures. The library's own renderer draws nothing and
// covers an empty rectangle at the position.
using TextRenderer = std::function<RECT(TDIBSurface *surface, int x, int y, uint32_t colour,
                                        int32_t opacity, const TTextFont &font,
                                        const std::string &line, bool alphaInEffect)>;
RECT NullTextRenderer(TDIBSurface *, int x, int y, uint32_t, int32_t, const TTextFont &,
                      const std::string &, bool);

class TTextLayer : public TCustomLayer {
 public:
  explicit TTextLayer(TFastLayerList *owner);

  int GetHeight() const override { return MeasuredHeight; }
  int GetWidth() const override { return MeasuredWidth; }
  int32_t GetAlpha() const override { return Opacity; }
  void SetAlpha(int32_t value) override;
  // Lays the text out line by line from (Left, Top) and renders it.
  void DrawTo(bool first, TDIBSurface *target) override;

  uint32_t TextColor = 0;
  std::string Text;
  TTextFont Font;
  int32_t MeasuredWidth = 0;
  int32_t MeasuredHeight = 0;
  int32_t Opacity = 255;
  // 0 left, 2 centred, anything else right-aligned within the widest line.
  uint8_t Alignment = 0;
  // Extra pixels between lines.
  int32_t LineSpacing = 0;

  // The renderer used by every text layer (replaceable).
  static TextRenderer Renderer;
};

}  // namespace vorn

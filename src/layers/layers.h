// Layers: one plane of a frame. TCustomLayer is the base kind (no pixels of
// its own: its surface is the owner list's composite); TFastLayer owns a
// pixel surface with a transparent colour, an opacity and an optional alpha
// channel. The selection and text kinds live in layerkinds.h.
//
// The editor's tools that the document classes also carry (flood fill, line
// walk, ellipse, rotation and stretch of floating selections, the writers of
// the native records) are not part of this library: no exported path
// reaches them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pixels/dibsfc.h"

namespace vorn {

class TFastLayerList;

class TCustomLayer {
 public:
  explicit TCustomLayer(TFastLayerList *owner);
  virtual ~TCustomLayer();
  TCustomLayer(const TCustomLayer &) = delete;
  TCustomLayer &operator=(const TCustomLayer &) = delete;

  TFastLayerList *Owner() const { return owner_; }

  // Offset of the layer's top-left pixel in the frame.
  int32_t Left = 0;
  int32_t Top = 0;
  // Used only when drawing floating layers; no layer of this library has one.
  std::unique_ptr<TDIBSurface> Mask;
  std::string Name;
  bool Visible = true;
  // Set for text layers only: a floating layer sits above the layer below
  // it and is composed into it.
  bool Floating = false;
  // Use the surface's alpha channel when drawing.
  bool AlphaOn = false;
  // The editing lock state carried from the file; stored and copied only.
  uint8_t Lock = 0;

  // --- Virtual operations --------------------------------------------------

  virtual int GetHeight() const;
  virtual int GetWidth() const;
  // The pixels this layer shows: its own surface, or the owner's composite.
  virtual TDIBSurface &GetSurface() const;
  // Transparent pixel value; the base kind has none of its own (0xFFFFFF)
  // and ignores writes.
  virtual int32_t GetTransColor() const { return 0xFFFFFF; }
  virtual void SetTransColor(int32_t) {}
  // Uniform opacity 0..255.
  virtual int32_t GetAlpha() const { return 255; }
  virtual void SetAlpha(int32_t) {}
  virtual int GetDrawHeight() const { return GetHeight(); }
  virtual int GetDrawWidth() const { return GetWidth(); }
  virtual void SetDrawHeight(int) {}
  virtual void SetDrawWidth(int) {}
  // Draws the layer onto target (the owner's composite when null); first is
  // set for the lowest visible layer when no background was painted.
  virtual void DrawTo(bool first, TDIBSurface *target);
  // The same, limited to rect of the target.
  virtual void DrawToClipped(const RECT &rect, bool first, TDIBSurface *target);
  // Gives GetSurface a new size and depth, keeping the pixels at the
  // top-left when the depth stays, else filling with the transparent colour.
  virtual void Resize(int width, int height, int bitCount);
  // Fills a rectangle of GetSurface with a pixel value (low 24 bits).
  virtual void FillRect(int x, int y, int width, int height, uint32_t color);
  virtual void FlipHorizontal(bool withAlpha);
  virtual void FlipVertical(bool withAlpha);
  // Copies position, name, visibility, lock and AlphaInEffect of source.
  virtual void Assign(const TCustomLayer &source);
  // Draws onto target at (Left, Top) through an 8-bit opacity built from
  // the layer (alpha channel, transparent colour and opacity).
  virtual void DrawOpaqueTo(TDIBSurface &target);

  // --- Non-virtual operations ------------------------------------------------

  int LayerIndex() const;
  int BitCount() const { return GetSurface().BitCount(); }
  // The colour of a pixel value as 0x00RRGGBB.
  uint32_t ColorOf(uint32_t value) const;
  RECT BoundsInFrame() const;
  // True when the layer is drawn through its per-pixel alpha channel.
  bool AlphaInEffect() const;
  // AlphaOn := on; switching it on also makes the layer fully opaque.
  void SetAlphaOn(bool on);
  // True when the frame's background must be painted before this layer
  // when it is the lowest visible one.
  bool NeedsBackground() const;
  // A new layer's initial contents: white (or the highest index), which
  // also becomes its transparent colour.
  void FillNewLayer();

 protected:
  // Marks the owner's composite as out of date.
  void Changed();

 private:
  TFastLayerList *owner_;
};

class TFastLayer : public TCustomLayer {
 public:
  explicit TFastLayer(TFastLayerList *owner);
  ~TFastLayer() override;

  TDIBSurface &Surface() const { return *surface_; }
  TDIBSurface &GetSurface() const override { return *surface_; }
  int GetHeight() const override { return surface_->Height(); }
  int GetWidth() const override { return surface_->Width(); }
  int32_t GetTransColor() const override { return TransColor; }
  void SetTransColor(int32_t value) override;
  int32_t GetAlpha() const override { return Alpha; }
  void SetAlpha(int32_t value) override;
  int GetDrawHeight() const override { return DrawHeight ? DrawHeight : GetHeight(); }
  int GetDrawWidth() const override { return DrawWidth ? DrawWidth : GetWidth(); }
  void SetDrawHeight(int value) override;
  void SetDrawWidth(int value) override;
  void DrawTo(bool first, TDIBSurface *target) override;
  void DrawToClipped(const RECT &rect, bool first, TDIBSurface *target) override;
  void Assign(const TCustomLayer &source) override;
  void DrawOpaqueTo(TDIBSurface &target) override;

  // Pixel value drawn as transparent, in the surface's own format; -1 = none.
  int32_t TransColor = -1;
  // Uniform opacity 0..255.
  int32_t Alpha = 255;
  // When non-zero, replace the surface's size for stretched floating draws.
  int32_t DrawWidth = 0;
  int32_t DrawHeight = 0;

 private:
  // The primitive of DrawTo for srcRect of the surface drawn at (x, y).
  void DrawPart(int64_t x, int64_t y, const RECT &srcRect, bool first, TDIBSurface &target);

  std::unique_ptr<TDIBSurface> surface_;
};

}  // namespace vorn

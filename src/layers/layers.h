// Layers: one plane of a frame. TCustomLayer is the base (no pixels of its
// own); TFastLayer owns a pixel surface with a transparent colour and an
// opacity. The selection and text layer kinds live in their own headers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "layers/dibsfc.h"

namespace vorn {

class TFastLayerList;

class TCustomLayer {
 public:
  explicit TCustomLayer(TFastLayerList *owner);
  virtual ~TCustomLayer();
  TCustomLayer(const TCustomLayer &) = delete;
  TCustomLayer &operator=(const TCustomLayer &) = delete;

  TFastLayerList *Owner() const { return owner_; }

  int32_t Left = 0;
  int32_t Top = 0;
  std::string Name;
  bool Visible = true;
  // Set for text layers only: a floating layer is composed into the layer
  // below it.
  bool Floating = false;
  bool AlphaOn = false;
  // The editing lock state carried from the file; stored and copied only.
  uint8_t Lock = 0;

  virtual int GetWidth() const;
  virtual int GetHeight() const;
  // The pixels this layer shows: its own surface, or the owner's composite.
  virtual TDIBSurface &GetSurface() const;
  // Transparent pixel value; the base kind has none of its own (0xFFFFFF).
  virtual int32_t GetTransColor() const { return 0xFFFFFF; }
  virtual void SetTransColor(int32_t) {}
  // Uniform opacity 0..255.
  virtual int32_t GetAlpha() const { return 255; }
  virtual void SetAlpha(int32_t) {}

  // True when the layer is drawn through its per-pixel alpha channel.
  bool AlphaInEffect() const;
  // AlphaOn := on; switching it on also makes the layer fully opaque.
  void SetAlphaOn(bool on);
  // The layer's index in its owner list (-1 when it is not an item).
  int LayerIndex() const;

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
  int GetWidth() const override { return surface_->Width(); }
  int GetHeight() const override { return surface_->Height(); }
  int32_t GetTransColor() const override { return TransColor; }
  void SetTransColor(int32_t value) override;
  int32_t GetAlpha() const override { return Alpha; }
  void SetAlpha(int32_t value) override;

  int32_t TransColor = -1;
  int32_t Alpha = 255;

  // Gives the layer's surface a new size and depth (pixels not kept yet).
  virtual void Resize(int width, int height, int bitCount);

 private:
  std::unique_ptr<TDIBSurface> surface_;
};

}  // namespace vorn

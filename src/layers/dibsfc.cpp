#include "layers/dibsfc.h"

#include "runtime/exceptions.h"

namespace vorn {

TDIBSurface::TDIBSurface() {
  for (int i = 0; i < 256; ++i) {
    BYTE v = static_cast<BYTE>(i);
    ColorTable[i] = RGBQUAD{v, v, v, 0};
  }
}

TDIBSurface::~TDIBSurface() = default;

void TDIBSurface::SetSize(int width, int height, int bitCount) {
  if (width <= 0 || height <= 0) {
    Clear();
    return;
  }
  switch (bitCount) {
    case 1: case 4: case 8: case 15: case 16: case 24: case 32: break;
    default: throw EInvalidGraphicOperation(Format(kInvalidBitCount, bitCount));
  }
  width_ = width;
  height_ = height;
  bitCount_ = bitCount;
  if (alpha_) alpha_->SetSize(width, height, 8);
}

void TDIBSurface::Clear() {
  width_ = height_ = bitCount_ = 0;
  alpha_.reset();
}

void TDIBSurface::MakeMemoryStore() { memoryStore_ = true; }

void TDIBSurface::CreateAlphaChannel() {
  if (!alpha_) alpha_ = std::make_unique<TDIBSurface>();
  if (alpha_->Width() != width_ || alpha_->Height() != height_)
    alpha_->SetSize(width_, height_, 8);
}

}  // namespace vorn

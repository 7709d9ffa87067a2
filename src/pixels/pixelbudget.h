// The cap on the pixel bytes one document may ask for. A file declares its
// sizes before any pixel is decoded; a document whose pixels would exceed
// the cap is refused at once instead of filling memory and disk first.
//
// Readers call CheckDocumentBytes with the total their file declares
// (frames x layers x surface bytes, alpha planes included) before decoding;
// DeclaredSurfaceBytes adds one surface to such a total without overflow.
// The stores enforce the same cap on what is actually allocated: a document
// being loaded has a TPixelAccount, which its surfaces hand to every store
// they make, so a reader that cannot know its total up front is still held
// to it, at the allocation that would cross it.
#pragma once

#include <atomic>
#include <cstdint>

namespace vorn {

// The default cap: 8 GiB of pixel bytes.
inline constexpr int64_t kDefaultMaxDocumentBytes = int64_t{8} << 30;

// The cap in force: VORN_MAX_DOCUMENT_BYTES when it holds a decimal number
// (0: no cap), else kDefaultMaxDocumentBytes. Read on every call.
int64_t MaxDocumentBytes();

// Raises EOutOfResources when declared bytes exceed the cap (a negative
// count is an overflowed sum and is refused too).
void CheckDocumentBytes(int64_t declared);

// Adds the bytes of a width x height surface of bitCount bits per pixel
// (rows padded to 4 bytes, as the stores keep them) to total; false, with
// total unchanged, for a negative size or on overflow.
[[nodiscard]] bool DeclaredSurfaceBytes(int64_t &total, int64_t width, int64_t height,
                                        int64_t bitCount);

// The pixel bytes charged to one document, shared (through a shared
// pointer) by the stores of its surfaces: each store gives its bytes back
// when it frees them. Stores may be freed on another thread than the one
// that made them, so the count is atomic.
class TPixelAccount {
 public:
  // An account held to the cap in force now (MaxDocumentBytes, read once).
  TPixelAccount() : TPixelAccount(MaxDocumentBytes()) {}
  // An account held to cap bytes (0: no cap).
  explicit TPixelAccount(int64_t cap) : cap_(cap) {}
  TPixelAccount(const TPixelAccount &) = delete;
  TPixelAccount &operator=(const TPixelAccount &) = delete;

  // Charges n bytes; raises EOutOfResources, charging nothing, when the
  // total would exceed the cap.
  void Charge(int64_t n);
  void Refund(int64_t n);
  int64_t Charged() const { return charged_.load(); }
  int64_t Cap() const { return cap_; }

 private:
  const int64_t cap_;
  std::atomic<int64_t> charged_{0};
};

}  // namespace vorn

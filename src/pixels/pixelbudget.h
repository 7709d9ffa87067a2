// The cap on the pixel bytes one document may ask for. A file declares its
// sizes before any pixel is decoded; a document whose pixels would exceed
// the cap is refused at once instead of filling memory and disk first.
//
// Readers call CheckDocumentBytes with the total their file declares
// (frames x layers x surface bytes, alpha planes included) before decoding;
// DeclaredSurfaceBytes adds one surface to such a total without overflow.
// The stores enforce the same cap on what is actually allocated while a
// TDocumentBudget is open on the thread (the opener holds one around every
// reader), so a reader that cannot know its total up front is still held to
// it, at the allocation that would cross it.
#pragma once

#include <cstdint>
#include <memory>

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

// The pixel bytes charged to one document, shared by the stores made while
// it loaded: each store gives its bytes back when it frees them.
class TPixelAccount {
 public:
  // Charges n bytes; raises EOutOfResources, charging nothing, when the
  // total would exceed the cap.
  void Charge(int64_t n);
  void Refund(int64_t n);
  int64_t Charged() const { return charged_; }

 private:
  int64_t charged_ = 0;
};

// Opens an account for the document being loaded on this thread: every
// pixel store allocated until the scope ends is charged to it. Scopes nest;
// the innermost is charged.
class TDocumentBudget {
 public:
  TDocumentBudget();
  ~TDocumentBudget();
  TDocumentBudget(const TDocumentBudget &) = delete;
  TDocumentBudget &operator=(const TDocumentBudget &) = delete;

  int64_t Charged() const { return account_->Charged(); }
  // The account of the innermost open scope of this thread, or null.
  static std::shared_ptr<TPixelAccount> Current();

 private:
  std::shared_ptr<TPixelAccount> account_;
  std::shared_ptr<TPixelAccount> outer_;
};

}  // namespace vorn

// The document cap: reading it, checking declared totals and charging the
// bytes of the stores made while a document loads.
#include "pixels/pixelbudget.h"

#include "platform/kernel.h"
#include "platform/checked.h"
#include "runtime/exceptions.h"

namespace vorn {

namespace {

// Out of resources: the document asks for more than it may have.
[[noreturn]] void RefuseDocument() { throw EOutOfResources(Format(kCannotCreate, "DIB")); }

}  // namespace

int64_t MaxDocumentBytes() {
  char text[32];
  DWORD length = GetEnvironmentVariableA("VORN_MAX_DOCUMENT_BYTES", text, sizeof text);
  if (length == 0 || length >= sizeof text) return kDefaultMaxDocumentBytes;
  // Digits only: a sign, a unit or trailing text would be a guess.
  int64_t value = 0;
  for (DWORD i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return kDefaultMaxDocumentBytes;
    if (!CheckedMul<int64_t>(value, 10, value) || !CheckedAdd<int64_t>(value, text[i] - '0', value))
      return kDefaultMaxDocumentBytes;
  }
  return value;
}

void CheckDocumentBytes(int64_t declared) {
  const int64_t cap = MaxDocumentBytes();
  if (declared < 0 || (cap > 0 && declared > cap)) RefuseDocument();
}

bool DeclaredSurfaceBytes(int64_t &total, int64_t width, int64_t height, int64_t bitCount) {
  if (width < 0 || height < 0 || bitCount < 0) return false;
  int64_t bits, row, bytes, sum;
  if (!CheckedMul(width, bitCount, bits) || !CheckedAdd<int64_t>(bits, 31, bits)) return false;
  row = (bits >> 5) << 2;
  if (!CheckedMul(row, height, bytes) || !CheckedAdd(total, bytes, sum)) return false;
  total = sum;
  return true;
}

void TPixelAccount::Charge(int64_t n) {
  int64_t before = charged_.load();
  int64_t total;
  do {
    if (n < 0 || !CheckedAdd(before, n, total) || (cap_ > 0 && total > cap_)) RefuseDocument();
  } while (!charged_.compare_exchange_weak(before, total));
}

void TPixelAccount::Refund(int64_t n) {
  int64_t before = charged_.load();
  while (!charged_.compare_exchange_weak(before, before > n ? before - n : 0)) {
  }
}

}  // namespace vorn

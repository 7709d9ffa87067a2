#include "native/rands.h"

#include <bit>

#include "runtime/exceptions.h"

namespace vorn {

namespace {

// Position (0..63) of the k-th set bit of word (k counted from 0).
int SelectBit(uint64_t word, int k) {
  // Narrow down by bytes, then walk the bits of the one byte.
  int shift = 0;
  for (;; shift += 8) {
    int count = std::popcount((word >> shift) & 0xFF);
    if (k < count) break;
    k -= count;
  }
  uint64_t bits = (word >> shift) & 0xFF;
  for (; k > 0; --k) bits &= bits - 1;  // drop the lowest set bits
  return shift + std::countr_zero(bits);
}

}  // namespace

void TKrRandom::Reset(int32_t n) {
  size_ = n > 0 ? n : 0;
  left_ = size_;
  const int64_t words = (int64_t{size_} + 63) / 64;
  present_.assign(static_cast<size_t>(words), ~uint64_t{0});
  if (size_ % 64) present_.back() = (uint64_t{1} << (size_ % 64)) - 1;
  // Node i counts the present entries of words (i - lowbit(i), i], 1-based.
  tree_.assign(static_cast<size_t>(words) + 1, 0);
  for (int64_t i = 1; i <= words; ++i) {
    tree_[i] += std::popcount(present_[i - 1]);
    int64_t parent = i + (i & -i);
    if (parent <= words) tree_[parent] += tree_[i];
  }
  topStep_ = 1;
  while (topStep_ * 2 <= words) topStep_ *= 2;
}

int32_t TKrRandom::Next() {
  if (left_ <= 0) throw EListError("No entries left to draw");
  state_ = state_ * 5u + static_cast<uint32_t>(seed_);
  int32_t wanted = static_cast<int32_t>(state_ % static_cast<uint32_t>(left_));

  // Descend the tree to the word that holds the wanted-th present entry
  // (counted from 0), then pick the bit inside that word.
  const int64_t words = static_cast<int64_t>(present_.size());
  int64_t word = 0;  // 1-based node reached so far = words before the target
  for (int64_t step = topStep_; step > 0; step /= 2) {
    int64_t next = word + step;
    if (next <= words && tree_[next] <= wanted) {
      word = next;
      wanted -= tree_[next];
    }
  }
  int bit = SelectBit(present_[word], wanted);
  present_[word] &= ~(uint64_t{1} << bit);
  for (int64_t i = word + 1; i <= words; i += i & -i) --tree_[i];
  --left_;
  return static_cast<int32_t>(word * 64 + bit);
}

}  // namespace vorn

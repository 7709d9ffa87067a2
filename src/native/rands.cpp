#include "native/rands.h"

#include "runtime/exceptions.h"

namespace vorn {

void TKrRandom::Reset(int32_t n) {
  size_ = n > 0 ? n : 0;
  left_ = size_;
  tree_.assign(static_cast<size_t>(size_) + 1, 0);
  // With every entry present, node i covers exactly lowbit(i) entries.
  for (int64_t i = 1; i <= size_; ++i) tree_[i] = static_cast<int32_t>(i & -i);
  topStep_ = 1;
  while (topStep_ <= size_ / 2) topStep_ *= 2;
}

int32_t TKrRandom::Next() {
  if (left_ <= 0) throw EListError("No entries left to draw");
  state_ = state_ * 5u + static_cast<uint32_t>(seed_);
  int32_t wanted = static_cast<int32_t>(state_ % static_cast<uint32_t>(left_)) + 1;

  // Descend the tree to the position whose prefix count first reaches
  // `wanted`: the wanted-th present entry in increasing order.
  // Indices are 64-bit so that position + step cannot overflow near 2^31.
  int64_t position = 0;
  for (int64_t step = topStep_; step > 0; step /= 2) {
    int64_t next = position + step;
    if (next <= size_ && tree_[next] < wanted) {
      position = next;
      wanted -= tree_[next];
    }
  }
  // The entry is at 1-based position + 1, so its value is position.
  for (int64_t i = position + 1; i <= size_; i += i & -i) --tree_[i];
  --left_;
  return static_cast<int32_t>(position);
}

}  // namespace vorn

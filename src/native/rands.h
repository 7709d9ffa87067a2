// TKrRandom: the pseudo-random draw without replacement that scrambles the
// tile tables of native documents, and the process-wide scramble seed.
#pragma once

#include <cstdint>
#include <vector>

namespace vorn {

// The scramble seed readers use. Documents are scrambled with a code their
// writer chose; this library offers no way to set one, so it is always 0
// (with seed 0 the permutation is the identity).
constexpr int32_t ScrambleSeed() { return 0; }

// Draws the numbers 0..n-1 in a pseudo-random order, each exactly once:
//   state := state * 5 + seed (mod 2^32); i := state mod (entries left);
//   the result is the pool's entry at position i, which leaves the pool.
// The state starts at 0 and survives Reset, so one generator can scramble
// several tables in a row.
//
// The pool is a bit set of the entries still present, one 64-bit word per
// 64 entries, with a Fenwick tree of per-word counts: a draw costs O(log n)
// in a tree 64 times smaller than the pool (so it stays in cache) instead of
// the O(n) of erasing from an array; a tile table can have a million
// entries. Reset(n) allocates about n / 5 bytes: callers bound n by the data
// they hold before calling it.
class TKrRandom {
 public:
  explicit TKrRandom(int32_t seed) : seed_(seed) {}

  // The pool becomes 0, 1, ..., n-1 (empty for n <= 0); the state is kept.
  void Reset(int32_t n);
  // Draws the next entry. Raises EListError when the pool is empty (the rule
  // would divide by zero).
  int32_t Next();

  int32_t Seed() const { return seed_; }
  uint32_t State() const { return state_; }
  // Entries not drawn yet.
  int32_t Left() const { return left_; }

 private:
  int32_t seed_;
  uint32_t state_ = 0;
  int32_t size_ = 0;     // n of the last Reset
  int32_t left_ = 0;
  int64_t topStep_ = 0;  // highest power of two <= the number of words
  // Bit b of word w: entry 64 w + b has not been drawn yet.
  std::vector<uint64_t> present_;
  // tree_[i] (1-based) counts the present entries of words (i - lowbit(i), i].
  std::vector<int32_t> tree_;
};

}  // namespace vorn

// TKrRandom: the draw without replacement behind scrambled tile tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "native/rands.h"
#include "runtime/exceptions.h"

namespace vorn {
namespace {

// The rule as stated, over a plain list: the model the tree must match.
class ListDraw {
 public:
  explicit ListDraw(int32_t seed) : seed_(static_cast<uint32_t>(seed)) {}
  void Reset(int32_t n) {
    pool_.clear();
    for (int32_t i = 0; i < n; ++i) pool_.push_back(i);
  }
  int32_t Next() {
    state_ = state_ * 5 + seed_;
    size_t i = state_ % pool_.size();
    int32_t value = pool_[i];
    pool_.erase(pool_.begin() + static_cast<ptrdiff_t>(i));
    return value;
  }

 private:
  uint32_t seed_, state_ = 0;
  std::vector<int32_t> pool_;
};

const int32_t kSeeds[] = {0, 1, 7, 12345, -1, INT32_MIN, INT32_MAX};

TEST(KrRandomTest, DrawsEveryNumberOnceWhateverTheSeed) {
  for (int32_t seed : kSeeds)
    for (int32_t n : {1, 2, 3, 31, 1000}) {
      TKrRandom random(seed);
      random.Reset(n);
      std::vector<int> seen(n, 0);
      for (int32_t i = 0; i < n; ++i) {
        int32_t v = random.Next();
        ASSERT_TRUE(v >= 0 && v < n) << "seed " << seed << " n " << n;
        ++seen[v];
      }
      EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), n) << "seed " << seed << " n " << n;
      EXPECT_EQ(random.Left(), 0);
      EXPECT_THROW(random.Next(), EListError) << "an empty pool must not divide by zero";
    }
}

TEST(KrRandomTest, SeedZeroGivesTheIdentity) {
  TKrRandom random(0);
  for (int round = 0; round < 2; ++round) {
    random.Reset(100);
    for (int32_t i = 0; i < 100; ++i) ASSERT_EQ(random.Next(), i);
  }
}

TEST(KrRandomTest, KnownSequenceForSeed12345) {
  // n = 5, state starting at 0, pool 0 1 2 3 4:
  //   12345                  mod 5 = 0 -> 0   pool 1 2 3 4
  //   12345*5+12345 = 74070  mod 4 = 2 -> 3   pool 1 2 4
  //   74070*5+12345 = 382695 mod 3 = 0 -> 1   pool 2 4
  //   382695*5+12345 = 1925820 mod 2 = 0 -> 2, then 4.
  TKrRandom random(12345);
  random.Reset(5);
  std::vector<int32_t> drawn;
  for (int i = 0; i < 5; ++i) drawn.push_back(random.Next());
  EXPECT_EQ(drawn, (std::vector<int32_t>{0, 3, 1, 2, 4}));
  EXPECT_EQ(random.State(), 1925820u * 5 + 12345);
}

TEST(KrRandomTest, MatchesTheRuleAcrossResetsAndWrapAround) {
  // Large seeds wrap the state modulo 2^32 at once; the mod must be unsigned.
  for (int32_t seed : kSeeds) {
    TKrRandom random(seed);
    ListDraw model(seed);
    for (int32_t n : {2999, 0, 17, 1}) {  // the state carries over each Reset
      random.Reset(n);
      model.Reset(n);
      for (int32_t i = 0; i < n; ++i) ASSERT_EQ(random.Next(), model.Next()) << seed;
    }
  }
}

TEST(KrRandomTest, AMillionEntryTableIsAPermutation) {
  const int32_t n = 1 << 20;
  TKrRandom random(12345);
  random.Reset(n);
  std::vector<bool> seen(n);
  for (int32_t i = 0; i < n; ++i) {
    int32_t v = random.Next();
    ASSERT_FALSE(seen[v]);
    seen[v] = true;
  }
  EXPECT_EQ(ScrambleSeed(), 0);
}

}  // namespace
}  // namespace vorn

#include "platform/delta.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/signature.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  return bytes;
}

std::string Sha256(const Bytes& bytes) {
  return signature::Sha256Hex({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

// Incompressible data, so every byte the patch saves comes from the base: a
// new release that rewrote a stretch and inserted bytes that shift
// everything after them.
struct Release {
  Bytes base = RandomBytes(4 << 20, 1);
  Bytes result = [this] {
    Bytes next = base;
    const Bytes changed = RandomBytes(64 << 10, 2);
    std::copy(changed.begin(), changed.end(), next.begin() + (1 << 20));
    const Bytes inserted = RandomBytes(1000, 3);
    next.insert(next.begin() + (3 << 20), inserted.begin(), inserted.end());
    return next;
  }();
};

TEST(DeltaTest, PatchTurnsTheBaseIntoTheResultAndIsSmall) {
  const Release release;
  const auto patch = delta::MakePatch(release.base, release.result);
  ASSERT_TRUE(patch);
  EXPECT_LT(patch->size(), release.result.size() / 20);

  const auto header = delta::ReadPatchHeader(*patch);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->baseSha256, Sha256(release.base));
  EXPECT_EQ(header->resultSha256, Sha256(release.result));
  EXPECT_EQ(header->resultSize, release.result.size());

  Bytes made;
  ASSERT_EQ(delta::ApplyPatch(release.base, *patch, made), delta::ApplyResult::Applied);
  EXPECT_TRUE(made == release.result);
}

TEST(DeltaTest, RefusesWhatItCannotApplyAndLeavesNoResult) {
  const Release release;
  const Bytes patch = *delta::MakePatch(release.base, release.result);
  Bytes made{1, 2, 3};

  EXPECT_EQ(delta::ApplyPatch(release.result, patch, made), delta::ApplyResult::WrongBase);
  EXPECT_TRUE(made.empty());

  Bytes flipped = patch;
  flipped[flipped.size() / 2] ^= 0x20;
  EXPECT_EQ(delta::ApplyPatch(release.base, flipped, made), delta::ApplyResult::Corrupt);

  // A header that claims a result larger than any client should allocate.
  Bytes huge = patch;
  for (std::size_t i = 69; i < 77; ++i) huge[i] = 0x7f;
  EXPECT_EQ(delta::ApplyPatch(release.base, huge, made), delta::ApplyResult::Corrupt);

  Bytes truncated(patch.begin(), patch.end() - 100);
  EXPECT_EQ(delta::ApplyPatch(release.base, truncated, made), delta::ApplyResult::Corrupt);
  EXPECT_TRUE(made.empty());

  const Bytes junk = RandomBytes(4096, 4);
  EXPECT_FALSE(delta::ReadPatchHeader(junk));
  EXPECT_EQ(delta::ApplyPatch(release.base, junk, made), delta::ApplyResult::NotAPatch);
  EXPECT_EQ(delta::ApplyPatch(release.base, Bytes(patch.begin(), patch.begin() + 40), made),
            delta::ApplyResult::NotAPatch);
}

}  // namespace

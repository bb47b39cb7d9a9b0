#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "reference/sample_indices.hpp"
#include "runtime/chacha.hpp"
#include "runtime/entropy.hpp"
#include "runtime/random.hpp"
#include "util/errors.hpp"

using namespace cladorix;
using cladorix::reference::sample_indices;
using cladorix::reference::uniform_inclusive_u32;

namespace {

std::vector<unsigned char> block_bytes(const uint32_t words[16]) {
  std::vector<unsigned char> bytes(64);
  std::memcpy(bytes.data(), words, 64);  // x86-64 is little-endian, as the stream is
  return bytes;
}

// Several keys, counters and streams, including counters whose four blocks
// carry into the high half or wrap around 2^64.
struct BlockCase {
  uint64_t counter;
  uint64_t stream;
};
const BlockCase kBlockCases[] = {
    {0, 0},
    {4, 0},
    {0xfffffffeull, 0},
    {0xffffffffull, 0x0123456789abcdefull},
    {0xfffffffffffffffdull, 7},
    {0xffffffffffffffffull, 0xffffffffffffffffull},
    {0x00000001fffffffdull, 0x8000000000000000ull},
};

std::array<uint32_t, 8> test_key(uint32_t salt) {
  std::array<uint32_t, 8> key{};
  auto rng = RandomSource::from_seed_u64(salt);
  for (auto& w : key) w = rng.next_u32();
  return key;
}

}  // namespace

// ---- Block function.

TEST(ChachaBlock, TwentyRoundsZeroInputGivesKnownBlock) {
  const uint32_t key[8] = {};
  uint32_t out[16];
  chacha_block(key, 0, 0, 20, out);
  const std::vector<unsigned char> expected = {
      0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53,
      0x86, 0xbd, 0x28, 0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36,
      0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7, 0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48,
      0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8, 0x4a, 0x37, 0x6a, 0x43, 0xb8, 0xf4,
      0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86};
  EXPECT_EQ(block_bytes(out), expected);
}

TEST(ChachaBlock, TwelveRoundsZeroInputGivesKnownPrefix) {
  const uint32_t key[8] = {};
  uint32_t out[16];
  chacha_block(key, 0, 0, 12, out);
  const std::vector<unsigned char> expected = {0x9b, 0xf4, 0x9a, 0x6a, 0x07, 0x55, 0xf9, 0x53,
                                               0x81, 0x1f, 0xce, 0x12, 0x5f, 0x26, 0x83, 0xd5};
  auto bytes = block_bytes(out);
  bytes.resize(16);
  EXPECT_EQ(bytes, expected);
}

TEST(ChachaBlock, VectorPathsMatchScalarReference) {
  const bool avx2 = random_detail::cpu_has_avx2();
  for (uint32_t salt = 0; salt < 8; ++salt) {
    const auto key = test_key(salt);
    for (const auto& c : kBlockCases) {
      for (int rounds : {12, 20}) {
        uint32_t reference[128], got[128];
        for (int k = 0; k < 8; ++k) {
          chacha_block(key.data(), c.counter + uint64_t(k), c.stream, rounds, reference + 16 * k);
        }
        random_detail::chacha_x4_scalar(key.data(), c.counter, c.stream, rounds, got);
        EXPECT_EQ(0, std::memcmp(reference, got, 64 * 4)) << "scalar x4, counter " << c.counter;
        random_detail::chacha_x4_sse2(key.data(), c.counter, c.stream, rounds, got);
        EXPECT_EQ(0, std::memcmp(reference, got, 64 * 4)) << "sse2, counter " << c.counter;
        if (avx2) {
          random_detail::chacha_x8_avx2(key.data(), c.counter, c.stream, rounds, got);
          EXPECT_EQ(0, std::memcmp(reference, got, 128 * 4)) << "avx2, counter " << c.counter;
        }
      }
    }
  }
  if (!avx2) GTEST_SKIP() << "no AVX2 on this processor; its path was not exercised";
}

TEST(RandomSource, BufferHoldsConsecutiveTwelveRoundBlocks) {
  const auto key = test_key(99);
  auto rng = RandomSource::from_key(key.data());
  // Five refills, blocks 0..19 in counter order: on the eight-block path this
  // alternates between computing and taking the blocks kept ahead.
  for (uint64_t block = 0; block < 20; ++block) {
    uint32_t expected[16];
    chacha_block(key.data(), block, 0, 12, expected);
    for (int i = 0; i < 16; ++i) ASSERT_EQ(rng.next_u32(), expected[i]) << "block " << block;
  }
}

// ---- Seeding and word draws.

TEST(RandomSource, SeedExpansionGivesKnownWords) {
  auto zero = RandomSource::from_seed_u64(0);
  EXPECT_EQ(zero.index(), 64u);  // a new source refills on its first draw
  const uint32_t expected0[4] = {3442241407u, 3140108210u, 2384947579u, 3321986196u};
  for (uint32_t w : expected0) EXPECT_EQ(zero.next_u32(), w);

  auto forty_two = RandomSource::from_seed_u64(42);
  const uint32_t expected42[4] = {572990626u, 2261546851u, 1068323197u, 2330987027u};
  for (uint32_t w : expected42) EXPECT_EQ(forty_two.next_u32(), w);

  auto fresh = RandomSource::from_seed_u64(0);
  EXPECT_EQ(fresh.next_u64(), 13486662071293341567ull);
  EXPECT_EQ(fresh.index(), 2u);
}

TEST(RandomSource, NextU64AtEveryBufferBoundary) {
  // Reference words of the first two buffers, drawn one at a time.
  auto words_source = RandomSource::from_seed_u64(5);
  std::vector<uint64_t> w(128);
  for (auto& x : w) x = words_source.next_u32();

  struct Case {
    unsigned skip;  // words drawn before next_u64
    uint64_t expected;
    unsigned index_after;
  };
  const Case cases[] = {
      {0, w[0] | w[1] << 32, 2},    {61, w[61] | w[62] << 32, 63}, {62, w[62] | w[63] << 32, 64},
      {63, w[63] | w[64] << 32, 1},  // low half from the old buffer, high from the new
      {64, w[64] | w[65] << 32, 2},
  };
  for (const auto& c : cases) {
    auto rng = RandomSource::from_seed_u64(5);
    for (unsigned i = 0; i < c.skip; ++i) rng.next_u32();
    ASSERT_EQ(rng.index(), c.skip == 0 ? 64u : c.skip);
    EXPECT_EQ(rng.next_u64(), c.expected) << "after " << c.skip << " words";
    EXPECT_EQ(rng.index(), c.index_after) << "after " << c.skip << " words";
    // The stream continues with the word after the ones consumed.
    EXPECT_EQ(rng.next_u32(), w[c.skip + 2]) << "after " << c.skip << " words";
  }
}

TEST(RandomSource, NextU64StaysAlignedAcrossManyRefills) {
  // Straddling draws repeated through several refills stay aligned with the words.
  auto words_source = RandomSource::from_seed_u64(11);
  std::vector<uint64_t> w(64 * 5);
  for (auto& x : w) x = words_source.next_u32();
  auto rng = RandomSource::from_seed_u64(11);
  rng.next_u32();  // an odd offset makes one next_u64 per buffer straddle its end
  size_t pos = 1;
  while (pos + 2 <= w.size()) {
    ASSERT_EQ(rng.next_u64(), w[pos] | w[pos + 1] << 32) << "at word " << pos;
    pos += 2;
  }
}

// ---- Bounded draws.

TEST(UniformInclusive, HighZeroConsumesOneWordPerAttempt) {
  auto words_source = RandomSource::from_seed_u64(3);
  auto rng = RandomSource::from_seed_u64(3);
  unsigned rejected = 0;
  for (int call = 0; call < 500; ++call) {
    // Expected attempts: words up to and including the first one below 2^31.
    unsigned attempts = 1;
    while (words_source.next_u32() >= 0x80000000u) ++attempts;
    rejected += attempts - 1;
    ASSERT_EQ(uniform_inclusive_u32(rng, 0), 0u);
    // Both sources have now consumed the same words.
    ASSERT_EQ(rng.index(), words_source.index()) << "call " << call;
  }
  EXPECT_GT(rejected, 0u);  // the rejection path was exercised
}

TEST(UniformInclusive, FullRangeReturnsTheWordUnchanged) {
  auto words_source = RandomSource::from_seed_u64(8);
  auto rng = RandomSource::from_seed_u64(8);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(uniform_inclusive_u32(rng, 0xffffffffu), words_source.next_u32());
  }
}

TEST(UniformInclusive, StaysInRangeAndIsRoughlyUniform) {
  auto rng = RandomSource::from_seed_u64(17);
  for (uint32_t high : {1u, 2u, 6u, 0x80000000u, 0xfffffffeu}) {
    for (int i = 0; i < 1000; ++i) ASSERT_LE(uniform_inclusive_u32(rng, high), high);
  }
  // High 2 (range 3) rejects a quarter of the words; the three values stay even.
  std::array<int, 3> counts{};
  for (int i = 0; i < 30000; ++i) ++counts[uniform_inclusive_u32(rng, 2)];
  for (int c : counts) {
    EXPECT_GT(c, 9500);
    EXPECT_LT(c, 10500);
  }
}

// ---- Index sampling.

TEST(SampleIndices, SeedZeroLengthTenGivesKnownTriples) {
  auto rng = RandomSource::from_seed_u64(0);
  EXPECT_EQ(sample_indices(rng, 10, 3), (std::vector<uint64_t>{6, 7, 0}));
  EXPECT_EQ(sample_indices(rng, 10, 3), (std::vector<uint64_t>{8, 5, 2}));
  EXPECT_EQ(sample_indices(rng, 10, 3), (std::vector<uint64_t>{9, 6, 7}));
}

TEST(SampleIndices, AmountZeroDrawsNothing) {
  auto rng = RandomSource::from_seed_u64(1);
  EXPECT_TRUE(sample_indices(rng, 10, 0).empty());
  EXPECT_TRUE(sample_indices(rng, 0, 0).empty());
  EXPECT_TRUE(sample_indices(rng, uint64_t(1) << 40, 0).empty());
  EXPECT_EQ(rng.index(), 64u);  // no refill happened
  rng.next_u32();
  EXPECT_TRUE(sample_indices(rng, 5, 0).empty());
  EXPECT_EQ(rng.index(), 1u);
}

TEST(SampleIndices, AmountAboveLengthThrows) {
  auto rng = RandomSource::from_seed_u64(1);
  for (auto [length, amount] : {std::pair<uint64_t, uint64_t>{3, 4},
                                {0, 1},
                                {uint64_t(1) << 33, (uint64_t(1) << 33) + 1}}) {
    try {
      sample_indices(rng, length, amount);
      ADD_FAILURE() << "no error for length " << length << ", amount " << amount;
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), "`amount` of samples must be less than or equal to `length`");
    }
  }
  EXPECT_EQ(rng.index(), 64u);
}

TEST(SampleIndices, FullAmountIsAPermutationAndAllOrdersOccur) {
  std::set<std::vector<uint64_t>> seen;
  for (uint64_t seed = 0; seed < 300; ++seed) {
    auto rng = RandomSource::from_seed_u64(seed);
    auto v = sample_indices(rng, 3, 3);
    auto sorted = v;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(sorted, (std::vector<uint64_t>{0, 1, 2})) << "seed " << seed;
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 6u);

  auto rng = RandomSource::from_seed_u64(9);
  auto v = sample_indices(rng, 50, 50);
  std::sort(v.begin(), v.end());
  for (uint64_t i = 0; i < 50; ++i) ASSERT_EQ(v[i], i);
}

TEST(SampleIndices, FloydOrderFollowsTheDraws) {
  // Rebuild each sample from the bounded draws it is made of.
  auto draws = RandomSource::from_seed_u64(21);
  auto rng = RandomSource::from_seed_u64(21);
  const uint64_t length = 7, amount = 5;
  for (int call = 0; call < 200; ++call) {
    std::vector<uint64_t> expected;
    for (uint64_t j = length - amount; j < length; ++j) {
      const uint64_t t = uniform_inclusive_u32(draws, uint32_t(j));
      auto at = std::find(expected.begin(), expected.end(), t);
      if (at == expected.end()) {
        expected.push_back(t);
      } else {
        expected.insert(at, j);
      }
    }
    ASSERT_EQ(sample_indices(rng, length, amount), expected) << "call " << call;
  }
}

TEST(SampleIndices, LargeLengthGivesDistinctInRangeIndices) {
  const uint64_t lengths[] = {uint64_t(1) << 32, (uint64_t(1) << 32) + 1, uint64_t(1) << 40,
                              (uint64_t(1) << 63) + 1, ~uint64_t(0)};
  for (uint64_t length : lengths) {
    auto rng = RandomSource::from_seed_u64(length);
    auto v = sample_indices(rng, length, 40);
    ASSERT_EQ(v.size(), 40u);
    EXPECT_EQ(std::set<uint64_t>(v.begin(), v.end()).size(), v.size()) << "length " << length;
    for (uint64_t x : v) EXPECT_LT(x, length);
    // From 2^40 on, values beyond 32 bits must occur: the draw is the 64-bit one.
    if (length >= uint64_t(1) << 40) {
      EXPECT_TRUE(std::any_of(v.begin(), v.end(), [](uint64_t x) { return x > 0xffffffffull; }));
    }
    // Reproducible from the seed.
    auto again = RandomSource::from_seed_u64(length);
    EXPECT_EQ(sample_indices(again, length, 40), v);
  }
  // The first value of length 2^32 is the high half of v * 2^32, i.e. v's high word;
  // every product's low half is 0 there, so nothing is rejected.
  auto words = RandomSource::from_seed_u64(4);
  auto rng = RandomSource::from_seed_u64(4);
  const uint64_t first = words.next_u64();
  EXPECT_EQ(sample_indices(rng, uint64_t(1) << 32, 1), std::vector<uint64_t>{first >> 32});
}

TEST(Sample3, MatchesSampleIndicesDrawForDraw) {
  std::vector<uint32_t> lengths;
  for (uint32_t n = 3; n <= 40; ++n) lengths.push_back(n);
  for (int k = 2; k < 32; ++k) {
    const uint32_t p = uint32_t(1) << k;
    for (uint32_t n : {p - 3, p - 2, p - 1, p, p + 1, p + 2, p + 3}) {
      if (n >= 3) lengths.push_back(n);
    }
  }
  for (uint32_t n : {0xffffffffu, 0xfffffffeu, 0xfffffffdu, 1000003u, 2999999999u})
    lengths.push_back(n);

  for (uint32_t length : lengths) {
    for (uint64_t seed : {uint64_t(0), uint64_t(length), uint64_t(0x9e3779b97f4a7c15ull)}) {
      auto a = RandomSource::from_seed_u64(seed);
      auto b = RandomSource::from_seed_u64(seed);
      for (int call = 0; call < 150; ++call) {
        uint32_t out[3];
        sample3(a, length, out);
        const auto expected = sample_indices(b, length, 3);
        ASSERT_EQ((std::vector<uint64_t>{out[0], out[1], out[2]}), expected)
            << "length " << length << ", seed " << seed << ", call " << call;
        ASSERT_EQ(a.index(), b.index()) << "length " << length << ", call " << call;
      }
    }
  }
}

TEST(Sample3, SmallLengthsHitTheCollisionOrders) {
  // With length 3 and 4 the second and third draws repeat earlier ones often,
  // so every insertion position of Floyd's order is exercised here.
  for (uint32_t length : {3u, 4u}) {
    std::set<std::array<uint32_t, 3>> seen;
    auto a = RandomSource::from_seed_u64(77);
    auto b = RandomSource::from_seed_u64(77);
    for (int call = 0; call < 2000; ++call) {
      std::array<uint32_t, 3> out;
      sample3(a, length, out.data());
      const auto expected = sample_indices(b, length, 3);
      ASSERT_EQ((std::vector<uint64_t>{out[0], out[1], out[2]}), expected);
      seen.insert(out);
    }
    EXPECT_EQ(seen.size(), length == 3 ? 6u : 24u);
  }
}

// ---- Entropy.

TEST(FromEntropy, GivesWorkingDistinctSources) {
  auto a = RandomSource::from_entropy();
  auto b = RandomSource::from_entropy();
  std::vector<uint32_t> wa(8), wb(8);
  for (auto& w : wa) w = a.next_u32();
  for (auto& w : wb) w = b.next_u32();
  EXPECT_NE(wa, wb);
  const auto v = sample_indices(a, 100, 3);
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(std::set<uint64_t>(v.begin(), v.end()).size(), 3u);
  for (uint64_t x : v) EXPECT_LT(x, 100u);
}

TEST(FromEntropy, DeviceFileRouteFillsBuffers) {
  unsigned char first[48] = {}, second[48] = {};
  random_detail::fill_from_device_files(first, sizeof first);
  random_detail::fill_from_device_files(second, sizeof second);  // reuses the kept descriptor
  EXPECT_NE(0, std::memcmp(first, second, sizeof first));
  const unsigned char zeros[48] = {};
  EXPECT_NE(0, std::memcmp(first, zeros, sizeof zeros));
}

namespace {

// Makes getrandom fail with `err` in this process from now on; false when
// the kernel or the sandbox refuses the filter.
bool block_getrandom(int err) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (unsigned(err) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) == 0;
}

int open_urandom_descriptors() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) == "/dev/urandom") ++count;
  }
  return count;
}

// Runs in a fresh process (threadsafe death tests re-execute the binary), so
// the probe of getrandom happens here for the first time.
[[noreturn]] void entropy_without_getrandom(int err) {
  if (!block_getrandom(err)) std::_Exit(3);
  unsigned char probe[4];
  if (syscall(SYS_getrandom, probe, sizeof probe, 0u) != -1 || errno != err) std::_Exit(4);
  if (open_urandom_descriptors() != 0) std::_Exit(5);
  auto a = RandomSource::from_entropy();
  auto b = RandomSource::from_entropy();
  if (a.next_u64() == b.next_u64()) std::_Exit(6);
  // One descriptor, opened once and kept.
  std::_Exit(open_urandom_descriptors() == 1 ? 0 : 7);
}

}  // namespace

TEST(FromEntropy, FallsBackToDeviceFilesWhenGetrandomIsMissingOrForbidden) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int err : {ENOSYS, EPERM}) {
    EXPECT_EXIT(entropy_without_getrandom(err), ::testing::ExitedWithCode(0), "")
        << "getrandom failing with errno " << err
        << " (exit 3: seccomp unavailable; 4: filter ineffective; 5-7: fallback wrong)";
  }
}

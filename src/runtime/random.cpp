#include "runtime/random.hpp"

#include <emmintrin.h>
#include <errno.h>
#include <fcntl.h>
#include <immintrin.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "errors.hpp"

namespace cladorix {

namespace {

// "expand 32-byte k" as four little-endian words.
constexpr uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

inline uint32_t rotl32(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter_round(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  a += b; d ^= a; d = rotl32(d, 16);
  c += d; b ^= c; b = rotl32(b, 12);
  a += b; d ^= a; d = rotl32(d, 8);
  c += d; b ^= c; b = rotl32(b, 7);
}

// ---- SSE2: four blocks side by side, lane k of register i is word i of block k.

template <int N>
inline __m128i rotl_sse2(__m128i v) {
  if constexpr (N == 16) {
    // Swapping the 16-bit halves is one shuffle pair instead of shift-shift-or.
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
  } else {
    return _mm_or_si128(_mm_slli_epi32(v, N), _mm_srli_epi32(v, 32 - N));
  }
}

inline void quarter_round_sse2(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  a = _mm_add_epi32(a, b); d = rotl_sse2<16>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d); b = rotl_sse2<12>(_mm_xor_si128(b, c));
  a = _mm_add_epi32(a, b); d = rotl_sse2<8>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d); b = rotl_sse2<7>(_mm_xor_si128(b, c));
}

// ---- AVX2: two blocks per register, one row of four words per 128-bit lane;
// the diagonal round rotates rows b, c, d within each lane.

__attribute__((target("avx2"))) inline __m256i rotl_avx2_12(__m256i v) {
  return _mm256_or_si256(_mm256_slli_epi32(v, 12), _mm256_srli_epi32(v, 20));
}
__attribute__((target("avx2"))) inline __m256i rotl_avx2_7(__m256i v) {
  return _mm256_or_si256(_mm256_slli_epi32(v, 7), _mm256_srli_epi32(v, 25));
}

struct Rows2 {
  __m256i a, b, c, d;
};

__attribute__((target("avx2"))) inline void half_round_avx2(Rows2& r, Rows2& s, __m256i rot16,
                                                             __m256i rot8) {
  // Two independent block pairs interleaved so their dependency chains overlap.
  r.a = _mm256_add_epi32(r.a, r.b); s.a = _mm256_add_epi32(s.a, s.b);
  r.d = _mm256_shuffle_epi8(_mm256_xor_si256(r.d, r.a), rot16);
  s.d = _mm256_shuffle_epi8(_mm256_xor_si256(s.d, s.a), rot16);
  r.c = _mm256_add_epi32(r.c, r.d); s.c = _mm256_add_epi32(s.c, s.d);
  r.b = rotl_avx2_12(_mm256_xor_si256(r.b, r.c));
  s.b = rotl_avx2_12(_mm256_xor_si256(s.b, s.c));
  r.a = _mm256_add_epi32(r.a, r.b); s.a = _mm256_add_epi32(s.a, s.b);
  r.d = _mm256_shuffle_epi8(_mm256_xor_si256(r.d, r.a), rot8);
  s.d = _mm256_shuffle_epi8(_mm256_xor_si256(s.d, s.a), rot8);
  r.c = _mm256_add_epi32(r.c, r.d); s.c = _mm256_add_epi32(s.c, s.d);
  r.b = rotl_avx2_7(_mm256_xor_si256(r.b, r.c));
  s.b = rotl_avx2_7(_mm256_xor_si256(s.b, s.c));
}

__attribute__((target("avx2"))) inline void to_diagonals(Rows2& r) {
  r.b = _mm256_shuffle_epi32(r.b, 0x39);
  r.c = _mm256_shuffle_epi32(r.c, 0x4E);
  r.d = _mm256_shuffle_epi32(r.d, 0x93);
}

__attribute__((target("avx2"))) inline void to_columns(Rows2& r) {
  r.b = _mm256_shuffle_epi32(r.b, 0x93);
  r.c = _mm256_shuffle_epi32(r.c, 0x4E);
  r.d = _mm256_shuffle_epi32(r.d, 0x39);
}

__attribute__((target("avx2"))) inline void store_pair_avx2(const Rows2& r, uint32_t* out) {
  // Low lanes hold the first block of the pair, high lanes the second.
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 0), _mm256_permute2x128_si256(r.a, r.b, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), _mm256_permute2x128_si256(r.c, r.d, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16), _mm256_permute2x128_si256(r.a, r.b, 0x31));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 24), _mm256_permute2x128_si256(r.c, r.d, 0x31));
}

// ---- Entropy.

[[noreturn]] void entropy_failed(const std::string& what) {
  fail("from_entropy failed: " + what);
}

[[noreturn]] void entropy_failed_errno(int err) {
  char text[256];
  const char* msg = strerror_r(err, text, sizeof text);
  entropy_failed(std::string(msg) + " (os error " + std::to_string(err) + ")");
}

// Fills dst completely from `read_some`, which returns what read(2) returns.
// EINTR retries; any other error, or a read that makes no progress, fails.
template <typename ReadSome>
void fill_exact(unsigned char* dst, size_t len, ReadSome read_some) {
  while (len > 0) {
    const long got = read_some(dst, len);
    if (got < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      entropy_failed_errno(err);
    }
    if (got == 0 || size_t(got) > len) entropy_failed("unexpected situation");
    dst += got;
    len -= size_t(got);
  }
}

long sys_getrandom(void* dst, size_t len) { return syscall(SYS_getrandom, dst, len, 0u); }

// Which route this process uses; decided once by an empty getrandom request.
enum : int { kRouteUnknown = 0, kRouteSyscall = 1, kRouteDevices = 2 };
std::atomic<int> g_entropy_route{kRouteUnknown};

bool use_getrandom() {
  int route = g_entropy_route.load(std::memory_order_relaxed);
  if (route == kRouteUnknown) {
    unsigned char probe = 0;
    const long r = sys_getrandom(&probe, 0);
    const bool missing = r < 0 && (errno == ENOSYS || errno == EPERM);
    route = missing ? kRouteDevices : kRouteSyscall;
    g_entropy_route.store(route, std::memory_order_relaxed);
  }
  return route == kRouteSyscall;
}

std::mutex g_device_mutex;
std::atomic<int> g_urandom_fd{-1};

int open_readonly(const char* path) {
  for (;;) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
    const int err = errno;
    if (err != EINTR) entropy_failed_errno(err);
  }
}

// /dev/urandom never blocks, even before the kernel's pool is seeded, so wait
// once for /dev/random to become readable first.
void wait_until_pool_seeded() {
  const int fd = open_readonly("/dev/random");
  pollfd pfd{fd, POLLIN, 0};
  for (;;) {
    if (poll(&pfd, 1, -1) >= 0) break;
    const int err = errno;
    if (err == EINTR || err == EAGAIN) continue;
    close(fd);
    entropy_failed_errno(err);
  }
  close(fd);
}

// The process keeps one /dev/urandom descriptor for good.
int urandom_fd() {
  int fd = g_urandom_fd.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  std::lock_guard<std::mutex> lock(g_device_mutex);
  fd = g_urandom_fd.load(std::memory_order_relaxed);
  if (fd >= 0) return fd;
  wait_until_pool_seeded();
  fd = open_readonly("/dev/urandom");
  g_urandom_fd.store(fd, std::memory_order_release);
  return fd;
}

using BlockX4 = void (*)(const uint32_t*, uint64_t, uint64_t, int, uint32_t*);

BlockX4 select_block_x4() {
  return random_detail::cpu_has_avx2() ? random_detail::chacha_x4_avx2 : random_detail::chacha_x4_sse2;
}

}  // namespace

// ---- Block function.

void chacha_block(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                  uint32_t out[16]) {
  uint32_t in[16];
  for (int i = 0; i < 4; ++i) in[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) in[4 + i] = key[i];
  in[12] = uint32_t(counter);
  in[13] = uint32_t(counter >> 32);
  in[14] = uint32_t(stream);
  in[15] = uint32_t(stream >> 32);
  uint32_t x[16];
  std::memcpy(x, in, sizeof x);
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

namespace random_detail {

void chacha_x4_scalar(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                      uint32_t out[64]) {
  for (int k = 0; k < 4; ++k) chacha_block(key, counter + uint64_t(k), stream, rounds, out + 16 * k);
}

void chacha_x4_sse2(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                    uint32_t out[64]) {
  __m128i in[16];
  for (int i = 0; i < 4; ++i) in[i] = _mm_set1_epi32(int(kSigma[i]));
  for (int i = 0; i < 8; ++i) in[4 + i] = _mm_set1_epi32(int(key[i]));
  const uint64_t c0 = counter, c1 = counter + 1, c2 = counter + 2, c3 = counter + 3;
  in[12] = _mm_setr_epi32(int(uint32_t(c0)), int(uint32_t(c1)), int(uint32_t(c2)), int(uint32_t(c3)));
  in[13] = _mm_setr_epi32(int(uint32_t(c0 >> 32)), int(uint32_t(c1 >> 32)), int(uint32_t(c2 >> 32)),
                          int(uint32_t(c3 >> 32)));
  in[14] = _mm_set1_epi32(int(uint32_t(stream)));
  in[15] = _mm_set1_epi32(int(uint32_t(stream >> 32)));
  __m128i x[16];
  for (int i = 0; i < 16; ++i) x[i] = in[i];
  for (int r = 0; r < rounds; r += 2) {
    quarter_round_sse2(x[0], x[4], x[8], x[12]);
    quarter_round_sse2(x[1], x[5], x[9], x[13]);
    quarter_round_sse2(x[2], x[6], x[10], x[14]);
    quarter_round_sse2(x[3], x[7], x[11], x[15]);
    quarter_round_sse2(x[0], x[5], x[10], x[15]);
    quarter_round_sse2(x[1], x[6], x[11], x[12]);
    quarter_round_sse2(x[2], x[7], x[8], x[13]);
    quarter_round_sse2(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) x[i] = _mm_add_epi32(x[i], in[i]);
  // Transpose each group of four registers into four words of each block.
  for (int g = 0; g < 4; ++g) {
    const __m128i u0 = _mm_unpacklo_epi32(x[4 * g], x[4 * g + 1]);
    const __m128i u1 = _mm_unpackhi_epi32(x[4 * g], x[4 * g + 1]);
    const __m128i u2 = _mm_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);
    const __m128i u3 = _mm_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 0 + 4 * g), _mm_unpacklo_epi64(u0, u2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 + 4 * g), _mm_unpackhi_epi64(u0, u2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 + 4 * g), _mm_unpacklo_epi64(u1, u3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 48 + 4 * g), _mm_unpackhi_epi64(u1, u3));
  }
}

__attribute__((target("avx2"))) void chacha_x4_avx2(const uint32_t key[8], uint64_t counter,
                                                    uint64_t stream, int rounds, uint32_t out[64]) {
  const __m256i sigma = _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSigma)));
  const __m256i k0 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key)));
  const __m256i k1 =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 4)));
  const int s_lo = int(uint32_t(stream)), s_hi = int(uint32_t(stream >> 32));
  const uint64_t c0 = counter, c1 = counter + 1, c2 = counter + 2, c3 = counter + 3;
  const __m256i d0 = _mm256_setr_epi32(int(uint32_t(c0)), int(uint32_t(c0 >> 32)), s_lo, s_hi,
                                       int(uint32_t(c1)), int(uint32_t(c1 >> 32)), s_lo, s_hi);
  const __m256i d1 = _mm256_setr_epi32(int(uint32_t(c2)), int(uint32_t(c2 >> 32)), s_lo, s_hi,
                                       int(uint32_t(c3)), int(uint32_t(c3 >> 32)), s_lo, s_hi);
  // Byte shuffles that rotate every 32-bit word left by 16 and by 8.
  const __m256i rot16 = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                         2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
  const __m256i rot8 = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                        3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
  Rows2 r{sigma, k0, k1, d0};
  Rows2 s{sigma, k0, k1, d1};
  for (int i = 0; i < rounds; i += 2) {
    half_round_avx2(r, s, rot16, rot8);
    to_diagonals(r);
    to_diagonals(s);
    half_round_avx2(r, s, rot16, rot8);
    to_columns(r);
    to_columns(s);
  }
  r.a = _mm256_add_epi32(r.a, sigma); s.a = _mm256_add_epi32(s.a, sigma);
  r.b = _mm256_add_epi32(r.b, k0);    s.b = _mm256_add_epi32(s.b, k0);
  r.c = _mm256_add_epi32(r.c, k1);    s.c = _mm256_add_epi32(s.c, k1);
  r.d = _mm256_add_epi32(r.d, d0);    s.d = _mm256_add_epi32(s.d, d1);
  store_pair_avx2(r, out);
  store_pair_avx2(s, out + 32);
}

bool cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

void fill_from_device_files(unsigned char* dst, size_t len) {
  const int fd = urandom_fd();
  fill_exact(dst, len, [fd](unsigned char* p, size_t n) { return long(read(fd, p, n)); });
}

}  // namespace random_detail

// ---- Sources.

RandomSource RandomSource::from_key(const uint32_t key[8]) {
  RandomSource rng;
  for (int i = 0; i < 8; ++i) rng.key_[i] = key[i];
  return rng;
}

RandomSource RandomSource::from_seed_u64(uint64_t seed) {
  // PCG32 with the XSH-RR output, advancing before each output.
  constexpr uint64_t kMul = 0x5851f42d4c957f2dull;
  constexpr uint64_t kInc = 0xa17654e46fbe17f3ull;
  uint32_t key[8];
  uint64_t s = seed;
  for (int i = 0; i < 8; ++i) {
    s = s * kMul + kInc;
    const uint32_t x = uint32_t((s >> 45) ^ (s >> 27));
    const unsigned r = unsigned(s >> 59);
    key[i] = (x >> r) | (x << ((32 - r) & 31));
  }
  return from_key(key);
}

RandomSource RandomSource::from_entropy() {
  unsigned char bytes[32];
  if (use_getrandom()) {
    fill_exact(bytes, sizeof bytes, [](unsigned char* p, size_t n) { return sys_getrandom(p, n); });
  } else {
    random_detail::fill_from_device_files(bytes, sizeof bytes);
  }
  uint32_t key[8];
  for (int i = 0; i < 8; ++i) {
    key[i] = uint32_t(bytes[4 * i]) | uint32_t(bytes[4 * i + 1]) << 8 |
             uint32_t(bytes[4 * i + 2]) << 16 | uint32_t(bytes[4 * i + 3]) << 24;
  }
  return from_key(key);
}

void RandomSource::refill() {
  static const BlockX4 block_x4 = select_block_x4();
  block_x4(key_, counter_, stream_, 12, buffer_);
  counter_ += 4;
  index_ = 0;
}

uint64_t RandomSource::next_u64() {
  uint32_t lo, hi;
  if (index_ < 63) {
    lo = buffer_[index_];
    hi = buffer_[index_ + 1];
    index_ += 2;
  } else if (index_ == 63) {
    lo = buffer_[63];
    refill();
    hi = buffer_[0];
    index_ = 1;
  } else {
    refill();
    lo = buffer_[0];
    hi = buffer_[1];
    index_ = 2;
  }
  return uint64_t(hi) << 32 | lo;
}

// ---- Draws.

uint32_t uniform_inclusive_u32(RandomSource& rng, uint32_t high) {
  const uint32_t range = high + 1;
  if (range == 0) return rng.next_u32();
  return uniform_below_nonzero_u32(rng, range);
}

std::vector<uint64_t> sample_indices(RandomSource& rng, uint64_t length, uint64_t amount) {
  if (amount > length) fail("`amount` of samples must be less than or equal to `length`");
  std::vector<uint64_t> out;
  out.reserve(amount);
  if (length <= 0xffffffffull) {
    // Floyd's method; inserting j where its duplicate stood keeps the order uniform.
    for (uint64_t j = length - amount; j < length; ++j) {
      const uint64_t t = uniform_inclusive_u32(rng, uint32_t(j));
      auto it = out.begin();
      while (it != out.end() && *it != t) ++it;
      if (it != out.end()) {
        out.insert(it, j);
      } else {
        out.push_back(t);
      }
    }
    return out;
  }
  // Rejection into a set, with a 64-bit bounded draw.
  const uint64_t range = length;
  const uint64_t zone = ~uint64_t(0) - (uint64_t(0) - range) % range;
  std::unordered_set<uint64_t> seen;
  seen.reserve(amount);
  for (uint64_t i = 0; i < amount; ++i) {
    for (;;) {
      const unsigned __int128 p = static_cast<unsigned __int128>(rng.next_u64()) * range;
      if (uint64_t(p) > zone) continue;
      const uint64_t v = uint64_t(p >> 64);
      if (seen.insert(v).second) {
        out.push_back(v);
        break;
      }
    }
  }
  return out;
}

}  // namespace cladorix

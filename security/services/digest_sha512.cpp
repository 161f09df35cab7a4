// SHA-512 block functions (FIPS 180-4, 6.4.2).
//
// Portable: 80 unrolled rounds over a 16-word rolling message schedule.
// AVX2 (x86-64, chosen at run time when the processor has AVX2, BMI1 and
// BMI2): the message schedule of two blocks at once in vector registers,
// interleaved with the scalar rounds, which use RORX and ANDN. x86 has no
// SHA-512 instructions outside the newest processors, so this is the fast
// path here.
#include <bit>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "services/digest.h"

namespace strabel::digest_detail {

// FIPS 180-4, 4.2.3.
alignas(64) const uint64_t kSha512K[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817,
};

namespace {

inline uint64_t loadBe64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

inline uint64_t bigSigma0(uint64_t x) { return std::rotr(x, 28) ^ std::rotr(x, 34) ^ std::rotr(x, 39); }
inline uint64_t bigSigma1(uint64_t x) { return std::rotr(x, 14) ^ std::rotr(x, 18) ^ std::rotr(x, 41); }
inline uint64_t smallSigma0(uint64_t x) { return std::rotr(x, 1) ^ std::rotr(x, 8) ^ (x >> 7); }
inline uint64_t smallSigma1(uint64_t x) { return std::rotr(x, 19) ^ std::rotr(x, 61) ^ (x >> 6); }

}  // namespace

// Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)); b ^ c is the previous round's a ^ b,
// carried in `bc`.
#define SHA512_ROUND(a, b, c, d, e, f, g, h, i, wi)                        \
  do {                                                                     \
    h += bigSigma1(e) + ((g) ^ ((e) & ((f) ^ (g)))) + kSha512K[i] + (wi); \
    d += h;                                                                \
    const uint64_t ab = (a) ^ (b);                                         \
    h += bigSigma0(a) + ((b) ^ (ab & bc));                                 \
    bc = ab;                                                               \
  } while (0)

#define SHA512_W(t)                                                                               \
  (w[(t) & 15] += smallSigma1(w[((t) - 2) & 15]) + w[((t) - 7) & 15] + smallSigma0(w[((t) - 15) & 15]))

#define SHA512_LOAD(t) (w[t] = loadBe64(data + 8 * (t)))

#define SHA512_EIGHT(t, W)                                \
  SHA512_ROUND(a, b, c, d, e, f, g, h, t, W(t));          \
  SHA512_ROUND(h, a, b, c, d, e, f, g, t + 1, W(t + 1));  \
  SHA512_ROUND(g, h, a, b, c, d, e, f, t + 2, W(t + 2));  \
  SHA512_ROUND(f, g, h, a, b, c, d, e, t + 3, W(t + 3));  \
  SHA512_ROUND(e, f, g, h, a, b, c, d, t + 4, W(t + 4));  \
  SHA512_ROUND(d, e, f, g, h, a, b, c, t + 5, W(t + 5));  \
  SHA512_ROUND(c, d, e, f, g, h, a, b, t + 6, W(t + 6));  \
  SHA512_ROUND(b, c, d, e, f, g, h, a, t + 7, W(t + 7))

void sha512BlocksPortable(uint64_t state[8], const unsigned char* data, size_t blocks) {
  uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (; blocks != 0; --blocks, data += 128) {
    uint64_t w[16];
    uint64_t bc = b ^ c;
    SHA512_EIGHT(0, SHA512_LOAD);
    SHA512_EIGHT(8, SHA512_LOAD);
    SHA512_EIGHT(16, SHA512_W);
    SHA512_EIGHT(24, SHA512_W);
    SHA512_EIGHT(32, SHA512_W);
    SHA512_EIGHT(40, SHA512_W);
    SHA512_EIGHT(48, SHA512_W);
    SHA512_EIGHT(56, SHA512_W);
    SHA512_EIGHT(64, SHA512_W);
    SHA512_EIGHT(72, SHA512_W);
    a = state[0] += a;
    b = state[1] += b;
    c = state[2] += c;
    d = state[3] += d;
    e = state[4] += e;
    f = state[5] += f;
    g = state[6] += g;
    h = state[7] += h;
  }
}

namespace {

#if defined(__x86_64__) && defined(__GNUC__)

#define SHA512_AVX2 __attribute__((target("avx2,bmi,bmi2")))

// The AVX2 variant works on two blocks at a time. Their message schedules
// are computed together with vector instructions, two words of each block
// per register (block 0 in the low 128-bit lane, block 1 in the high one,
// which suits the per-lane VPALIGNR), and stored with the round constants
// already added:
//
//   wk[4j .. 4j+3] = { W0[2j]+K[2j], W0[2j+1]+K[2j+1], W1[2j]+K[2j], W1[2j+1]+K[2j+1] }
//
// The schedule steps are interleaved with the first block's rounds (one step
// per two rounds, 16 words ahead of them), so the vector work overlaps the
// scalar rounds; the second block's rounds then only read their W+K. The
// rounds run on general registers with RORX and ANDN.

SHA512_AVX2 inline __m256i ror64(__m256i x, int n) {
  return _mm256_or_si256(_mm256_srli_epi64(x, n), _mm256_slli_epi64(x, 64 - n));
}

// sigma0(x) = ror(x, 1) ^ ror(x, 8) ^ (x >> 7); the rotate by 8 is a byte shuffle.
SHA512_AVX2 inline __m256i vecSigma0(__m256i x, __m256i ror8) {
  const __m256i shifts = _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(x, 1), _mm256_slli_epi64(x, 63)),
                                          _mm256_srli_epi64(x, 7));
  return _mm256_xor_si256(shifts, _mm256_shuffle_epi8(x, ror8));
}

// sigma1(x) = ror(x, 19) ^ ror(x, 61) ^ (x >> 6).
SHA512_AVX2 inline __m256i vecSigma1(__m256i x) {
  return _mm256_xor_si256(_mm256_xor_si256(ror64(x, 19), ror64(x, 61)), _mm256_srli_epi64(x, 6));
}

SHA512_AVX2 inline __m256i roundConstants(const uint64_t* k) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(k)));
}

// Schedule step k of a group of eight: x[k] (words 2j, 2j+1 of both blocks,
// j = 8 * group + 8 + k) from x[k-1], x[k-3], x[k-4], x[k-7], x[k-8] (mod 8):
// W[t] = sigma1(W[t-2]) + W[t-7] + sigma0(W[t-15]) + W[t-16], two t at a time.
#define SHA512_VSTEP(k)                                                                                \
  do {                                                                                                 \
    const __m256i w7 = _mm256_alignr_epi8(x[((k) + 5) & 7], x[((k) + 4) & 7], 8);                     \
    const __m256i w15 = _mm256_alignr_epi8(x[((k) + 1) & 7], x[k], 8);                                 \
    x[k] = _mm256_add_epi64(_mm256_add_epi64(x[k], vecSigma0(w15, ror8)),                             \
                            _mm256_add_epi64(w7, vecSigma1(x[((k) + 7) & 7])));                         \
    _mm256_store_si256(reinterpret_cast<__m256i*>(out + 4 * (k)),                                      \
                       _mm256_add_epi64(x[k], roundConstants(kp + 2 * (k))));                          \
  } while (0)

// One round; wkt is this round's W+K.
#define SHA512_ROUND_WK(a, b, c, d, e, f, g, h, wkt)         \
  do {                                                       \
    h += bigSigma1(e) + ((g) ^ ((e) & ((f) ^ (g)))) + (wkt); \
    d += h;                                                  \
    const uint64_t ab = (a) ^ (b);                           \
    h += bigSigma0(a) + ((b) ^ (ab & bc));                   \
    bc = ab;                                                 \
  } while (0)

// Eight rounds of the block in the lane `w` points at (w = wk + 2 * lane +
// 16 * (t / 8)), with statements S0..S3 after each pair of rounds.
#define SHA512_EIGHT_WK(w, S0, S1, S2, S3)                 \
  SHA512_ROUND_WK(a, b, c, d, e, f, g, h, (w)[0]);         \
  SHA512_ROUND_WK(h, a, b, c, d, e, f, g, (w)[1]);         \
  S0;                                                      \
  SHA512_ROUND_WK(g, h, a, b, c, d, e, f, (w)[4]);         \
  SHA512_ROUND_WK(f, g, h, a, b, c, d, e, (w)[5]);         \
  S1;                                                      \
  SHA512_ROUND_WK(e, f, g, h, a, b, c, d, (w)[8]);         \
  SHA512_ROUND_WK(d, e, f, g, h, a, b, c, (w)[9]);         \
  S2;                                                      \
  SHA512_ROUND_WK(c, d, e, f, g, h, a, b, (w)[12]);        \
  SHA512_ROUND_WK(b, c, d, e, f, g, h, a, (w)[13]);        \
  S3

#define SHA512_FEED_FORWARD() \
  a = state[0] += a;          \
  b = state[1] += b;          \
  c = state[2] += c;          \
  d = state[3] += d;          \
  e = state[4] += e;          \
  f = state[5] += f;          \
  g = state[6] += g;          \
  h = state[7] += h

SHA512_AVX2 void sha512BlocksAvx2(uint64_t* state, const unsigned char* data, size_t blocks) {
  alignas(32) uint64_t wk[160];
  const __m256i bswap = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,  //
                                         7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
  const __m256i ror8 = _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8,  //
                                        1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8);
  uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
  while (blocks != 0) {
    // A lone last block goes in both lanes; only lane 0 is then used.
    const unsigned char* p1 = blocks >= 2 ? data + 128 : data;
    __m256i x[8];
    for (int k = 0; k < 8; ++k) {
      const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * k));
      const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p1 + 16 * k));
      x[k] = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1), bswap);
      _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 4 * k),
                         _mm256_add_epi64(x[k], roundConstants(kSha512K + 2 * k)));
    }

    // Block 0, rounds 0..63, computing W[16..79] of both blocks on the way.
    uint64_t bc = b ^ c;
    const uint64_t* w = wk;
    uint64_t* out = wk + 32;
    const uint64_t* kp = kSha512K + 16;
    for (int group = 0; group < 4; ++group, w += 32, out += 32, kp += 16) {
      SHA512_EIGHT_WK(w, SHA512_VSTEP(0), SHA512_VSTEP(1), SHA512_VSTEP(2), SHA512_VSTEP(3));
      SHA512_EIGHT_WK(w + 16, SHA512_VSTEP(4), SHA512_VSTEP(5), SHA512_VSTEP(6), SHA512_VSTEP(7));
    }
    // Rounds 64..79.
    SHA512_EIGHT_WK(w, (void)0, (void)0, (void)0, (void)0);
    SHA512_EIGHT_WK(w + 16, (void)0, (void)0, (void)0, (void)0);
    SHA512_FEED_FORWARD();
    if (blocks < 2) break;

    // Block 1 from lane 1.
    bc = b ^ c;
    w = wk + 2;
    for (int i = 0; i < 10; ++i, w += 16) {
      SHA512_EIGHT_WK(w, (void)0, (void)0, (void)0, (void)0);
    }
    SHA512_FEED_FORWARD();
    blocks -= 2;
    data += 256;
  }
}

#undef SHA512_VSTEP
#undef SHA512_ROUND_WK
#undef SHA512_EIGHT_WK
#undef SHA512_FEED_FORWARD
#endif

}  // namespace

Blocks64 sha512BlocksAccelerated() {
#if defined(__x86_64__) && defined(__GNUC__)
  // libgcc's answer for AVX2 includes the system's saving of YMM state.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2"))
    return &sha512BlocksAvx2;
#endif
  return nullptr;
}

}  // namespace strabel::digest_detail

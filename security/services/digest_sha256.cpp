// SHA-256 block function (FIPS 180-4, 6.2.2), portable: 64 unrolled rounds
// over a 16-word rolling message schedule.
#include <bit>
#include <cstring>

#include "services/digest.h"

namespace strabel::digest_detail {

// FIPS 180-4, 4.2.2.
alignas(64) const uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

namespace {

inline uint32_t loadBe32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  return v;
}

inline uint32_t bigSigma0(uint32_t x) { return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22); }
inline uint32_t bigSigma1(uint32_t x) { return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25); }
inline uint32_t smallSigma0(uint32_t x) { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); }
inline uint32_t smallSigma1(uint32_t x) { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); }

}  // namespace

// Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)); b ^ c is the previous round's a ^ b,
// carried in `bc`.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, i, wi)              \
  do {                                                           \
    h += bigSigma1(e) + ((g) ^ ((e) & ((f) ^ (g)))) + kSha256K[i] + (wi); \
    d += h;                                                      \
    const uint32_t ab = (a) ^ (b);                               \
    h += bigSigma0(a) + ((b) ^ (ab & bc));                       \
    bc = ab;                                                     \
  } while (0)

#define SHA256_W(t)                                                                               \
  (w[(t) & 15] += smallSigma1(w[((t) - 2) & 15]) + w[((t) - 7) & 15] + smallSigma0(w[((t) - 15) & 15]))

#define SHA256_LOAD(t) (w[t] = loadBe32(data + 4 * (t)))

#define SHA256_EIGHT(t, W)                                \
  SHA256_ROUND(a, b, c, d, e, f, g, h, t, W(t));          \
  SHA256_ROUND(h, a, b, c, d, e, f, g, t + 1, W(t + 1));  \
  SHA256_ROUND(g, h, a, b, c, d, e, f, t + 2, W(t + 2));  \
  SHA256_ROUND(f, g, h, a, b, c, d, e, t + 3, W(t + 3));  \
  SHA256_ROUND(e, f, g, h, a, b, c, d, t + 4, W(t + 4));  \
  SHA256_ROUND(d, e, f, g, h, a, b, c, t + 5, W(t + 5));  \
  SHA256_ROUND(c, d, e, f, g, h, a, b, t + 6, W(t + 6));  \
  SHA256_ROUND(b, c, d, e, f, g, h, a, t + 7, W(t + 7))

void sha256BlocksPortable(uint32_t state[8], const unsigned char* data, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (; blocks != 0; --blocks, data += 64) {
    uint32_t w[16];
    uint32_t bc = b ^ c;
    SHA256_EIGHT(0, SHA256_LOAD);
    SHA256_EIGHT(8, SHA256_LOAD);
    SHA256_EIGHT(16, SHA256_W);
    SHA256_EIGHT(24, SHA256_W);
    SHA256_EIGHT(32, SHA256_W);
    SHA256_EIGHT(40, SHA256_W);
    SHA256_EIGHT(48, SHA256_W);
    SHA256_EIGHT(56, SHA256_W);
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

}  // namespace strabel::digest_detail

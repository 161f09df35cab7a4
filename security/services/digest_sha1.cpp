// SHA-1 block function (FIPS 180-4, 6.1.2), portable: 80 unrolled rounds over
// a 16-word rolling message schedule.
#include <bit>
#include <cstring>

#include "services/digest.h"

namespace strabel::digest_detail {

namespace {

inline uint32_t loadBe32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  return v;
}

}  // namespace

// W[t] for t >= 16, kept in w[t % 16].
#define SHA1_W(t) \
  (w[(t) & 15] = std::rotl(w[((t) - 3) & 15] ^ w[((t) - 8) & 15] ^ w[((t) - 14) & 15] ^ w[(t) & 15], 1))

#define SHA1_ROUND(a, b, c, d, e, f, k, wt) \
  e += std::rotl(a, 5) + (f) + (k) + (wt);  \
  b = std::rotl(b, 30)

#define SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_MAJ(b, c, d) (((b) & (c)) + ((d) & ((b) ^ (c))))

// Five rounds with the variables rotated, so no copies are needed.
#define SHA1_FIVE(F, k, t, W)                       \
  SHA1_ROUND(a, b, c, d, e, F(b, c, d), k, W(t));     \
  SHA1_ROUND(e, a, b, c, d, F(a, b, c), k, W(t + 1)); \
  SHA1_ROUND(d, e, a, b, c, F(e, a, b), k, W(t + 2)); \
  SHA1_ROUND(c, d, e, a, b, F(d, e, a), k, W(t + 3)); \
  SHA1_ROUND(b, c, d, e, a, F(c, d, e), k, W(t + 4))

#define SHA1_LOAD(t) (w[t] = loadBe32(data + 4 * (t)))

void sha1BlocksPortable(uint32_t state[5], const unsigned char* data, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (; blocks != 0; --blocks, data += 64) {
    uint32_t w[16];
    const uint32_t a0 = a, b0 = b, c0 = c, d0 = d, e0 = e;
    SHA1_FIVE(SHA1_CH, 0x5a827999u, 0, SHA1_LOAD);
    SHA1_FIVE(SHA1_CH, 0x5a827999u, 5, SHA1_LOAD);
    SHA1_FIVE(SHA1_CH, 0x5a827999u, 10, SHA1_LOAD);
    SHA1_ROUND(a, b, c, d, e, SHA1_CH(b, c, d), 0x5a827999u, SHA1_LOAD(15));
    SHA1_ROUND(e, a, b, c, d, SHA1_CH(a, b, c), 0x5a827999u, SHA1_W(16));
    SHA1_ROUND(d, e, a, b, c, SHA1_CH(e, a, b), 0x5a827999u, SHA1_W(17));
    SHA1_ROUND(c, d, e, a, b, SHA1_CH(d, e, a), 0x5a827999u, SHA1_W(18));
    SHA1_ROUND(b, c, d, e, a, SHA1_CH(c, d, e), 0x5a827999u, SHA1_W(19));
    SHA1_FIVE(SHA1_PARITY, 0x6ed9eba1u, 20, SHA1_W);
    SHA1_FIVE(SHA1_PARITY, 0x6ed9eba1u, 25, SHA1_W);
    SHA1_FIVE(SHA1_PARITY, 0x6ed9eba1u, 30, SHA1_W);
    SHA1_FIVE(SHA1_PARITY, 0x6ed9eba1u, 35, SHA1_W);
    SHA1_FIVE(SHA1_MAJ, 0x8f1bbcdcu, 40, SHA1_W);
    SHA1_FIVE(SHA1_MAJ, 0x8f1bbcdcu, 45, SHA1_W);
    SHA1_FIVE(SHA1_MAJ, 0x8f1bbcdcu, 50, SHA1_W);
    SHA1_FIVE(SHA1_MAJ, 0x8f1bbcdcu, 55, SHA1_W);
    SHA1_FIVE(SHA1_PARITY, 0xca62c1d6u, 60, SHA1_W);
    SHA1_FIVE(SHA1_PARITY, 0xca62c1d6u, 65, SHA1_W);
    SHA1_FIVE(SHA1_PARITY, 0xca62c1d6u, 70, SHA1_W);
    SHA1_FIVE(SHA1_PARITY, 0xca62c1d6u, 75, SHA1_W);
    a += a0;
    b += b0;
    c += c0;
    d += d0;
    e += e0;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
  state[4] = e;
}

}  // namespace strabel::digest_detail

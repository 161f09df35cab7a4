// SHA-1 and SHA-256 block functions with the x86 SHA extensions (SHA-NI:
// SHA1RNDS4, SHA1NEXTE, SHA1MSG1/2, SHA256RNDS2, SHA256MSG1/2), compiled per
// function for that instruction set and chosen at run time when the
// processor reports SHA, SSSE3 and SSE4.1 (CPUID leaf 7 EBX bit 29, leaf 1).
#include "services/digest.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define STRABEL_DIGEST_SHANI 1
#include <cpuid.h>
#include <immintrin.h>

#include <utility>
#endif

namespace strabel::digest_detail {

#ifdef STRABEL_DIGEST_SHANI

namespace {

#define SHANI_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#define SHANI_INLINE SHANI_TARGET __attribute__((always_inline)) inline

bool cpuHasShaNi() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool ssse3 = (ecx & bit_SSSE3) != 0;
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool sha = (ebx & (1u << 29)) != 0;
  return sha && ssse3 && sse41;
}

// ---- SHA-1 -----------------------------------------------------------------
//
// Twenty groups of four rounds. Group g uses message vector m[g % 4] (words
// 4g..4g+3) and the round function g / 5; the schedule for later groups is
// produced by SHA1MSG1, XOR and SHA1MSG2 a few groups ahead, and E is carried
// between groups through SHA1NEXTE in two alternating registers.
struct Sha1Regs {
  __m128i abcd, e0, e1;
  __m128i m[4];
};

template <int G>
SHANI_INLINE void sha1Group(Sha1Regs& r, const unsigned char* data, __m128i mask) {
  constexpr int cur = G % 4;
  if constexpr (G < 4) r.m[cur] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * G)), mask);
  // E for this group: in e0 for even groups, e1 for odd ones.
  __m128i& e = (G % 2 == 0) ? r.e0 : r.e1;
  __m128i& next = (G % 2 == 0) ? r.e1 : r.e0;
  if constexpr (G == 0)
    e = _mm_add_epi32(e, r.m[0]);
  else
    e = _mm_sha1nexte_epu32(e, r.m[cur]);
  next = r.abcd;
  if constexpr (G >= 3 && G <= 18) r.m[(G + 1) % 4] = _mm_sha1msg2_epu32(r.m[(G + 1) % 4], r.m[cur]);
  r.abcd = _mm_sha1rnds4_epu32(r.abcd, e, G / 5);
  if constexpr (G >= 1 && G <= 16) r.m[(G + 3) % 4] = _mm_sha1msg1_epu32(r.m[(G + 3) % 4], r.m[cur]);
  if constexpr (G >= 2 && G <= 17) r.m[(G + 2) % 4] = _mm_xor_si128(r.m[(G + 2) % 4], r.m[cur]);
}

template <int... G>
SHANI_INLINE void sha1Groups(Sha1Regs& r, const unsigned char* data, __m128i mask, std::integer_sequence<int, G...>) {
  (sha1Group<G>(r, data, mask), ...);
}

SHANI_TARGET void sha1BlocksShaNi(uint32_t* state, const unsigned char* data, size_t blocks) {
  const __m128i mask = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  Sha1Regs r;
  // ABCD with A in the highest lane; E in the highest lane of its register.
  r.abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1b);
  r.e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (; blocks != 0; --blocks, data += 64) {
    const __m128i abcdSave = r.abcd;
    const __m128i eSave = r.e0;
    sha1Groups(r, data, mask, std::make_integer_sequence<int, 20>{});
    // Group 19 left E in e1's partner: the next E is derived from ABCD of
    // group 19's input, held in e0.
    r.e0 = _mm_sha1nexte_epu32(r.e0, eSave);
    r.abcd = _mm_add_epi32(r.abcd, abcdSave);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(r.abcd, 0x1b));
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(r.e0, 3));
}

// ---- SHA-256 ---------------------------------------------------------------
//
// Sixteen groups of four rounds, two SHA256RNDS2 each. The state lives as
// ABEF and CDGH; group g uses m[g % 4] plus K[4g..4g+3], and the schedule
// runs SHA256MSG1 and SHA256MSG2 (with the W[t-7] term added between) ahead.
struct Sha256Regs {
  __m128i abef, cdgh;
  __m128i m[4];
};

template <int G>
SHANI_INLINE void sha256Group(Sha256Regs& r, const unsigned char* data, __m128i mask) {
  constexpr int cur = G % 4;
  if constexpr (G < 4) r.m[cur] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * G)), mask);
  __m128i wk = _mm_add_epi32(r.m[cur], _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256K + 4 * G)));
  r.cdgh = _mm_sha256rnds2_epu32(r.cdgh, r.abef, wk);
  if constexpr (G >= 3 && G <= 14) {
    constexpr int nxt = (G + 1) % 4;
    const __m128i w7 = _mm_alignr_epi8(r.m[cur], r.m[(G + 3) % 4], 4);
    r.m[nxt] = _mm_sha256msg2_epu32(_mm_add_epi32(r.m[nxt], w7), r.m[cur]);
  }
  wk = _mm_shuffle_epi32(wk, 0x0e);
  r.abef = _mm_sha256rnds2_epu32(r.abef, r.cdgh, wk);
  if constexpr (G >= 1 && G <= 12) r.m[(G + 3) % 4] = _mm_sha256msg1_epu32(r.m[(G + 3) % 4], r.m[cur]);
}

template <int... G>
SHANI_INLINE void sha256Groups(Sha256Regs& r, const unsigned char* data, __m128i mask,
                               std::integer_sequence<int, G...>) {
  (sha256Group<G>(r, data, mask), ...);
}

SHANI_TARGET void sha256BlocksShaNi(uint32_t* state, const unsigned char* data, size_t blocks) {
  const __m128i mask = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  Sha256Regs r;
  const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xb1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1b);
  r.abef = _mm_alignr_epi8(cdab, efgh, 8);
  r.cdgh = _mm_blend_epi16(efgh, cdab, 0xf0);
  for (; blocks != 0; --blocks, data += 64) {
    const __m128i abefSave = r.abef;
    const __m128i cdghSave = r.cdgh;
    sha256Groups(r, data, mask, std::make_integer_sequence<int, 16>{});
    r.abef = _mm_add_epi32(r.abef, abefSave);
    r.cdgh = _mm_add_epi32(r.cdgh, cdghSave);
  }
  const __m128i feba = _mm_shuffle_epi32(r.abef, 0x1b);
  const __m128i dchg = _mm_shuffle_epi32(r.cdgh, 0xb1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xf0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool shaNiUsable() {
  static const bool usable = cpuHasShaNi();
  return usable;
}

}  // namespace

Blocks32 sha1BlocksAccelerated() { return shaNiUsable() ? &sha1BlocksShaNi : nullptr; }
Blocks32 sha256BlocksAccelerated() { return shaNiUsable() ? &sha256BlocksShaNi : nullptr; }

#else

Blocks32 sha1BlocksAccelerated() { return nullptr; }
Blocks32 sha256BlocksAccelerated() { return nullptr; }

#endif

}  // namespace strabel::digest_detail

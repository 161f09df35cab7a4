// Strabel's digest engine (security/services/digest*.cpp): published vectors
// (tests/fixtures/vectors/digest.txt: RFC 1321, NIST FIPS 180-4 examples) and
// agreement with OpenSSL on random messages, through both code paths: the
// processor-specific one (SHA extensions, AVX2) where this machine has it,
// and the portable one, forced with setDigestAcceleration(false).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "services/digest.h"

namespace {

using strabel::Digest;
using strabel::DigestAlg;

constexpr DigestAlg kAllAlgs[] = {DigestAlg::MD5, DigestAlg::SHA1, DigestAlg::SHA256, DigestAlg::SHA512};

const char* algName(DigestAlg alg) {
  switch (alg) {
    case DigestAlg::MD5:
      return "MD5";
    case DigestAlg::SHA1:
      return "SHA1";
    case DigestAlg::SHA256:
      return "SHA256";
    case DigestAlg::SHA512:
      return "SHA512";
  }
  return "?";
}

const EVP_MD* evpOf(DigestAlg alg) {
  switch (alg) {
    case DigestAlg::MD5:
      return EVP_md5();
    case DigestAlg::SHA1:
      return EVP_sha1();
    case DigestAlg::SHA256:
      return EVP_sha256();
    case DigestAlg::SHA512:
      return EVP_sha512();
  }
  return nullptr;
}

std::vector<unsigned char> openssl(DigestAlg alg, const unsigned char* data, size_t len) {
  std::vector<unsigned char> out(EVP_MAX_MD_SIZE);
  unsigned int outLen = 0;
  if (EVP_Digest(data, len, out.data(), &outLen, evpOf(alg), nullptr) != 1) return {};
  out.resize(outLen);
  return out;
}

std::string hex(const std::vector<unsigned char>& v) { return strabel::toHexUpper(v.data(), v.size()); }

// Whether this machine has what the accelerated path of `alg` needs, asked
// of CPUID directly (not through the code under test).
bool machineAccelerates(DigestAlg alg) {
#if defined(__x86_64__) && defined(__GNUC__)
  unsigned eax = 0, ebx = 0, ecx1 = 0, edx = 0, ebx7 = 0, ecx7 = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx1, &edx)) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx7, &ecx7, &edx)) return false;
  const bool ssse3 = ecx1 & bit_SSSE3, sse41 = ecx1 & bit_SSE4_1, sha = ebx7 & bit_SHA;
  const bool avx2 = ebx7 & bit_AVX2, bmi = ebx7 & bit_BMI, bmi2 = ebx7 & bit_BMI2;
  bool osAvx = false;  // the system saves XMM and YMM state
  if (ecx1 & bit_OSXSAVE) {
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    osAvx = (lo & 6) == 6;
  }
  switch (alg) {
    case DigestAlg::MD5:
      return false;
    case DigestAlg::SHA1:
    case DigestAlg::SHA256:
      return sha && ssse3 && sse41;
    case DigestAlg::SHA512:
      return avx2 && osAvx && bmi && bmi2;
  }
#endif
  return false;
}

// Sets the acceleration hook for the life of the object.
class AccelerationScope {
 public:
  explicit AccelerationScope(bool enable) : previous_(strabel::setDigestAcceleration(enable)) {}
  ~AccelerationScope() { strabel::setDigestAcceleration(previous_); }
  AccelerationScope(const AccelerationScope&) = delete;
  AccelerationScope& operator=(const AccelerationScope&) = delete;

 private:
  bool previous_;
};

std::vector<unsigned char> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> v(n);
  for (auto& b : v) b = static_cast<unsigned char>(rng());
  return v;
}

// ---- Published vectors ------------------------------------------------------

struct Vector {
  DigestAlg alg;
  std::string hex;
  std::string message;
  size_t repeat;
  int line;
};

std::vector<Vector> loadVectors() {
  const std::string path = std::string(VELMORA_SOURCE_DIR) + "/tests/fixtures/vectors/digest.txt";
  std::ifstream in(path);
  EXPECT_TRUE(in) << "cannot open " << path;
  const std::map<std::string, DigestAlg> algs = {
      {"MD5", DigestAlg::MD5}, {"SHA1", DigestAlg::SHA1}, {"SHA256", DigestAlg::SHA256}, {"SHA512", DigestAlg::SHA512}};
  const std::regex re(R"re(^(\w+)\s+([0-9A-F]+)\s+"([^"]*)"(?:\s*\*\s*(\d+))?\s*$)re");
  std::vector<Vector> out;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    std::smatch m;
    if (!std::regex_match(line, m, re) || !algs.count(m[1])) {
      ADD_FAILURE() << path << ":" << number << ": unreadable vector line";
      continue;
    }
    out.push_back({algs.at(m[1]), m[2], m[3], m[4].matched ? std::stoul(m[4]) : 1, number});
  }
  return out;
}

class DigestPath : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      bool any = false;
      for (DigestAlg alg : kAllAlgs) any = any || machineAccelerates(alg);
      if (!any) GTEST_SKIP() << "this processor has neither SHA extensions nor AVX2/BMI2";
    }
  }
  AccelerationScope scope_{GetParam()};
};

std::string pathName(const testing::TestParamInfo<bool>& info) { return info.param ? "Accelerated" : "Portable"; }

INSTANTIATE_TEST_SUITE_P(Digest, DigestPath, testing::Bool(), pathName);

TEST_P(DigestPath, UsesTheRequestedCode) {
  for (DigestAlg alg : kAllAlgs)
    EXPECT_EQ(strabel::digestAccelerated(alg), GetParam() && machineAccelerates(alg)) << algName(alg);
}

TEST_P(DigestPath, PublishedVectors) {
  const auto vectors = loadVectors();
  std::map<DigestAlg, int> count;
  for (const Vector& v : vectors) {
    SCOPED_TRACE(testing::Message() << "digest.txt:" << v.line << " " << algName(v.alg));
    ++count[v.alg];
    // One update with the whole message.
    std::string whole;
    whole.reserve(v.message.size() * v.repeat);
    for (size_t i = 0; i < v.repeat; ++i) whole += v.message;
    EXPECT_EQ(hex(strabel::digest(v.alg, whole.data(), whole.size())), v.hex);
    // The message fed piece by piece as written (e.g. "a" a million times).
    auto d = Digest::create(v.alg);
    for (size_t i = 0; i < v.repeat; ++i) d->update(v.message.data(), v.message.size());
    std::vector<unsigned char> out(d->size());
    d->final(out.data());
    EXPECT_EQ(hex(out), v.hex);
  }
  EXPECT_EQ(count[DigestAlg::MD5], 8);
  EXPECT_EQ(count[DigestAlg::SHA1], 5);
  EXPECT_EQ(count[DigestAlg::SHA256], 5);
  EXPECT_EQ(count[DigestAlg::SHA512], 5);
}

// ---- Agreement with OpenSSL -------------------------------------------------

// Every length 0..300 (all the padding cases: short, one block, the length
// field spilling into an extra block, several blocks), one update and odd
// chunks, from an unaligned start.
TEST_P(DigestPath, AgreesWithOpenSslOnEveryLengthTo300) {
  static constexpr size_t kChunks[] = {1, 3, 5, 7, 13, 31, 63, 65, 127, 129};
  const auto storage = randomBytes(301 + 1, 0x5eed);
  const unsigned char* data = storage.data() + 1;
  for (DigestAlg alg : kAllAlgs) {
    auto d = Digest::create(alg);
    std::vector<unsigned char> out(d->size());
    for (size_t len = 0; len <= 300; ++len) {
      SCOPED_TRACE(testing::Message() << algName(alg) << " length " << len);
      const std::string expected = hex(openssl(alg, data, len));
      d->update(data, len);
      d->final(out.data());
      ASSERT_EQ(hex(out), expected);
      for (size_t first : kChunks) {
        // Chunks of `first`, then of the following odd sizes in turn.
        size_t done = 0, k = 0;
        for (size_t chunk = first; done < len; chunk = kChunks[k++ % std::size(kChunks)]) {
          const size_t n = std::min(chunk, len - done);
          d->update(data + done, n);
          done += n;
        }
        d->final(out.data());
        ASSERT_EQ(hex(out), expected) << "chunks starting with " << first;
      }
    }
  }
}

// Long messages in one update (the block functions' multi-block loops) and
// fed through a partial block first, at every alignment of a 16-byte vector.
TEST_P(DigestPath, AgreesWithOpenSslOnLongMessages) {
  const auto storage = randomBytes((1 << 20) + 333, 0xb16);
  for (DigestAlg alg : kAllAlgs) {
    for (size_t offset : {0, 1, 7, 8, 15}) {
      for (size_t len : {size_t{1} << 20, size_t{(1 << 20) + 317}, size_t{4096 + 111}}) {
        SCOPED_TRACE(testing::Message() << algName(alg) << " offset " << offset << " length " << len);
        const unsigned char* data = storage.data() + offset;
        const std::string expected = hex(openssl(alg, data, len));
        EXPECT_EQ(hex(strabel::digest(alg, data, len)), expected);
        auto d = Digest::create(alg);
        std::vector<unsigned char> out(d->size());
        d->update(data, 3);
        d->update(data + 3, len - 3);
        d->final(out.data());
        EXPECT_EQ(hex(out), expected);
      }
    }
  }
}

// ---- The object ------------------------------------------------------------

TEST(Digest, SizesAndHex) {
  const std::map<DigestAlg, size_t> sizes = {
      {DigestAlg::MD5, 16}, {DigestAlg::SHA1, 20}, {DigestAlg::SHA256, 32}, {DigestAlg::SHA512, 64}};
  for (const auto& [alg, size] : sizes) {
    auto d = Digest::create(alg);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size(), size);
    EXPECT_EQ(strabel::digestSize(alg), size);
    EXPECT_EQ(strabel::digest(alg, "abc", 3).size(), size);
  }
  const unsigned char bytes[] = {0x00, 0x01, 0x9a, 0xbf, 0xf0, 0xff};
  EXPECT_EQ(strabel::toHexUpper(bytes, sizeof bytes), "00019ABFF0FF");
  EXPECT_EQ(strabel::toHexUpper(nullptr, 0), "");
}

TEST(Digest, FinalStartsANewMessageAndInitDropsInput) {
  for (DigestAlg alg : kAllAlgs) {
    SCOPED_TRACE(algName(alg));
    const std::string abc = hex(strabel::digest(alg, "abc", 3));
    const std::string empty = hex(strabel::digest(alg, nullptr, 0));
    auto d = Digest::create(alg);
    std::vector<unsigned char> out(d->size());
    d->update("abc", 3);
    d->final(out.data());
    EXPECT_EQ(hex(out), abc);
    d->final(out.data());  // nothing fed since: the empty message
    EXPECT_EQ(hex(out), empty);
    d->update("xyz", 3);
    d->update(nullptr, 0);
    d->init();
    d->update("ab", 2);
    d->update("c", 1);
    d->final(out.data());
    EXPECT_EQ(hex(out), abc);
  }
}

// Hash("abc", 1) digests the UTF-16LE code units 61 00 62 00 63 00.
TEST(Digest, Utf16TextBytes) {
  const unsigned char utf16[] = {0x61, 0x00, 0x62, 0x00, 0x63, 0x00};
  EXPECT_EQ(hex(strabel::digest(DigestAlg::MD5, utf16, sizeof utf16)),
            hex(openssl(DigestAlg::MD5, utf16, sizeof utf16)));
}

TEST(Digest, AccelerationHookReturnsThePreviousSetting) {
  const bool original = strabel::setDigestAcceleration(false);
  EXPECT_FALSE(strabel::setDigestAcceleration(true));
  EXPECT_TRUE(strabel::setDigestAcceleration(original));
  // An object keeps the code it was created with.
  AccelerationScope on(true);
  auto d = Digest::create(DigestAlg::SHA256);
  d->update("ab", 2);
  AccelerationScope off(false);
  d->update("c", 1);
  std::vector<unsigned char> out(d->size());
  d->final(out.data());
  EXPECT_EQ(hex(out), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
}

}  // namespace

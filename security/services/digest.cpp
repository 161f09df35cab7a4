// The digest objects: one Merkle-Damgard engine (chaining state, byte count,
// partial block, padding) shared by the four algorithms, each of which only
// supplies its block function, initial state and byte order. The block
// functions live in digest_md5.cpp, digest_sha1.cpp, digest_sha256.cpp,
// digest_sha512.cpp and, for the processor-specific ones, digest_x86.cpp.
#include "services/digest.h"

#include <atomic>
#include <cstring>

namespace strabel {

Digest::~Digest() = default;

namespace {

using namespace digest_detail;

std::atomic<bool> g_acceleration{true};

template <typename Word, bool BigEndian>
inline void storeWord(unsigned char* out, Word w) {
  for (size_t i = 0; i < sizeof(Word); ++i) {
    const size_t shift = BigEndian ? 8 * (sizeof(Word) - 1 - i) : 8 * i;
    out[i] = static_cast<unsigned char>(w >> shift);
  }
}

// Word: chaining word type; StateWords: words of chaining state; OutWords:
// words of output (SHA-1 has 5 of 5, MD5 4 of 4, ...); BigEndian: byte order
// of the length field and the output (false for MD5).
template <typename Word, size_t StateWords, size_t OutWords, bool BigEndian>
class MdDigest final : public Digest {
 public:
  static constexpr size_t kBlock = 16 * sizeof(Word);     // 64 or 128
  static constexpr size_t kLengthField = 2 * sizeof(Word);  // 8 or 16
  using BlocksFn = void (*)(Word* state, const unsigned char* data, size_t blocks);

  MdDigest(const Word (&iv)[StateWords], BlocksFn blocks) : iv_(iv), blocks_(blocks) { init(); }

  ~MdDigest() override { wipe(); }

  void init() override {
    std::memcpy(state_, iv_, sizeof(state_));
    bytes_ = 0;
    used_ = 0;
  }

  void update(const void* data, size_t len) override {
    if (len == 0) return;
    auto p = static_cast<const unsigned char*>(data);
    bytes_ += len;
    if (used_ != 0) {
      const size_t take = len < kBlock - used_ ? len : kBlock - used_;
      std::memcpy(buffer_ + used_, p, take);
      used_ += take;
      p += take;
      len -= take;
      if (used_ < kBlock) return;
      blocks_(state_, buffer_, 1);
      used_ = 0;
    }
    if (len >= kBlock) {
      const size_t n = len / kBlock;
      blocks_(state_, p, n);
      p += n * kBlock;
      len -= n * kBlock;
    }
    if (len != 0) {
      std::memcpy(buffer_, p, len);
      used_ = len;
    }
  }

  void final(unsigned char* out) override {
    buffer_[used_++] = 0x80;
    if (used_ > kBlock - kLengthField) {
      std::memset(buffer_ + used_, 0, kBlock - used_);
      blocks_(state_, buffer_, 1);
      used_ = 0;
    }
    std::memset(buffer_ + used_, 0, kBlock - used_);
    // Message length in bits: 64 bits (MD5, SHA-1, SHA-256) or 128 (SHA-512).
    const uint64_t lowBits = bytes_ << 3;
    const uint64_t highBits = bytes_ >> 61;
    unsigned char* len = buffer_ + kBlock - kLengthField;
    if constexpr (!BigEndian) {
      storeWord<uint64_t, false>(len, lowBits);
    } else if constexpr (kLengthField == 8) {
      storeWord<uint64_t, true>(len, lowBits);
    } else {
      storeWord<uint64_t, true>(len, highBits);
      storeWord<uint64_t, true>(len + 8, lowBits);
    }
    blocks_(state_, buffer_, 1);
    for (size_t i = 0; i < OutWords; ++i) storeWord<Word, BigEndian>(out + i * sizeof(Word), state_[i]);
    wipe();
    init();
  }

  size_t size() const override { return OutWords * sizeof(Word); }

 private:
  void wipe() {
    // The partial block may hold secret bytes; the empty asm that "reads"
    // the buffer keeps the compiler from dropping the memset.
    std::memset(buffer_, 0, kBlock);
    __asm__ __volatile__("" : : "r"(buffer_) : "memory");
  }

  Word state_[StateWords];
  uint64_t bytes_ = 0;  // message length so far, in bytes
  size_t used_ = 0;     // bytes waiting in buffer_
  unsigned char buffer_[kBlock];
  const Word (&iv_)[StateWords];
  BlocksFn blocks_;
};

constexpr uint32_t kMd5Iv[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
constexpr uint32_t kSha1Iv[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
constexpr uint32_t kSha256Iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr uint64_t kSha512Iv[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                                   0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                   0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

using Md5 = MdDigest<uint32_t, 4, 4, false>;
using Sha1 = MdDigest<uint32_t, 5, 5, true>;
using Sha256 = MdDigest<uint32_t, 8, 8, true>;
using Sha512 = MdDigest<uint64_t, 8, 8, true>;

// The processor-specific block functions, looked up once.
struct Accelerated {
  Blocks32 sha1 = sha1BlocksAccelerated();
  Blocks32 sha256 = sha256BlocksAccelerated();
  Blocks64 sha512 = sha512BlocksAccelerated();
};

const Accelerated& accelerated() {
  static const Accelerated a;
  return a;
}

template <typename Fn>
Fn pick(Fn fast, Fn portable) {
  return fast && g_acceleration.load(std::memory_order_relaxed) ? fast : portable;
}

}  // namespace

std::unique_ptr<Digest> Digest::create(DigestAlg alg) {
  switch (alg) {
    case DigestAlg::MD5:
      return std::make_unique<Md5>(kMd5Iv, &md5Blocks);
    case DigestAlg::SHA1:
      return std::make_unique<Sha1>(kSha1Iv, pick<Blocks32>(accelerated().sha1, &sha1BlocksPortable));
    case DigestAlg::SHA256:
      return std::make_unique<Sha256>(kSha256Iv, pick<Blocks32>(accelerated().sha256, &sha256BlocksPortable));
    case DigestAlg::SHA512:
      return std::make_unique<Sha512>(kSha512Iv, pick<Blocks64>(accelerated().sha512, &sha512BlocksPortable));
  }
  return nullptr;
}

size_t digestSize(DigestAlg alg) {
  switch (alg) {
    case DigestAlg::MD5:
      return 16;
    case DigestAlg::SHA1:
      return 20;
    case DigestAlg::SHA256:
      return 32;
    case DigestAlg::SHA512:
      return 64;
  }
  return 0;
}

std::vector<unsigned char> digest(DigestAlg alg, const void* data, size_t len) {
  auto d = Digest::create(alg);
  if (!d) return {};
  std::vector<unsigned char> out(d->size());
  d->update(data, len);
  d->final(out.data());
  return out;
}

std::string toHexUpper(const unsigned char* data, size_t len) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s(2 * len, '\0');
  for (size_t i = 0; i < len; ++i) {
    s[2 * i] = kHex[data[i] >> 4];
    s[2 * i + 1] = kHex[data[i] & 15];
  }
  return s;
}

bool setDigestAcceleration(bool enable) { return g_acceleration.exchange(enable); }

bool digestAccelerated(DigestAlg alg) {
  if (!g_acceleration.load(std::memory_order_relaxed)) return false;
  switch (alg) {
    case DigestAlg::MD5:
      return false;
    case DigestAlg::SHA1:
      return accelerated().sha1 != nullptr;
    case DigestAlg::SHA256:
      return accelerated().sha256 != nullptr;
    case DigestAlg::SHA512:
      return accelerated().sha512 != nullptr;
  }
  return false;
}

}  // namespace strabel

// Strabel's own message digests: MD5 (RFC 1321), SHA-1, SHA-256 and SHA-512
// (FIPS 180-4). No platform or OpenSSL provider is involved.
//
// Each digest keeps the usual context: chaining state, a 64-bit byte count and
// a partial block. On x86-64, SHA-1 and SHA-256 use the processor's SHA
// extensions (SHA-NI) and SHA-512 an AVX2/BMI2 implementation when the
// processor has them, chosen at run time when the object is created;
// otherwise, and for MD5, portable C++ runs. Objects are not thread-safe;
// use one per thread.
#pragma once

#include <windef.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace strabel {

enum class DigestAlg { MD5, SHA1, SHA256, SHA512 };

class VELMORA_EXPORT Digest {
 public:
  // A new digest object of the algorithm, already initialised.
  static std::unique_ptr<Digest> create(DigestAlg alg);

  // Starts a new message (drops any bytes fed so far).
  virtual void init() = 0;
  // Feeds `len` bytes; `data` may be null when `len` is 0.
  virtual void update(const void* data, size_t len) = 0;
  // Writes size() digest bytes to `out` and starts a new message, as init() does.
  virtual void final(unsigned char* out) = 0;
  // Digest length in bytes: 16, 20, 32 or 64.
  virtual size_t size() const = 0;

  virtual ~Digest();
};

// Digest length of an algorithm in bytes.
VELMORA_EXPORT size_t digestSize(DigestAlg alg);

// One-shot digest of `len` bytes.
VELMORA_EXPORT std::vector<unsigned char> digest(DigestAlg alg, const void* data, size_t len);

// Each byte as two upper-case hexadecimal digits ("%02X"), no separators.
VELMORA_EXPORT std::string toHexUpper(const unsigned char* data, size_t len);

// Test hook: with false, digest objects created from now on use the portable
// code even where the processor has SHA extensions or AVX2; true (the default)
// lets them use what the processor offers. Objects already created keep their
// code path. Returns the previous setting.
VELMORA_EXPORT bool setDigestAcceleration(bool enable);

// True when a digest object of `alg` created now would use processor-specific
// code (SHA extensions for SHA-1 and SHA-256, AVX2 and BMI2 for SHA-512).
VELMORA_EXPORT bool digestAccelerated(DigestAlg alg);

// Internal to the digest implementation files (digest*.cpp); not exported.
namespace digest_detail {

// Block functions: process `blocks` whole blocks (64 bytes, 128 for SHA-512)
// at `data` (any alignment) into the chaining state.
void md5Blocks(uint32_t state[4], const unsigned char* data, size_t blocks);
void sha1BlocksPortable(uint32_t state[5], const unsigned char* data, size_t blocks);
void sha256BlocksPortable(uint32_t state[8], const unsigned char* data, size_t blocks);
void sha512BlocksPortable(uint64_t state[8], const unsigned char* data, size_t blocks);

// Processor-specific variants; each returns null when this build or this
// processor lacks what it needs.
using Blocks32 = void (*)(uint32_t* state, const unsigned char* data, size_t blocks);
using Blocks64 = void (*)(uint64_t* state, const unsigned char* data, size_t blocks);
Blocks32 sha1BlocksAccelerated();
Blocks32 sha256BlocksAccelerated();
Blocks64 sha512BlocksAccelerated();

extern const uint32_t kSha256K[64];
extern const uint64_t kSha512K[80];

}  // namespace digest_detail
}  // namespace strabel

// Bytes and their text forms: an owned byte buffer with file helpers,
// Base64 that tolerates PEM armour, and upper-case hex.
#pragma once

#include <windef.h>

#include <cstdint>
#include <string>

namespace strabel {

// An owned, growable byte array. Every allocation of n bytes reserves at
// least n + 2 zeroed bytes, so the payload always reads as a
// zero-terminated string. Appending grows the reserve geometrically, so
// building a buffer piece by piece costs time in proportion to its size.
// `data` is null exactly when `length` is 0. Moved, never copied.
class VELMORA_EXPORT ByteBuffer {
 public:
  ByteBuffer() = default;
  ~ByteBuffer();
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  bool Allocate(int32_t n);
  bool Append(const void* bytes, int32_t n);
  bool AssignReversed(const void* bytes, int32_t n);
  bool LoadFile(const std::string& path);
  bool SaveFile(const std::string& path) const;
  static bool DeleteFile(const std::string& path);
  void Clear();

  BYTE* data() const { return data_; }
  int32_t length() const { return length_; }
  bool empty() const { return length_ == 0; }
  const char* c_str() const { return data_ ? reinterpret_cast<const char*>(data_) : ""; }
  std::string str() const { return std::string(c_str(), size_t(length_)); }

 private:
  BYTE* data_ = nullptr;
  int32_t length_ = 0;
  int32_t capacity_ = 0;  // payload bytes the allocation holds (plus 2 zero bytes)
};

// Standard Base64 (RFC 4648) with padding on one line, appended to `out`.
VELMORA_EXPORT bool Base64Encode(const void* bytes, int32_t n, ByteBuffer& out);
// Decodes Base64, skipping CR, LF and spaces and any "-----BEGIN ...-----" /
// "-----END ...-----" armour; unpadded input decodes like padded input. A
// character outside the alphabet makes the text invalid.
VELMORA_EXPORT bool Base64Decode(const std::string& text, ByteBuffer& out);
// Two upper-case hex digits a byte, appended to `out`.
VELMORA_EXPORT bool HexEncode(const void* bytes, int32_t n, ByteBuffer& out);
// Even, non-zero length; letters in either case. Characters are not
// validated: one below ':' counts as a digit, anything else as a letter.
VELMORA_EXPORT bool HexDecode(const std::string& text, ByteBuffer& out);

}  // namespace strabel

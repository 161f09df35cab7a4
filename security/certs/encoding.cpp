#include "certs/encoding.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <limits>

namespace strabel {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
}

ByteBuffer::~ByteBuffer() { Clear(); }

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(other.data_), length_(other.length_), capacity_(other.capacity_) {
  other.data_ = nullptr;
  other.length_ = 0;
  other.capacity_ = 0;
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    Clear();
    data_ = other.data_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    other.data_ = nullptr;
    other.length_ = 0;
    other.capacity_ = 0;
  }
  return *this;
}

void ByteBuffer::Clear() {
  if (data_) {
    // Buffers carry keys and passwords at times: leave nothing behind.
    explicit_bzero(data_, size_t(capacity_) + 2);
    free(data_);
  }
  data_ = nullptr;
  length_ = 0;
  capacity_ = 0;
}

bool ByteBuffer::Allocate(int32_t n) {
  Clear();
  if (n < 1 || n > std::numeric_limits<int32_t>::max() - 2) return false;
  data_ = static_cast<BYTE*>(calloc(size_t(n) + 2, 1));
  if (!data_) return false;
  length_ = capacity_ = n;
  return true;
}

bool ByteBuffer::Append(const void* bytes, int32_t n) {
  if (!bytes || n < 1 || n > std::numeric_limits<int32_t>::max() - 2 - length_) return false;
  const int32_t total = length_ + n;
  if (total > capacity_) {
    // Double the reserve (within the limit): n appends cost O(n) copies.
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max() - 2;
    int32_t capacity = capacity_ > kMax / 2 ? kMax : std::max(capacity_ * 2, int32_t(64));
    if (capacity < total) capacity = total;
    BYTE* grown = static_cast<BYTE*>(calloc(size_t(capacity) + 2, 1));
    if (!grown) return false;
    if (length_) memcpy(grown, data_, size_t(length_));
    const int32_t kept = length_;
    Clear();
    data_ = grown;
    length_ = kept;
    capacity_ = capacity;
  }
  // The bytes past the payload are zero already (calloc, and nothing is
  // ever shortened in place), so the text stays terminated.
  memcpy(data_ + length_, bytes, size_t(n));
  length_ = total;
  return true;
}

bool ByteBuffer::AssignReversed(const void* bytes, int32_t n) {
  if (!bytes || n < 1) {
    Clear();
    return false;
  }
  ByteBuffer tmp;
  if (!tmp.Allocate(n)) return false;
  const BYTE* src = static_cast<const BYTE*>(bytes);
  for (int32_t i = 0; i < n; ++i) tmp.data_[i] = src[n - 1 - i];
  *this = std::move(tmp);
  return true;
}

bool ByteBuffer::LoadFile(const std::string& path) {
  Clear();
  if (path.empty()) return false;
  // O_NONBLOCK: opening a FIFO must not wait for a writer; only regular
  // files are read.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st{};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
            st.st_size <= std::numeric_limits<int32_t>::max() - 2 && Allocate(int32_t(st.st_size));
  for (int32_t done = 0; ok && done < length_;) {
    ssize_t r = read(fd, data_ + done, size_t(length_ - done));
    if (r <= 0) ok = false;
    else done += int32_t(r);
  }
  close(fd);
  if (!ok) Clear();
  return ok;
}

bool ByteBuffer::SaveFile(const std::string& path) const {
  if (path.empty()) return false;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  for (int32_t done = 0; ok && done < length_;) {
    ssize_t w = write(fd, data_ + done, size_t(length_ - done));
    if (w <= 0) ok = false;
    else done += int32_t(w);
  }
  if (close(fd) != 0) ok = false;
  return ok;
}

bool ByteBuffer::DeleteFile(const std::string& path) { return !path.empty() && unlink(path.c_str()) == 0; }

bool Base64Encode(const void* bytes, int32_t n, ByteBuffer& out) {
  if (!bytes || n < 1) return false;
  const BYTE* p = static_cast<const BYTE*>(bytes);
  // Sized once and filled in place.
  std::string text(size_t(n + 2) / 3 * 4, '\0');
  char* o = text.data();
  for (int32_t i = 0; i < n; i += 3) {
    const int left = n - i;
    const unsigned b0 = p[i], b1 = left > 1 ? p[i + 1] : 0, b2 = left > 2 ? p[i + 2] : 0;
    *o++ = kAlphabet[b0 >> 2];
    *o++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *o++ = left > 1 ? kAlphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
    *o++ = left > 2 ? kAlphabet[b2 & 63] : '=';
  }
  return out.Append(text.data(), int32_t(text.size()));
}

namespace {

// Each character's value: 0..63, 64 for '=', -1 for anything else.
struct Base64Values {
  signed char v[256];
  constexpr Base64Values() : v() {
    for (int i = 0; i < 256; ++i) v[i] = -1;
    for (int i = 0; i < 26; ++i) {
      v['A' + i] = char(i);
      v['a' + i] = char(26 + i);
    }
    for (int i = 0; i < 10; ++i) v['0' + i] = char(52 + i);
    v[int('+')] = 62;
    v[int('/')] = 63;
    v[int('=')] = 64;
  }
};
constexpr Base64Values kBase64Values;

int base64Value(char c) { return kBase64Values.v[static_cast<unsigned char>(c)]; }

bool skippable(char c) { return c == '\r' || c == '\n' || c == ' '; }

}  // namespace

bool Base64Decode(const std::string& input, ByteBuffer& out) {
  out.Clear();
  if (input.empty()) return false;
  std::string_view text(input);
  if (text.find("----") != std::string_view::npos) {
    size_t p = 0;
    while (p < text.size() && text[p] == '-') ++p;
    size_t close = text.find("----", p);
    if (close == std::string_view::npos) return false;
    p = close;
    while (p < text.size() && (text[p] == '-' || text[p] == '\r' || text[p] == '\n')) ++p;
    size_t end = text.find("----", p);
    if (end == std::string_view::npos) return false;
    text = text.substr(p, end - p);
  }
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  char* o = bytes.data();
  size_t pos = 0;
  bool appended = false;
  for (;;) {
    int c[4];
    int got = 0;
    for (; got < 4; ++got) {
      while (pos < text.size() && skippable(text[pos])) ++pos;
      if (pos >= text.size()) break;
      c[got] = base64Value(text[pos++]);
      if (c[got] < 0) {
        out.Clear();
        return false;
      }
    }
    if (got == 0) break;
    for (int k = got; k < 4; ++k) c[k] = 64;  // a short last group reads as padded
    if (c[0] == 64 || c[1] == 64) {
      out.Clear();
      return false;
    }
    *o++ = char((c[0] << 2) | ((c[1] >> 4) & 3));
    if (c[2] != 64) {
      *o++ = char(((c[1] & 15) << 4) | ((c[2] >> 2) & 15));
      if (c[3] != 64) *o++ = char(((c[2] & 3) << 6) | (c[3] & 63));
    }
    appended = true;
    if (got < 4) break;
  }
  bytes.resize(size_t(o - bytes.data()));
  if (!appended || bytes.empty()) return false;
  return out.Append(bytes.data(), int32_t(bytes.size()));
}

bool HexEncode(const void* bytes, int32_t n, ByteBuffer& out) {
  if (!bytes || n < 1) return false;
  static const char digits[] = "0123456789ABCDEF";
  const BYTE* p = static_cast<const BYTE*>(bytes);
  std::string text(size_t(n) * 2, '0');
  for (int32_t i = 0; i < n; ++i) {
    text[size_t(i) * 2] = digits[p[i] >> 4];
    text[size_t(i) * 2 + 1] = digits[p[i] & 15];
  }
  return out.Append(text.data(), int32_t(text.size()));
}

bool HexDecode(const std::string& text, ByteBuffer& out) {
  out.Clear();
  if (text.empty() || text.size() % 2 || text.size() / 2 > size_t(std::numeric_limits<int32_t>::max() - 2))
    return false;
  auto nibble = [](char ch) {
    int c = toupper(static_cast<unsigned char>(ch));
    return c < ':' ? c - '0' : c - '7';
  };
  std::string bytes(text.size() / 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = char(((nibble(text[2 * i]) << 4) + nibble(text[2 * i + 1])) & 0xFF);
  return out.Append(bytes.data(), int32_t(bytes.size()));
}

}  // namespace strabel

#include "crypt/der.h"

#include <cstdlib>

namespace velmora::crypt::der {

Bytes tlv(BYTE tag, const BYTE* content, size_t n) {
  Bytes out;
  out.push_back(tag);
  if (n < 0x80) {
    out.push_back(BYTE(n));
  } else {
    BYTE len[8];
    int k = 0;
    for (size_t v = n; v; v >>= 8) len[k++] = BYTE(v & 0xFF);
    out.push_back(BYTE(0x80 | k));
    while (k) out.push_back(len[--k]);
  }
  out.insert(out.end(), content, content + n);
  return out;
}

Bytes tlv(BYTE tag, const Bytes& content) { return tlv(tag, content.data(), content.size()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

bool oid(const std::string& dotted, Bytes& out) {
  std::vector<uint64_t> arcs;
  size_t pos = 0;
  while (pos <= dotted.size()) {
    size_t dot = dotted.find('.', pos);
    std::string part = dotted.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
    if (part.empty() || part.size() > 18 || part.find_first_not_of("0123456789") != std::string::npos) return false;
    arcs.push_back(std::strtoull(part.c_str(), nullptr, 10));
    if (dot == std::string::npos) break;
    pos = dot + 1;
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39)) return false;
  Bytes content;
  auto put = [&content](uint64_t v) {
    BYTE tmp[10];
    int k = 0;
    do {
      tmp[k++] = BYTE(v & 0x7F);
      v >>= 7;
    } while (v);
    while (k > 1) content.push_back(BYTE(tmp[--k] | 0x80));
    content.push_back(tmp[0]);
  };
  put(arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
  out = tlv(kOid, content);
  return true;
}

Bytes unsignedInteger(const Bytes& bigEndian) {
  size_t i = 0;
  while (i + 1 < bigEndian.size() && bigEndian[i] == 0 && !(bigEndian[i + 1] & 0x80)) ++i;
  // A zero byte first when the value is empty or its top bit is set, so it stays positive.
  Bytes content;
  content.reserve(bigEndian.size() - i + 1);
  if (bigEndian.empty() || (bigEndian[i] & 0x80)) content.push_back(0);
  content.insert(content.end(), bigEndian.begin() + long(i), bigEndian.end());
  return tlv(kInteger, content);
}

bool Reader::next(Element& e) {
  if (p_ >= end_) return false;
  const BYTE* start = p_;
  size_t left = size_t(end_ - p_);
  if (left < 2) return false;
  BYTE tag = p_[0];
  if ((tag & 0x1F) == 0x1F) return false;  // multi-byte tags are not used here
  size_t len = p_[1];
  size_t header = 2;
  if (len & 0x80) {
    size_t k = len & 0x7F;
    if (k == 0 || k > 4 || left < 2 + k) return false;  // no indefinite lengths in DER
    len = 0;
    for (size_t i = 0; i < k; ++i) len = (len << 8) | p_[2 + i];
    header += k;
  }
  if (len > left - header) return false;
  e.tag = tag;
  e.content = p_ + header;
  e.length = len;
  e.start = start;
  e.total = header + len;
  p_ += header + len;
  return true;
}

bool oidText(const BYTE* p, size_t n, std::string& dotted) {
  if (n == 0 || (p[n - 1] & 0x80)) return false;
  dotted.clear();
  uint64_t v = 0;
  bool first = true;
  for (size_t i = 0; i < n; ++i) {
    if (v >> 57) return false;
    v = (v << 7) | (p[i] & 0x7F);
    if (p[i] & 0x80) continue;
    if (first) {
      uint64_t a = v < 40 ? 0 : v < 80 ? 1 : 2;
      dotted = std::to_string(a) + "." + std::to_string(v - a * 40);
      first = false;
    } else {
      dotted += "." + std::to_string(v);
    }
    v = 0;
  }
  return true;
}

}  // namespace velmora::crypt::der

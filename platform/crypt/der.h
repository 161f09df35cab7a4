// A small DER writer and a bounds-checked reader for the structures the
// encoders handle.
#pragma once

#include <windef.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::crypt::der {

using Bytes = std::vector<BYTE>;

enum Tag : BYTE {
  kBoolean = 0x01,
  kInteger = 0x02,
  kBitString = 0x03,
  kOctetString = 0x04,
  kNull = 0x05,
  kOid = 0x06,
  kUtf8String = 0x0C,
  kNumericString = 0x12,
  kPrintableString = 0x13,
  kT61String = 0x14,
  kVideotexString = 0x15,
  kIa5String = 0x16,
  kUtcTime = 0x17,
  kGeneralizedTime = 0x18,
  kGraphicString = 0x19,
  kVisibleString = 0x1A,
  kGeneralString = 0x1B,
  kUniversalString = 0x1C,
  kBmpString = 0x1E,
  kSequence = 0x30,
  kSet = 0x31,
};

Bytes tlv(BYTE tag, const Bytes& content);
Bytes tlv(BYTE tag, const BYTE* content, size_t n);
Bytes concat(std::initializer_list<Bytes> parts);
// False for a malformed dotted OID text.
bool oid(const std::string& dotted, Bytes& out);
// An INTEGER from big-endian magnitude bytes (a zero byte is put in front
// when the top bit is set).
Bytes unsignedInteger(const Bytes& bigEndian);

// One element read from a buffer.
struct Element {
  BYTE tag = 0;
  const BYTE* content = nullptr;
  size_t length = 0;
  const BYTE* start = nullptr;  // the whole element, header included
  size_t total = 0;
};

class Reader {
 public:
  Reader(const BYTE* p, size_t n) : p_(p), end_(p + n) {}
  bool atEnd() const { return p_ == end_; }
  // Reads the next element; false when the data is malformed or ends early.
  bool next(Element& e);
  bool expect(BYTE tag, Element& e) { return next(e) && e.tag == tag; }

 private:
  const BYTE* p_;
  const BYTE* end_;
};

// Dotted text of an OID's content bytes; false when malformed.
bool oidText(const BYTE* p, size_t n, std::string& dotted);

}  // namespace velmora::crypt::der

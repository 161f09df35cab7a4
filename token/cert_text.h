// Text forms of certificate fields as the token component hands them out.
// Exported for the tests only.
#pragma once

#include <windef.h>

#include <openssl/x509.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quennet {

// Standard alphabet, "=" padding, no line breaks.
VELMORA_EXPORT std::string base64Encode(const unsigned char* data, size_t size);
inline std::string base64Encode(const std::vector<unsigned char>& data) { return base64Encode(data.data(), data.size()); }
// Ignores CR LF pairs and lone LF; fails (false) on a byte of 0x80 or more,
// on a character outside the alphabet, on more than two "=" or on data
// after the padding.
VELMORA_EXPORT bool base64Decode(const std::string& text, std::vector<unsigned char>& out);

// "/C=TW/O=Example/CN=..." with short names (or the dotted identifier) and
// the value bytes as they are; at most 4095 characters.
VELMORA_EXPORT std::string oneLineName(const X509_NAME* name);

// Upper-case hex of the serial's content bytes, with "00" in front when the
// first byte is 0x80 or more and `signByte` is set.
VELMORA_EXPORT std::string serialText(const ASN1_INTEGER* serial, bool signByte);

// Seconds since 1970 of a validity time read by the component's rules, or 0
// when the time cannot be read.
VELMORA_EXPORT int64_t certTime(const ASN1_TIME* time);
// That time shifted to UTC+8 as "%04d%02d%02d%02d%02d%02d".
VELMORA_EXPORT std::string certTimeText(const ASN1_TIME* time);

// Base64 of the SHA-1 of `der`.
VELMORA_EXPORT std::string fingerprint(const std::vector<unsigned char>& der);

}  // namespace quennet

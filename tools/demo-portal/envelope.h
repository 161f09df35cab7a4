// The demo portal's side of envelope encryption: it encrypts a text with
// OpenSSL for a certificate its CA issued, for the page to decrypt.
#pragma once

#include <string>
#include <variant>

#include "demo_ca.h"
#include "verify.h"

namespace velmora::demo {

struct Envelope {
  std::string message;    // Base64 DER EnvelopedData
  std::string recipient;  // subject of the certificate
  std::string cipher;     // OpenSSL's name of the content cipher
};

// `certificate`: Base64 DER issued by the portal's CA; `cipher`: "des3",
// "des" or "rc4"; the text (UTF-8) becomes `bytes` before it is encrypted.
std::variant<Envelope, Refusal> encryptFor(const DemoCa& ca, const std::string& certificate, const std::string& text,
                                           const std::string& cipher, TextBytes bytes);

}  // namespace velmora::demo

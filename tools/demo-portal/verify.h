// The demo portal's side of signing: it checks, with OpenSSL, what the
// page signed with the user's certificate, and says who signed what.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "demo_ca.h"

namespace velmora::demo {

// How the page turned its text into the bytes it signed.
enum class TextBytes { Utf16le, Ansi };

struct SignedText {
  std::string signer;               // subject of the signer certificate
  std::string serial;               // hex
  std::string issuer;
  std::vector<std::string> chain;   // subjects from the signer to the root
  std::string content;              // the signed text (UTF-8)
  std::string digest;               // "sha256", "sha1", ...
  bool detached = false;            // PKCS#7 without the content
  int certificates = 0;             // certificates the message carries
  int signingTimes = 0;             // signing-time attributes of the signer
  std::string signingTime;          // the first one, as OpenSSL prints it
};

// A Base64 PKCS#7 SignedData with one signer. `content` (UTF-8) is what the
// page says it signed: needed for a detached message, compared otherwise.
// The signer must chain to the portal's CA.
std::variant<SignedText, Refusal> verifyPkcs7(const DemoCa& ca, const std::string& base64,
                                              const std::optional<std::string>& content, TextBytes bytes);

// A raw PKCS#1 v1.5 (RSA) or r||s (EC) signature, as the bridge's SignPkcs1
// gives it (`hex` or Base64; reversed unless `providerOrder`), over the
// text's bytes, with the certificate the page selected (Base64 DER).
struct Pkcs1Input {
  std::string signature;
  bool base64 = false;
  bool providerOrder = false;
  std::string certificate;
  std::string content;  // UTF-8
  TextBytes bytes = TextBytes::Utf16le;
  std::string digest = "sha256";  // or "sha1"
};
std::variant<SignedText, Refusal> verifyPkcs1(const DemoCa& ca, const Pkcs1Input& in);

// The text's bytes as the page signs them.
std::string textBytes(const std::string& utf8, TextBytes bytes);

}  // namespace velmora::demo

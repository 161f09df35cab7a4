// The demo portal's certification authority: a root and an intermediate,
// made the first time a folder is opened and kept there with their keys,
// issuing user certificates for PKCS#10 requests.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace velmora::demo {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

// What the issued certificate is for; each maps to one key-usage set.
enum class Usage { Signing, Encryption };

// "signing" / "encryption"; nullopt for anything else.
std::optional<Usage> parseUsage(const std::string& name);

struct Issued {
  std::string pkcs7;    // Base64 DER, certificates-only SignedData: user, intermediate, root
  std::string certificate;  // the user certificate, Base64 DER
  std::string subject;  // one-line subject of the user certificate (UTF-8)
  std::string serial;   // hex
};

// A refused request: why, in words meant for the page.
struct Refusal {
  std::string message;
};

class DemoCa {
 public:
  // Opens the CA kept in `folder`, making it first when the folder holds
  // none of its files. nullopt with `error` set when the folder cannot be
  // used or holds an incomplete or inconsistent CA.
  static std::unique_ptr<DemoCa> open(const std::string& folder, std::string& error);

  // Issues a certificate for a Base64 (or PEM) PKCS#10 request: an RSA
  // key of 2048 bits or more, or an EC key on P-256 or P-384 (for signing
  // only). Thread-safe.
  std::variant<Issued, Refusal> issue(const std::string& request, Usage usage);

  X509* root() const { return root_.get(); }
  X509* intermediate() const { return intermediate_.get(); }
  const std::string& folder() const { return folder_; }

 private:
  DemoCa() = default;
  std::string folder_;
  X509Ptr root_, intermediate_;
  PkeyPtr rootKey_, intermediateKey_;
  std::mutex mutex_;
};

// The default folder: ${XDG_DATA_HOME:-~/.local/share}/velmora/demo-portal/ca.
std::string defaultCaFolder();

// A name on one line, as the portal shows it (UTF-8).
std::string nameText(X509_NAME* name);

// Base64 of bytes (one line) and back; the decoder skips whitespace and
// refuses anything else outside the alphabet or misplaced padding.
std::string base64Encode(const std::string& bytes);
std::optional<std::string> base64Decode(const std::string& text);

}  // namespace velmora::demo

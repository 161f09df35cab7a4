// One X.509 certificate and the text forms of its fields, as every part of
// the component gives them to the page.
#pragma once

#include <windows.h>

#include <string>

#include "certs/encoding.h"

struct _CERT_CONTEXT;

namespace strabel {

inline constexpr BYTE kKeyCertSign = 0x04;
inline constexpr BYTE kCrlSign = 0x02;

class VELMORA_EXPORT CertInfo {
 public:
  CertInfo() = default;
  ~CertInfo();
  CertInfo(const CertInfo&) = delete;
  CertInfo& operator=(const CertInfo&) = delete;

  // Decodes the bytes; the context is ours. False (lastError set) when they
  // are not a certificate.
  bool FromBytes(const BYTE* der, int32_t n);
  // Borrows an existing context (never freed here) and copies its bytes.
  bool FromContext(const _CERT_CONTEXT* context);
  void Clear();

  std::string Base64() const;
  std::string SubjectName() const;  // X.500 form, no quoting, at most 511 characters
  std::string IssuerName() const;
  std::string SubjectCN() const;    // at most 99 characters
  std::string IssuerCN() const;
  std::string Serial() const;       // upper-case hex, most significant byte first
  std::string Thumbprint() const;   // SHA-1, 40 upper-case hex digits
  // Local time: "%04d%02d%02d%02d%02d%02d", "%04d/%02d/%02d" or with the time.
  enum class DateForm { Compact, Date, DateTime };
  std::string NotBefore(DateForm form = DateForm::Compact) const;
  std::string NotAfter(DateForm form = DateForm::Compact) const;
  BYTE KeyUsage() const { return loaded ? keyUsage : 0; }
  bool IsCaLike() const;

  ByteBuffer der;
  BYTE keyUsage = 0;
  bool loaded = false;
  DWORD lastError = 0;
  bool ownsContext = true;
  const _CERT_CONTEXT* context = nullptr;

 private:
  void ReadKeyUsage();
  std::string Name(bool issuer) const;
  std::string CommonName(bool issuer) const;
  std::string Date(bool after, DateForm form) const;
};

}  // namespace strabel

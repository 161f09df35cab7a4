#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include "certs/cert_info.h"

#include <wincrypt.h>

#include <cstdio>
#include <ctime>
#include <vector>

namespace strabel {

namespace {
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
}

CertInfo::~CertInfo() { Clear(); }

void CertInfo::Clear() {
  if (context && ownsContext) CertFreeCertificateContext(context);
  context = nullptr;
  loaded = false;
  lastError = 0;
  ownsContext = true;
  keyUsage = 0;
  der.Clear();
}

bool CertInfo::FromBytes(const BYTE* bytes, int32_t n) {
  Clear();
  if (!bytes || n < 1) {
    lastError = ERROR_INVALID_PARAMETER;
    return false;
  }
  der.Append(bytes, n);
  context = CertCreateCertificateContext(kEncoding, bytes, DWORD(n));
  lastError = context ? 0 : GetLastError();
  if (!context) return false;
  loaded = true;
  ReadKeyUsage();
  return true;
}

bool CertInfo::FromContext(const _CERT_CONTEXT* ctx) {
  Clear();
  if (!ctx) return false;
  der.Append(ctx->pbCertEncoded, int32_t(ctx->cbCertEncoded));
  context = ctx;
  ownsContext = false;
  loaded = true;
  ReadKeyUsage();
  return true;
}

void CertInfo::ReadKeyUsage() {
  keyUsage = 0;
  CERT_INFO* info = context->pCertInfo;
  PCERT_EXTENSION ext = CertFindExtension(szOID_KEY_USAGE, info->cExtension, info->rgExtension);
  if (!ext) return;
  DWORD n = 0;
  if (!CryptDecodeObject(kEncoding, X509_KEY_USAGE, ext->Value.pbData, ext->Value.cbData, 0, nullptr, &n)) return;
  std::vector<BYTE> buf(n);
  if (!CryptDecodeObject(kEncoding, X509_KEY_USAGE, ext->Value.pbData, ext->Value.cbData, 0, buf.data(), &n)) return;
  auto* bits = reinterpret_cast<CRYPT_BIT_BLOB*>(buf.data());
  if (bits->cbData) keyUsage = bits->pbData[0];
}

std::string CertInfo::Base64() const {
  ByteBuffer text;
  if (!loaded || !Base64Encode(der.data(), der.length(), text)) return std::string();
  return text.str();
}

std::string CertInfo::Name(bool issuer) const {
  if (!loaded) return std::string();
  CERT_NAME_BLOB blob = issuer ? context->pCertInfo->Issuer : context->pCertInfo->Subject;
  char text[512];
  CertNameToStrA(kEncoding, &blob, CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG, text, sizeof text);
  return text;
}

std::string CertInfo::SubjectName() const { return Name(false); }
std::string CertInfo::IssuerName() const { return Name(true); }

std::string CertInfo::CommonName(bool issuer) const {
  if (!loaded) return std::string();
  char text[100];
  CertGetNameStringA(context, CERT_NAME_ATTR_TYPE, issuer ? CERT_NAME_ISSUER_FLAG : 0,
                     const_cast<char*>(szOID_COMMON_NAME), text, sizeof text);
  return text;
}

std::string CertInfo::SubjectCN() const { return CommonName(false); }
std::string CertInfo::IssuerCN() const { return CommonName(true); }

std::string CertInfo::Serial() const {
  if (!loaded) return std::string();
  const CRYPT_INTEGER_BLOB& serial = context->pCertInfo->SerialNumber;
  std::string text;
  char digits[3];
  for (DWORD i = serial.cbData; i > 0; --i) {
    snprintf(digits, sizeof digits, "%02X", serial.pbData[i - 1]);
    text += digits;
  }
  return text;
}

std::string CertInfo::Thumbprint() const {
  if (!loaded) return std::string();
  BYTE hash[20];
  DWORD n = sizeof hash;
  if (!CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, hash, &n) || n != 20) return std::string();
  ByteBuffer text;
  HexEncode(hash, 20, text);
  return text.str();
}

std::string CertInfo::Date(bool after, DateForm form) const {
  if (!loaded) return std::string();
  const FILETIME& ft = after ? context->pCertInfo->NotAfter : context->pCertInfo->NotBefore;
  const uint64_t v = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const time_t t = time_t(int64_t(v / 10000000ULL) - 11644473600LL);
  struct tm local{};
  localtime_r(&t, &local);
  char text[64];
  const int y = local.tm_year + 1900, mo = local.tm_mon + 1;
  switch (form) {
    case DateForm::Compact:
      snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", y, mo, local.tm_mday, local.tm_hour, local.tm_min,
               local.tm_sec);
      break;
    case DateForm::Date:
      snprintf(text, sizeof text, "%04d/%02d/%02d", y, mo, local.tm_mday);
      break;
    case DateForm::DateTime:
      snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", y, mo, local.tm_mday, local.tm_hour, local.tm_min,
               local.tm_sec);
      break;
  }
  return text;
}

std::string CertInfo::NotBefore(DateForm form) const { return Date(false, form); }
std::string CertInfo::NotAfter(DateForm form) const { return Date(true, form); }

bool CertInfo::IsCaLike() const {
  if (!loaded) return false;
  return SubjectName() == IssuerName() || (keyUsage & (kKeyCertSign | kCrlSign));
}

}  // namespace strabel

// Installing what the authority issued: CA certificates to the user's root
// and intermediate stores, the user's certificate to "MY" joined to the key
// that was generated for it (found through the key registry).
#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include <wincrypt.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "certs/cert_info.h"
#include "certs/encoding.h"
#include "certs/key_registry.h"
#include "frame/engines.h"
#include "registry/hive.h"

namespace strabel {

namespace {

enum : int {
  kWrongParameters = 5005,
  kBase64Error = 5008,
  kCertNotFound = 5010,
  kBadCertFormat = 5040,
  kKeyDoesNotMatch = 5060,
  kUserCancelled = 5070,
  kOpenMyFailed = 5201,
  kAcquireCsp = 5203,
  kMyAccessDenied = 5206,
  kCspAccessDenied = 5211,
  kOpenRootFailed = 5221,
  kOpenCaFailed = 5222,
  kPermissionDenied = 5906,
};

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Outcome {
  int status = 0;
  DWORD error = 0;
};

std::string normalise(std::string text) {
  for (const char* cut : {"-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----", "\r", "\n"})
    for (size_t p; (p = text.find(cut)) != std::string::npos;) text.erase(p, strlen(cut));
  return text;
}

// The certificates of a PKCS #7 message; false when the bytes are not one
// (they are then one certificate). `countOk` is false when the message's
// certificates cannot be counted.
bool readMessage(const ByteBuffer& bytes, std::vector<std::vector<BYTE>>& certs, bool& countOk) {
  countOk = true;
  HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
  if (!msg) return false;
  if (!CryptMsgUpdate(msg, bytes.data(), DWORD(bytes.length()), TRUE)) {
    CryptMsgClose(msg);
    return false;
  }
  DWORD count = 0, n = sizeof count;
  if (!CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &count, &n)) {
    countOk = false;
  } else {
    for (DWORD i = 0; i < count; ++i) {
      DWORD size = 0;
      if (!CryptMsgGetParam(msg, CMSG_CERT_PARAM, i, nullptr, &size)) continue;
      std::vector<BYTE> der(size);
      if (CryptMsgGetParam(msg, CMSG_CERT_PARAM, i, der.data(), &size)) certs.push_back(std::move(der));
    }
  }
  CryptMsgClose(msg);
  return true;
}

// What placing one certificate did.
struct Placement {
  bool isCa = false;     // a target store was chosen
  bool added = false;    // and the certificate is in it
  int failure = 0;       // when not added: the status that says why
  DWORD error = 0;
};

// Self-issued certificates go to "ROOT", certificate signers to "CA"; others
// are not CA certificates.
Placement placeCa(const std::vector<BYTE>& der) {
  Placement p;
  CertInfo cert;
  if (!cert.FromBytes(der.data(), int32_t(der.size()))) return p;
  const char* target = nullptr;
  if (cert.SubjectName() == cert.IssuerName()) target = "ROOT";
  else if (cert.KeyUsage() & kKeyCertSign) target = "CA";
  if (!target) return p;
  p.isCa = true;
  HCERTSTORE store = CertOpenSystemStoreA(0, target);
  const bool root = target[0] == 'R';
  if (!store) {
    p.failure = root ? kOpenRootFailed : kOpenCaFailed;
    p.error = GetLastError();
    return p;
  }
  p.added = CertAddEncodedCertificateToStore(store, kEncoding, der.data(), DWORD(der.size()),
                                             CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, nullptr);
  if (!p.added) {
    p.error = GetLastError();
    p.failure = p.error == ERROR_CANCELLED ? kUserCancelled : (root ? kOpenRootFailed : kOpenCaFailed);
  }
  CertCloseStore(store, 0);
  return p;
}

// Steps shared by both key paths: probe, decode, place the CA certificates,
// pick the user's certificate.
bool prepare(const std::string& text, std::vector<BYTE>& userCert, Outcome& out) {
  DWORD error = 0;
  if (!ProbeWritableRegistry(error)) {
    out = {kPermissionDenied, error};
    return false;
  }
  if (text.empty()) {
    out = {kWrongParameters, 0};
    return false;
  }
  ByteBuffer bytes;
  if (!Base64Decode(text, bytes)) {
    out = {kBase64Error, 0};
    return false;
  }
  std::vector<std::vector<BYTE>> certs;
  bool countOk = true;
  if (readMessage(bytes, certs, countOk)) {
    if (!countOk) {
      out = {kBadCertFormat, 0};
      return false;
    }
    bool found = false;
    for (const auto& der : certs) {
      if (placeCa(der).isCa) continue;
      userCert = der;  // a later one replaces an earlier one
      found = true;
    }
    if (!found) {
      out = {kKeyDoesNotMatch, 0};
      return false;
    }
  } else {
    userCert.assign(bytes.data(), bytes.data() + bytes.length());
  }
  return true;
}

// The key registry entry whose "PublicKey" matches: `key` compared after the
// first `skip` bytes of the stored value, whose length must be key + skip.
// 0 when found; kCertNotFound when none matches.
int findKeyEntry(const BYTE* key, size_t n, size_t skip, bool compareAfterHeader, KeyRegistryEntry& entry,
                 DWORD& error) {
  HKEY root = nullptr;
  LSTATUS rc = RegOpenKeyExA(HKEY_CURRENT_USER, kKeyRegistryPath, 0, KEY_ALL_ACCESS, &root);
  // No key was ever generated here: then no entry matches.
  if (rc == ERROR_FILE_NOT_FOUND) return kCertNotFound;
  if (rc != ERROR_SUCCESS) {
    error = DWORD(rc);
    return kPermissionDenied;
  }
  // All public keys in one read of the hive: the loop below only compares.
  std::vector<std::pair<std::string, std::string>> rows;
  rc = velmora::platform::readSubkeyValues(kKeyRegistryPath, "PublicKey", rows);
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
    RegCloseKey(root);
    error = DWORD(rc);
    return kPermissionDenied;
  }
  int status = kCertNotFound;
  for (const auto& [name, value] : rows) {
    const auto* stored = reinterpret_cast<const BYTE*>(value.data());
    const bool match = compareAfterHeader
                           ? value.size() == n && n > skip && memcmp(stored + skip, key + skip, n - skip) == 0
                           : value.size() == n + skip && memcmp(stored + skip, key, n) == 0;
    if (!match) continue;
    HKEY sub = nullptr;
    if (RegOpenKeyExA(root, name.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    entry.container = name;
    char provider[256] = {0};
    DWORD provSize = sizeof provider - 1;
    RegQueryValueExA(sub, "ProviderName", nullptr, nullptr, reinterpret_cast<BYTE*>(provider), &provSize);
    entry.providerName.assign(provider, strnlen(provider, provSize));
    DWORD v = 0, vs = sizeof v;
    if (RegQueryValueExA(sub, "ProviderType", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &vs) == ERROR_SUCCESS)
      entry.providerType = v;
    vs = sizeof v;
    if (RegQueryValueExA(sub, "KeySpec", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &vs) == ERROR_SUCCESS)
      entry.keySpec = v;
    RegCloseKey(sub);
    status = 0;
    break;
  }
  RegCloseKey(root);
  return status;
}

std::u16string wide(const std::string& ansi) { return wideFromAnsi(ansi); }

Outcome joinRsa(const CertInfo& cert) {
  const CERT_PUBLIC_KEY_INFO& spki = cert.context->pCertInfo->SubjectPublicKeyInfo;
  DWORD n = 0;
  if (!CryptDecodeObject(kEncoding, RSA_CSP_PUBLICKEYBLOB, spki.PublicKey.pbData, spki.PublicKey.cbData, 0, nullptr,
                         &n))
    return {kBadCertFormat, GetLastError()};
  std::vector<BYTE> blob(n);
  if (!CryptDecodeObject(kEncoding, RSA_CSP_PUBLICKEYBLOB, spki.PublicKey.pbData, spki.PublicKey.cbData, 0,
                         blob.data(), &n))
    return {kBadCertFormat, GetLastError()};
  KeyRegistryEntry entry;
  DWORD error = 0;
  // The blob header names the key's algorithm (signature or exchange): skip it.
  if (int status = findKeyEntry(blob.data(), blob.size(), sizeof(BLOBHEADER), true, entry, error))
    return {status, error};

  std::u16string container = wide(entry.container), provider = wide(entry.providerName);
  CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), entry.providerType, 0, 0, nullptr, entry.keySpec};
  if (!CertSetCertificateContextProperty(cert.context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
    return {kMyAccessDenied, GetLastError()};
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, entry.container.c_str(), entry.providerName.c_str(), entry.providerType, 0))
    return {kAcquireCsp, GetLastError()};
  // The key context owns the handle from here on: it is released with the
  // certificate contexts, not by us.
  CERT_KEY_CONTEXT keyContext{12, prov, entry.keySpec};
  if (!CertSetCertificateContextProperty(cert.context, CERT_KEY_CONTEXT_PROP_ID, 0, &keyContext)) {
    const DWORD e = GetLastError();
    CryptReleaseContext(prov, 0);
    return {kCspAccessDenied, e};
  }
  if (entry.providerName.find("Microsoft") == std::string::npos) {
    // A vendor's provider keeps the certificate next to its key on the token.
    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(prov, entry.keySpec, &key)) return {kMyAccessDenied, GetLastError()};
    const bool ok = CryptSetKeyParam(key, KP_CERTIFICATE, cert.der.data(), 0);
    const DWORD e = GetLastError();
    CryptDestroyKey(key);
    if (!ok) return {kCspAccessDenied, e};
  }
  // The certificate and its properties are one commit: all or none.
  velmora::platform::HiveBatch batch;
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  if (!my) return {kOpenMyFailed, GetLastError()};
  PCCERT_CONTEXT added = nullptr;
  if (!CertAddCertificateContextToStore(my, cert.context, CERT_STORE_ADD_ALWAYS, &added)) {
    const DWORD e = GetLastError();
    CertCloseStore(my, 0);
    return {kMyAccessDenied, e};
  }
  KeyCreationPoint("install-half-written");
  std::u16string friendly = wide(cert.SubjectCN());
  CRYPT_DATA_BLOB name{DWORD((friendly.size() + 1) * 2), reinterpret_cast<BYTE*>(friendly.data())};
  CertSetCertificateContextProperty(added, CERT_FRIENDLY_NAME_PROP_ID, 0, &name);
  CertFreeCertificateContext(added);
  CertCloseStore(my, 0);
  if (LSTATUS rc = batch.commit()) return {kMyAccessDenied, DWORD(rc)};
  return {0, 0};
}

Outcome rsaPath(const std::string& text) {
  std::vector<BYTE> der;
  Outcome out;
  if (!prepare(text, der, out)) return out;
  CertInfo cert;
  if (!cert.FromBytes(der.data(), int32_t(der.size()))) return {kBadCertFormat, cert.lastError};
  return joinRsa(cert);
}

// Keys of the key storage provider: the certificate goes to the engine's
// kept "MY" store with the provider's marks (type 0, spec 0).
Outcome ecPath(CCapiCore& core, const std::string& text) {
  if (!core.m_eccGenerator.myStore) {
    core.m_eccGenerator.myStore =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY");
    if (!core.m_eccGenerator.myStore) return {kOpenMyFailed, GetLastError()};
  }
  std::vector<BYTE> der;
  Outcome out;
  if (!prepare(text, der, out)) return out;
  CertInfo cert;
  if (!cert.FromBytes(der.data(), int32_t(der.size()))) return {kBadCertFormat, cert.lastError};
  const CRYPT_BIT_BLOB& bits = cert.context->pCertInfo->SubjectPublicKeyInfo.PublicKey;
  std::vector<BYTE> key;
  KeyRegistryEntry entry;
  DWORD error = 0;
  int status = 0;
  if (bits.cbData > 1 && bits.pbData[0] == 0x04) {
    key.assign(bits.pbData + 1, bits.pbData + bits.cbData);  // X and Y
    status = findKeyEntry(key.data(), key.size(), 8, false, entry, error);
  } else {
    DWORD n = 0;
    if (!CryptDecodeObject(kEncoding, RSA_CSP_PUBLICKEYBLOB, bits.pbData, bits.cbData, 0, nullptr, &n))
      return {kBadCertFormat, GetLastError()};
    key.resize(n);
    if (!CryptDecodeObject(kEncoding, RSA_CSP_PUBLICKEYBLOB, bits.pbData, bits.cbData, 0, key.data(), &n))
      return {kBadCertFormat, GetLastError()};
    // Compared as the key storage provider's blobs are: so an RSA key's
    // entry (a PUBLICKEYBLOB of the same length) never matches here.
    status = findKeyEntry(key.data(), key.size(), 8, false, entry, error);
  }
  if (status) return {status, error};
  // The certificate and its key's marks are one commit: all or none.
  velmora::platform::HiveBatch batch;
  PCCERT_CONTEXT added = nullptr;
  if (!CertAddEncodedCertificateToStore(core.m_eccGenerator.myStore, kEncoding, der.data(), DWORD(der.size()),
                                        CERT_STORE_ADD_REPLACE_EXISTING, &added))
    return {kMyAccessDenied, GetLastError()};
  KeyCreationPoint("install-half-written");
  std::u16string container = wide(entry.container), provider = wide(entry.providerName);
  CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), 0, 0, 0, nullptr, 0};
  const bool ok = CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
  const DWORD e = GetLastError();
  CertFreeCertificateContext(added);
  if (!ok) return {kMyAccessDenied, e};
  if (LSTATUS rc = batch.commit()) return {kMyAccessDenied, DWORD(rc)};
  return {0, 0};
}

bool prologue(CCapiCore& core, const std::u16string& input) {
  core.begin(false);
  if (input.empty()) {
    core.fail(kWrongParameters);
    return false;
  }
  if (core.m_bIEProtectedMode) {
    core.fail(kProtectedMode);
    return false;
  }
  return true;
}

}  // namespace

int CCapiCore::AcceptPKCS7(const std::u16string& pkcs7) {
  if (!prologue(*this, pkcs7)) return m_nErrorCode;
  const std::string text = normalise(ansiFromWide(pkcs7));
  Outcome out = rsaPath(text);
  if (out.status) out = ecPath(*this, text);
  m_nErrorCode = out.status;
  m_dwCapiErrorCode = out.error;
  return m_nErrorCode;
}

int CCapiCore::AcceptPKCS7Ecc(const std::u16string& pkcs7) { return AcceptPKCS7(pkcs7); }

int CCapiCore::ImportCertChain(const std::u16string& pkcs7) {
  if (!prologue(*this, pkcs7)) return m_nErrorCode;
  const std::string text = normalise(ansiFromWide(pkcs7));
  DWORD error = 0;
  if (!ProbeWritableRegistry(error)) return fail(kPermissionDenied, error);
  ByteBuffer bytes;
  if (!Base64Decode(text, bytes)) return fail(kBase64Error);
  std::vector<std::vector<BYTE>> certs;
  bool countOk = true;
  if (readMessage(bytes, certs, countOk)) {
    if (!countOk) return fail(kBadCertFormat);
    if (certs.empty()) return fail(kCertNotFound);
  } else {
    certs.emplace_back(bytes.data(), bytes.data() + bytes.length());
  }
  bool anyCa = false, anyAdded = false;
  Placement lastFailure;
  for (const auto& der : certs) {
    Placement p = placeCa(der);
    anyCa |= p.isCa;
    anyAdded |= p.added;
    if (p.isCa && !p.added) lastFailure = p;
  }
  if (!anyCa) return fail(kCertNotFound);
  // CA certificates were found but none could be installed (the user
  // declined the root, or a store failed): that is not a success.
  if (!anyAdded) return fail(lastFailure.failure, lastFailure.error);
  return m_nErrorCode;
}

}  // namespace strabel

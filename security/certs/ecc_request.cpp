#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include "certs/ecc_request.h"

#include <ncrypt.h>
#include <wincrypt.h>

#include <vector>

#include "base/private_files.h"
#include "certs/cng_loader.h"
#include "certs/key_registry.h"
#include "frame/engines.h"

namespace strabel {

namespace {

enum : int {
  kPublicKeyExport = 5,
  kWrongParameters = 5005,
  kKeyGeneration = 5065,
  kUserCancelled = 5070,
  kRequestFailed = 5304,
  kPermissionDenied = 5906,
};

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const SECURITY_STATUS kCancelledStatus = SECURITY_STATUS(HRESULT_FROM_WIN32(ERROR_CANCELLED));

// Handles that are freed however the generation ends.
struct CngHandles {
  explicit CngHandles(CngLoader& cng) : loader(cng) {}
  ~CngHandles() {
    if (key) loader.FreeObject(key);
    if (provider) loader.FreeObject(provider);
  }
  CngLoader& loader;
  NCRYPT_PROV_HANDLE provider = 0;
  NCRYPT_KEY_HANDLE key = 0;
};

// PKCS #10 for the CNG key: subject "CN=<name>" (semicolons separate),
// ecdsa-with-SHA256, Base64 in lines. False with the platform error.
bool buildRequest(NCRYPT_KEY_HANDLE key, const std::string& commonName, std::string& csr, DWORD& error) {
  const std::string subjectText = "CN=" + commonName;
  const DWORD strType = CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG;
  DWORD nameSize = 0;
  if (!CertStrToNameA(X509_ASN_ENCODING, subjectText.c_str(), strType, nullptr, nullptr, &nameSize, nullptr)) {
    error = GetLastError();
    return false;
  }
  std::vector<BYTE> name(nameSize);
  if (!CertStrToNameA(X509_ASN_ENCODING, subjectText.c_str(), strType, nullptr, name.data(), &nameSize, nullptr)) {
    error = GetLastError();
    return false;
  }
  DWORD infoSize = 0;
  if (!CryptExportPublicKeyInfo(key, CERT_NCRYPT_KEY_SPEC, kEncoding, nullptr, &infoSize)) {
    error = GetLastError();
    return false;
  }
  std::vector<BYTE> infoBuffer(infoSize);
  auto* publicKey = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(infoBuffer.data());
  if (!CryptExportPublicKeyInfo(key, CERT_NCRYPT_KEY_SPEC, kEncoding, publicKey, &infoSize)) {
    error = GetLastError();
    return false;
  }
  CERT_REQUEST_INFO request{};
  request.dwVersion = CERT_REQUEST_V1;
  request.Subject = {nameSize, name.data()};
  request.SubjectPublicKeyInfo = *publicKey;
  CRYPT_ALGORITHM_IDENTIFIER signature{const_cast<char*>(szOID_ECDSA_SHA256), {0, nullptr}};
  DWORD size = 0;
  if (!CryptSignAndEncodeCertificate(key, CERT_NCRYPT_KEY_SPEC, kEncoding, X509_CERT_REQUEST_TO_BE_SIGNED, &request,
                                     &signature, nullptr, nullptr, &size)) {
    error = GetLastError();
    return false;
  }
  std::vector<BYTE> der(size);
  if (!CryptSignAndEncodeCertificate(key, CERT_NCRYPT_KEY_SPEC, kEncoding, X509_CERT_REQUEST_TO_BE_SIGNED, &request,
                                     &signature, nullptr, der.data(), &size)) {
    error = GetLastError();
    return false;
  }
  DWORD chars = 0;
  if (!CryptBinaryToStringA(der.data(), size, CRYPT_STRING_BASE64, nullptr, &chars)) {
    error = GetLastError();
    return false;
  }
  std::string text(chars, '\0');
  if (!CryptBinaryToStringA(der.data(), size, CRYPT_STRING_BASE64, text.data(), &chars)) {
    error = GetLastError();
    return false;
  }
  text.resize(chars);
  csr = text;
  return true;
}

}  // namespace

EccRequestGenerator::~EccRequestGenerator() {
  if (myStore) CertCloseStore(myStore, 0);
}

int EccRequestGenerator::Fail(int status, DWORD error) {
  m_nErrorCode = status;
  m_dwCapiErrorCode = error;
  m_strCsr.clear();
  return status;
}

int EccRequestGenerator::Create(const std::u16string& commonName) {
  return CreateNamed(commonName, std::string());
}

int EccRequestGenerator::CreateNamed(const std::u16string& commonName, const std::string& givenContainer) {
  m_nErrorCode = 0;
  m_dwCapiErrorCode = 0;
  m_strCsr.clear();
  const std::string dateTime = KeyRegistryDateTime();
  DWORD error = 0;
  if (!ProbeWritableRegistry(error)) return Fail(kPermissionDenied, error);
  if (commonName.empty()) return Fail(kWrongParameters);
  const std::string container = givenContainer.empty() ? MakeContainerName() : givenContainer;
  if (container.empty()) return Fail(kKeyGeneration, DWORD(NTE_FAIL));
  const std::u16string wideContainer(container.begin(), container.end());  // ASCII

  CngLoader cng;
  if (!cng.Load()) return Fail(kKeyGeneration, GetLastError());
  // The key stays provisional until its registry entry is written: a key
  // nothing records is never left behind, not even by a crash. Declared
  // after the loader, so it ends while the provider is still loaded.
  velmora::platform::NewKeyScope keyScope;
  CngHandles h(cng);
  if (SECURITY_STATUS rc = cng.OpenStorageProvider(&h.provider, MS_KEY_STORAGE_PROVIDER, 0)) {
    h.provider = 0;
    return Fail(kKeyGeneration, DWORD(rc));
  }
  // The curve comes first: flags without one must not cost an existing key.
  const LPCWSTR algorithm = (m_nKeyFlags & 0x180) == 0x180 ? NCRYPT_ECDSA_P384_ALGORITHM
                            : (m_nKeyFlags & 0x100)        ? NCRYPT_ECDSA_P256_ALGORITHM
                                                           : nullptr;
  if (!algorithm) return Fail(kKeyGeneration);
  NCRYPT_KEY_HANDLE old = 0;
  if (cng.OpenKey(h.provider, &old, wideContainer.c_str(), 0, 0) == ERROR_SUCCESS && old) {
    // A deleted key's handle goes with it.
    if (SECURITY_STATUS rc = cng.DeleteKey(old, 0)) {
      cng.FreeObject(old);
      return Fail(kKeyGeneration, DWORD(rc));
    }
  }
  if (SECURITY_STATUS rc = cng.CreatePersistedKey(h.provider, &h.key, algorithm, wideContainer.c_str(), 0, 0)) {
    h.key = 0;
    return Fail(kKeyGeneration, DWORD(rc));
  }
  DWORD exportPolicy = (m_nKeyFlags & 0x001) ? NCRYPT_ALLOW_EXPORT_FLAG | NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG : 0;
  if (SECURITY_STATUS rc = cng.SetProperty(h.key, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&exportPolicy),
                                           sizeof exportPolicy, NCRYPT_PERSIST_FLAG))
    return Fail(kKeyGeneration, DWORD(rc));
  if (m_nKeyFlags & 0x002) {
    NCRYPT_UI_POLICY policy{1, NCRYPT_UI_FORCE_HIGH_PROTECTION_FLAG, u"ECC 金鑰產生", wideContainer.c_str(),
                            u"Strabel"};
    if (SECURITY_STATUS rc = cng.SetProperty(h.key, NCRYPT_UI_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&policy),
                                             sizeof policy, NCRYPT_PERSIST_FLAG))
      return Fail(kKeyGeneration, DWORD(rc));
  }
  if (SECURITY_STATUS rc = cng.FinalizeKey(h.key, 0))
    return Fail(rc == kCancelledStatus ? kUserCancelled : kKeyGeneration, DWORD(rc));

  std::string csr;
  if (!buildRequest(h.key, ansiFromWide(commonName), csr, error)) return Fail(kRequestFailed, error);

  KeyRegistryEntry entry;
  entry.container = container;
  entry.providerName = "Microsoft Software Key Storage Provider";
  entry.withCspValues = false;
  entry.dateTime = dateTime;
  DWORD size = 0;
  if (SECURITY_STATUS rc = cng.ExportKey(h.key, 0, BCRYPT_PUBLIC_KEY_BLOB, nullptr, nullptr, 0, &size, 0))
    return Fail(kPublicKeyExport, DWORD(rc));
  entry.publicKey.resize(size);
  if (SECURITY_STATUS rc =
          cng.ExportKey(h.key, 0, BCRYPT_PUBLIC_KEY_BLOB, nullptr, entry.publicKey.data(), size, &size, 0))
    return Fail(kPublicKeyExport, DWORD(rc));
  entry.publicKey.resize(size);
  KeyCreationPoint("key-written");
  if (!WriteKeyRegistryEntry(entry, error)) return Fail(kPublicKeyExport, error);
  KeyCreationPoint("key-recorded");
  // The commit point: the key file takes its final name.
  if (!keyScope.commit()) {
    DeleteKeyRegistryEntry(container);
    return Fail(kKeyGeneration, DWORD(NTE_FAIL));
  }
  m_strCsr = csr;
  return m_nErrorCode;
}

// ---- The engine's operation ----

WResult CCapiCore::CreateEccPKCS10(const std::u16string& commonName, long genEccKeyFlags) {
  begin(false);
  m_strCsrForSign.clear();
  m_strCsrForEncrypt.clear();
  if (commonName.empty() || hasNul(commonName)) {
    fail(kWrongParameters);
    return std::u16string();
  }
  if (m_bIEProtectedMode) {
    fail(kProtectedMode);
    return std::u16string();
  }
  m_eccGenerator.m_nKeyFlags = int(genEccKeyFlags);
  m_eccGenerator.Create(commonName);
  fail(m_eccGenerator.m_nErrorCode, m_eccGenerator.m_dwCapiErrorCode);
  if (m_nErrorCode) return std::u16string();
  m_strCsrForSign = m_eccGenerator.m_strCsr;
  return wideFromAnsi(m_strCsrForSign);
}

}  // namespace strabel

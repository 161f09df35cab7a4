#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include "certs/rsa_request.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstring>

#include "base/private_files.h"
#include "certs/encoding.h"
#include "certs/key_registry.h"
#include "frame/engines.h"

namespace strabel {

namespace {

enum : int {
  kPublicKeyExport = 5,  // a code of its own, without a message
  kNoMemory = 5002,
  kWrongParameters = 5005,
  kCspNameError = 5046,
  kCspNotSupported = 5047,
  kAcquireCsp = 5203,
  kKeyLength = 5301,
  kKeyGeneration = 5302,
  kPermissionDenied = 5906,
};

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

void listInstalledProviders(std::vector<std::string>& installed) {
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name, type = 0;
    if (!CryptEnumProvidersA(i, nullptr, 0, &type, name, &size)) break;
    if (type != PROV_RSA_FULL && type != PROV_RSA_AES) continue;
    std::string n(name, strnlen(name, sizeof name));
    if (std::find(installed.begin(), installed.end(), n) == installed.end()) installed.push_back(n);
  }
}

}  // namespace

RsaRequestGenerator::RsaRequestGenerator() { listInstalledProviders(m_installedProviders); }

int RsaRequestGenerator::Fail(int status, DWORD error) {
  m_nErrorCode = status;
  m_dwCapiErrorCode = error;
  return status;
}

int RsaRequestGenerator::SetProviderName(const std::string& requested) {
  m_nErrorCode = kCspNameError;
  m_dwCapiErrorCode = 0;
  std::string name = requested;
  // The AES provider's requests are made by the enhanced provider.
  if (name == "Microsoft Enhanced RSA and AES Cryptographic Provider" ||
      name == "Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)")
    name = "Microsoft Enhanced Cryptographic Provider v1.0";
  m_nProviderType = PROV_RSA_FULL;
  // A token provider may have been configured since the list was made.
  if (std::find(m_installedProviders.begin(), m_installedProviders.end(), name) == m_installedProviders.end())
    listInstalledProviders(m_installedProviders);
  if (std::find(m_installedProviders.begin(), m_installedProviders.end(), name) != m_installedProviders.end()) {
    m_strProviderName = name;
    m_nErrorCode = 0;
  }
  return m_nErrorCode;
}

bool RsaRequestGenerator::Normalise(long keyBits, long genKeyFlags) {
  if (keyBits != 1024 && keyBits != 2048 && keyBits != 4096) {
    Fail(kKeyLength);
    return false;
  }
  m_nKeyBits = int(keyBits);
  m_nGenKeyFlags = (genKeyFlags == 0 || genKeyFlags == 2 || genKeyFlags == 3) ? int(genKeyFlags) : 1;
  m_nKeySpec = AT_KEYEXCHANGE;
  return true;
}

bool RsaRequestGenerator::BuildRequest(ULONG_PTR prov, DWORD keySpec, const std::u16string& commonName,
                                       std::string& csr) {
  // Subject: one RDN with the common name as a BMPString.
  CERT_RDN_ATTR cn{const_cast<char*>(szOID_COMMON_NAME), CERT_RDN_BMP_STRING,
                   {DWORD(commonName.size() * 2), reinterpret_cast<BYTE*>(const_cast<char16_t*>(commonName.data()))}};
  CERT_RDN rdn{1, &cn};
  CERT_NAME_INFO nameInfo{1, &rdn};
  DWORD nameSize = 0;
  if (!CryptEncodeObject(kEncoding, X509_NAME, &nameInfo, nullptr, &nameSize)) {
    Fail(kKeyGeneration, GetLastError());
    return false;
  }
  std::vector<BYTE> name(nameSize);
  if (!CryptEncodeObject(kEncoding, X509_NAME, &nameInfo, name.data(), &nameSize)) {
    Fail(kKeyGeneration, GetLastError());
    return false;
  }

  DWORD infoSize = 0;
  if (!CryptExportPublicKeyInfo(prov, keySpec, kEncoding, nullptr, &infoSize)) {
    Fail(kKeyGeneration, GetLastError());
    return false;
  }
  std::vector<BYTE> infoBuffer(infoSize);
  auto* publicKey = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(infoBuffer.data());
  if (!CryptExportPublicKeyInfo(prov, keySpec, kEncoding, publicKey, &infoSize)) {
    Fail(kKeyGeneration, GetLastError());
    return false;
  }

  CERT_REQUEST_INFO request{};
  request.dwVersion = CERT_REQUEST_V1;
  request.Subject = {nameSize, name.data()};
  request.SubjectPublicKeyInfo = *publicKey;
  CRYPT_ALGORITHM_IDENTIFIER signature{const_cast<char*>(szOID_RSA_SHA256RSA), {0, nullptr}};
  DWORD size = 0;
  if (!CryptSignAndEncodeCertificate(prov, keySpec, kEncoding, X509_CERT_REQUEST_TO_BE_SIGNED, &request, &signature,
                                     nullptr, nullptr, &size)) {
    Fail(kKeyGeneration, GetLastError());
    return false;
  }
  std::vector<BYTE> der(size);
  if (!CryptSignAndEncodeCertificate(prov, keySpec, kEncoding, X509_CERT_REQUEST_TO_BE_SIGNED, &request, &signature,
                                     nullptr, der.data(), &size)) {
    Fail(kKeyGeneration, GetLastError());
    return false;
  }
  ByteBuffer text;
  if (!Base64Encode(der.data(), int32_t(size), text)) {
    Fail(kNoMemory);
    return false;
  }
  csr = text.str();
  return true;
}

bool RsaRequestGenerator::MakeKey(const std::u16string& commonName, DWORD keySpec, const std::string& dateTime,
                                  std::string& csr) {
  const std::string container = MakeContainerName();
  // The container stays provisional until its registry entry is written:
  // a key nothing records is never left behind, not even by a crash.
  velmora::platform::NewKeyScope keyScope;
  HCRYPTPROV prov = 0;
  if (container.empty() || !CryptAcquireContextA(&prov, container.c_str(), m_strProviderName.c_str(),
                                                 DWORD(m_nProviderType), CRYPT_NEWKEYSET)) {
    const DWORD error = GetLastError();
    Fail(error == DWORD(NTE_KEYSET_NOT_DEF) || error == DWORD(NTE_BAD_PROV_TYPE) ? kCspNotSupported : kAcquireCsp,
         error);
    return false;
  }
  DWORD flags = DWORD(m_nKeyBits) << 16;
  // Other makers' providers (smart cards) take no protection flags.
  if (m_strProviderName.rfind("Microsoft", 0) == 0) {
    if (m_nGenKeyFlags & 1) flags |= CRYPT_EXPORTABLE;
    if (m_nGenKeyFlags & 2) flags |= CRYPT_USER_PROTECTED;
  }
  HCRYPTKEY key = 0;
  bool ok = false;
  if (!CryptGenKey(prov, keySpec, flags, &key)) {
    Fail(kKeyGeneration, GetLastError());
  } else if (BuildRequest(prov, keySpec, commonName, csr)) {
    KeyRegistryEntry entry;
    entry.container = container;
    entry.providerName = m_strProviderName;
    entry.providerType = DWORD(m_nProviderType);
    entry.keySpec = keySpec;
    entry.dateTime = dateTime;
    DWORD size = 0;
    if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) {
      Fail(kPublicKeyExport, GetLastError());
    } else {
      entry.publicKey.resize(size);
      DWORD error = 0;
      if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, entry.publicKey.data(), &size)) {
        Fail(kPublicKeyExport, GetLastError());
      } else {
        KeyCreationPoint("key-written");
        if (!WriteKeyRegistryEntry(entry, error)) {
          Fail(kPublicKeyExport, error);
        } else {
          KeyCreationPoint("key-recorded");
          // The commit point: the container takes its final name.
          if (keyScope.commit()) {
            ok = true;
          } else {
            DeleteKeyRegistryEntry(container);
            Fail(kKeyGeneration, DWORD(NTE_FAIL));
          }
        }
      }
    }
  }
  if (key) CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);  // the container stays
  if (!ok) csr.clear();
  return ok;
}

int RsaRequestGenerator::CreateOne(const std::u16string& commonName) {
  m_nErrorCode = 0;
  m_dwCapiErrorCode = 0;
  m_strCsrForSign.clear();
  m_strCsrForEncrypt.clear();
  const std::string dateTime = KeyRegistryDateTime();
  DWORD error = 0;
  if (!ProbeWritableRegistry(error)) return Fail(kPermissionDenied, error);
  if (commonName.empty()) return Fail(kWrongParameters);
  if (m_strProviderName.empty()) return Fail(kCspNameError);
  std::string csr;
  if (!MakeKey(commonName, DWORD(m_nKeySpec), dateTime, csr)) return m_nErrorCode;
  m_strCsrForSign = csr;
  return m_nErrorCode;
}

int RsaRequestGenerator::CreatePair(const std::u16string& commonName) {
  m_nErrorCode = 0;
  m_dwCapiErrorCode = 0;
  m_strCsrForSign.clear();
  m_strCsrForEncrypt.clear();
  const std::string dateTime = KeyRegistryDateTime();
  DWORD error = 0;
  if (!ProbeWritableRegistry(error)) return Fail(kPermissionDenied, error);
  if (commonName.empty()) return Fail(kWrongParameters);
  if (m_strProviderName.empty()) return Fail(kCspNameError);
  std::string forSign, forEncrypt;
  if (!MakeKey(commonName, AT_SIGNATURE, dateTime, forSign) ||
      !MakeKey(commonName, AT_KEYEXCHANGE, dateTime, forEncrypt))
    return m_nErrorCode;
  m_strCsrForSign = forSign;
  m_strCsrForEncrypt = forEncrypt;
  return m_nErrorCode;
}

}  // namespace strabel

namespace strabel {

namespace {

// What the three operations do first; false when they must stop.
bool prologue(CCapiCore& core, const std::u16string& first, bool clearRequests) {
  core.begin(false);
  if (clearRequests) {
    core.m_strCsrForSign.clear();
    core.m_strCsrForEncrypt.clear();
    core.m_rsaGenerator.m_strCsrForSign.clear();
    core.m_rsaGenerator.m_strCsrForEncrypt.clear();
  }
  if (first.empty() || hasNul(first)) {
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

int CCapiCore::SetProviderName(const std::u16string& name) {
  if (!prologue(*this, name, false)) return m_nErrorCode;
  m_rsaGenerator.SetProviderName(ansiFromWide(name));
  return fail(m_rsaGenerator.m_nErrorCode, m_rsaGenerator.m_dwCapiErrorCode);
}

WResult CCapiCore::CreatePKCS10(const std::u16string& commonName, long keyBits, long genKeyFlags) {
  if (!prologue(*this, commonName, true)) return std::u16string();
  if (m_rsaGenerator.Normalise(keyBits, genKeyFlags)) m_rsaGenerator.CreateOne(commonName);
  fail(m_rsaGenerator.m_nErrorCode, m_rsaGenerator.m_dwCapiErrorCode);
  if (m_nErrorCode) return std::u16string();
  m_strCsrForSign = m_rsaGenerator.m_strCsrForSign;
  return wideFromAnsi(m_strCsrForSign);
}

int CCapiCore::CreatePKCS10Pair(const std::u16string& commonName, long keyBits, long genKeyFlags) {
  if (!prologue(*this, commonName, true)) return m_nErrorCode;
  if (m_rsaGenerator.Normalise(keyBits, genKeyFlags)) m_rsaGenerator.CreatePair(commonName);
  m_strCsrForSign = m_rsaGenerator.m_strCsrForSign;
  m_strCsrForEncrypt = m_rsaGenerator.m_strCsrForEncrypt;
  return fail(m_rsaGenerator.m_nErrorCode, m_rsaGenerator.m_dwCapiErrorCode);
}

}  // namespace strabel

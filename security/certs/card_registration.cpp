// Registering the certificates a smart-card provider keeps with its keys:
// every container's certificate goes to the user's "MY" store, linked to
// its container and key.
#include <wincrypt.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "certs/cert_info.h"
#include "frame/engines.h"

namespace strabel {

namespace {

enum : int {
  kCspError = 4097,
  kOutOfMemory = 4098,
  kAcquireContext = 4099,
  kOpenStore = 4100,
  kGetUserKey = 4101,
  kCreateCertificate = 4103,
};

constexpr DWORD kNameBuffer = 512;
constexpr DWORD kCertBuffer = 10240;

}  // namespace

int CCertRegCore::RegSMCert(const std::u16string& cspWide) {
  m_nSuccessCount = 0;
  m_nErrorCode = 0;
  m_saSubjectCN.clear();
  if (m_bIEProtectedMode) return m_nErrorCode = kProtectedMode;

  const std::string csp = ansiFromWide(cspWide);
  // A name the fixed buffers cannot hold is no installed provider.
  if (csp.size() >= kNameBuffer / 2) {
    m_dwCapiErrorCode = DWORD(NTE_KEYSET_NOT_DEF);
    return m_nErrorCode = kCspError;
  }
  HCRYPTPROV verify = 0;
  if (!CryptAcquireContextA(&verify, nullptr, csp.c_str(), PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    m_dwCapiErrorCode = GetLastError();
    return m_nErrorCode = kCspError;
  }
  std::vector<char> container(kNameBuffer);
  std::vector<BYTE> cert(kCertBuffer);
  for (DWORD flags = CRYPT_FIRST;; flags = 0) {
    DWORD n = kNameBuffer;
    if (!CryptGetProvParam(verify, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(container.data()), &n, flags)) {
      const DWORD e = GetLastError();
      m_dwCapiErrorCode = e;
      m_nErrorCode = e == ERROR_NO_MORE_ITEMS ? 0 : int(e);
      break;
    }
    const std::string name(container.data(), strnlen(container.data(), n));
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, name.c_str(), csp.c_str(), PROV_RSA_FULL, 0)) {
      m_dwCapiErrorCode = GetLastError();
      m_nErrorCode = kAcquireContext;
      break;
    }
    HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    if (!my) {
      m_dwCapiErrorCode = GetLastError();
      m_nErrorCode = kOpenStore;
      CryptReleaseContext(prov, 0);
      break;
    }
    for (DWORD spec : {DWORD(AT_SIGNATURE), DWORD(AT_KEYEXCHANGE)}) {
      HCRYPTKEY key = 0;
      if (!CryptGetUserKey(prov, spec, &key)) {
        m_dwCapiErrorCode = GetLastError();
        m_nErrorCode = kGetUserKey;
        if (m_dwCapiErrorCode == DWORD(NTE_NO_KEY)) {
          m_nErrorCode = 0;
          continue;
        }
        break;
      }
      DWORD size = 0;
      if (!CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0)) {
        CryptDestroyKey(key);
        continue;  // a key without a certificate
      }
      size = kCertBuffer;
      const bool read = CryptGetKeyParam(key, KP_CERTIFICATE, cert.data(), &size, 0);
      const DWORD readError = GetLastError();
      CryptDestroyKey(key);
      if (!read) {
        m_dwCapiErrorCode = readError;
        if (readError == ERROR_MORE_DATA) continue;  // too large for the buffer: skipped
        m_nErrorCode = int(readError);
        break;
      }
      std::u16string wideContainer = wideFromAnsi(name), wideCsp = wideFromAnsi(csp);
      PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, cert.data(), size);
      CRYPT_KEY_PROV_INFO info{wideContainer.data(), wideCsp.data(), PROV_RSA_FULL, 0, 0, nullptr, spec};
      bool ok = ctx && CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) &&
                CertAddCertificateContextToStore(my, ctx, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
      if (!ok) {
        m_dwCapiErrorCode = GetLastError();
        m_nErrorCode = kCreateCertificate;
        if (ctx) CertFreeCertificateContext(ctx);
        break;
      }
      CertInfo subject;
      subject.FromBytes(cert.data(), int32_t(size));
      m_saSubjectCN.push_back(subject.SubjectCN());
      CertFreeCertificateContext(ctx);
    }
    CertCloseStore(my, CERT_CLOSE_STORE_FORCE_FLAG);
    CryptReleaseContext(prov, 0);
    if (m_nErrorCode != 0) break;
    ++m_nSuccessCount;
  }
  if (m_nSuccessCount > 0) {
    // What was registered is reported as success, as callers rely on; a
    // later container's failure stays readable through GetCapiErrorCode.
    if (m_nErrorCode == 0) m_dwCapiErrorCode = 0;
    m_nErrorCode = 0;
  }
  CryptReleaseContext(verify, 0);
  return m_nErrorCode;
}

WResult CCertRegCore::GetSn() const {
  std::string text;
  for (const auto& cn : m_saSubjectCN) text += cn + "\n";
  return wideFromAnsi(text);
}

}  // namespace strabel

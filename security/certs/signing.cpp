// Signing with the chosen signer: a raw PKCS #1 signature over the text's
// digest, or a PKCS #7 SignedData; the key in a CSP, the key storage
// provider, or a PFX file opened for each signature.
#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include <ncrypt.h>
#include <strings.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "base/codepage_internal.h"
#include "certs/cert_info.h"
#include "certs/cng_loader.h"
#include "certs/encoding.h"
#include "certs/pfx_store.h"
#include "certs/shared_signer.h"
#include "frame/engines.h"
#include "resources/resource_ids.h"
#include "services/digest.h"
#include "ui/dialogs.h"

namespace strabel {

namespace {

enum : int {
  kPfxUnreadable1102 = 1102,
  kPinBlocked = 3204,
  kWrongPin = 3206,
  kAllocation = 5002,
  kWrongParameters = 5005,
  kSignFailed = 5061,
  kNoSigner = 5067,
  kUserCancelled = 5070,
  kOpenMyFailed = 5201,
  kChainMissing = 5202,
  kMyAccessDenied = 5206,
  kCardNotReady = 5225,
};

enum : long {
  kPkcs1Base64 = 0x0100,
  kNoCertificates = 0x0100,
  kWholeChain = 0x0200,
  kDetached = 0x0400,
  kAnsiBytes = 0x0800,
  kSha1 = 0x1000,
  kSigningTime = 0x2000,
  kProviderOrder = 0x4000,
  kConfirm = 0x8000,
};

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kKspName[] = "Microsoft Software Key Storage Provider";

// Everything one signature holds open, released however it ends: the key
// handles before the PFX store, whose closing deletes the imported keys.
struct SignerKey {
  CngLoader cng;
  NCRYPT_PROV_HANDLE provider = 0;
  NCRYPT_KEY_HANDLE key = 0;
  HCRYPTPROV csp = 0;
  BOOL releaseCsp = FALSE;
  DWORD keySpec = 0;
  bool isCng = false;
  HCERTSTORE my = nullptr;
  PfxStore pfx;
  PCCERT_CONTEXT cert = nullptr;

  ~SignerKey() {
    if (key) cng.FreeObject(key);
    if (provider) cng.FreeObject(provider);
    if (csp && releaseCsp) CryptReleaseContext(csp, 0);
    if (cert) CertFreeCertificateContext(cert);
    pfx.Close();
    if (my) CertCloseStore(my, 0);
  }
};

bool sameFileNoCase(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// A password another instance stored for the same file is the current one
// (it may have been changed there since this signer was chosen).
void passwordFromRecord(CCapiCore& core, const std::string& path) {
  cSharedMemory* m = SharedSigner(core);
  if (!m) return;
  cSharedMemory::Lock lock(*m);
  if (m->GetInt("signerMedia", 0) != 2) return;
  const std::string recorded = JoinFolder(m->GetText("signerCertFilePath"), m->GetText("signerCertFileName"));
  if (recorded.empty() || !sameFileNoCase(recorded, path)) return;
  std::string password = m->GetText("signerCertPasswd");
  WipeText(core.m_strSignerPfxPasswd);
  core.m_strSignerPfxPasswd = password;
  WipeText(password);
}

// Finds the signer's certificate and opens its private key. 0 or a status
// (the platform error already recorded).
int reachKey(CCapiCore& core, SignerKey& k, bool pkcs7, bool sha256) {
  if (core.m_strSignerCertHash.empty() || core.m_selectedCert.empty()) return core.fail(kNoSigner);
  HCERTSTORE store = nullptr;
  if (core.m_nSignerMedia == 1) {
    k.my = CertOpenSystemStoreA(0, "MY");
    if (!k.my) return core.fail(kOpenMyFailed, GetLastError());
    store = k.my;
  } else if (core.m_nSignerMedia == 2) {
    const std::string path = JoinFolder(core.m_strSignerPfxFilePath, core.m_strSignerPfxFileName);
    if (path.empty() || core.m_strSignerPfxFileName.empty()) return core.fail(kNoSigner);
    if (!FileExists(path)) return core.fail(kPfxUnreadable1102);
    passwordFromRecord(core, path);
    if (int status = k.pfx.Open(path, core.m_strSignerPfxPasswd, kPfxExportable))
      return core.fail(status, k.pfx.lastError);
    store = k.pfx.store;
  } else {
    return core.fail(kNoSigner);
  }
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) {
    CertInfo info;
    info.FromContext(c);
    if (info.Thumbprint() == core.m_strSignerCertHash) {
      k.cert = c;  // the enumeration's reference is ours now
      break;
    }
  }
  if (!k.cert) return core.fail(kNoSigner);

  DWORD n = 0;
  std::vector<BYTE> buf;
  if (CertGetCertificateContextProperty(k.cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n) && n) {
    buf.resize(n);
    if (!CertGetCertificateContextProperty(k.cert, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n)) buf.clear();
  }
  if (buf.empty()) return core.fail(pkcs7 ? kSignFailed : kMyAccessDenied, GetLastError());
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
  const std::u16string provider = info->pwszProvName ? info->pwszProvName : u"";
  const std::u16string container = info->pwszContainerName ? info->pwszContainerName : u"";
  const std::string providerName = ansiFromWide(provider);

  if (providerName.rfind(kKspName, 0) == 0) {
    k.isCng = true;
    if (!k.cng.Load()) return core.fail(kMyAccessDenied, GetLastError());
    if (SECURITY_STATUS rc = k.cng.OpenStorageProvider(&k.provider, provider.c_str(), 0)) {
      k.provider = 0;
      return core.fail(kMyAccessDenied, DWORD(rc));
    }
    if (SECURITY_STATUS rc = k.cng.OpenKey(k.provider, &k.key, container.c_str(), 0, 0)) {
      k.key = 0;
      return core.fail(kMyAccessDenied, DWORD(rc));
    }
    return 0;
  }
  if (!CryptAcquireCertificatePrivateKey(k.cert, 0, nullptr, &k.csp, &k.keySpec, &k.releaseCsp)) {
    const DWORD e = GetLastError();
    k.csp = 0;
    return core.fail(providerName.find("Microsoft") == std::string::npos ? kCardNotReady : kMyAccessDenied, e);
  }
  // The older Microsoft RSA providers have no SHA-256, which is the default
  // digest here: the same container opened through the AES provider has.
  if (sha256 && info->dwProvType == PROV_RSA_FULL && providerName.rfind("Microsoft", 0) == 0) {
    HCRYPTPROV aes = 0;
    if (CryptAcquireContextA(&aes, ansiFromWide(container).c_str(), MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, 0)) {
      if (k.releaseCsp) CryptReleaseContext(k.csp, 0);
      k.csp = aes;
      k.releaseCsp = TRUE;
    }
  }
  return 0;
}

// The confirmation dialog: 0 for "OK", 5070 for "Cancel".
int confirm(const CCapiCore& core, const std::u16string& content) {
  CertInfo cert;
  cert.FromBytes(core.m_selectedCert.data(), int32_t(core.m_selectedCert.size()));
  velmora::ui::SignConfirmParams p;
  p.title = DialogText(IDS_SIGNCONFIRM_CAPTION, "Signed with this Certificate");
  p.plainTextLabel = DialogText(IDS_SIGNCONFIRM_PLAINTEXT, "Plain Text tobe sign");
  p.certificateInfoLabel = DialogText(IDS_SIGNCONFIRM_CERTINFO, "Certificate information");
  p.serialLabel = DialogText(IDS_SIGNCONFIRM_SERIAL, "Serial :");
  p.commonNameLabel = DialogText(IDS_SIGNCONFIRM_COMMONNAME, "CommonName :");
  p.validityLabel = DialogText(IDS_SIGNCONFIRM_VALIDITY, "Validity:");
  p.fromLabel = DialogText(IDS_SIGNCONFIRM_FROM, "From :");
  p.toLabel = DialogText(IDS_SIGNCONFIRM_TO, "To :");
  p.okLabel = DialogText(IDS_OK, "OK");
  p.cancelLabel = DialogText(IDS_CANCEL, "Cancel");
  p.text = velmora::platform::toNarrow(content, CP_UTF8);
  p.serial = cert.Serial();
  p.commonName = velmora::platform::utf8FromAnsi(cert.SubjectCN());
  p.notBefore = cert.NotBefore();
  p.notAfter = cert.NotAfter();
  return velmora::ui::signConfirmDialog(p) ? 0 : kUserCancelled;
}

// The bytes that are signed: ANSI text, or the UTF-16LE code units.
std::vector<BYTE> contentBytes(const std::u16string& content, long flags) {
  std::vector<BYTE> out;
  if (flags & kAnsiBytes) {
    const std::string ansi = ansiFromWide(content);
    out.assign(ansi.begin(), ansi.end());
  } else {
    for (char16_t c : content) {
      out.push_back(BYTE(c));
      out.push_back(BYTE(c >> 8));
    }
  }
  return out;
}

// Shared first steps; false when the call ends (status set).
bool startSigning(CCapiCore& core, const std::u16string& content, long flags, SignerKey& k, bool pkcs7) {
  core.m_nErrorCode = 0;
  core.m_dwCapiErrorCode = 0;
  if (content.empty()) {
    core.fail(kWrongParameters);
    return false;
  }
  if (core.m_bIEProtectedMode) {
    core.fail(kProtectedMode);
    return false;
  }
  if (reachKey(core, k, pkcs7, !(flags & kSha1))) return false;
  if (flags & kConfirm) {
    if (int status = confirm(core, content)) {
      core.fail(status);
      return false;
    }
  }
  return true;
}

WResult textOf(const ByteBuffer& b) { return wideFromAnsi(b.str()); }

FILETIME now() {
  struct timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  const uint64_t t = (uint64_t(ts.tv_sec) + 11644473600ULL) * 10000000ULL + uint64_t(ts.tv_nsec / 100);
  return FILETIME{DWORD(t), DWORD(t >> 32)};
}

// The signing-time value, encoded by the platform.
bool encodeSigningTime(const FILETIME& ft, std::vector<BYTE>& out) {
  DWORD n = 0;
  if (!CryptEncodeObject(X509_ASN_ENCODING, PKCS_UTC_TIME, &ft, nullptr, &n) || n == 0) return false;
  out.resize(n);
  if (!CryptEncodeObject(X509_ASN_ENCODING, PKCS_UTC_TIME, &ft, out.data(), &n)) return false;
  out.resize(n);
  return true;
}

int mapUpdateError(DWORD e) {
  if (e == SCARD_W_WRONG_CHV) return kWrongPin;
  if (e == SCARD_W_CHV_BLOCKED) return kPinBlocked;
  if (e == SCARD_W_CANCELLED_BY_USER || e == ERROR_CANCELLED || e == DWORD(HRESULT_FROM_WIN32(ERROR_CANCELLED)))
    return kUserCancelled;
  return kSignFailed;
}

}  // namespace

WResult CCapiCore::SignPkcs1(const std::u16string& strContent, long dwFlags) {
  SignerKey k;
  if (!startSigning(*this, strContent, dwFlags, k, false)) return std::u16string();
  const std::vector<BYTE> bytes = contentBytes(strContent, dwFlags);
  const bool sha1 = (dwFlags & kSha1) != 0;
  std::vector<unsigned char> hash = digest(sha1 ? DigestAlg::SHA1 : DigestAlg::SHA256, bytes.data(), bytes.size());

  std::vector<BYTE> sig;
  if (k.isCng) {
    DWORD n = 0;
    SECURITY_STATUS rc = k.cng.SignHash(k.key, nullptr, hash.data(), DWORD(hash.size()), nullptr, 0, &n, 0);
    if (rc == 0) {
      sig.resize(n);
      rc = k.cng.SignHash(k.key, nullptr, hash.data(), DWORD(hash.size()), sig.data(), n, &n, 0);
      sig.resize(n);
    }
    if (rc != 0) {
      fail(rc == SECURITY_STATUS(HRESULT_FROM_WIN32(ERROR_CANCELLED)) ? kUserCancelled : kSignFailed, DWORD(rc));
      return std::u16string();
    }
  } else {
    HCRYPTHASH h = 0;
    DWORD n = 0;
    bool ok = CryptCreateHash(k.csp, sha1 ? CALG_SHA1 : CALG_SHA_256, 0, 0, &h) &&
              CryptSetHashParam(h, HP_HASHVAL, hash.data(), 0) &&
              CryptSignHashA(h, k.keySpec, nullptr, 0, nullptr, &n);
    if (ok) {
      sig.resize(n);
      ok = CryptSignHashA(h, k.keySpec, nullptr, 0, sig.data(), &n);
      sig.resize(n);
    }
    const DWORD e = GetLastError();
    if (h) CryptDestroyHash(h);
    if (!ok || sig.empty()) {
      fail(mapUpdateError(e) == kUserCancelled ? kUserCancelled : kSignFailed, e);
      return std::u16string();
    }
  }
  // CryptoAPI gives RSA signatures little-endian; PKCS #1 is big-endian.
  if (!(dwFlags & kProviderOrder)) std::reverse(sig.begin(), sig.end());
  ByteBuffer text;
  const bool ok = (dwFlags & kPkcs1Base64) ? Base64Encode(sig.data(), int32_t(sig.size()), text)
                                           : HexEncode(sig.data(), int32_t(sig.size()), text);
  if (!ok) {
    fail(kAllocation);
    return std::u16string();
  }
  return textOf(text);
}

WResult CCapiCore::SignPkcs7(const std::u16string& strContent, long dwFlags) {
  SignerKey k;
  if (!startSigning(*this, strContent, dwFlags, k, true)) return std::u16string();
  const bool sha1 = (dwFlags & kSha1) != 0;
  PCCRYPT_OID_INFO oid = CryptFindOIDInfo(CRYPT_OID_INFO_NAME_KEY, const_cast<char16_t*>(sha1 ? u"sha1" : u"sha256"),
                                          CRYPT_HASH_ALG_OID_GROUP_ID);
  if (!oid || !oid->pszOID) {
    fail(kSignFailed, GetLastError());
    return std::u16string();
  }

  std::vector<BYTE> timeValue;
  CRYPT_ATTR_BLOB timeBlob{};
  CRYPT_ATTRIBUTE timeAttr{};
  if (dwFlags & kSigningTime) {
    if (!encodeSigningTime(now(), timeValue)) {
      fail(kSignFailed, GetLastError());
      return std::u16string();
    }
    timeBlob = {DWORD(timeValue.size()), timeValue.data()};
    timeAttr = {const_cast<char*>(szOID_RSA_signingTime), 1, &timeBlob};
  }

  CMSG_SIGNER_ENCODE_INFO signer{};
  signer.cbSize = sizeof signer;
  signer.pCertInfo = k.cert->pCertInfo;
  if (k.isCng) {
    signer.hNCryptKey = k.key;
    signer.dwKeySpec = 0;
    // The signature algorithm names the digest that is really used.
    signer.HashEncryptionAlgorithm.pszObjId = const_cast<char*>(sha1 ? szOID_ECDSA_SHA1 : szOID_ECDSA_SHA256);
  } else {
    signer.hCryptProv = k.csp;
    signer.dwKeySpec = k.keySpec;
  }
  signer.HashAlgorithm.pszObjId = const_cast<char*>(oid->pszOID);
  signer.SignerId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
  signer.SignerId.IssuerSerialNumber.Issuer = k.cert->pCertInfo->Issuer;
  signer.SignerId.IssuerSerialNumber.SerialNumber = k.cert->pCertInfo->SerialNumber;
  if (dwFlags & kSigningTime) {
    signer.cAuthAttr = 1;
    signer.rgAuthAttr = &timeAttr;
  }

  std::vector<CERT_BLOB> certs;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (dwFlags & kNoCertificates) {
    // none
  } else if (dwFlags & kWholeChain) {
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    if (!CertGetCertificateChain(nullptr, k.cert, nullptr, nullptr, &para, 0, nullptr, &chain) || !chain) {
      fail(kChainMissing, GetLastError());
      return std::u16string();
    }
    const DWORD err = chain->TrustStatus.dwErrorStatus;
    const bool accepted =
        err == 0 || (err & (CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED)) ||
        ((err & CERT_TRUST_IS_UNTRUSTED_ROOT) &&
         !(err & (CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_NOT_VALID_FOR_USAGE)));
    if (!accepted || chain->cChain == 0) {
      CertFreeCertificateChain(chain);
      fail(kChainMissing);
      return std::u16string();
    }
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    for (DWORD i = 0; i < simple->cElement; ++i) {
      PCCERT_CONTEXT c = simple->rgpElement[i]->pCertContext;
      certs.push_back({c->cbCertEncoded, c->pbCertEncoded});
    }
  } else {
    certs.push_back({k.cert->cbCertEncoded, k.cert->pbCertEncoded});
  }

  CMSG_SIGNED_ENCODE_INFO info{};
  info.cbSize = sizeof info;
  info.cSigners = 1;
  info.rgSigners = &signer;
  info.cCertEncoded = DWORD(certs.size());
  info.rgCertEncoded = certs.empty() ? nullptr : certs.data();

  const std::vector<BYTE> bytes = contentBytes(strContent, dwFlags);
  std::vector<BYTE> der;
  int status = 0;
  DWORD error = 0;
  HCRYPTMSG msg = CryptMsgOpenToEncode(kEnc, (dwFlags & kDetached) ? CMSG_DETACHED_FLAG : 0, CMSG_SIGNED, &info,
                                       nullptr, nullptr);
  if (!msg) {
    status = kSignFailed;
    error = GetLastError();
  } else if (!CryptMsgUpdate(msg, bytes.data(), DWORD(bytes.size()), TRUE)) {
    error = GetLastError();
    status = mapUpdateError(error);
  } else {
    DWORD n = 0;
    if (CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &n) && n) {
      der.resize(n);
      if (!CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, der.data(), &n)) der.clear();
      else der.resize(n);
    }
    if (der.empty()) {
      status = kSignFailed;
      error = GetLastError();
    }
  }
  if (msg) CryptMsgClose(msg);
  if (chain) CertFreeCertificateChain(chain);
  if (status) {
    fail(status, error);
    return std::u16string();
  }
  ByteBuffer text;
  if (!Base64Encode(der.data(), int32_t(der.size()), text)) {
    fail(kAllocation);
    return std::u16string();
  }
  m_nErrorCode = 0;
  m_dwCapiErrorCode = 0;
  return textOf(text);
}

}  // namespace strabel

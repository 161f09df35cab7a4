// Writing a certificate store as a PKCS #12 (PFX) file, with the private
// keys of its certificates when asked. Keys and certificates are protected
// with PBES2 (AES-256-CBC, PBKDF2 with HMAC-SHA-256) and the file carries a
// SHA-256 MAC: what current Windows writes when asked for AES, and what
// OpenSSL 3 opens without its legacy provider.
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <ncrypt.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "base/private_files.h"
#include "crypt/crypt_internal.h"
#include "ncrypt/key_files.h"
#include "ui/dialogs.h"

namespace velmora::crypt {

namespace {

constexpr int kIterations = 2000;
const DWORD kCancelled = DWORD(HRESULT_FROM_WIN32(ERROR_CANCELLED));

constexpr DWORD kKnownExportFlags = EXPORT_PRIVATE_KEYS | REPORT_NO_PRIVATE_KEY |
                                    REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY | PKCS12_INCLUDE_EXTENDED_PROPERTIES |
                                    PKCS12_EXPORT_SILENT | PKCS12_EXPORT_PBES2_PARAMS |
                                    PKCS12_DISABLE_ENCRYPT_CERTIFICATES | PKCS12_ENCRYPT_CERTIFICATES |
                                    PKCS12_EXPORT_ECC_CURVE_PARAMETERS | PKCS12_EXPORT_ECC_CURVE_OID;

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

std::vector<BYTE> property(PCCERT_CONTEXT cert, DWORD id) {
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(cert, id, nullptr, &n) || n == 0) return {};
  std::vector<BYTE> buf(n);
  if (!CertGetCertificateContextProperty(cert, id, buf.data(), &n)) return {};
  buf.resize(n);
  return buf;
}

std::string narrow(const WCHAR* w) {
  std::u16string s;
  while (w && *w) s += *w++;
  return platform::toNarrow(s, CP_UTF8);
}

// Outcome of looking for a certificate's private key.
enum class KeyState { Found, None, NotExportable, Failed };

// The key of a CSP container (or of a context the certificate holds).
KeyState cspKey(PCCERT_CONTEXT cert, bool prompt, bool silent, Pkey& out, DWORD& error) {
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL callerFree = FALSE;
  if (!CryptAcquireCertificatePrivateKey(cert, silent ? CRYPT_ACQUIRE_SILENT_FLAG : 0, nullptr, &prov, &spec,
                                         &callerFree))
    return KeyState::None;
  KeyState state = KeyState::Failed;
  auto ctx = providers().find(prov);
  DWORD why = DWORD(NTE_BAD_KEYSET);
  auto key = ctx ? userKey(*ctx, spec, why) : nullptr;
  if (!key || !key->hasPrivate) {
    state = KeyState::None;
  } else if (!key->exportable) {
    state = KeyState::NotExportable;
  } else if (DWORD rc = prompt ? confirmKeyUse(*ctx, *key, "export") : 0) {
    error = rc;
  } else if (EVP_PKEY_up_ref(key->pkey) == 1) {
    out.reset(key->pkey);
    state = KeyState::Found;
  } else {
    error = DWORD(NTE_NO_MEMORY);
  }
  if (callerFree) CryptReleaseContext(prov, 0);
  return state;
}

// The key of the key storage provider named in the certificate.
KeyState cngKey(const std::string& name, bool prompt, bool silent, Pkey& out, DWORD& error) {
  ncrypt::KeyFile file;
  if (ncrypt::loadKeyFile(ncrypt::keyFileInUse(name), file) != 0) return KeyState::None;
  if (!(file.exportPolicy & (NCRYPT_ALLOW_EXPORT_FLAG | NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG)))
    return KeyState::NotExportable;
  if (prompt && (file.uiFlags & (NCRYPT_UI_PROTECT_KEY_FLAG | NCRYPT_UI_FORCE_HIGH_PROTECTION_FLAG))) {
    if (silent) {
      error = DWORD(NTE_SILENT_CONTEXT);
      return KeyState::Failed;
    }
    ui::KeyUseParams params;
    params.operation = "export";
    params.itemName = !file.friendlyName.empty() ? file.friendlyName : file.name;
    params.description = file.description;
    if (!ui::keyUseDialog(params)) {
      error = kCancelled;
      return KeyState::Failed;
    }
  }
  std::string der;
  if (DWORD rc = ncrypt::keyPkcs8(file, der)) {
    error = rc;
    return KeyState::Failed;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, long(der.size()));
  platform::wipeString(der);
  if (!p8) {
    error = DWORD(NTE_BAD_DATA);
    return KeyState::Failed;
  }
  out.reset(EVP_PKCS82PKEY_ex(p8, libctx(), nullptr));
  PKCS8_PRIV_KEY_INFO_free(p8);
  if (!out) {
    error = DWORD(NTE_BAD_DATA);
    return KeyState::Failed;
  }
  return KeyState::Found;
}

KeyState privateKeyOf(PCCERT_CONTEXT cert, bool prompt, bool silent, Pkey& out, DWORD& error) {
  const std::vector<BYTE> info = property(cert, CERT_KEY_PROV_INFO_PROP_ID);
  if (!info.empty()) {
    const auto* ki = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data());
    if (ki->dwProvType == 0) return cngKey(narrow(ki->pwszContainerName), prompt, silent, out, error);
  }
  return cspKey(cert, prompt, silent, out, error);
}

struct BagsFree {
  void operator()(STACK_OF(PKCS12_SAFEBAG) * s) const { sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free); }
};
struct SafesFree {
  void operator()(STACK_OF(PKCS7) * s) const { sk_PKCS7_pop_free(s, PKCS7_free); }
};

// Builds the PFX bytes; 0 or the error to report.
DWORD buildPfx(HCERTSTORE store, const std::string& pass, DWORD flags, bool prompt, std::vector<BYTE>& out) {
  STACK_OF(PKCS12_SAFEBAG)* certBags = nullptr;
  STACK_OF(PKCS12_SAFEBAG)* keyBags = nullptr;
  std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), BagsFree> certHold, keyHold;
  const bool silent = flags & PKCS12_EXPORT_SILENT;
  int index = 0;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) {
    ++index;
    const unsigned char* p = c->pbCertEncoded;
    X509* x = d2i_X509(nullptr, &p, long(c->cbCertEncoded));
    if (!x) {
      CertFreeCertificateContext(c);
      return DWORD(CRYPT_E_BAD_ENCODE);
    }
    Pkey key;
    if (flags & EXPORT_PRIVATE_KEYS) {
      DWORD error = 0;
      const KeyState state = privateKeyOf(c, prompt, silent, key, error);
      DWORD stop = 0;
      if (state == KeyState::Failed) stop = error ? error : DWORD(NTE_FAIL);
      if (state == KeyState::None && (flags & REPORT_NO_PRIVATE_KEY)) stop = DWORD(NTE_NO_KEY);
      if (state == KeyState::NotExportable && (flags & REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY))
        stop = DWORD(NTE_BAD_KEY_STATE);
      if (stop) {
        X509_free(x);
        CertFreeCertificateContext(c);
        return stop;
      }
    }
    // The certificate and its key share a local key id.
    unsigned char keyId[4] = {BYTE(index >> 24), BYTE(index >> 16), BYTE(index >> 8), BYTE(index)};
    PKCS12_SAFEBAG* bag = PKCS12_add_cert(&certBags, x);
    certHold.release();
    certHold.reset(certBags);
    X509_free(x);
    bool ok = bag != nullptr;
    const std::vector<BYTE> friendly = property(c, CERT_FRIENDLY_NAME_PROP_ID);
    std::string name;
    if (friendly.size() >= 2) {
      std::u16string w;
      for (size_t i = 0; i + 1 < friendly.size(); i += 2) {
        char16_t ch = char16_t(friendly[i] | (friendly[i + 1] << 8));
        if (!ch) break;
        w += ch;
      }
      name = platform::toNarrow(w, CP_UTF8);
    }
    if (ok && !name.empty()) ok = PKCS12_add_friendlyname_utf8(bag, name.c_str(), int(name.size())) == 1;
    if (ok && key) ok = PKCS12_add_localkeyid(bag, keyId, sizeof keyId) == 1;
    if (ok && key) {
      PKCS12_SAFEBAG* kb = PKCS12_add_key_ex(&keyBags, key.get(), 0, kIterations, NID_aes_256_cbc, pass.c_str(),
                                             libctx(), nullptr);
      keyHold.release();
      keyHold.reset(keyBags);
      ok = kb && PKCS12_add_localkeyid(kb, keyId, sizeof keyId) == 1 &&
           (name.empty() || PKCS12_add_friendlyname_utf8(kb, name.c_str(), int(name.size())) == 1);
    }
    if (!ok) {
      CertFreeCertificateContext(c);
      return DWORD(NTE_FAIL);
    }
  }

  STACK_OF(PKCS7)* safes = nullptr;
  std::unique_ptr<STACK_OF(PKCS7), SafesFree> safesHold;
  const int certNid = (flags & PKCS12_DISABLE_ENCRYPT_CERTIFICATES) ? -1 : NID_aes_256_cbc;
  if (certBags) {
    if (!PKCS12_add_safe_ex(&safes, certBags, certNid, kIterations, pass.c_str(), libctx(), nullptr))
      return DWORD(NTE_FAIL);
    safesHold.reset(safes);
  }
  if (keyBags) {
    if (!PKCS12_add_safe_ex(&safes, keyBags, -1, 0, nullptr, libctx(), nullptr)) return DWORD(NTE_FAIL);
    safesHold.release();
    safesHold.reset(safes);
  }
  PKCS12* p12 = PKCS12_add_safes_ex(safes, 0, libctx(), nullptr);
  if (!p12) return DWORD(NTE_FAIL);
  EVP_MD* sha256 = EVP_MD_fetch(libctx(), "SHA256", nullptr);
  const bool mac = sha256 && PKCS12_set_mac(p12, pass.c_str(), -1, nullptr, 0, kIterations, sha256) == 1;
  EVP_MD_free(sha256);
  unsigned char* der = nullptr;
  const int n = mac ? i2d_PKCS12(p12, &der) : 0;
  PKCS12_free(p12);
  if (n <= 0) return DWORD(NTE_FAIL);
  out.assign(der, der + n);
  OPENSSL_free(der);
  return 0;
}

}  // namespace

}  // namespace velmora::crypt

using namespace velmora::crypt;

BOOL PFXExportCertStoreEx(HCERTSTORE hStore, CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, void* pvPara,
                          DWORD dwFlags) {
  if (!hStore || !pPFX) return fail(ERROR_INVALID_PARAMETER);
  if (dwFlags & ~kKnownExportFlags) return fail(DWORD(NTE_BAD_FLAGS));
  (void)pvPara;  // the algorithm is always AES-256 with SHA-256
  std::string pass;
  if (szPassword) pass = velmora::platform::toNarrow(std::u16string_view(szPassword), CP_UTF8);
  std::vector<BYTE> bytes;
  // A size query does not ask about protected keys: the bytes stay here.
  const DWORD rc = buildPfx(hStore, pass, dwFlags, pPFX->pbData != nullptr, bytes);
  velmora::platform::wipeString(pass);
  if (rc) return fail(rc);
  if (!pPFX->pbData) {
    pPFX->cbData = DWORD(bytes.size());
    SetLastError(0);
    return TRUE;
  }
  if (pPFX->cbData < bytes.size()) {
    pPFX->cbData = DWORD(bytes.size());
    return fail(ERROR_MORE_DATA);
  }
  memcpy(pPFX->pbData, bytes.data(), bytes.size());
  pPFX->cbData = DWORD(bytes.size());
  SetLastError(0);
  return TRUE;
}

BOOL PFXExportCertStore(HCERTSTORE hStore, CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags) {
  return PFXExportCertStoreEx(hStore, pPFX, szPassword, nullptr, dwFlags);
}

// PFX file operations: importing a file into "MY", looking into one,
// changing its password, exporting a certificate of "MY" with its key, and
// the path and name fields they report through.
#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include "certs/pfx_files.h"

#include <fcntl.h>
#include <ncrypt.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wincrypt.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "certs/cert_info.h"
#include "certs/pfx_store.h"
#include "certs/shared_signer.h"
#include "certs/store_choice.h"
#include "frame/engines.h"

namespace strabel {

namespace {

enum : int {
  kCreateFolderFailed = 1001,
  kWriteChangedFailed = 1103,
  kWrongParameters = 5005,
  kCertNotFound = 5010,
  kBadKeyUsage = 5017,
  kUserCancelled = 5070,
  kOpenMyFailed = 5201,
  kNoPrivateKey = 5204,
  kNotExportable = 5205,
  kAddFailed = 5206,
  kPfxAccess = 5210,
  kOpenMemoryFailed = 5226,
  kWriteFailed = 5402,
  kFileNotFound = 5902,
  kPermissionDenied = 5906,
};

constexpr long kDeleteAfterExport = 0x1000;
// Platform codes of the file failures.
constexpr DWORD kWriteFault = 29, kDiskFull = 112, kNotADirectory = 267;
constexpr DWORD kLoaderFlags = kPfxExportable | kPfxUserProtected;

PfxWriteHook g_writeHook;

bool cancelled(DWORD error) {
  return error == ERROR_CANCELLED || error == DWORD(HRESULT_FROM_WIN32(ERROR_CANCELLED));
}

// Keeps a secret text and wipes it when the operation ends.
struct Secret {
  std::string text;
  explicit Secret(std::string t = {}) : text(std::move(t)) {}
  ~Secret() { WipeText(text); }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
};

struct WideSecret {
  std::u16string text;
  explicit WideSecret(const std::string& ansi) : text(wideFromAnsi(ansi)) {}
  ~WideSecret() {
    volatile char16_t* p = text.data();
    for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  }
};

std::string folderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void syncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// True when the certificate's key can be reached: a CSP key that can be
// acquired, or a key of the key storage provider.
bool hasPrivateKey(PCCERT_CONTEXT c, bool cache, DWORD& error) {
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL callerFree = FALSE;
  if (CryptAcquireCertificatePrivateKey(c, cache ? CRYPT_ACQUIRE_CACHE_FLAG : 0, nullptr, &prov, &spec,
                                        &callerFree)) {
    if (callerFree) CryptReleaseContext(prov, 0);
    return true;
  }
  error = GetLastError();
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n) || n == 0) return false;
  std::vector<BYTE> buf(n);
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n)) return false;
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
  return info->pwszProvName && std::u16string(info->pwszProvName) == MS_KEY_STORAGE_PROVIDER;
}

// The loader's status, with a permission error reported as such.
int loaderStatus(CCapiCore& core, int status, const PfxStore& pfx) {
  if (pfx.lastError == DWORD(NTE_PERM)) return core.fail(kPermissionDenied, pfx.lastError);
  return core.fail(status, pfx.lastError);
}

// The bytes of `store` as a PFX under `password`, size query first. 0 or
// the platform error.
DWORD exportStore(HCERTSTORE store, const std::string& password, DWORD flags, std::vector<BYTE>& out,
                  bool& secondCall) {
  WideSecret pass(password);
  CRYPT_DATA_BLOB blob{0, nullptr};
  secondCall = false;
  if (!PFXExportCertStore(store, &blob, pass.text.c_str(), flags)) return GetLastError();
  secondCall = true;
  out.assign(blob.cbData, 0);
  blob.pbData = out.data();
  if (!PFXExportCertStore(store, &blob, pass.text.c_str(), flags)) return GetLastError();
  out.resize(blob.cbData);
  return 0;
}

}  // namespace

void SetPfxWriteHookForTest(PfxWriteHook hook) { g_writeHook = std::move(hook); }

bool WriteFileAtomically(const std::string& path, const void* data, size_t n) {
  const std::string temp = path + ".tmp-" + std::to_string(getpid());
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  fchmod(fd, 0600);  // an old temporary of this name may have had other bits
  const BYTE* p = static_cast<const BYTE*>(data);
  size_t done = 0;
  bool ok = true;
  while (ok && done < n) {
    // Half the bytes first: the hook stands for a crash or a full disk there.
    const size_t chunk = done == 0 && n > 1 ? n / 2 : n - done;
    const ssize_t w = write(fd, p + done, chunk);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) done += size_t(w);
    if (ok && done < n && g_writeHook && !g_writeHook(temp)) {
      errno = ENOSPC;
      ok = false;
    }
  }
  if (ok) ok = fsync(fd) == 0;
  const int saved = errno;
  if (close(fd) != 0) ok = false;
  if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int why = errno ? errno : saved;
    unlink(temp.c_str());
    errno = why;
    return false;
  }
  syncFolder(folderOf(path));
  return true;
}

}  // namespace strabel

using namespace strabel;

int CCapiCore::SetDefaultPfxFileName(const std::u16string& strPrefix) {
  begin(false);
  if (hasNul(strPrefix)) return fail(kWrongParameters);
  m_strDefaultPfxPrefix = ansiFromWide(strPrefix);
  return m_nErrorCode;
}

int CCapiCore::ImportPfxToIE(const std::u16string& strPfxPath, const std::u16string& strPfxName,
                             const std::u16string& strPasswd, long dwFlags, long dwKeyUsage) {
  ResetSigner();
  m_strImportedPfxFilePath.clear();
  m_strImportedPfxFileName.clear();
  if (!begin(true)) return m_nErrorCode;
  if (hasNul(strPfxPath) || hasNul(strPfxName)) return fail(kWrongParameters);
  std::string folder = ansiFromWide(strPfxPath), name = ansiFromWide(strPfxName);
  Secret pass(ansiFromWide(strPasswd));
  if (folder.empty() || name.empty() || pass.text.empty())
    if (int status = AskPfxFile(*this, folder, name, pass.text)) return fail(status);
  const std::string path = PfxFilePath(folder, name);
  if (!FileExists(path)) return fail(kFileNotFound, ERROR_FILE_NOT_FOUND);
  PfxStore pfx;
  if (int status = pfx.Open(path, pass.text, DWORD(dwFlags) & kLoaderFlags)) return loaderStatus(*this, status, pfx);
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  if (!my) return fail(kOpenMyFailed, GetLastError());

  int status = kCertNotFound;
  int imported = 0;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(pfx.store, c));) {
    DWORD error = 0;
    if (!hasPrivateKey(c, true, error)) {
      // CA certificates of the file have no key and stay out of "MY".
      if (!imported) fail(status = kNoPrivateKey, error);
      continue;
    }
    CertInfo cert;
    cert.FromContext(c);
    if (dwKeyUsage > 0 && (cert.KeyUsage() & dwKeyUsage) != dwKeyUsage) {
      if (!imported) status = kBadKeyUsage;
      continue;
    }
    if (!CertAddCertificateContextToStore(my, c, CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, nullptr)) {
      if (!imported) fail(status = kCertNotFound, GetLastError());
      continue;
    }
    m_selectedCert.insert(m_selectedCert.end(), c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
    m_strImportedPfxFilePath = folder;
    m_strImportedPfxFileName = name;
    pfx.deleteKeysOnClose = false;
    ++imported;
    status = 0;
  }
  CertCloseStore(my, 0);
  if (imported) {
    m_dwCapiErrorCode = 0;
    return fail(0);
  }
  return fail(status ? status : kNoPrivateKey);
}

int CCapiCore::QueryPfxInfo(const std::u16string& strPfxPath, const std::u16string& strPfxName,
                            const std::u16string& strPasswd, long dwFlags, long dwKeyUsage) {
  ResetSigner();
  if (!begin(true)) return m_nErrorCode;
  if (hasNul(strPfxPath) || hasNul(strPfxName)) return fail(kWrongParameters);
  std::string folder = ansiFromWide(strPfxPath), name = ansiFromWide(strPfxName);
  Secret pass(ansiFromWide(strPasswd));
  if (folder.empty() || name.empty() || pass.text.empty())
    if (int status = AskPfxFile(*this, folder, name, pass.text)) return fail(status);
  const std::string path = PfxFilePath(folder, name);
  if (!FileExists(path)) return fail(kFileNotFound, ERROR_FILE_NOT_FOUND);
  PfxStore pfx;  // keeps deleteKeysOnClose: the keys go when the call ends
  if (int status = pfx.Open(path, pass.text, DWORD(dwFlags) & kLoaderFlags)) return loaderStatus(*this, status, pfx);

  int status = kNoPrivateKey;
  bool found = false;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(pfx.store, c));) {
    DWORD error = 0;
    if (!hasPrivateKey(c, false, error)) {
      if (!found) fail(status = kNoPrivateKey, error);
      continue;
    }
    CertInfo cert;
    cert.FromContext(c);
    if (dwKeyUsage > 0 && (cert.KeyUsage() & dwKeyUsage) != dwKeyUsage) {
      if (!found) status = kBadKeyUsage;
      continue;
    }
    m_strSignerPfxFilePath = folder;
    m_strSignerPfxFileName = name;
    m_selectedCert.insert(m_selectedCert.end(), c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
    found = true;
    status = 0;
  }
  if (found) m_dwCapiErrorCode = 0;
  return fail(status);
}

namespace {

// Steps shared by both forms of the password change; 0 when the file holds
// the new password.
int changePassword(CCapiCore& core, std::string& folder, std::string& name, Secret& oldPass, Secret& newPass) {
  if (folder.empty() || name.empty() || oldPass.text.empty() || newPass.text.empty())
    if (int status = AskChangePassword(core, folder, name, oldPass.text, newPass.text)) return core.fail(status);
  const std::string path = PfxFilePath(folder, name);
  if (!FileExists(path)) return core.fail(kFileNotFound, ERROR_FILE_NOT_FOUND);
  PfxStore pfx;
  if (int status = pfx.Open(path, oldPass.text, kPfxExportable)) return loaderStatus(core, status, pfx);
  std::vector<BYTE> bytes;
  bool secondCall = false;
  const DWORD error = exportStore(pfx.store, newPass.text, EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY,
                                  bytes, secondCall);
  if (error) {
    if (cancelled(error)) return core.fail(kUserCancelled, error);
    if (error == DWORD(NTE_NO_KEY)) return core.fail(kNoPrivateKey, error);
    if (error == DWORD(NTE_BAD_KEY) || error == DWORD(NTE_BAD_KEY_STATE)) return core.fail(kNotExportable, error);
    return core.fail(kPfxAccess, error);
  }
  // The old file stays whole until the new one is complete on disk.
  const bool written = WriteFileAtomically(path, bytes.data(), bytes.size());
  OPENSSL_cleanse(bytes.data(), bytes.size());
  if (!written) return core.fail(kWriteChangedFailed, DWORD(errno == ENOSPC ? kDiskFull : kWriteFault));
  return core.fail(0);
}

}  // namespace

int CCapiCore::ChangePfxPasswd(const std::u16string& strPfxPath, const std::u16string& strPfxName,
                               const std::u16string& strOldPass, const std::u16string& strNewPass, long) {
  if (!begin(true)) return m_nErrorCode;
  if (hasNul(strPfxPath) || hasNul(strPfxName)) return fail(kWrongParameters);
  std::string folder = ansiFromWide(strPfxPath), name = ansiFromWide(strPfxName);
  Secret oldPass(ansiFromWide(strOldPass)), newPass(ansiFromWide(strNewPass));
  return changePassword(*this, folder, name, oldPass, newPass);
}

int CCapiCore::ChangePfxPasswdEx(const std::u16string& strPfxPath, const std::u16string& strPfxName,
                                 const std::u16string& strOldPass, const std::u16string& strNewPass, long dwPort,
                                 long) {
  if (!begin(true)) return m_nErrorCode;
  if (hasNul(strPfxPath) || hasNul(strPfxName)) return fail(kWrongParameters);
  std::string folder = ansiFromWide(strPfxPath), name = ansiFromWide(strPfxName);
  Secret oldPass(ansiFromWide(strOldPass)), newPass(ansiFromWide(strNewPass));
  if (changePassword(*this, folder, name, oldPass, newPass) != 0 || dwPort <= 0) return m_nErrorCode;
  // Other instances that sign with this file keep signing with it.
  if (cSharedMemory* m = SharedSigner(*this)) {
    cSharedMemory::Lock lock(*m);
    std::string recFolder = m->GetText("signerCertFilePath");
    const std::string recName = m->GetText("signerCertFileName");
    if (recFolder.empty()) recFolder = "/";
    if (m->GetInt("signerMedia", 0) == 2 && strcasecmp(recFolder.c_str(), folder.empty() ? "/" : folder.c_str()) == 0 &&
        strcasecmp(recName.c_str(), name.c_str()) == 0) {
      if (m->Exists("signerCertPasswd")) m->Remove("signerCertPasswd");
      m->Add("signerCertPasswd", DWORD(newPass.text.size()), newPass.text.data());
    }
  }
  return m_nErrorCode;
}

int CCapiCore::ExportPfxFromIE(const std::u16string& strSubject, const std::u16string& strPfxPath,
                               const std::u16string& strPassword, long dwFlags, long dwKeyUsage) {
  m_strExportedPfxFilePath.clear();
  m_strExportedPfxFileName.clear();
  if (!begin(true)) return m_nErrorCode;
  if (hasNul(strPfxPath)) return fail(kWrongParameters);
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  if (!my) return fail(kOpenMyFailed, GetLastError());
  struct StoreHold {
    HCERTSTORE s;
    ~StoreHold() {
      if (s) CertCloseStore(s, 0);
    }
  } myHold{my}, memHold{nullptr};
  PCCERT_CONTEXT chosen = nullptr;
  if (int status = ChooseStoreCertificate(*this, my, ansiFromWide(strSubject), dwFlags, dwKeyUsage,
                                          StoreChoice::ListWhenSeveral, &chosen))
    return fail(status);
  CertInfo info;
  info.FromContext(chosen);
  std::string name;
  if (!m_strDefaultPfxPrefix.empty()) {
    name = m_strDefaultPfxPrefix;
    std::string lower = name;
    for (auto& ch : lower) ch = char(tolower(static_cast<unsigned char>(ch)));
    if (lower.find(".pfx") == std::string::npos) name += ".pfx";
  } else {
    name = info.SubjectCN() + ".pfx";
    // A name from the certificate must not lead out of the folder.
    for (auto& ch : name)
      if (ch == '/') ch = '_';
  }

  HCERTSTORE mem = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (!mem) {
    CertFreeCertificateContext(chosen);
    return fail(kOpenMemoryFailed, GetLastError());
  }
  memHold.s = mem;
  // The certificate as "MY" holds it now (the first one with this encoding).
  PCCERT_CONTEXT current = CertFindCertificateInStore(my, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                      CERT_FIND_EXISTING, chosen, nullptr);
  CertFreeCertificateContext(chosen);
  if (!current) return fail(kCertNotFound, GetLastError());
  DWORD keyError = 0;
  if (!hasPrivateKey(current, false, keyError)) {
    CertFreeCertificateContext(current);
    return fail(kNoPrivateKey, keyError);
  }
  if (!CertAddCertificateContextToStore(mem, current, CERT_STORE_ADD_ALWAYS, nullptr)) {
    const DWORD e = GetLastError();
    CertFreeCertificateContext(current);
    return fail(kAddFailed, e);
  }

  std::string folder = ansiFromWide(strPfxPath);
  Secret pass(ansiFromWide(strPassword));
  if (folder.empty() || pass.text.empty()) {
    if (int status = AskExportFile(*this, true, folder, name, pass.text)) {
      CertFreeCertificateContext(current);
      return fail(status);
    }
  }
  std::vector<BYTE> bytes;
  bool secondCall = false;
  const DWORD error = exportStore(
      mem, pass.text, EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY | REPORT_NO_PRIVATE_KEY, bytes,
      secondCall);
  if (error) {
    CertFreeCertificateContext(current);
    if (secondCall && cancelled(error)) return fail(kUserCancelled, error);
    return fail(kNotExportable, error);
  }
  struct stat st{};
  if (stat(folder.c_str(), &st) != 0) {
    // One level is made, private to the user as the file is.
    if (errno != ENOENT || mkdir(folder.c_str(), 0700) != 0) {
      const DWORD e = DWORD(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
      OPENSSL_cleanse(bytes.data(), bytes.size());
      CertFreeCertificateContext(current);
      return fail(kCreateFolderFailed, e);
    }
  } else if (!S_ISDIR(st.st_mode)) {
    OPENSSL_cleanse(bytes.data(), bytes.size());
    CertFreeCertificateContext(current);
    return fail(kCreateFolderFailed, kNotADirectory);
  }
  const bool written = WriteFileAtomically(PfxFilePath(folder, name), bytes.data(), bytes.size());
  OPENSSL_cleanse(bytes.data(), bytes.size());
  if (!written) {
    CertFreeCertificateContext(current);
    return fail(kWriteFailed, DWORD(errno == ENOSPC ? kDiskFull : kWriteFault));
  }
  // Only now that the file holds the key may the certificate leave "MY".
  if (dwFlags & kDeleteAfterExport) CertDeleteCertificateFromStore(current);
  else CertFreeCertificateContext(current);
  m_strExportedPfxFilePath = folder;
  m_strExportedPfxFileName = name;
  m_dwCapiErrorCode = 0;
  return fail(0);
}

#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include "certs/pfx_store.h"

#include <ncrypt.h>
#include <sys/stat.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "base/codepage_internal.h"
#include "certs/cng_loader.h"
#include "certs/encoding.h"
#include "frame/engines.h"
#include "frame/frame.h"
#include "resources/resource_ids.h"
#include "ui/dialogs.h"

namespace strabel {

namespace {

enum : int {
  kWrongParameters = 5005,
  kUserCancelled = 5070,
  kPfxFormat = 5207,
  kPfxPassword = 5208,
  kPfxUnreadable = 5401,
};

std::string utf8(const std::string& ansi) { return velmora::platform::utf8FromAnsi(ansi); }
std::string ansi(const std::string& utf8text) { return velmora::platform::ansiFromUtf8(utf8text); }

// Deletes the key a PFX import made for one certificate.
void deleteImportedKey(PCCERT_CONTEXT cert) {
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n) || n == 0) return;
  std::vector<BYTE> buf(n);
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n)) return;
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
  const std::u16string container = info->pwszContainerName ? info->pwszContainerName : u"";
  const std::u16string provider = info->pwszProvName ? info->pwszProvName : u"";
  if (container.empty()) return;
  if (info->dwProvType == 0) {
    // A key of the key storage provider: CRYPT_DELETEKEYSET cannot reach it.
    CngLoader cng;
    NCRYPT_PROV_HANDLE prov = 0;
    NCRYPT_KEY_HANDLE key = 0;
    if (cng.OpenStorageProvider(&prov, provider.empty() ? MS_KEY_STORAGE_PROVIDER : provider.c_str(), 0) != 0)
      return;
    if (cng.OpenKey(prov, &key, container.c_str(), 0, 0) == 0 && key) {
      if (cng.DeleteKey(key, 0) != 0) cng.FreeObject(key);
    }
    cng.FreeObject(prov);
    return;
  }
  HCRYPTPROV prov = 0;
  CryptAcquireContextA(&prov, ansiFromWide(container).c_str(), ansiFromWide(provider).c_str(), info->dwProvType,
                       CRYPT_DELETEKEYSET);
}

}  // namespace

void WipeText(std::string& text) {
  volatile char* p = text.data();
  for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  text.clear();
}

PfxStore::~PfxStore() { Close(); }

void PfxStore::Close() {
  if (!store) return;
  if (deleteKeysOnClose)
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) deleteImportedKey(c);
  CertCloseStore(store, 0);
  store = nullptr;
}

int PfxStore::Open(const std::string& path, const std::string& password, DWORD flags) {
  Close();
  lastError = 0;
  if (path.empty()) return kWrongParameters;
  ByteBuffer bytes;
  if (!bytes.LoadFile(path)) {
    lastError = GetLastError();
    return kPfxUnreadable;
  }
  CRYPT_DATA_BLOB blob{DWORD(bytes.length()), bytes.data()};
  if (!PFXIsPFXBlob(&blob)) {
    lastError = GetLastError();
    return kPfxFormat;
  }
  std::u16string wide = wideFromAnsi(password);
  const char16_t* pass = wide.c_str();
  if (!PFXVerifyPassword(&blob, pass, 0)) {
    // A file made without a password accepts only "no password".
    if (!password.empty() || !PFXVerifyPassword(&blob, nullptr, 0)) {
      lastError = GetLastError();
      for (auto& c : wide) c = 0;
      return kPfxPassword;
    }
    pass = nullptr;
  }
  DWORD keyFlags = 0;
  if (flags & kPfxExportable) keyFlags |= CRYPT_EXPORTABLE;
  if (flags & kPfxUserProtected) keyFlags |= CRYPT_USER_PROTECTED;
  store = PFXImportCertStore(&blob, pass, keyFlags);
  if (!store) lastError = GetLastError();
  for (auto& c : wide) c = 0;
  return store ? 0 : kPfxPassword;
}

std::string PfxFilePath(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder == "/") return folder + name;
  return folder + "/" + name;
}

std::string JoinFolder(const std::string& folder, const std::string& name) {
  if (folder.empty() && name.empty()) return std::string();
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string DialogText(unsigned id, const char* fallback) {
  const std::string text = loadString(id);
  return text.empty() ? std::string(fallback) : utf8(text);
}

namespace {

velmora::ui::PathErrorTexts notFoundTexts() {
  return {DialogText(IDS_ERROR_INFORMATION, "Error information"), DialogText(IDS_PFX_NOT_FOUND_PREFIX, "Pfx file("),
          DialogText(IDS_PFX_NOT_FOUND_SUFFIX, ") : File not found or Incorrect!"),
          DialogText(IDS_UNSPECIFIED, "unspecified")};
}

std::string homeFolder() {
  const char* home = getenv("HOME");
  return home ? home : "";
}

}  // namespace

int AskPfxFile(const CCapiCore& core, std::string& folder, std::string& name, std::string& password) {
  velmora::ui::PfxFileParams p;
  p.title = DialogText(IDS_PFXFILE_CAPTION, "Certificate File information");
  p.pathLabel = DialogText(IDS_PFXFILE_PATH, "PFX file path :");
  p.passwordLabel = DialogText(IDS_PFXFILE_PASSWORD, "PFX file password :");
  p.browseLabel = DialogText(IDS_BROWSE, "Browse");
  p.okLabel = DialogText(IDS_OK, "OK");
  p.cancelLabel = DialogText(IDS_CANCEL, "Cancel");
  p.browseTitle = DialogText(IDS_PFXFILE_BROWSE_TITLE, "Please select certificate(pfx) file");
  p.browseFolder = homeFolder();
  p.notFound = notFoundTexts();
  p.folder = utf8(folder);
  p.name = utf8(name);
  p.password = utf8(password);
  p.minPasswordLength = core.m_nPasswdMinLen;
  p.maxPasswordLength = core.m_nPasswdMaxLen;
  auto answer = velmora::ui::pfxFileDialog(p);
  WipeText(p.password);
  if (!answer) return kUserCancelled;
  folder = ansi(answer->folder);
  name = ansi(answer->name);
  password = ansi(answer->password);
  WipeText(answer->password);
  return 0;
}

int AskExportFile(const CCapiCore& core, bool saveMode, std::string& folder, std::string& name,
                  std::string& password) {
  velmora::ui::ExportFileParams p;
  p.saveMode = saveMode;
  p.title = DialogText(IDS_EXPORT_CAPTION, "Enter PFX File information");
  p.pathLabel = DialogText(IDS_EXPORT_PROMPT, "Please specify file name and path that you want to export :");
  p.passwordLabel = DialogText(IDS_PFXFILE_PASSWORD, "PFX file password :");
  p.confirmLabel = DialogText(IDS_EXPORT_CONFIRM, "Confirm password again");
  p.hint = DialogText(IDS_EXPORT_HINT, "(alphanumeric 1 ~ 16 chars)");
  p.browseLabel = DialogText(IDS_BROWSE, "Browse");
  p.okLabel = DialogText(IDS_OK, "OK");
  p.cancelLabel = DialogText(IDS_CANCEL, "Cancel");
  p.browseFolder = homeFolder();
  if (saveMode) {
    p.browseTitle = DialogText(IDS_EXPORT_FOLDER_TITLE, "Select the storage path of the certificate(pfx) file :");
    p.error = {DialogText(IDS_ERROR_INFORMATION, "Error information"),
               DialogText(IDS_EXPORT_NO_WRITE_PREFIX, "Certificate folder("),
               DialogText(IDS_EXPORT_NO_WRITE_SUFFIX, ") : No write permission!"),
               DialogText(IDS_UNSPECIFIED, "unspecified")};
  } else {
    p.browseTitle = DialogText(IDS_PFXFILE_BROWSE_TITLE, "Please select certificate(pfx) file");
    p.error = notFoundTexts();
  }
  p.folder = utf8(folder);
  p.name = utf8(name);
  p.password = utf8(password);
  p.minPasswordLength = core.m_nPasswdMinLen;
  p.maxPasswordLength = core.m_nPasswdMaxLen;
  auto answer = velmora::ui::exportFileDialog(p);
  WipeText(p.password);
  if (!answer) return kUserCancelled;
  folder = ansi(answer->folder);
  name = ansi(answer->name);
  password = ansi(answer->password);
  WipeText(answer->password);
  return 0;
}

int AskChangePassword(const CCapiCore& core, std::string& folder, std::string& name, std::string& oldPassword,
                      std::string& newPassword) {
  velmora::ui::ChangePasswordParams p;
  p.title = DialogText(IDS_CHANGEPWD_CAPTION, "Change PFX File Password");
  p.pathLabel = DialogText(IDS_PFXFILE_PATH, "PFX file path :");
  p.oldLabel = DialogText(IDS_CHANGEPWD_OLD, "Please enter PFX password (1 ~ 16 chars) :");
  p.newLabel = DialogText(IDS_CHANGEPWD_NEW, "Enter new password :");
  p.confirmLabel = DialogText(IDS_CHANGEPWD_CONFIRM, "Confirm new password :");
  p.browseLabel = DialogText(IDS_BROWSE, "Browse");
  p.okLabel = DialogText(IDS_OK, "OK");
  p.cancelLabel = DialogText(IDS_CANCEL, "Cancel");
  p.browseTitle = DialogText(IDS_CHANGEPWD_BROWSE_TITLE, "Please select PFX file");
  p.browseFolder = homeFolder();
  p.notFound = notFoundTexts();
  p.folder = utf8(folder);
  p.name = utf8(name);
  p.oldPassword = utf8(oldPassword);
  p.newPassword = utf8(newPassword);
  p.minPasswordLength = core.m_nPasswdMinLen;
  p.maxPasswordLength = core.m_nPasswdMaxLen;
  auto answer = velmora::ui::changePasswordDialog(p);
  WipeText(p.oldPassword);
  WipeText(p.newPassword);
  if (!answer) return kUserCancelled;
  folder = ansi(answer->folder);
  name = ansi(answer->name);
  oldPassword = ansi(answer->oldPassword);
  newPassword = ansi(answer->newPassword);
  const bool same = answer->newPassword == answer->confirmPassword;
  WipeText(answer->oldPassword);
  WipeText(answer->newPassword);
  WipeText(answer->confirmPassword);
  return same ? 0 : 5209;
}

int AskPfxPassword(const CCapiCore& core, std::string& password) {
  velmora::ui::PasswordParams p;
  p.title = DialogText(IDS_PASSWORD_CAPTION, "Enter PFX File Password");
  p.label = DialogText(IDS_PFXFILE_PASSWORD, "PFX file password :");
  p.okLabel = DialogText(IDS_OK, "OK");
  p.cancelLabel = DialogText(IDS_CANCEL, "Cancel");
  p.minPasswordLength = core.m_nPasswdMinLen;
  p.maxPasswordLength = core.m_nPasswdMaxLen;
  auto answer = velmora::ui::passwordDialog(p);
  if (!answer) return kUserCancelled;
  password = ansi(*answer);
  WipeText(*answer);
  return 0;
}

}  // namespace strabel

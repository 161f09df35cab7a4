// The dialog service: one process-wide interface through which every dialog
// of the system is shown (message boxes, file and folder choosers, the
// security component's PFX, export, change-password, password, signer-list
// and sign-confirmation dialogs, reader choice, key-use, PIN and
// root-install prompts, the About box). Components never call a toolkit.
//
// A dialog is described by a DialogRequest that is complete in itself: a
// renderer (GTK in the host) draws it from the request alone, and the
// scripted service answers it from a script. The typed helpers at the end
// of this file build the requests of each kind and interpret the results;
// components call the helpers, not DialogService::show. DIALOGS.md lists
// every kind with its texts, fields, buttons and answers.
//
// Texts and field values are UTF-8 in both directions. A component that
// holds its texts in the ANSI code page (LoadStringA) converts them with
// velmora::platform::utf8FromAnsi first, and converts answers back with
// ansiFromUtf8.
#pragma once

#include <windef.h>
#include <winuser.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Open-file dialog flags (commdlg.h values), kept in the request.
#ifndef OFN_READONLY
#define OFN_READONLY 0x00000001
#define OFN_OVERWRITEPROMPT 0x00000002
#define OFN_HIDEREADONLY 0x00000004
#define OFN_NOCHANGEDIR 0x00000008
#define OFN_NOVALIDATE 0x00000100
#define OFN_ALLOWMULTISELECT 0x00000200
#define OFN_PATHMUSTEXIST 0x00000800
#define OFN_FILEMUSTEXIST 0x00001000
#endif

namespace velmora::ui {

// The dialog kinds.
namespace kind {
inline constexpr const char kMessageBox[] = "message-box";
inline constexpr const char kOpenFile[] = "open-file";
inline constexpr const char kFolder[] = "folder";
inline constexpr const char kPfxFile[] = "pfx-file";
inline constexpr const char kExportFile[] = "export-file";
inline constexpr const char kChangePassword[] = "change-password";
inline constexpr const char kPassword[] = "password";
inline constexpr const char kSignerList[] = "signer-list";
inline constexpr const char kSignConfirm[] = "sign-confirm";
inline constexpr const char kReaderSelect[] = "reader-select";
inline constexpr const char kKeyUse[] = "key-use";
inline constexpr const char kPin[] = "pin";
inline constexpr const char kRootInstall[] = "root-install";
inline constexpr const char kAbout[] = "about";
}  // namespace kind

// One input of a dialog.
struct DialogField {
  std::string name;        // key of the value in DialogResult::fields
  std::string label;       // UTF-8; may be empty (the field continues the previous one's row)
  std::string value;       // initial value
  bool password = false;   // masked input; its value is never logged
  bool readOnly = false;   // shown but not editable (a disabled control)
  bool multiline = false;  // a multi-line text area (the text to be signed)
  int minLength = 0;       // characters; "OK" is refused while the field is shorter
  int maxLength = 0;       // characters the control accepts; 0: no limit
  std::string mustMatch;   // name of a field whose value this one must equal for "OK"
};

// A dialog to show. `kind` says which dialog it is and how to draw it
// (DIALOGS.md); everything a renderer needs is here.
struct VELMORA_EXPORT DialogRequest {
  std::string kind;
  std::string title;
  // Named texts (UTF-8): labels, messages, hints. A button's label is the
  // text named "button.<id>"; when it is missing the renderer uses its stock
  // label for the id.
  std::vector<std::pair<std::string, std::string>> texts;
  std::vector<DialogField> fields;
  std::vector<std::string> columns;             // list column titles
  std::vector<std::vector<std::string>> rows;   // list rows (one cell per column)
  std::vector<std::string> buttons;             // button ids, in display order
  int selected = -1;                            // preselected row; for a message box the default button
  int resourceId = 0;                           // the Windows dialog resource, 0 when none
  // Settings that are not display texts: "icon" (error, question, warning,
  // information), "filter" (MFC form "Name|*.a;*.b|...||"), "initial-folder",
  // "validate" (file-exists, folder-writable), "browse" (open-file, folder),
  // "disabled-buttons" (comma-separated ids), "column-widths" (comma-separated
  // pixels), "mode", "type", "flags", ...; per kind in DIALOGS.md.
  std::map<std::string, std::string> options;

  // The text of that name, or "" when there is none.
  std::string text(const std::string& name) const;
  std::string option(const std::string& name) const;
};

// How a dialog ended.
struct DialogResult {
  // The id of the button that closed it ("ok", "cancel", "yes", "no",
  // "certificate", "browse", ...); "cancel" also when it was closed otherwise.
  std::string button = "cancel";
  std::map<std::string, std::string> fields;  // final value of every field
  int row = -1;                               // chosen row of a list, -1 for none
};

class VELMORA_EXPORT DialogService {
 public:
  virtual ~DialogService();
  // Shows the dialog modally and returns how it ended. May be called from any
  // thread; an implementation serialises what it must.
  virtual DialogResult show(const DialogRequest& request) = 0;
};

// Every dialog ends as cancelled.
class VELMORA_EXPORT NoneDialogService : public DialogService {
 public:
  DialogResult show(const DialogRequest& request) override;
};

// Answers from a script and logs every dialog shown (see DIALOGS.md).
// `scriptPath`: one JSON object per line, each answering the next dialog
// (blank lines are skipped); a missing or exhausted script cancels.
// `logPath`: every dialog shown is appended as one JSON line (file mode
// 0600; password values masked). Either path may be empty.
class VELMORA_EXPORT ScriptedDialogService : public DialogService {
 public:
  ScriptedDialogService(std::string scriptPath, std::string logPath);
  DialogResult show(const DialogRequest& request) override;

  // Script lines consumed so far (blank lines not counted).
  int answersUsed() const;

 private:
  std::string scriptPath_;
  std::string logPath_;
  mutable std::mutex mutex_;
  long long offset_ = 0;  // bytes of the script consumed
  int lineNumber_ = 0;    // physical lines consumed
  int answers_ = 0;
  int sequence_ = 0;
};

// Calls a function for every dialog (for tests of the callers).
class VELMORA_EXPORT FunctionDialogService : public DialogService {
 public:
  explicit FunctionDialogService(std::function<DialogResult(const DialogRequest&)> fn);
  DialogResult show(const DialogRequest& request) override;

 private:
  std::function<DialogResult(const DialogRequest&)> fn_;
};

// The service of this process: the installed one; when none is installed,
// the scripted service when VELMORA_DIALOG_SCRIPT or VELMORA_DIALOG_LOG is
// set in the environment at first use, else the "none" service. The
// reference stays valid for the life of the process, even when another
// service is installed later. Thread-safe.
VELMORA_EXPORT DialogService& dialogService();
// The same, as a shared pointer.
VELMORA_EXPORT std::shared_ptr<DialogService> currentDialogService();
// Installs the service of this process (the host installs GTK at start).
// nullptr goes back to the default above (chosen once per process, so a
// scripted default keeps its reading position).
VELMORA_EXPORT void installDialogService(std::shared_ptr<DialogService> service);

// Installs a service for the life of the object and puts the previous one back.
class VELMORA_EXPORT ScopedDialogService {
 public:
  explicit ScopedDialogService(std::shared_ptr<DialogService> service);
  ~ScopedDialogService();
  ScopedDialogService(const ScopedDialogService&) = delete;
  ScopedDialogService& operator=(const ScopedDialogService&) = delete;

 private:
  std::shared_ptr<DialogService> previous_;  // the installed one, or null for the default
};

// ---------------------------------------------------------------------------
// Path and filter helpers shared by the helpers and the renderers.

// Splits a chosen path at its last "/" into folder and name; the root folder
// stays "/" ("/a.pfx" -> "/", "a.pfx"); no "/" gives an empty folder.
VELMORA_EXPORT std::pair<std::string, std::string> splitPath(const std::string& path);
// Folder, "/" unless the folder is empty or already ends with one, name.
VELMORA_EXPORT std::string joinPath(const std::string& folder, const std::string& name);

struct FileFilter {
  std::string name;                   // "PFX Files (*.pfx;*.p12)"
  std::vector<std::string> patterns;  // "*.pfx", "*.p12"; "*.*" becomes "*"
};
// Parses an MFC filter "Name|pattern;pattern|Name|pattern||".
VELMORA_EXPORT std::vector<FileFilter> parseFileFilter(const std::string& filter);

// Number of characters (UTF-8 code points) of a text.
VELMORA_EXPORT size_t utf8Length(const std::string& text);

// Shows a request through the current service and normalises the result: a
// field the answer left out keeps its initial value, a read-only field keeps
// it always, a value longer than maxLength is cut there, and an unknown
// button is "cancel". Every typed helper below shows through this.
VELMORA_EXPORT DialogResult showDialog(const DialogRequest& request);

// ---------------------------------------------------------------------------
// Typed helpers, one per kind. They take every text from the caller (the
// defaults are the English texts) and give std::nullopt or false
// when the user cancels. Helpers that validate an answer ("OK requires the
// file to exist") show the dialog again, pre-filled with the answer, until it
// is valid or cancelled, as the Windows dialogs stay open.

// message-box: returns IDOK, IDCANCEL, IDYES, IDNO, ... (see MessageBoxA).
VELMORA_EXPORT int messageBox(const std::string& text, const std::string& caption, unsigned type);

// open-file: the platform's open-file dialog (HashFile, the PFX "Browse").
struct OpenFileParams {
  std::string title;
  std::string filter = "All Files (*.*)|*.*||";
  std::string defaultExt;
  std::string initialFolder;
  std::string initialName;
  unsigned flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
  std::string okLabel, cancelLabel;  // empty: stock labels
};
// The chosen full path; nullopt on cancel (or an empty answer).
VELMORA_EXPORT std::optional<std::string> openFileDialog(const OpenFileParams& params);

// folder: the platform's folder browser.
VELMORA_EXPORT std::optional<std::string> chooseFolder(const std::string& title,
                                                       const std::string& initialFolder = {});

// Texts of the "file not found" / "no write permission" message box:
// caption, then prefix + path (or `unspecified` when empty) + suffix.
struct PathErrorTexts {
  std::string caption = "Error information";
  std::string prefix = "Pfx file(";
  std::string suffix = ") : File not found or Incorrect!";
  std::string unspecified = "unspecified";
};

// pfx-file (resource 202): folder, name and password of a PFX file to open.
struct PfxFileParams {
  std::string title = "Certificate File information";
  std::string pathLabel = "PFX file path :";
  std::string passwordLabel = "PFX file password :";
  std::string browseLabel = "Browse", okLabel = "OK", cancelLabel = "Cancel";
  std::string browseTitle = "Please select certificate(pfx) file";
  std::string filter = "PFX Files (*.pfx;*.p12)|*.pfx; *.p12|All Files (*.*)|*.*||";
  std::string browseFolder;  // where "Browse" opens when the folder is empty
  PathErrorTexts notFound;
  std::string folder, name, password;  // pre-fill; an empty name shows "*.pfx"
  int minPasswordLength = 0, maxPasswordLength = 16;
  int resourceId = 202;
};
struct PfxFileAnswer {
  std::string folder, name, password;
};
// "OK" requires the file folder/name to exist: otherwise the error message
// box and the dialog again. "Browse" runs the open-file dialog (when the
// renderer hands it back) and splits the chosen path.
VELMORA_EXPORT std::optional<PfxFileAnswer> pfxFileDialog(const PfxFileParams& params);

// export-file (resource 206): folder, file name and password of a PFX file
// to write (save mode) or to read (open mode).
struct ExportFileParams {
  bool saveMode = true;
  std::string title = "Enter PFX File information";
  std::string pathLabel = "Please specify file name and path that you want to export :";
  std::string passwordLabel = "Password :";
  std::string confirmLabel = "Confirm password again";
  std::string hint = "(alphanumeric 1 ~ 16 chars)";
  std::string browseLabel = "Browse", okLabel = "OK", cancelLabel = "Cancel";
  // Save mode: the folder browser's title; open mode: the open-file title.
  std::string browseTitle = "Select the storage path of the certificate(pfx) file :";
  std::string filter = "PFX Files (*.pfx;*.p12)|*.pfx; *.p12|All Files (*.*)|*.*||";  // open mode
  std::string browseFolder;
  // Save mode: the "no write permission" texts; open mode: "file not found".
  PathErrorTexts error{"Error information", "Certificate folder(", ") : No write permission!", "unspecified"};
  std::string folder, name, password;
  int minPasswordLength = 0, maxPasswordLength = 16;
  int resourceId = 206;
};
// Save mode "OK": the folder is created when missing (one level) and must be
// writable (an empty file of the chosen name is created and removed; an
// existing file is opened for appending and left as it is). Open mode "OK":
// the file must exist. The password and its confirmation must be equal.
VELMORA_EXPORT std::optional<PfxFileAnswer> exportFileDialog(const ExportFileParams& params);

// change-password (resource 203).
struct ChangePasswordParams {
  std::string title = "Change PFX File Password";
  std::string pathLabel = "PFX file path :";
  std::string browseLabel = "Browse", okLabel = "OK", cancelLabel = "Cancel";
  std::string oldLabel = "Please enter PFX password (1 ~ 16 chars) :";
  std::string newLabel = "Enter new password :";
  std::string confirmLabel = "Confirm new password :";
  std::string browseTitle = "Please select PFX file";
  std::string filter = "PFX Files (*.pfx;*.p12)|*.pfx; *.p12|All Files (*.*)|*.*||";
  std::string browseFolder;
  PathErrorTexts notFound;
  std::string folder, name, oldPassword, newPassword;
  int minPasswordLength = 0, maxPasswordLength = 16;
  int resourceId = 203;
};
struct ChangePasswordAnswer {
  std::string folder, name, oldPassword, newPassword, confirmPassword;
};
// "OK" requires the file to exist. The new password and its confirmation are
// returned as given: the caller compares them (5209 when they differ).
VELMORA_EXPORT std::optional<ChangePasswordAnswer> changePasswordDialog(const ChangePasswordParams& params);

// password (resource 205): one password field.
struct PasswordParams {
  std::string title = "Enter PFX File Password";
  std::string label = "PFX file password :";
  std::string okLabel = "OK", cancelLabel = "Cancel";
  int minPasswordLength = 0, maxPasswordLength = 16;
  int resourceId = 205;
};
VELMORA_EXPORT std::optional<std::string> passwordDialog(const PasswordParams& params);

// signer-list (resource 204): a report list of candidate certificates.
struct SignerListParams {
  std::string title = "Select one for Signed Data";
  std::vector<std::string> columns{"Common Name", "Serial", "Not before", "Not after", "Issuer"};
  std::vector<int> columnWidths{150, 110, 110, 110, 180};
  std::vector<std::vector<std::string>> rows;
  int selected = 0;
  std::string okLabel = "OK", cancelLabel = "Cancel", certificateLabel = "Certificate";
  int resourceId = 204;
};
struct SignerListAnswer {
  bool viewCertificate = false;  // "Certificate" pressed: show row's certificate, then show the list again
  int row = 0;                   // the chosen (or selected) row
};
// nullopt on cancel (and for an empty list). On "Certificate" the caller
// writes temp.cer, opens it and calls again with `selected` = row.
VELMORA_EXPORT std::optional<SignerListAnswer> signerListDialog(const SignerListParams& params);

// sign-confirm (resource 201): the text to be signed and the certificate.
struct SignConfirmParams {
  std::string title = "Signed with this Certificate";
  std::string plainTextLabel = "Plain Text tobe sign";
  std::string certificateInfoLabel = "Certificate information";
  std::string serialLabel = "Serial :", commonNameLabel = "CommonName :";
  std::string validityLabel = "Validity:", fromLabel = "From :", toLabel = "To :";
  std::string okLabel = "OK", cancelLabel = "Cancel";
  std::string text, serial, commonName, notBefore, notAfter;
  int resourceId = 201;
};
// True for "OK".
VELMORA_EXPORT bool signConfirmDialog(const SignConfirmParams& params);

// reader-select (resource 209 in the security component, 208 in the token
// component).
struct ReaderSelectParams {
  std::string title = "Select Reader";
  std::string label = "Reader";
  std::string okLabel = "OK", cancelLabel = "Cancel";
  std::vector<std::string> readers;
  bool sorted = true;  // a sorted combo box (security); false keeps PC/SC order (token)
  int resourceId = 209;
};
// The chosen reader; exactly one reader is taken without showing the dialog;
// "OK" on an empty list gives "". nullopt on cancel.
VELMORA_EXPORT std::optional<std::string> readerSelectDialog(const ReaderSelectParams& params);

// key-use: the platform's prompt before a user-protected (CryptoAPI
// CRYPT_USER_PROTECTED) or strongly protected (CNG) key is created or used.
// The caller maps nullopt to ERROR_CANCELLED / 0x800704C7.
struct KeyUseParams {
  bool creating = false;          // a protected item is being created (else used)
  std::string operation;          // what the key is used for: "sign", "decrypt", "export", "create", ...
  std::string title;              // empty: "Creating a new protected item" / "Protected item access"
  std::string message;            // empty: the platform's sentence for creating / using
  std::string itemName = "CryptoAPI Private Key";  // friendly name of the key
  std::string description;        // the key's UI-policy description
  bool passwordRequired = false;  // high protection: the item's password (and its confirmation when creating)
  std::string passwordLabel = "Password for:";
  std::string confirmLabel = "Confirm:";
  std::string okLabel = "OK", cancelLabel = "Cancel";
};
// The password typed ("" when none was asked); the caller checks it.
VELMORA_EXPORT std::optional<std::string> keyUseDialog(const KeyUseParams& params);

// pin: a smart-card or token PIN (smart-card CSPs on PKCS#11 tokens). The
// caller maps nullopt to SCARD_W_CANCELLED_BY_USER / ERROR_CANCELLED.
struct PinParams {
  std::string title = "Smart Card PIN";
  std::string message = "Please enter your PIN.";
  std::string token;  // the token or card label
  std::string label = "PIN";
  std::string okLabel = "OK", cancelLabel = "Cancel";
  int minLength = 0, maxLength = 0;
};
VELMORA_EXPORT std::optional<std::string> pinDialog(const PinParams& params);

// root-install: the platform's security warning before a certificate is
// added to the user's "ROOT" store.
struct RootInstallParams {
  std::string subject;     // the certificate's subject, as shown
  std::string thumbprint;  // its SHA-1 thumbprint, as shown
  std::string title = "Security Warning";
  // Empty: the platform's warning; "{subject}" and "{thumbprint}" are replaced.
  std::string message;
  std::string yesLabel = "Yes", noLabel = "No";
};
// True only for "Yes"; a refusal makes the add fail.
VELMORA_EXPORT bool rootInstallDialog(const RootInstallParams& params);

// about (resource 100): the host's About box.
struct AboutParams {
  std::string title;
  std::vector<std::string> lines;
  std::string okLabel = "OK";
  int resourceId = 100;
};
VELMORA_EXPORT void aboutDialog(const AboutParams& params);

}  // namespace velmora::ui

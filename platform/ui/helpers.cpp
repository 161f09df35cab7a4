// The typed dialog helpers: each builds the request of its kind, shows it
// through the current service and interprets the result.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "ui/dialogs.h"

namespace velmora::ui {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Paths, filters, lengths.

std::pair<std::string, std::string> splitPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {std::string(), path};
  if (slash == 0) return {"/", path.substr(1)};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::vector<FileFilter> parseFileFilter(const std::string& filter) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start < filter.size()) {
    size_t bar = filter.find('|', start);
    if (bar == std::string::npos) bar = filter.size();
    parts.push_back(filter.substr(start, bar - start));
    start = bar + 1;
  }
  std::vector<FileFilter> out;
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].empty()) break;  // the "||" that ends the list
    FileFilter f;
    f.name = parts[i];
    size_t p = 0;
    const std::string& list = parts[i + 1];
    while (p <= list.size()) {
      size_t semi = list.find(';', p);
      if (semi == std::string::npos) semi = list.size();
      std::string pattern = list.substr(p, semi - p);
      pattern.erase(0, pattern.find_first_not_of(" \t"));
      pattern.erase(pattern.find_last_not_of(" \t") + 1);
      if (pattern == "*.*") pattern = "*";
      if (!pattern.empty()) f.patterns.push_back(pattern);
      p = semi + 1;
    }
    out.push_back(std::move(f));
  }
  return out;
}

size_t utf8Length(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

namespace {

// The first `count` characters of a UTF-8 text.
std::string utf8Prefix(const std::string& text, size_t count) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (chars == count) return text.substr(0, i);
      ++chars;
    }
  }
  return text;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::vector<std::string> splitCommas(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < s.size()) {
    size_t comma = s.find(',', start);
    if (comma == std::string::npos) comma = s.size();
    if (comma > start) out.push_back(s.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

// A dialog that is shown again after an invalid answer gives up after this
// many rounds (a person never gets there; a broken renderer must not hang).
constexpr int kMaxRounds = 1000;

// The minimum lengths and the "must match" rules that gate "OK".
bool fieldsValid(const DialogRequest& request, const DialogResult& result) {
  for (const auto& f : request.fields) {
    const std::string& value = result.fields.at(f.name);
    if (!f.readOnly && f.minLength > 0 && utf8Length(value) < size_t(f.minLength)) return false;
    if (!f.mustMatch.empty()) {
      auto other = result.fields.find(f.mustMatch);
      if (other != result.fields.end() && other->second != value) return false;
    }
  }
  return true;
}

void addButton(DialogRequest& r, const std::string& id, const std::string& label) {
  r.buttons.push_back(id);
  if (!label.empty()) r.texts.emplace_back("button." + id, label);
}

// A password field of the security component's dialogs: limited to the
// maximum, and shown disabled when it arrives with at least max(1, min)
// characters.
DialogField passwordField(const std::string& name, const std::string& label, const std::string& value,
                          int minLength, int maxLength, bool locked) {
  DialogField f;
  f.name = name;
  f.label = label;
  f.value = value;
  f.password = true;
  f.readOnly = locked;
  f.minLength = std::max(0, minLength);
  f.maxLength = std::max(0, maxLength);
  return f;
}

bool arrivesLocked(const std::string& value, int minLength) {
  return utf8Length(value) >= size_t(std::max(1, minLength));
}

DialogField plainField(const std::string& name, const std::string& label, const std::string& value) {
  DialogField f;
  f.name = name;
  f.label = label;
  f.value = value;
  return f;
}

bool fileExists(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  return fs::exists(path, ec) && !fs::is_directory(path, ec);
}

// The save-mode check of the export dialog: the folder exists or is created
// (one level), and a file of the chosen name can be written there.
bool folderWritable(const std::string& folder, const std::string& name) {
  if (folder.empty() || name.empty()) return false;
  std::error_code ec;
  if (!fs::exists(folder, ec) && !fs::create_directory(folder, ec)) return false;
  if (!fs::is_directory(folder, ec)) return false;
  const std::string path = joinPath(folder, name);
  if (fs::exists(path, ec)) {
    if (fs::is_directory(path, ec)) return false;
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);  // never truncates
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(path.c_str());
  return true;
}

void showPathError(const PathErrorTexts& texts, const std::string& path) {
  messageBox(texts.prefix + (path.empty() ? texts.unspecified : path) + texts.suffix, texts.caption,
             MB_OK | MB_ICONERROR);
}

void addPathErrorTexts(DialogRequest& r, const PathErrorTexts& texts) {
  r.texts.emplace_back("error-caption", texts.caption);
  r.texts.emplace_back("error-prefix", texts.prefix);
  r.texts.emplace_back("error-suffix", texts.suffix);
  r.texts.emplace_back("unspecified", texts.unspecified);
}

bool isCancel(const DialogResult& r) { return r.button == "cancel"; }

// "Browse" in the PFX dialogs: the open-file dialog, its path split.
void browseFile(const std::string& title, const std::string& filter, const std::string& startFolder,
                std::string& folder, std::string& name) {
  OpenFileParams p;
  p.title = title;
  p.filter = filter;
  p.initialFolder = startFolder;
  if (auto path = openFileDialog(p)) std::tie(folder, name) = splitPath(*path);
}

}  // namespace

// ---------------------------------------------------------------------------

DialogResult showDialog(const DialogRequest& request) {
  DialogResult r;
  try {
    r = currentDialogService()->show(request);
  } catch (...) {
    r = DialogResult{};  // a renderer that fails has not been answered
  }
  DialogResult out;
  out.button = r.button;
  const auto disabled = splitCommas(request.option("disabled-buttons"));
  if (out.button != "cancel" && (!contains(request.buttons, out.button) || contains(disabled, out.button)))
    out.button = "cancel";
  out.row = (r.row >= 0 && size_t(r.row) < request.rows.size()) ? r.row : -1;
  for (const auto& f : request.fields) {
    auto it = r.fields.find(f.name);
    std::string value = (it == r.fields.end() || f.readOnly) ? f.value : it->second;
    if (f.maxLength > 0 && !f.readOnly) value = utf8Prefix(value, size_t(f.maxLength));
    out.fields[f.name] = std::move(value);
  }
  return out;
}

int messageBox(const std::string& text, const std::string& caption, unsigned type) {
  static const std::vector<std::string> kButtons[] = {
      {"ok"}, {"ok", "cancel"}, {"abort", "retry", "ignore"}, {"yes", "no", "cancel"},
      {"yes", "no"}, {"retry", "cancel"}, {"cancel", "try-again", "continue"},
  };
  const unsigned buttons = type & MB_TYPEMASK;
  if (buttons >= std::size(kButtons)) return 0;

  DialogRequest r;
  r.kind = kind::kMessageBox;
  r.title = caption;
  r.texts.emplace_back("message", text);
  r.buttons = kButtons[buttons];
  const unsigned def = (type & MB_DEFMASK) >> 8;
  r.selected = def < r.buttons.size() ? int(def) : 0;
  switch (type & MB_ICONMASK) {
    case MB_ICONERROR: r.options["icon"] = "error"; break;
    case MB_ICONQUESTION: r.options["icon"] = "question"; break;
    case MB_ICONWARNING: r.options["icon"] = "warning"; break;
    case MB_ICONINFORMATION: r.options["icon"] = "information"; break;
    default: break;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", type);
  r.options["type"] = hex;

  const DialogResult res = showDialog(r);
  static const std::pair<const char*, int> kIds[] = {
      {"ok", IDOK},       {"cancel", IDCANCEL}, {"abort", IDABORT},        {"retry", IDRETRY},
      {"ignore", IDIGNORE}, {"yes", IDYES},     {"no", IDNO},              {"try-again", IDTRYAGAIN},
      {"continue", IDCONTINUE},
  };
  if (res.button != "cancel")
    for (const auto& [id, value] : kIds)
      if (res.button == id) return value;
  // Closed without an answer: Cancel when the box has one, else the safe answer.
  if (contains(r.buttons, "cancel")) return IDCANCEL;
  switch (buttons) {
    case MB_OK: return IDOK;
    case MB_YESNO: return IDNO;
    default: return IDABORT;  // MB_ABORTRETRYIGNORE
  }
}

std::optional<std::string> openFileDialog(const OpenFileParams& p) {
  DialogRequest r;
  r.kind = kind::kOpenFile;
  r.title = p.title;
  r.fields.push_back(plainField("path", "", p.initialName));
  addButton(r, "ok", p.okLabel);
  addButton(r, "cancel", p.cancelLabel);
  r.options["filter"] = p.filter;
  if (!p.defaultExt.empty()) r.options["default-ext"] = p.defaultExt;
  if (!p.initialFolder.empty()) r.options["initial-folder"] = p.initialFolder;
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%X", p.flags);
  r.options["flags"] = hex;
  const DialogResult res = showDialog(r);
  if (res.button != "ok") return std::nullopt;
  const std::string& path = res.fields.at("path");
  if (path.empty()) return std::nullopt;
  return path;
}

std::optional<std::string> chooseFolder(const std::string& title, const std::string& initialFolder) {
  DialogRequest r;
  r.kind = kind::kFolder;
  r.title = title;
  r.fields.push_back(plainField("folder", "", initialFolder));
  r.buttons = {"ok", "cancel"};
  if (!initialFolder.empty()) r.options["initial-folder"] = initialFolder;
  const DialogResult res = showDialog(r);
  if (res.button != "ok") return std::nullopt;
  const std::string& folder = res.fields.at("folder");
  if (folder.empty()) return std::nullopt;
  return folder;
}

std::optional<PfxFileAnswer> pfxFileDialog(const PfxFileParams& p) {
  PfxFileAnswer a{p.folder, p.name.empty() ? std::string("*.pfx") : p.name, p.password};
  const bool locked = arrivesLocked(p.password, p.minPasswordLength);
  for (int round = 0; round < kMaxRounds; ++round) {
    DialogRequest r;
    r.kind = kind::kPfxFile;
    r.title = p.title;
    r.resourceId = p.resourceId;
    r.texts.emplace_back("browse-title", p.browseTitle);
    addPathErrorTexts(r, p.notFound);
    r.fields.push_back(plainField("folder", p.pathLabel, a.folder));
    r.fields.push_back(plainField("name", "", a.name));
    r.fields.push_back(
        passwordField("password", p.passwordLabel, a.password, p.minPasswordLength, p.maxPasswordLength, locked));
    addButton(r, "browse", p.browseLabel);
    addButton(r, "ok", p.okLabel);
    addButton(r, "cancel", p.cancelLabel);
    r.options["browse"] = "open-file";
    r.options["filter"] = p.filter;
    r.options["validate"] = "file-exists";
    if (!p.browseFolder.empty()) r.options["initial-folder"] = p.browseFolder;

    const DialogResult res = showDialog(r);
    if (isCancel(res)) return std::nullopt;
    a.folder = res.fields.at("folder");
    a.name = res.fields.at("name");
    a.password = res.fields.at("password");
    if (res.button == "browse") {
      browseFile(p.browseTitle, p.filter, a.folder.empty() ? p.browseFolder : a.folder, a.folder, a.name);
      continue;
    }
    if (!fieldsValid(r, res)) continue;
    const std::string path = joinPath(a.folder, a.name);
    if (fileExists(path)) return a;
    showPathError(p.notFound, path);
  }
  return std::nullopt;
}

std::optional<PfxFileAnswer> exportFileDialog(const ExportFileParams& p) {
  PfxFileAnswer a{p.folder, p.name, p.password};
  if (!p.saveMode && a.name.empty()) a.name = "*.pfx";
  std::string confirm = p.password;
  const bool locked = arrivesLocked(p.password, p.minPasswordLength);
  for (int round = 0; round < kMaxRounds; ++round) {
    DialogRequest r;
    r.kind = kind::kExportFile;
    r.title = p.title;
    r.resourceId = p.resourceId;
    r.texts.emplace_back("hint", p.hint);
    r.texts.emplace_back("browse-title", p.browseTitle);
    addPathErrorTexts(r, p.error);
    r.fields.push_back(plainField("folder", p.pathLabel, a.folder));
    r.fields.push_back(plainField("name", "", a.name));
    r.fields.push_back(
        passwordField("password", p.passwordLabel, a.password, p.minPasswordLength, p.maxPasswordLength, locked));
    DialogField c =
        passwordField("confirm", p.confirmLabel, confirm, p.minPasswordLength, p.maxPasswordLength, locked);
    c.mustMatch = "password";
    r.fields.push_back(c);
    addButton(r, "browse", p.browseLabel);
    addButton(r, "ok", p.okLabel);
    addButton(r, "cancel", p.cancelLabel);
    r.options["mode"] = p.saveMode ? "save" : "open";
    r.options["browse"] = p.saveMode ? "folder" : "open-file";
    r.options["validate"] = p.saveMode ? "folder-writable" : "file-exists";
    if (!p.saveMode) r.options["filter"] = p.filter;
    if (!p.browseFolder.empty()) r.options["initial-folder"] = p.browseFolder;

    const DialogResult res = showDialog(r);
    if (isCancel(res)) return std::nullopt;
    a.folder = res.fields.at("folder");
    a.name = res.fields.at("name");
    a.password = res.fields.at("password");
    confirm = res.fields.at("confirm");
    const std::string start = a.folder.empty() ? p.browseFolder : a.folder;
    if (res.button == "browse") {
      if (p.saveMode) {
        if (auto folder = chooseFolder(p.browseTitle, start)) a.folder = *folder;
      } else {
        browseFile(p.browseTitle, p.filter, start, a.folder, a.name);
      }
      continue;
    }
    if (!fieldsValid(r, res)) continue;
    if (p.saveMode) {
      if (folderWritable(a.folder, a.name)) return a;
      showPathError(p.error, a.folder);
    } else {
      const std::string path = joinPath(a.folder, a.name);
      if (fileExists(path)) return a;
      showPathError(p.error, path);
    }
  }
  return std::nullopt;
}

std::optional<ChangePasswordAnswer> changePasswordDialog(const ChangePasswordParams& p) {
  ChangePasswordAnswer a{p.folder, p.name, p.oldPassword, p.newPassword, p.newPassword};
  const bool fileGiven = !p.name.empty() && fileExists(joinPath(p.folder, p.name));
  const bool oldLocked = arrivesLocked(p.oldPassword, p.minPasswordLength);
  const bool newLocked = arrivesLocked(p.newPassword, p.minPasswordLength);
  for (int round = 0; round < kMaxRounds; ++round) {
    DialogRequest r;
    r.kind = kind::kChangePassword;
    r.title = p.title;
    r.resourceId = p.resourceId;
    r.texts.emplace_back("browse-title", p.browseTitle);
    addPathErrorTexts(r, p.notFound);
    r.fields.push_back(plainField("folder", p.pathLabel, a.folder));
    r.fields.push_back(plainField("name", "", a.name));
    r.fields.push_back(passwordField("old-password", p.oldLabel, a.oldPassword, p.minPasswordLength,
                                     p.maxPasswordLength, oldLocked));
    r.fields.push_back(passwordField("new-password", p.newLabel, a.newPassword, p.minPasswordLength,
                                     p.maxPasswordLength, newLocked));
    r.fields.push_back(passwordField("confirm-password", p.confirmLabel, a.confirmPassword, p.minPasswordLength,
                                     p.maxPasswordLength, newLocked));
    addButton(r, "browse", p.browseLabel);
    addButton(r, "ok", p.okLabel);
    addButton(r, "cancel", p.cancelLabel);
    r.options["browse"] = "open-file";
    r.options["filter"] = p.filter;
    r.options["validate"] = "file-exists";
    if (fileGiven) r.options["disabled-buttons"] = "browse";
    if (!p.browseFolder.empty()) r.options["initial-folder"] = p.browseFolder;

    const DialogResult res = showDialog(r);
    if (isCancel(res)) return std::nullopt;
    a.folder = res.fields.at("folder");
    a.name = res.fields.at("name");
    a.oldPassword = res.fields.at("old-password");
    a.newPassword = res.fields.at("new-password");
    a.confirmPassword = res.fields.at("confirm-password");
    if (res.button == "browse") {
      browseFile(p.browseTitle, p.filter, a.folder.empty() ? p.browseFolder : a.folder, a.folder, a.name);
      continue;
    }
    if (!fieldsValid(r, res)) continue;
    const std::string path = joinPath(a.folder, a.name);
    if (fileExists(path)) return a;
    showPathError(p.notFound, path);
  }
  return std::nullopt;
}

std::optional<std::string> passwordDialog(const PasswordParams& p) {
  std::string value;
  for (int round = 0; round < kMaxRounds; ++round) {
    DialogRequest r;
    r.kind = kind::kPassword;
    r.title = p.title;
    r.resourceId = p.resourceId;
    r.fields.push_back(passwordField("password", p.label, value, p.minPasswordLength, p.maxPasswordLength, false));
    addButton(r, "ok", p.okLabel);
    addButton(r, "cancel", p.cancelLabel);
    const DialogResult res = showDialog(r);
    if (isCancel(res)) return std::nullopt;
    value = res.fields.at("password");
    if (fieldsValid(r, res)) return value;
  }
  return std::nullopt;
}

std::optional<SignerListAnswer> signerListDialog(const SignerListParams& p) {
  if (p.rows.empty()) return std::nullopt;
  DialogRequest r;
  r.kind = kind::kSignerList;
  r.title = p.title;
  r.resourceId = p.resourceId;
  r.columns = p.columns;
  r.rows = p.rows;
  r.selected = (p.selected >= 0 && size_t(p.selected) < p.rows.size()) ? p.selected : 0;
  std::string widths;
  for (int w : p.columnWidths) widths += (widths.empty() ? "" : ",") + std::to_string(w);
  if (!widths.empty()) r.options["column-widths"] = widths;
  addButton(r, "ok", p.okLabel);
  addButton(r, "cancel", p.cancelLabel);
  addButton(r, "certificate", p.certificateLabel);
  const DialogResult res = showDialog(r);
  if (isCancel(res)) return std::nullopt;
  SignerListAnswer a;
  a.viewCertificate = res.button == "certificate";
  a.row = res.row >= 0 ? res.row : 0;  // OK without a selection takes the first row
  return a;
}

bool signConfirmDialog(const SignConfirmParams& p) {
  DialogRequest r;
  r.kind = kind::kSignConfirm;
  r.title = p.title;
  r.resourceId = p.resourceId;
  r.texts.emplace_back("certificate-info", p.certificateInfoLabel);
  r.texts.emplace_back("validity", p.validityLabel);
  auto ro = [](const std::string& name, const std::string& label, const std::string& value) {
    DialogField f = plainField(name, label, value);
    f.readOnly = true;
    return f;
  };
  DialogField text = ro("text", p.plainTextLabel, p.text);
  text.multiline = true;
  r.fields.push_back(text);
  r.fields.push_back(ro("serial", p.serialLabel, p.serial));
  r.fields.push_back(ro("common-name", p.commonNameLabel, p.commonName));
  r.fields.push_back(ro("not-before", p.fromLabel, p.notBefore));
  r.fields.push_back(ro("not-after", p.toLabel, p.notAfter));
  addButton(r, "ok", p.okLabel);
  addButton(r, "cancel", p.cancelLabel);
  return showDialog(r).button == "ok";
}

std::optional<std::string> readerSelectDialog(const ReaderSelectParams& p) {
  std::vector<std::string> readers = p.readers;
  if (p.sorted) {
    // A sorted combo box: case-insensitive order.
    auto lower = [](std::string s) {
      for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
      return s;
    };
    std::stable_sort(readers.begin(), readers.end(),
                     [&](const std::string& x, const std::string& y) { return lower(x) < lower(y); });
  }
  if (readers.size() == 1) return readers[0];  // the dialog accepts a single reader by itself
  DialogRequest r;
  r.kind = kind::kReaderSelect;
  r.title = p.title;
  r.resourceId = p.resourceId;
  r.texts.emplace_back("label", p.label);
  for (const auto& name : readers) r.rows.push_back({name});
  r.selected = readers.empty() ? -1 : 0;
  addButton(r, "ok", p.okLabel);
  addButton(r, "cancel", p.cancelLabel);
  r.options["sorted"] = p.sorted ? "1" : "0";
  const DialogResult res = showDialog(r);
  if (isCancel(res)) return std::nullopt;
  if (readers.empty()) return std::string();
  return readers[res.row >= 0 ? size_t(res.row) : 0];
}

std::optional<std::string> keyUseDialog(const KeyUseParams& p) {
  std::string title = p.title;
  if (title.empty()) {
    if (p.creating) title = "Creating a new protected item";
    else if (p.operation == "sign") title = "Signing data with your private key";
    else if (p.operation == "decrypt") title = "Decrypting data with your private key";
    else if (p.operation == "export") title = "Exporting your private key";
    else title = "Using your private key";
  }
  const std::string message = !p.message.empty() ? p.message
                              : p.creating       ? "An application is creating a Protected item."
                                                 : "An application is requesting access to a Protected item.";
  std::string password, confirm;
  for (int round = 0; round < kMaxRounds; ++round) {
    DialogRequest r;
    r.kind = kind::kKeyUse;
    r.title = title;
    r.texts.emplace_back("message", message);
    r.texts.emplace_back("item-name", p.itemName);
    if (!p.description.empty()) r.texts.emplace_back("description", p.description);
    if (p.passwordRequired) {
      r.fields.push_back(passwordField("password", p.passwordLabel, password, 1, 0, false));
      if (p.creating) {
        DialogField c = passwordField("confirm", p.confirmLabel, confirm, 1, 0, false);
        c.mustMatch = "password";
        r.fields.push_back(c);
      }
    }
    addButton(r, "ok", p.okLabel);
    addButton(r, "cancel", p.cancelLabel);
    r.options["mode"] = p.creating ? "create" : "use";
    if (!p.operation.empty()) r.options["operation"] = p.operation;
    r.options["icon"] = "warning";
    const DialogResult res = showDialog(r);
    if (isCancel(res)) return std::nullopt;
    if (!p.passwordRequired) return std::string();
    password = res.fields.at("password");
    if (p.creating) confirm = res.fields.at("confirm");
    if (fieldsValid(r, res)) return password;
  }
  return std::nullopt;
}

std::optional<std::string> pinDialog(const PinParams& p) {
  std::string pin;
  for (int round = 0; round < kMaxRounds; ++round) {
    DialogRequest r;
    r.kind = kind::kPin;
    r.title = p.title;
    r.texts.emplace_back("message", p.message);
    if (!p.token.empty()) r.texts.emplace_back("token", p.token);
    r.fields.push_back(passwordField("pin", p.label, pin, std::max(1, p.minLength), p.maxLength, false));
    addButton(r, "ok", p.okLabel);
    addButton(r, "cancel", p.cancelLabel);
    const DialogResult res = showDialog(r);
    if (isCancel(res)) return std::nullopt;
    pin = res.fields.at("pin");
    if (fieldsValid(r, res)) return pin;
  }
  return std::nullopt;
}

bool rootInstallDialog(const RootInstallParams& p) {
  std::string message = p.message;
  if (message.empty())
    message =
        "You are about to install a certificate from a certification authority (CA) claiming to represent:\n\n"
        "{subject}\n\n"
        "The system cannot validate that the certificate is actually from \"{subject}\". You should confirm its "
        "origin by contacting \"{subject}\". The following number will assist you in this process:\n\n"
        "Thumbprint (sha1): {thumbprint}\n\n"
        "Warning:\n"
        "If you install this root certificate, the system will automatically trust any certificate issued by "
        "this CA. Installing a certificate with an unconfirmed thumbprint is a security risk. If you click "
        "\"Yes\" you acknowledge this risk.\n\n"
        "Do you want to install this certificate?";
  auto replaceAll = [&](const std::string& from, const std::string& to) {
    for (size_t pos = message.find(from); pos != std::string::npos; pos = message.find(from, pos + to.size()))
      message.replace(pos, from.size(), to);
  };
  replaceAll("{subject}", p.subject);
  replaceAll("{thumbprint}", p.thumbprint);

  DialogRequest r;
  r.kind = kind::kRootInstall;
  r.title = p.title;
  r.texts.emplace_back("message", message);
  r.texts.emplace_back("subject", p.subject);
  r.texts.emplace_back("thumbprint", p.thumbprint);
  addButton(r, "yes", p.yesLabel);
  addButton(r, "no", p.noLabel);
  r.selected = 0;
  r.options["icon"] = "warning";
  return showDialog(r).button == "yes";
}

void aboutDialog(const AboutParams& p) {
  DialogRequest r;
  r.kind = kind::kAbout;
  r.title = p.title;
  r.resourceId = p.resourceId;
  for (size_t i = 0; i < p.lines.size(); ++i) r.texts.emplace_back("line." + std::to_string(i + 1), p.lines[i]);
  addButton(r, "ok", p.okLabel);
  r.options["icon"] = "program";
  showDialog(r);
}

}  // namespace velmora::ui

#include "ncrypt/key_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <ncrypt.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace velmora::ncrypt {

namespace {

std::string homeDir() {
  const char* home = getenv("HOME");
  if (home && *home) return home;
  struct passwd pw;
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir) return found->pw_dir;
  return "/";
}

std::string dataHome() {
  const char* xdg = getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  return homeDir() + "/.local/share";
}

bool makeFolders(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return chmod(path.c_str(), 0700) == 0;
}

void wipe(std::string& s) {
  if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
  s.clear();
}

std::string b64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()));
  out.resize(size_t(n));
  return out;
}

bool unb64(const std::string& text, std::string& bytes) {
  if (text.empty() || text.size() % 4) return false;
  std::string out(text.size() / 4 * 3 + 1, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
  if (n < 0) {
    wipe(out);
    return false;
  }
  size_t pad = text.back() == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
  out.resize(size_t(n) - pad);
  bytes.swap(out);
  return true;
}

std::string serialise(const KeyFile& key) {
  nlohmann::ordered_json j = {{"format", 1},
                              {"provider", "Microsoft Software Key Storage Provider"},
                              {"name", key.name},
                              {"algorithm", key.algorithm},
                              {"legacyKeySpec", key.legacyKeySpec},
                              {"exportPolicy", key.exportPolicy},
                              {"uiPolicy",
                               {{"version", key.uiVersion},
                                {"flags", key.uiFlags},
                                {"creationTitle", key.creationTitle},
                                {"friendlyName", key.friendlyName},
                                {"description", key.description}}},
                              {"pkcs8", b64(key.pkcs8)}};
  // Names and titles come from callers: bytes that are not UTF-8 are
  // replaced rather than failing the whole key.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool parse(std::string& text, KeyFile& key) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object() || j.value("format", 0) != 1) return false;
  try {
    key.name = j.at("name").get<std::string>();
    key.algorithm = j.at("algorithm").get<std::string>();
    key.legacyKeySpec = j.value("legacyKeySpec", DWORD(0));
    key.exportPolicy = j.at("exportPolicy").get<DWORD>();
    const auto& ui = j.at("uiPolicy");
    key.uiVersion = ui.value("version", DWORD(0));
    key.uiFlags = ui.value("flags", DWORD(0));
    key.creationTitle = ui.value("creationTitle", std::string());
    key.friendlyName = ui.value("friendlyName", std::string());
    key.description = ui.value("description", std::string());
    std::string encoded = j.at("pkcs8").get<std::string>();
    const bool ok = unb64(encoded, key.pkcs8);
    wipe(encoded);
    auto& stored = j["pkcs8"].get_ref<std::string&>();
    wipe(stored);
    return ok;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

bool writeTemp(const std::string& path, const std::string& data, std::string& tempPath) {
  tempPath = path + ".tmp-XXXXXX";
  int fd = mkstemp(tempPath.data());
  if (fd < 0) return false;
  fchmod(fd, 0600);
  bool ok = true;
  for (size_t done = 0; ok && done < data.size();) {
    ssize_t w = write(fd, data.data() + done, data.size() - done);
    if (w <= 0) ok = false;
    else done += size_t(w);
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (!ok) unlink(tempPath.c_str());
  return ok;
}

bool readAll(const std::string& path, std::string& data) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[4096];
  bool ok = true;
  for (;;) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0) ok = false;
    if (r <= 0) break;
    data.append(buf, size_t(r));
  }
  OPENSSL_cleanse(buf, sizeof buf);
  const int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

}  // namespace

KeyFile::~KeyFile() { wipe(pkcs8); }

std::string keyFolder() { return dataHome() + "/velmora/Crypto/Keys"; }

std::string keyFilePath(const std::string& name) {
  std::string folded = name;
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(folded.data(), folded.size(), md, &n, EVP_sha1(), nullptr);
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < n; ++i) {
    hex += digits[md[i] >> 4];
    hex += digits[md[i] & 15];
  }
  return keyFolder() + "/" + hex + ".key";
}

bool keyFileExists(const std::string& name) {
  struct stat st{};
  return stat(keyFilePath(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

DWORD loadKeyFile(const std::string& path, KeyFile& key) {
  std::string data;
  if (!readAll(path, data)) return errno == ENOENT ? DWORD(NTE_BAD_KEYSET) : DWORD(NTE_FAIL);
  const bool ok = parse(data, key);
  wipe(data);
  return ok ? 0 : DWORD(NTE_BAD_DATA);
}

DWORD saveKeyFile(const KeyFile& key, bool replace) {
  if (!makeFolders(keyFolder())) return DWORD(NTE_FAIL);
  const std::string path = keyFilePath(key.name);
  std::string data = serialise(key), temp;
  const bool written = writeTemp(path, data, temp);
  wipe(data);
  if (!written) return DWORD(NTE_FAIL);
  int rc, err;
  if (replace) {
    rc = rename(temp.c_str(), path.c_str());
    err = errno;
  } else {
    // link() refuses an existing name atomically: of two processes creating
    // the same key only one succeeds.
    rc = link(temp.c_str(), path.c_str());
    err = errno;
  }
  if (rc != 0 || !replace) unlink(temp.c_str());
  if (rc != 0) return err == EEXIST ? DWORD(NTE_EXISTS) : DWORD(NTE_FAIL);
  return 0;
}

DWORD deleteKeyFile(const std::string& name) {
  if (unlink(keyFilePath(name).c_str()) == 0) return 0;
  return errno == ENOENT ? DWORD(NTE_BAD_KEYSET) : DWORD(NTE_FAIL);
}

std::vector<std::string> listKeyFiles() {
  std::vector<std::string> files;
  const std::string folder = keyFolder();
  DIR* dir = opendir(folder.c_str());
  if (!dir) return files;
  while (struct dirent* e = readdir(dir)) {
    std::string n = e->d_name;
    if (n.size() == 44 && n.compare(40, 4, ".key") == 0) files.push_back(folder + "/" + n);
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace velmora::ncrypt

#include "base/private_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace velmora::platform {

std::string userHomeDir() {
  const char* home = getenv("HOME");
  if (home && *home) return home;
  struct passwd pw;
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir) return found->pw_dir;
  return "/";
}

std::string userDataHome() {
  const char* xdg = getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  return userHomeDir() + "/.local/share";
}

bool makePrivateFolders(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return chmod(path.c_str(), 0700) == 0;
}

bool writePrivateTemp(const std::string& path, const std::string& data, std::string& tempPath) {
  tempPath = path + ".tmp-XXXXXX";
  int fd = mkstemp(tempPath.data());
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0600) == 0;
  for (size_t done = 0; ok && done < data.size();) {
    ssize_t w = write(fd, data.data() + done, data.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) ok = false;
    else done += size_t(w);
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (!ok) unlink(tempPath.c_str());
  return ok;
}

bool readWholeFile(const std::string& path, std::string& data) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[4096];
  bool ok = true;
  for (;;) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
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

std::vector<std::string> listKeyFiles(const std::string& folder) {
  std::vector<std::string> files;
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

void wipeString(std::string& s) {
  if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
  s.clear();
}

std::string base64Encode(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()));
  out.resize(size_t(n));
  return out;
}

bool base64Decode(const std::string& text, std::string& bytes) {
  if (text.size() % 4) return false;
  std::string out(text.size() / 4 * 3 + 1, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
  if (n < 0) {
    wipeString(out);
    return false;
  }
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = text.size() > 1 && text[text.size() - 2] == '=' ? 2 : 1;
  out.resize(size_t(n) - pad);
  bytes.swap(out);
  wipeString(out);
  return true;
}

}  // namespace velmora::platform

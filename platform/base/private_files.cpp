#include "base/private_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <set>

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

bool writePrivateTemp(const std::string& path, const std::string& data, std::string& tempPath, bool sync) {
  tempPath = path + ".tmp-" + std::to_string(getpid()) + "-XXXXXX";
  int fd = mkstemp(tempPath.data());
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0600) == 0;
  for (size_t done = 0; ok && done < data.size();) {
    ssize_t w = write(fd, data.data() + done, data.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) ok = false;
    else done += size_t(w);
  }
  if (ok && sync && fsync(fd) != 0) ok = false;
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

namespace {

struct HeldFile {
  std::string provisional;
  bool replace = false;
  NewKeyScope* scope = nullptr;
};

std::mutex g_heldMutex;
std::map<std::string, HeldFile> g_held;  // by final path
thread_local NewKeyScope* t_scope = nullptr;

// True when `text` from `at` is a process id that no longer runs; `end`
// gets the position after its digits.
bool deadPid(const std::string& text, size_t at, size_t& end) {
  end = at;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9' && end - at < 10) ++end;
  if (end == at || (end < text.size() && text[end] >= '0' && text[end] <= '9')) return false;
  const long pid = strtol(text.substr(at, end - at).c_str(), nullptr, 10);
  if (pid <= 0 || pid == long(getpid())) return false;
  // EPERM: alive under another user; only ESRCH says gone.
  return kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

NewKeyScope::NewKeyScope() : outer_(t_scope) { t_scope = this; }

NewKeyScope::~NewKeyScope() {
  t_scope = outer_;
  std::lock_guard<std::mutex> lock(g_heldMutex);
  for (auto it = g_held.begin(); it != g_held.end();) {
    if (it->second.scope != this) {
      ++it;
      continue;
    }
    unlink(it->second.provisional.c_str());
    it = g_held.erase(it);
  }
}

bool NewKeyScope::commit() {
  std::lock_guard<std::mutex> lock(g_heldMutex);
  bool ok = true;
  for (auto it = g_held.begin(); it != g_held.end();) {
    if (it->second.scope != this) {
      ++it;
      continue;
    }
    const HeldFile& held = it->second;
    if (ok) {
      if (held.replace) {
        ok = rename(held.provisional.c_str(), it->first.c_str()) == 0;
      } else {
        // link() refuses a name taken meanwhile instead of replacing it.
        ok = link(held.provisional.c_str(), it->first.c_str()) == 0;
      }
      if (ok) {
        // The new name must reach the disk before the caller goes on.
        const std::string folder = it->first.substr(0, it->first.rfind('/'));
        int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
          fsync(dfd);
          close(dfd);
        }
      }
    }
    unlink(held.provisional.c_str());
    it = g_held.erase(it);
  }
  return ok;
}

bool holdingNewKeys() { return t_scope != nullptr; }

std::string holdNewKeyFile(const std::string& finalPath, bool replace) {
  if (!t_scope) return std::string();
  std::lock_guard<std::mutex> lock(g_heldMutex);
  if (g_held.count(finalPath)) return std::string();
  HeldFile held;
  held.provisional = finalPath + ".new-" + std::to_string(getpid());
  held.replace = replace;
  held.scope = t_scope;
  g_held.emplace(finalPath, held);
  return held.provisional;
}

std::string keyFileInUse(const std::string& finalPath) {
  std::lock_guard<std::mutex> lock(g_heldMutex);
  auto it = g_held.find(finalPath);
  return it == g_held.end() ? finalPath : it->second.provisional;
}

bool dropHeldKeyFile(const std::string& finalPath) {
  std::lock_guard<std::mutex> lock(g_heldMutex);
  return g_held.erase(finalPath) == 1;
}

void sweepKeyFolder(const std::string& folder) {
  static std::mutex mutex;
  static std::set<std::string> swept;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!swept.insert(folder).second) return;
  }
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  const time_t now = time(nullptr);
  while (struct dirent* e = readdir(dir)) {
    const std::string n = e->d_name;
    bool remove = false;
    size_t end = 0;
    if (size_t at = n.rfind(".tmp-"); at != std::string::npos) {
      if (n.find('-', at + 5) != std::string::npos) {
        remove = deadPid(n, at + 5, end) && end < n.size() && n[end] == '-';
      } else {
        // An older writer's name without its process id: a write takes
        // moments, so one this old is a leftover.
        struct stat st{};
        remove = stat((folder + "/" + n).c_str(), &st) == 0 && now - st.st_mtime > 600;
      }
    } else if (size_t mark = n.rfind(".new-"); mark != std::string::npos) {
      remove = deadPid(n, mark + 5, end) && end == n.size();
    }
    if (remove) unlink((folder + "/" + n).c_str());
  }
  closedir(dir);
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

#include "single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace velmora::host {

namespace {

// A folder is private when it is ours, a real folder and closed to others.
bool isPrivateFolder(const std::string& path, std::string* error) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (error) *error = path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    if (error) *error = path + " is not a folder private to this user";
    return false;
  }
  return true;
}

}  // namespace

std::string SingleInstance::lockFolder(std::string* error) {
  // The session's runtime folder when there is one; otherwise a folder of
  // our own under /tmp, refused if someone else made it first.
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime && isPrivateFolder(runtime, nullptr)) return runtime;
  std::string dir = "/tmp/velmora-" + std::to_string(geteuid());
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error) *error = dir + ": " + strerror(errno);
    return {};
  }
  if (!isPrivateFolder(dir, error)) return {};
  return dir;
}

SingleInstance::Outcome SingleInstance::acquire(const std::string& name, std::unique_ptr<SingleInstance>& guard,
                                                std::string* error) {
  guard.reset();
  const std::string dir = lockFolder(error);
  if (dir.empty()) return Outcome::Failed;
  const std::string path = dir + "/" + name + ".lock";
  // Close-on-exec: a child (the web processes, a started installer) must
  // not keep the program "running" after it has ended.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (error) *error = path + ": " + strerror(errno);
    return Outcome::Failed;
  }
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int err = errno;
    close(fd);
    if (err == EWOULDBLOCK) return Outcome::AlreadyRunning;
    if (error) *error = path + ": " + strerror(err);
    return Outcome::Failed;
  }
  guard.reset(new SingleInstance(fd));
  return Outcome::Acquired;
}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace velmora::host

#include "app/host_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace velmora::host {

void hostLog(const std::string& event, nlohmann::json fields) {
  static const char* path = std::getenv("VELMORA_HOST_LOG");
  if (!path || !*path) return;
  fields["event"] = event;
  fields["pid"] = getpid();
  fields["ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  const std::string line = fields.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (write(fd, line.data(), line.size()) < 0) {
  }
  close(fd);
}

}  // namespace velmora::host

// The single-instance guard: one running program per user session. A lock
// held on a file in the user's private runtime folder plays the part of
// the named mutex; it goes away with the process, however it ends.
#pragma once

#include <memory>
#include <string>

namespace velmora::host {

class SingleInstance {
 public:
  enum class Outcome { Acquired, AlreadyRunning, Failed };

  // Tries to become the one instance named `name`. On Acquired, `guard`
  // holds the lock until it is destroyed; `error` explains Failed.
  static Outcome acquire(const std::string& name, std::unique_ptr<SingleInstance>& guard, std::string* error = nullptr);

  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // The folder that holds the lock files of this user.
  static std::string lockFolder(std::string* error = nullptr);

 private:
  explicit SingleInstance(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace velmora::host

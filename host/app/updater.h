// Self-update: the download of a newer installer, the check of its
// publisher's signature and its start.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace velmora::host {

// Results of the download and start (not passed to the page).
inline constexpr int kUpdateStarted = 0;
inline constexpr int kUpdateFailed = 1000;
inline constexpr int kUpdateNoConnection = 1002;

struct UpdateOptions {
  // The publisher's public key (PEM, Ed25519 or RSA of at least 3072 bits).
  std::string publisherKeyPem;
  // Trust anchors for the server certificate (empty: libcurl's bundle).
  std::string caFile;
  long connectTimeoutMs = 3000;
  long totalTimeoutMs = 100000;
  // Where the private download folder is made (empty: the session's
  // runtime folder when it is private to the user, else $TMPDIR or /tmp).
  std::string tempFolder;
  // Progress of the installer's download; false stops it.
  std::function<bool(long long now, long long total)> progress;
  // Called with the process id of a started installer: waits until it is
  // ready for input and brings its window to the front.
  std::function<void(pid_t)> started;
};

struct UpdateOutcome {
  int code = kUpdateFailed;
  // Why nothing was installed, for the user (the signature was missing or
  // wrong); empty for other failures, which only the page learns of.
  std::string refusal;
  std::string detail;     // for the host log
  std::string path;       // the installer's path once written
  pid_t pid = 0;          // the started installer, 0 when opened by the desktop
};

UpdateOutcome DownloadAndRunInstaller(const std::string& url, const UpdateOptions& options);

// Whether `signature` is the publisher's signature of `data`: Ed25519, or
// RSA PKCS#1 v1.5 with SHA-256. False for a key of another kind.
bool verifyPublisherSignature(const std::string& publicKeyPem, const std::string& data, const std::string& signature);

// The installer's file name for a download address: the fixed name with the
// address's extension when it has a short one (".exe" otherwise).
std::string installerFileName(const std::string& url);

// The key carried in this build (VELMORA_PUBLISHER_KEY at configure time).
const char* builtInPublisherKey();

}  // namespace velmora::host

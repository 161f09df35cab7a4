#include "app/updater.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include "app/http_client.h"
#include "app/publisher_key.h"
#include "app/texts.h"
#include "shell/shell.h"

extern char** environ;

namespace velmora::host {

namespace {

// Largest installer and signature the host takes.
constexpr size_t kMaxInstaller = size_t(512) << 20;
constexpr size_t kMaxSignature = 16384;

bool privateFolder(const char* path) {
  struct stat st {};
  return path && *path && lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 022) == 0;
}

std::string baseTempFolder(const UpdateOptions& o) {
  if (!o.tempFolder.empty()) return o.tempFolder;
  if (const char* run = getenv("XDG_RUNTIME_DIR"); privateFolder(run)) return run;
  if (const char* tmp = getenv("TMPDIR"); tmp && *tmp) return tmp;
  return "/tmp";
}

// Only https leaves the machine; plain http is taken for the loopback
// addresses alone (the demo portal on the user's own machine).
bool allowedAddress(const std::string& url, std::string& why) {
  CURLU* u = curl_url();
  if (!u || curl_url_set(u, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    if (u) curl_url_cleanup(u);
    why = "not an address";
    return false;
  }
  char* scheme = nullptr;
  char* host = nullptr;
  curl_url_get(u, CURLUPART_SCHEME, &scheme, 0);
  curl_url_get(u, CURLUPART_HOST, &host, 0);
  const std::string s = scheme ? scheme : "", h = host ? host : "";
  curl_free(scheme);
  curl_free(host);
  curl_url_cleanup(u);
  if (s == "https") return true;
  if (s == "http" && (h == "127.0.0.1" || h == "localhost" || h == "[::1]")) return true;
  why = "the address must be https";
  return false;
}

bool isProgram(const std::string& data) {
  return (data.size() >= 4 && memcmp(data.data(), "\x7f" "ELF", 4) == 0) ||
         (data.size() >= 2 && data[0] == '#' && data[1] == '!');
}

// A fresh folder that only this user can enter, and the file in it,
// created new (never an existing file or link) with mode 0700.
bool writePrivate(const std::string& base, const std::string& name, const std::string& data, std::string& path,
                  std::string& why) {
  std::string tmpl = base;
  if (tmpl.empty() || tmpl.back() != '/') tmpl += '/';
  tmpl += "velmora-update-XXXXXX";
  if (tmpl.size() >= PATH_MAX || tmpl.size() + 1 + name.size() >= PATH_MAX) {
    why = "the temporary folder's path is too long";
    return false;
  }
  if (!mkdtemp(tmpl.data())) {
    why = tmpl + ": " + strerror(errno);
    return false;
  }
  path = tmpl + "/" + name;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
  if (fd < 0) {
    why = path + ": " + strerror(errno);
    rmdir(tmpl.c_str());
    return false;
  }
  size_t done = 0;
  bool ok = fchmod(fd, 0700) == 0;
  while (ok && done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += size_t(n);
  }
  if (close(fd) != 0) ok = false;
  if (!ok) {
    why = path + ": " + strerror(errno);
    unlink(path.c_str());
    rmdir(tmpl.c_str());
  }
  return ok;
}

}  // namespace

const char* builtInPublisherKey() { return kPublisherKeyPem; }

std::string installerFileName(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  const size_t slash = path.rfind('/');
  const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = last.rfind('.');
  std::string ext = ".exe";
  if (dot != std::string::npos && dot > 0 && last.size() - dot <= 10) {
    ext = last.substr(dot);
    for (char c : ext.substr(1))
      if (!isalnum(static_cast<unsigned char>(c))) ext = ".exe";
  }
  return std::string(text::kInstallerName) + ext;
}

bool verifyPublisherSignature(const std::string& pem, const std::string& data, const std::string& signature) {
  if (pem.empty() || signature.empty()) return false;
  BIO* bio = BIO_new_mem_buf(pem.data(), int(pem.size()));
  EVP_PKEY* key = bio ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  if (!key) return false;
  const EVP_MD* md = nullptr;
  bool usable = false;
  if (EVP_PKEY_id(key) == EVP_PKEY_ED25519) {
    usable = true;  // Ed25519 signs the message itself
  } else if (EVP_PKEY_id(key) == EVP_PKEY_RSA && EVP_PKEY_get_bits(key) >= 3072) {
    md = EVP_sha256();
    usable = true;
  }
  bool ok = false;
  EVP_MD_CTX* ctx = usable ? EVP_MD_CTX_new() : nullptr;
  if (ctx && EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key) == 1)
    ok = EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return ok;
}

UpdateOutcome DownloadAndRunInstaller(const std::string& url, const UpdateOptions& o) {
  UpdateOutcome out;
  if (!allowedAddress(url, out.detail)) return out;

  HttpRequest request;
  request.url = url;
  request.userAgent = text::kProgramName;
  request.protocols = "http,https";
  request.connectTimeoutMs = o.connectTimeoutMs;
  request.totalTimeoutMs = o.totalTimeoutMs;
  request.caFile = o.caFile;
  request.maxBody = kMaxInstaller;
  request.progress = o.progress;
  const HttpResponse installer = httpGet(request);
  if (!installer.ok()) {
    out.code = isConnectFailure(installer.curlCode) ? kUpdateNoConnection : kUpdateFailed;
    out.detail = installer.error;
    return out;
  }
  // Only a 200 carries the installer; a redirect or an error page is not one.
  if (installer.status != 200 || installer.body.empty()) {
    out.detail = "HTTP status " + std::to_string(installer.status);
    return out;
  }

  // The publisher's detached signature, beside the installer.
  request.url = url + ".sig";
  request.maxBody = kMaxSignature;
  request.progress = nullptr;
  const HttpResponse signature = httpGet(request);
  if (!signature.ok() || signature.status != 200 || signature.body.empty()) {
    out.refusal = text::kUpdateUnsigned;
    out.detail = signature.ok() ? "signature: HTTP status " + std::to_string(signature.status)
                                : "signature: " + signature.error;
    return out;
  }
  if (!verifyPublisherSignature(o.publisherKeyPem, installer.body, signature.body)) {
    out.refusal = text::kUpdateBadSignature;
    out.detail = "the signature does not verify with the publisher's key";
    return out;
  }

  if (!writePrivate(baseTempFolder(o), installerFileName(url), installer.body, out.path, out.detail)) return out;

  if (isProgram(installer.body)) {
    const char* argv[] = {out.path.c_str(), nullptr};
    pid_t pid = 0;
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group: signals meant for the host do not reach it.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const int rc = posix_spawn(&pid, out.path.c_str(), nullptr, &attr, const_cast<char**>(argv), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
      out.detail = out.path + ": " + strerror(rc);
      return out;
    }
    out.pid = pid;
    // The host keeps running beside the installer; its end is collected
    // so that it leaves no zombie.
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
    if (o.started) o.started(pid);
  } else if (!velmora::shell::openWithDefaultHandler(out.path)) {
    out.detail = "the desktop has no handler for " + out.path;
    return out;
  }
  out.code = kUpdateStarted;
  return out;
}

}  // namespace velmora::host

// A loopback HTTPS server for tests of the host's downloads: a test CA
// made with the openssl command, server certificates for 127.0.0.1 or for
// another name, and routes answered by a function. One connection at a
// time, each answer closes it.
#pragma once

#include <netinet/in.h>
#include <csignal>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "test_support.h"

namespace vtest {

// A test CA and two server certificates in `dir`: "good" for 127.0.0.1 and
// localhost, "wrong" for other.example only. False when openssl failed.
inline bool makeTestCa(const std::string& dir) {
  auto run = [](const std::vector<std::string>& argv) { return runCommand(argv).status == 0; };
  const std::string ca = dir + "/ca";
  if (!run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
            "-subj", "/CN=Velmora Test Update CA", "-keyout", ca + ".key", "-out", ca + ".pem", "-addext",
            "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"}))
    return false;
  for (auto [name, san] : {std::pair<std::string, std::string>{"good", "IP:127.0.0.1,DNS:localhost"},
                           {"wrong", "DNS:other.example"}}) {
    const std::string base = dir + "/" + name;
    writeFile(base + ".ext", "subjectAltName=" + san + "\nextendedKeyUsage=serverAuth\n");
    if (!run({"openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj",
              "/CN=" + name, "-keyout", base + ".key", "-out", base + ".csr"}) ||
        !run({"openssl", "x509", "-req", "-in", base + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
              "-CAcreateserial", "-days", "2", "-extfile", base + ".ext", "-out", base + ".pem"}))
      return false;
  }
  return true;
}

class HttpsTestServer {
 public:
  struct Answer {
    int status = 200;
    std::string body;
    std::map<std::string, std::string> headers;
    // A slow server: the body goes out in 64 KiB pieces with this pause
    // between them.
    int pauseMs = 0;
  };
  using Handler = std::function<Answer(const std::string& path)>;

  HttpsTestServer(Handler handler) : handler_(std::move(handler)) {}
  ~HttpsTestServer() { stop(); }

  // Serves with the certificate `certPem` and key `keyPem` on a free
  // loopback port.
  bool start(const std::string& certPem, const std::string& keyPem) {
    // A client that gives up (a refused redirect, a wrong host name) closes
    // while the answer is written; SSL_write on a closed socket would end
    // the test process with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_ || SSL_CTX_use_certificate_file(ctx_, certPem.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, keyPem.c_str(), SSL_FILETYPE_PEM) != 1)
      return false;
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 8) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return false;
    port_ = ntohs(a.sin_port);
    running_ = true;
    thread_ = std::thread([this] { loop(); });
    return true;
  }

  void stop() {
    if (running_.exchange(false) && thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (ctx_) SSL_CTX_free(ctx_);
    ctx_ = nullptr;
  }

  int port() const { return port_; }
  std::string url(const std::string& path, const std::string& host = "127.0.0.1") const {
    return "https://" + host + ":" + std::to_string(port_) + path;
  }
  // Requests served so far, by path.
  int hits(const std::string& path) {
    std::lock_guard lock(mutex_);
    return hits_[path];
  }

 private:
  void loop() {
    while (running_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      timeval tv{5, 0};
      setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      SSL* ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, c);
      if (SSL_accept(ssl) == 1) serve(ssl);
      SSL_free(ssl);
      close(c);
      ERR_clear_error();
    }
  }

  void serve(SSL* ssl) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      const int n = SSL_read(ssl, buf, sizeof buf);
      if (n <= 0) return;
      request.append(buf, size_t(n));
    }
    const size_t sp = request.find(' '), sp2 = request.find(' ', sp + 1);
    const std::string path = request.substr(sp + 1, sp2 - sp - 1);
    {
      std::lock_guard lock(mutex_);
      ++hits_[path];
    }
    const Answer a = handler_(path);
    std::string out = "HTTP/1.1 " + std::to_string(a.status) + " X\r\nContent-Length: " + std::to_string(a.body.size()) +
                      "\r\nConnection: close\r\n";
    for (const auto& [k, v] : a.headers) out += k + ": " + v + "\r\n";
    out += "\r\n";
    if (a.pauseMs == 0) {
      out += a.body;
      SSL_write(ssl, out.data(), int(out.size()));
    } else {
      if (SSL_write(ssl, out.data(), int(out.size())) <= 0) return;
      for (size_t at = 0; at < a.body.size() && running_; at += 65536) {
        const size_t n = std::min<size_t>(65536, a.body.size() - at);
        if (SSL_write(ssl, a.body.data() + at, int(n)) <= 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(a.pauseMs));
      }
    }
    SSL_shutdown(ssl);
  }

  Handler handler_;
  SSL_CTX* ctx_ = nullptr;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> running_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::map<std::string, int> hits_;
};

}  // namespace vtest

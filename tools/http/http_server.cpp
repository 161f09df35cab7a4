#include "http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace velmora::http {

const char* reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

bool Server::start(const std::string& address, int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 ||
      bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd_, 64) != 0) {
    close(fd_);
    fd_ = -1;
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  running_ = true;
  thread_ = std::thread([this] { acceptLoop(); });
  return true;
}

void Server::stop() {
  if (!running_.exchange(false)) return;
  shutdown(fd_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  close(fd_);
  fd_ = -1;
}

namespace {

// Bodies larger than this are refused before they are read.
constexpr size_t kMaxBody = 1u << 20;

void serve(int c, const Server::Handler& handler) {
  std::string data;
  char buf[16384];
  size_t headerEnd = std::string::npos;
  while (headerEnd == std::string::npos) {
    pollfd p{c, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return;
    ssize_t n = recv(c, buf, sizeof buf, 0);
    if (n <= 0) return;
    data.append(buf, size_t(n));
    headerEnd = data.find("\r\n\r\n");
    if (data.size() > (1u << 20)) return;
  }
  Request req;
  std::string head = data.substr(0, headerEnd);
  size_t lineEnd = head.find("\r\n");
  std::string first = head.substr(0, lineEnd);
  size_t sp1 = first.find(' '), sp2 = first.rfind(' ');
  if (sp1 == std::string::npos || sp2 == sp1) return;
  req.method = first.substr(0, sp1);
  req.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
  size_t q = req.target.find('?');
  req.path = req.target.substr(0, q);
  if (q != std::string::npos) req.query = req.target.substr(q + 1);
  size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
  while (pos < head.size()) {
    size_t e = head.find("\r\n", pos);
    if (e == std::string::npos) e = head.size();
    std::string line = head.substr(pos, e - pos);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return std::tolower(ch); });
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(" \t"));
      req.headers[name] = value;
    }
    pos = e + 2;
  }
  req.body = data.substr(headerEnd + 4);
  size_t want = 0;
  int refused = 0;
  if (auto it = req.headers.find("content-length"); it != req.headers.end()) {
    const std::string& v = it->second;
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos) refused = 400;
    else want = std::stoul(v);
    if (want > kMaxBody) refused = 413;
  }
  while (!refused && req.body.size() < want) {
    pollfd p{c, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return;
    ssize_t n = recv(c, buf, sizeof buf, 0);
    if (n <= 0) return;
    req.body.append(buf, size_t(n));
  }
  Response res;
  if (refused) {
    res.status = refused;
    res.contentType = "text/plain; charset=utf-8";
    res.body = refused == 413 ? "request body too large\n" : "bad Content-Length\n";
  } else {
    try {
      res = handler(req);
    } catch (...) {
      res = Response{};
      res.status = 500;
      res.contentType = "text/plain; charset=utf-8";
      res.body = "internal error\n";
    }
  }
  std::string out = "HTTP/1.1 " + std::to_string(res.status) + " " + reasonPhrase(res.status) + "\r\n";
  out += "Content-Type: " + res.contentType + "\r\n";
  out += "Content-Length: " + std::to_string(res.body.size()) + "\r\n";
  out += "Cache-Control: no-store\r\nConnection: close\r\n";
  for (const auto& [k, v] : res.headers) out += k + ": " + v + "\r\n";
  out += "\r\n";
  if (req.method != "HEAD") out += res.body;
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = send(c, out.data() + done, out.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += size_t(n);
  }
  shutdown(c, SHUT_WR);
}

}  // namespace

void Server::acceptLoop() {
  while (running_) {
    int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      if (!running_) break;
      if (errno == EINTR) continue;
      usleep(1000);
      continue;
    }
    std::thread([c, handler = handler_] {
      serve(c, handler);
      close(c);
    }).detach();
  }
}

}  // namespace velmora::http

// A small HTTP/1.1 server on a loopback address, for the demo portal and
// the browser tests: one thread accepts, one thread per connection, every
// response closes its connection.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace velmora::http {

struct Request {
  std::string method, target, path, query, body;
  std::map<std::string, std::string> headers;  // names in lower case
};

struct Response {
  int status = 200;
  std::string contentType = "text/html; charset=utf-8";
  std::string body;
  std::map<std::string, std::string> headers;
};

class Server {
 public:
  using Handler = std::function<Response(const Request&)>;
  explicit Server(Handler handler) : handler_(std::move(handler)) {}
  ~Server() { stop(); }
  // Listens on address:port (port 0: a free one). False on failure.
  bool start(const std::string& address = "127.0.0.1", int port = 0);
  void stop();
  int port() const { return port_; }

 private:
  void acceptLoop();
  Handler handler_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

// The reason phrase of a status code.
const char* reasonPhrase(int status);

}  // namespace velmora::http

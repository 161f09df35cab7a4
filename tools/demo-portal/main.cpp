// velmora-demo-portal: a small loopback web server with pages that use the
// page bridge and the script bridge library.
//   velmora-demo-portal [--port N] [--library PATH] [--port-file FILE]
// Prints "listening on http://127.0.0.1:N/" and serves until it is stopped.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "http_server.h"
#include "pages.h"

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

volatile std::sig_atomic_t stopRequested = 0;

}  // namespace

int main(int argc, char** argv) {
  int port = 8750;
  std::string library, portFile;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--port" && i + 1 < argc) port = std::atoi(argv[++i]);
    else if (a == "--library" && i + 1 < argc) library = argv[++i];
    else if (a == "--port-file" && i + 1 < argc) portFile = argv[++i];
    else {
      fprintf(stderr, "usage: %s [--port N] [--library PATH] [--port-file FILE]\n", argv[0]);
      return 2;
    }
  }
  if (library.empty()) {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    library = (exe.parent_path() / "velmora-bridge.js").string();
  }
  const std::string script = readAll(library);
  if (script.empty()) {
    fprintf(stderr, "velmora-demo-portal: cannot read the script library %s\n", library.c_str());
    return 1;
  }
  velmora::http::Server server([&](const velmora::http::Request& req) {
    velmora::http::Response res;
    if (req.path == "/" || req.path == "/fenroCore/client/home") {
      res.body = velmora::demo::kHomePage;
    } else if (req.path == "/frame") {
      res.body = velmora::demo::kFramePage;
    } else if (req.path == "/velmora-bridge.js") {
      res.contentType = "text/javascript";
      res.body = script;
    } else {
      res.status = 404;
      res.body = "<!DOCTYPE html><title>404</title><p>Not found";
    }
    return res;
  });
  if (!server.start("127.0.0.1", port)) {
    fprintf(stderr, "velmora-demo-portal: cannot listen on 127.0.0.1:%d: %s\n", port, strerror(errno));
    return 1;
  }
  printf("listening on http://127.0.0.1:%d/\n", server.port());
  fflush(stdout);
  if (!portFile.empty()) {
    std::ofstream(portFile) << server.port() << "\n";
  }
  std::signal(SIGTERM, [](int) { stopRequested = 1; });
  std::signal(SIGINT, [](int) { stopRequested = 1; });
  while (!stopRequested) pause();
  server.stop();
  return 0;
}

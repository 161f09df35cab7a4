// velmora-demo-portal: a small loopback web server with pages that use the
// page bridge and the script bridge library.
//   velmora-demo-portal [--port N] [--library PATH] [--port-file FILE] [--ca-dir DIR] [--publisher-key PEM]
// Prints "listening on http://127.0.0.1:N/" and serves until it is stopped.
// Its demo CA lives in DIR (made at the first start).
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "http_server.h"
#include "demo_ca.h"
#include "portal.h"

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
  std::string library, portFile, caDir;
#ifdef VELMORA_DEMO_PUBLISHER_KEY
  std::string publisherKey = VELMORA_DEMO_PUBLISHER_KEY;
#else
  std::string publisherKey;
#endif
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--port" && i + 1 < argc) port = std::atoi(argv[++i]);
    else if (a == "--library" && i + 1 < argc) library = argv[++i];
    else if (a == "--port-file" && i + 1 < argc) portFile = argv[++i];
    else if (a == "--ca-dir" && i + 1 < argc) caDir = argv[++i];
    else if (a == "--publisher-key" && i + 1 < argc) publisherKey = argv[++i];
    else {
      fprintf(stderr, "usage: %s [--port N] [--library PATH] [--port-file FILE] [--ca-dir DIR] [--publisher-key PEM]\n", argv[0]);
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
  if (caDir.empty()) caDir = velmora::demo::defaultCaFolder();
  std::string caError;
  auto ca = velmora::demo::DemoCa::open(caDir, caError);
  if (!ca) {
    fprintf(stderr, "velmora-demo-portal: %s\n", caError.c_str());
    return 1;
  }
  printf("demo CA in %s\n", caDir.c_str());
  velmora::demo::PortalConfig config;
  config.ca = ca.get();
  config.script = script;
  // The test installer is signed with the demo publisher's key when there is one.
  if (!publisherKey.empty()) config.publisherKeyPem = readAll(publisherKey);
  config.log = [](const std::string& line) {
    printf("%s\n", line.c_str());
    fflush(stdout);
  };
  velmora::http::Server server([&](const velmora::http::Request& req) { return velmora::demo::handleRequest(config, req); });
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

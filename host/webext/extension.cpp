// The page bridge's web extension, loaded by WebKit into every web process
// the host starts. It connects once to the host's private socket (address
// and secret come with the initialisation data) and gives every frame's
// window object `external` (channel/page_bridge.h). Calls block the page
// until the host answers: there is no time-out, since a bridge call may
// wait for a dialog as long as the user takes.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <webkit2/webkit-web-extension.h>

#include <cstring>
#include <string>
#include <vector>

#include "channel/origin_policy.h"
#include "channel/page_bridge.h"
#include "channel/wire.h"

namespace {

using namespace velmora::channel;

class SocketTransport : public Transport {
 public:
  bool connectTo(const std::string& path, const std::string& secret) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return fail();
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail();
    Message reply;
    if (!request(encodeHello(secret), reply) || reply.kind != Kind::Ok) return fail();
    return true;
  }

  bool request(const std::string& payload, Message& reply) override {
    if (fd_ < 0) return false;
    std::string answer;
    if (!writeAll(fd_, frame(payload)) || !readFrame(fd_, answer) || !decode(answer, reply)) {
      fail();
      return false;
    }
    return true;
  }

  void notify(const std::string& payload) override {
    if (fd_ >= 0 && !writeAll(fd_, frame(payload))) fail();
  }

 private:
  bool fail() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return false;
  }
  int fd_ = -1;
};

SocketTransport* transport = nullptr;
// The documents that get the bridge; the host sends it with the socket.
OriginPolicy* policy = nullptr;

void windowObjectCleared(WebKitScriptWorld* world, WebKitWebPage*, WebKitFrame* frame, gpointer) {
  const char* uri = webkit_frame_get_uri(frame);
  // Other documents keep the browser's own window.external and get no
  // ActiveXObject: nothing of the system is defined in them.
  if (!policy || !policy->allows(uri ? uri : "")) return;
  JSCContext* ctx = webkit_frame_get_js_context_for_script_world(frame, world);
  if (!ctx) return;
  std::string error;
  if (!installPageBridge(ctx, uri ? uri : "", transport, true, &error))
    g_warning("velmora: window.external not installed in %s: %s", uri ? uri : "?", error.c_str());
  g_object_unref(ctx);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(WebKitWebExtension*,
                                                                                const GVariant* data) {
  const gchar* path = nullptr;
  const gchar* secret = nullptr;
  const gchar* home = nullptr;
  GVariantIter* hosts = nullptr;
  std::vector<std::string> trusted;
  if (data && g_variant_is_of_type(const_cast<GVariant*>(data), G_VARIANT_TYPE("(sssas)"))) {
    g_variant_get(const_cast<GVariant*>(data), "(&s&s&sas)", &path, &secret, &home, &hosts);
    const gchar* host = nullptr;
    while (g_variant_iter_next(hosts, "&s", &host)) trusted.emplace_back(host);
    g_variant_iter_free(hosts);
  }
  // Both live as long as the web process.
  policy = new OriginPolicy(home ? home : "", std::move(trusted));
  transport = new SocketTransport;
  if (!path || !secret || !transport->connectTo(path, secret))
    g_warning("velmora: the host's bridge socket is not reachable");
  g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(windowObjectCleared),
                   nullptr);
}

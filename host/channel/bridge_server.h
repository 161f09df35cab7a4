// The host's end of the page bridge channel: a Unix socket in a folder
// private to the user (0700), served on the GLib main loop of the window
// thread. Each web process connects once, proves that it was started by
// this host (the secret handed to it with the extension's initialisation
// data, and the same user id on the socket), then looks up names and makes
// calls, which run on the window thread through the window object's
// IDispatch.
//
// Re-entrancy: a connection's watch is not dispatched again while one of
// its calls runs (GLib sources do not recurse), so a handler that runs a
// nested main loop (a modal dialog) is never re-entered from the same web
// process; other connections are served meanwhile.
#pragma once

#include <oleauto.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "channel/origin_policy.h"
#include "channel/wire.h"

namespace velmora::channel {

class BridgeServer {
 public:
  // `dispatch` must outlive the server. `onComplete` is called on the
  // window thread when a frame's document has loaded.
  BridgeServer(IDispatch* dispatch, std::function<void(const std::string& frame)> onComplete);
  ~BridgeServer();
  BridgeServer(const BridgeServer&) = delete;
  BridgeServer& operator=(const BridgeServer&) = delete;

  // Creates the private folder and the socket and starts listening on the
  // default main context. False with the reason in `error`.
  bool start(std::string* error = nullptr);

  // The user's private folder that holds the per-process socket folders.
  static std::string baseFolder(std::string* error = nullptr);

  const std::string& socketPath() const { return socketPath_; }
  const std::string& folder() const { return folder_; }
  const std::string& secret() const { return secret_; }

  // The documents whose calls are served (none until set). Calls that name
  // another document are refused with "Permission denied".
  void setOriginPolicy(OriginPolicy policy) { policy_ = std::move(policy); }

  // How long a new connection has to present the secret (5 s unless set
  // before start).
  void setHelloTimeout(unsigned ms) { helloTimeoutMs_ = ms; }
  // Open connections, authenticated or not.
  size_t connections() const { return connections_.size(); }

  // Calls the host cannot answer yet (the method's component is busy with a
  // key-generation job): `ready` says whether a call may run now. A call
  // that may not is parked (its web process keeps waiting for the answer)
  // and runs from retryParked, on the main loop's own level: waiting for
  // the job inside the call would nest a loop under the job's dialogs,
  // whose answers could then never return to the job.
  void setCallGate(std::function<bool(int32_t dispid)> ready) { gate_ = std::move(ready); }
  // Runs the parked calls whose gate has opened (call when a job ends).
  void retryParked();
  size_t parkedCalls() const;

  // Calls handled so far (all connections).
  unsigned long calls() const { return calls_; }

  struct Connection;

 private:
  friend struct Connection;
  static int onAccept(int fd, unsigned condition, void* self);
  void handle(Connection& c, const Message& m);
  void drop(Connection* c);
  // Handles the buffered messages of a connection until it is parked;
  // false when the connection must be dropped.
  bool drain(Connection& c);

  IDispatch* dispatch_;
  std::function<void(const std::string&)> onComplete_;
  std::string folder_, socketPath_, secret_;
  int listenFd_ = -1;
  unsigned listenWatch_ = 0;
  std::vector<std::unique_ptr<Connection>> connections_;
  unsigned long calls_ = 0;
  OriginPolicy policy_;
  unsigned helloTimeoutMs_ = 5000;
  std::function<bool(int32_t)> gate_;
};

// Converts a call's channel values into automation arguments, invokes the
// method and converts the answer back: a Result message or a Fault. Used by
// the server and by tests without a socket.
// `flags` are the DISPATCH_* flags of the call.
std::string invokeOverChannel(IDispatch* dispatch, int32_t dispid, const std::vector<Value>& args,
                              WORD flags = DISPATCH_METHOD);
// The dispatch identifier of a name (case-insensitive), 0 when unknown.
int32_t lookupOverChannel(IDispatch* dispatch, const std::string& utf8Name);
// Any dispatch identifier (also 0 and negative ones); false when unknown.
bool findMember(IDispatch* dispatch, const std::string& utf8Name, int32_t& id);

}  // namespace velmora::channel

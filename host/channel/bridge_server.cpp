#include "channel/bridge_server.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <openssl/rand.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/codepage_internal.h"
#include "channel/object_table.h"

namespace velmora::channel {

using velmora::platform::toNarrow;
using velmora::platform::toWide;

namespace {

constexpr int32_t kFail = int32_t(0x80004005);
// What a script engine says when a document may not use an object.
constexpr int32_t kPermissionDenied = int32_t(0x800A0046);

std::string hexSecret() {
  unsigned char raw[32];
  if (RAND_bytes(raw, sizeof raw) != 1) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      if (read(fd, raw, sizeof raw) != ssize_t(sizeof raw)) memset(raw, 0, sizeof raw);
      close(fd);
    }
  }
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : raw) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

}  // namespace

// The folder that holds the sockets of this user: the session's runtime
// folder when it is private, else /tmp/velmora-<uid>.
std::string BridgeServer::baseFolder(std::string* error) {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime && *runtime && lstat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
      (st.st_mode & 077) == 0)
    return runtime;
  std::string base = "/tmp/velmora-" + std::to_string(geteuid());
  if (mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error) *error = base + ": " + strerror(errno);
    return {};
  }
  if (lstat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077)) {
    if (error) *error = base + " is not a folder private to this user";
    return {};
  }
  return base;
}

namespace {

// A fresh 0700 folder for this process inside the base folder.
bool makePrivateFolder(std::string& out, std::string* error) {
  const std::string base = BridgeServer::baseFolder(error);
  if (base.empty()) return false;
  std::string tmpl = base + "/bridge-XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    if (error) *error = tmpl + ": " + strerror(errno);
    return false;
  }
  chmod(tmpl.c_str(), 0700);
  out = tmpl;
  return true;
}

VARIANT toVariant(const Value& v) {
  VARIANT out;
  VariantInit(&out);
  switch (v.type) {
    case Value::Type::Undefined: out.vt = VT_EMPTY; break;
    case Value::Type::Null: out.vt = VT_NULL; break;
    case Value::Type::Bool:
      out.vt = VT_BOOL;
      out.boolVal = v.boolean ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case Value::Type::Int:
      out.vt = VT_I4;
      out.lVal = v.integer;
      break;
    case Value::Type::Double:
      out.vt = VT_R8;
      out.dblVal = v.number;
      break;
    case Value::Type::String: {
      const std::u16string w = toWide(v.text, CP_UTF8);
      out.vt = VT_BSTR;
      out.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(w.data()), UINT(w.size()));
      break;
    }
  }
  return out;
}

Value fromVariant(const VARIANT& v) {
  switch (v.vt) {
    case VT_BSTR: {
      const BSTR b = v.bstrVal;
      return Value::ofString(toNarrow(std::u16string_view(b ? b : u"", b ? SysStringLen(b) : 0), CP_UTF8));
    }
    case VT_I2: return Value::ofInt(v.iVal);
    case VT_I4: return Value::ofInt(v.lVal);
    case VT_BOOL: return Value::ofBool(v.boolVal != VARIANT_FALSE);
    case VT_R8: return Value::ofDouble(v.dblVal);
    case VT_NULL: return Value::null();
    default: return Value::undefined();
  }
}

std::string faultText(HRESULT hr) {
  switch (uint32_t(hr)) {
    case 0x8002000Eu: return "Wrong number of arguments or invalid property assignment";
    case 0x80020005u: return "Type mismatch";
    case 0x8002000Au: return "Overflow";
    case 0x80020003u: return "Object doesn't support this property or method";
    case 0x80020007u: return "Named arguments are not supported";
    case 0x8007000Eu: return "Out of memory";
    default: {
      char buf[64];
      snprintf(buf, sizeof buf, "Automation error 0x%08X", unsigned(hr));
      return buf;
    }
  }
}

}  // namespace

bool findMember(IDispatch* dispatch, const std::string& utf8Name, int32_t& id) {
  std::u16string w = toWide(utf8Name, CP_UTF8);
  LPOLESTR names[] = {reinterpret_cast<LPOLESTR>(w.data())};
  DISPID found = DISPID_UNKNOWN;
  if (FAILED(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &found)) || found == DISPID_UNKNOWN) return false;
  id = found;
  return true;
}

int32_t lookupOverChannel(IDispatch* dispatch, const std::string& utf8Name) {
  int32_t id = 0;
  if (!findMember(dispatch, utf8Name, id)) return 0;
  return id > 0 ? id : 0;
}

std::string invokeOverChannel(IDispatch* dispatch, int32_t dispid, const std::vector<Value>& args, WORD flags) {
  std::vector<VARIANT> argv(args.size());
  // Automation takes the arguments last first.
  for (size_t i = 0; i < args.size(); ++i) argv[args.size() - 1 - i] = toVariant(args[i]);
  DISPPARAMS params{argv.empty() ? nullptr : argv.data(), nullptr, UINT(argv.size()), 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO ex{};
  UINT argErr = UINT(-1);
  HRESULT hr = dispatch->Invoke(dispid, IID_NULL, 0, flags, &params, &result, &ex, &argErr);
  for (auto& v : argv) VariantClear(&v);
  std::string reply;
  if (SUCCEEDED(hr)) {
    reply = encodeResult(fromVariant(result));
  } else {
    std::string message;
    if (hr == DISP_E_EXCEPTION) {
      if (ex.bstrDescription)
        message = toNarrow(std::u16string_view(ex.bstrDescription, SysStringLen(ex.bstrDescription)), CP_UTF8);
      if (ex.scode) hr = ex.scode;
    }
    if (message.empty()) message = faultText(hr);
    const uint32_t position =
        (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW) && argErr < argv.size() ? uint32_t(argv.size() - argErr) : 0;
    reply = encodeFault(int32_t(hr), position, message);
  }
  if (ex.bstrSource) SysFreeString(ex.bstrSource);
  if (ex.bstrDescription) SysFreeString(ex.bstrDescription);
  if (ex.bstrHelpFile) SysFreeString(ex.bstrHelpFile);
  VariantClear(&result);
  return reply;
}

struct BridgeServer::Connection {
  BridgeServer* server;
  int fd;
  unsigned watch = 0;
  unsigned helloTimer = 0;  // until the hello has been accepted
  bool authenticated = false;
  bool parked = false;  // a call waits in `parkedCall`; later messages wait in the buffer
  Message parkedCall;
  FrameBuffer buffer{kMaxHelloFrame};
  ObjectTable objects;

  static gboolean onReadable(gint fd, GIOCondition condition, gpointer data) {
    auto* c = static_cast<Connection*>(data);
    char chunk[65536];
    bool closed = false;
    for (;;) {
      ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n > 0) {
        c->buffer.append(chunk, size_t(n));
        if (size_t(n) < sizeof chunk) break;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      closed = true;  // end of stream or error
      break;
    }
    if (!closed && !c->server->drain(*c)) closed = true;
    if (c->buffer.broken()) closed = true;
    if (closed || (condition & (G_IO_HUP | G_IO_ERR))) {
      c->watch = 0;
      c->server->drop(c);
      return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
  }

  // A peer that has not said hello in time is not one of our web processes
  // (they say it as soon as they connect): it gets no more of our time.
  static gboolean onHelloLate(gpointer data) {
    auto* c = static_cast<Connection*>(data);
    c->helloTimer = 0;
    if (!c->authenticated) {
      if (c->watch) g_source_remove(c->watch);
      c->watch = 0;
      c->server->drop(c);
    }
    return G_SOURCE_REMOVE;
  }
};

bool BridgeServer::drain(Connection& c) {
  std::string payload;
  while (!c.parked && !c.buffer.broken() && c.buffer.next(payload)) {
    Message m;
    if (!decode(payload, m)) return false;
    if (!c.authenticated) {
      if (m.kind != Kind::Hello || m.version != kProtocolVersion || !sameSecret(m.secret, secret_)) return false;
      c.authenticated = true;
      if (c.helloTimer) g_source_remove(c.helloTimer);
      c.helloTimer = 0;
      c.buffer.setMaxFrame(kMaxFrame);
      if (!writeAll(c.fd, frame(encodeOk()), 5000)) return false;
      continue;
    }
    if (m.kind == Kind::Call && gate_ && policy_.allows(m.frame) && !gate_(m.dispid)) {
      c.parked = true;
      c.parkedCall = std::move(m);
      return true;
    }
    handle(c, m);
  }
  return true;
}

void BridgeServer::retryParked() {
  for (size_t i = 0; i < connections_.size(); ++i) {
    Connection* c = connections_[i].get();
    if (!c->parked || (gate_ && !gate_(c->parkedCall.dispid))) continue;
    c->parked = false;
    Message m = std::move(c->parkedCall);
    handle(*c, m);
    if (!drain(*c) || c->buffer.broken()) {
      if (c->watch) g_source_remove(c->watch);
      c->watch = 0;
      drop(c);
      --i;
    }
  }
}

size_t BridgeServer::parkedCalls() const {
  size_t n = 0;
  for (const auto& c : connections_) n += c->parked ? 1 : 0;
  return n;
}

BridgeServer::BridgeServer(IDispatch* dispatch, std::function<void(const std::string&)> onComplete)
    : dispatch_(dispatch), onComplete_(std::move(onComplete)) {}

BridgeServer::~BridgeServer() {
  for (auto& c : connections_) {
    if (c->watch) g_source_remove(c->watch);
    if (c->helloTimer) g_source_remove(c->helloTimer);
    close(c->fd);
  }
  connections_.clear();
  if (listenWatch_) g_source_remove(listenWatch_);
  if (listenFd_ >= 0) close(listenFd_);
  if (!socketPath_.empty()) unlink(socketPath_.c_str());
  if (!folder_.empty()) rmdir(folder_.c_str());
}

void BridgeServer::drop(Connection* c) {
  if (c->helloTimer) g_source_remove(c->helloTimer);
  c->helloTimer = 0;
  close(c->fd);
  // Freed later: the watch callback that called us is still on the stack.
  auto it = std::find_if(connections_.begin(), connections_.end(), [c](auto& p) { return p.get() == c; });
  if (it != connections_.end()) {
    Connection* raw = it->release();
    connections_.erase(it);
    g_idle_add(
        [](gpointer p) -> gboolean {
          delete static_cast<Connection*>(p);
          return G_SOURCE_REMOVE;
        },
        raw);
  }
}

bool BridgeServer::start(std::string* error) {
  if (!makePrivateFolder(folder_, error)) return false;
  secret_ = hexSecret();
  socketPath_ = folder_ + "/bridge.sock";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof addr.sun_path) {
    if (error) *error = "socket path too long: " + socketPath_;
    return false;
  }
  memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      chmod(socketPath_.c_str(), 0600) != 0 || listen(listenFd_, 16) != 0) {
    if (error) *error = socketPath_ + ": " + strerror(errno);
    return false;
  }
  listenWatch_ = g_unix_fd_add(listenFd_, G_IO_IN, reinterpret_cast<GUnixFDSourceFunc>(&BridgeServer::onAccept), this);
  return true;
}

int BridgeServer::onAccept(int fd, unsigned, void* data) {
  auto* self = static_cast<BridgeServer*>(data);
  for (;;) {
    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0) break;
    // Only this user's processes: the folder is 0700 and the peer must
    // have our user id; the secret then proves it is one of our own.
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
      close(c);
      continue;
    }
    auto conn = std::make_unique<Connection>();
    conn->server = self;
    conn->fd = c;
    conn->watch = g_unix_fd_add(c, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), &Connection::onReadable, conn.get());
    conn->helloTimer = g_timeout_add(self->helloTimeoutMs_, &Connection::onHelloLate, conn.get());
    self->connections_.push_back(std::move(conn));
  }
  return G_SOURCE_CONTINUE;
}

void BridgeServer::handle(Connection& c, const Message& m) {
  // The extension gives the bridge only to the portal's documents; a call
  // that names any other is refused here too.
  if ((m.kind == Kind::Call || m.kind == Kind::Create || m.kind == Kind::Invoke) && !policy_.allows(m.frame)) {
    writeAll(c.fd, frame(encodeFault(kPermissionDenied, 0, "Permission denied")), 5000);
    return;
  }
  switch (m.kind) {
    case Kind::Lookup:
      writeAll(c.fd, frame(encodeResult(Value::ofInt(lookupOverChannel(dispatch_, m.name)))), 5000);
      break;
    case Kind::Call: {
      ++calls_;
      std::string reply = invokeOverChannel(dispatch_, m.dispid, m.args);
      if (reply.size() > kMaxFrame)
        reply = encodeFault(kFail, 0, "The result is too large for the bridge.");
      writeAll(c.fd, frame(reply), 30000);
      break;
    }
    case Kind::Complete:
      if (onComplete_) onComplete_(m.frame);
      break;
    case Kind::Create:
    case Kind::Member:
    case Kind::Invoke: {
      if (m.kind == Kind::Invoke) ++calls_;
      std::string reply = c.objects.answer(m);
      if (reply.size() > kMaxFrame) reply = encodeFault(kFail, 0, "The result is too large for the bridge.");
      writeAll(c.fd, frame(reply), 30000);
      break;
    }
    case Kind::Release:
      c.objects.answer(m);
      break;
    default:
      // A request the host does not serve still gets its one answer.
      writeAll(c.fd, frame(encodeFault(kFail, 0, "unexpected request")), 5000);
      break;
  }
}

}  // namespace velmora::channel

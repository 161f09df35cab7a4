#include "channel/wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmora::channel {

namespace {

class Writer {
 public:
  explicit Writer(Kind kind) { out_.push_back(char(kind)); }
  void u8(uint8_t v) { out_.push_back(char(v)); }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(char((v >> (8 * i)) & 0xFF));
  }
  void i32(int32_t v) { u32(uint32_t(v)); }
  void f64(double d) {
    uint64_t bits;
    memcpy(&bits, &d, sizeof bits);
    for (int i = 0; i < 8; ++i) out_.push_back(char((bits >> (8 * i)) & 0xFF));
  }
  void str(std::string_view s) {
    u32(uint32_t(s.size()));
    out_.append(s);
  }
  void value(const Value& v) {
    u8(uint8_t(v.type));
    switch (v.type) {
      case Value::Type::Bool: u8(v.boolean ? 1 : 0); break;
      case Value::Type::Int: i32(v.integer); break;
      case Value::Type::Double: f64(v.number); break;
      case Value::Type::String: str(v.text); break;
      case Value::Type::Undefined:
      case Value::Type::Null: break;
    }
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}
  bool u8(uint8_t& v) {
    if (left() < 1) return fail();
    v = uint8_t(data_[pos_++]);
    return true;
  }
  bool u32(uint32_t& v) {
    if (left() < 4) return fail();
    v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(data_[pos_++])) << (8 * i);
    return true;
  }
  bool i32(int32_t& v) {
    uint32_t u;
    if (!u32(u)) return false;
    v = int32_t(u);
    return true;
  }
  bool f64(double& d) {
    if (left() < 8) return fail();
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= uint64_t(uint8_t(data_[pos_++])) << (8 * i);
    memcpy(&d, &bits, sizeof d);
    return true;
  }
  bool str(std::string& s) {
    uint32_t n;
    if (!u32(n)) return false;
    if (left() < n) return fail();
    s.assign(data_.substr(pos_, n));
    pos_ += n;
    return true;
  }
  bool value(Value& v) {
    uint8_t t;
    if (!u8(t)) return false;
    v = Value{};
    switch (Value::Type(t)) {
      case Value::Type::Undefined: v.type = Value::Type::Undefined; return true;
      case Value::Type::Null: v.type = Value::Type::Null; return true;
      case Value::Type::Bool: {
        uint8_t b;
        if (!u8(b) || b > 1) return fail();
        v = Value::ofBool(b == 1);
        return true;
      }
      case Value::Type::Int: v.type = Value::Type::Int; return i32(v.integer);
      case Value::Type::Double: v.type = Value::Type::Double; return f64(v.number);
      case Value::Type::String: v.type = Value::Type::String; return str(v.text);
    }
    return fail();
  }
  size_t left() const { return data_.size() - pos_; }
  bool done() const { return ok_ && pos_ == data_.size(); }

 private:
  bool fail() {
    ok_ = false;
    return false;
  }
  std::string_view data_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace

std::string encodeHello(std::string_view secret) {
  Writer w(Kind::Hello);
  w.u32(kProtocolVersion);
  w.str(secret);
  return w.take();
}

std::string encodeLookup(std::string_view name) {
  Writer w(Kind::Lookup);
  w.str(name);
  return w.take();
}

std::string encodeCall(int32_t dispid, std::string_view frame, const std::vector<Value>& args) {
  Writer w(Kind::Call);
  w.i32(dispid);
  w.str(frame);
  w.u32(uint32_t(args.size()));
  for (const auto& a : args) w.value(a);
  return w.take();
}

std::string encodeComplete(std::string_view frame) {
  Writer w(Kind::Complete);
  w.str(frame);
  return w.take();
}

std::string encodeCreate(std::string_view frame, std::string_view progId) {
  Writer w(Kind::Create);
  w.str(frame);
  w.str(progId);
  return w.take();
}

std::string encodeMember(int32_t handle, std::string_view name) {
  Writer w(Kind::Member);
  w.i32(handle);
  w.str(name);
  return w.take();
}

std::string encodeInvoke(int32_t handle, int32_t dispid, uint32_t flags, std::string_view frame,
                         const std::vector<Value>& args) {
  Writer w(Kind::Invoke);
  w.i32(handle);
  w.i32(dispid);
  w.u32(flags);
  w.str(frame);
  w.u32(uint32_t(args.size()));
  for (const auto& a : args) w.value(a);
  return w.take();
}

std::string encodeRelease(int32_t handle) {
  Writer w(Kind::Release);
  w.i32(handle);
  return w.take();
}

std::string encodeFound(int32_t dispid, uint32_t flags) {
  Writer w(Kind::Found);
  w.i32(dispid);
  w.u32(flags);
  return w.take();
}

std::string encodeOk() { return Writer(Kind::Ok).take(); }

std::string encodeResult(const Value& value) {
  Writer w(Kind::Result);
  w.value(value);
  return w.take();
}

std::string encodeFault(int32_t code, uint32_t argument, std::string_view message) {
  Writer w(Kind::Fault);
  w.i32(code);
  w.u32(argument);
  w.str(message);
  return w.take();
}

bool decode(std::string_view payload, Message& out) {
  out = Message{};
  if (payload.empty()) return false;
  out.kind = Kind(uint8_t(payload[0]));
  Reader r(payload.substr(1));
  switch (out.kind) {
    case Kind::Hello:
      if (!r.u32(out.version) || !r.str(out.secret)) return false;
      break;
    case Kind::Lookup:
      if (!r.str(out.name)) return false;
      break;
    case Kind::Call:
    case Kind::Invoke: {
      uint32_t argc;
      if (out.kind == Kind::Invoke && (!r.i32(out.handle) || !r.i32(out.dispid) || !r.u32(out.flags))) return false;
      if (out.kind == Kind::Call && !r.i32(out.dispid)) return false;
      if (!r.str(out.frame) || !r.u32(argc)) return false;
      // Every value takes at least one byte: a count beyond the data is a lie.
      if (argc > r.left()) return false;
      out.args.resize(argc);
      for (auto& a : out.args)
        if (!r.value(a)) return false;
      break;
    }
    case Kind::Create:
      if (!r.str(out.frame) || !r.str(out.name)) return false;
      break;
    case Kind::Member:
      if (!r.i32(out.handle) || !r.str(out.name)) return false;
      break;
    case Kind::Release:
      if (!r.i32(out.handle)) return false;
      break;
    case Kind::Found:
      if (!r.i32(out.dispid) || !r.u32(out.flags)) return false;
      break;
    case Kind::Complete:
      if (!r.str(out.frame)) return false;
      break;
    case Kind::Ok:
      break;
    case Kind::Result:
      if (!r.value(out.value)) return false;
      break;
    case Kind::Fault:
      if (!r.i32(out.code) || !r.u32(out.argument) || !r.str(out.message)) return false;
      break;
    default:
      return false;
  }
  return r.done();
}

std::string frame(std::string_view payload) {
  std::string out;
  out.reserve(payload.size() + 4);
  const uint32_t n = uint32_t(payload.size());
  for (int i = 0; i < 4; ++i) out.push_back(char((n >> (8 * i)) & 0xFF));
  out.append(payload);
  return out;
}

bool FrameBuffer::next(std::string& payload) {
  if (broken_) return false;
  const size_t avail = buf_.size() - pos_;
  if (avail < 4) return false;
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= uint32_t(uint8_t(buf_[pos_ + size_t(i)])) << (8 * i);
  if (n > max_) {
    broken_ = true;
    return false;
  }
  if (avail - 4 < n) return false;
  payload.assign(buf_, pos_ + 4, n);
  pos_ += 4 + size_t(n);
  // Drop consumed bytes once they dominate the buffer.
  if (pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  } else if (pos_ > 65536 && pos_ * 2 > buf_.size()) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  return true;
}

bool writeAll(int fd, std::string_view data, int timeoutMs) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t w = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (w > 0) {
      done += size_t(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      int r = ::poll(&p, 1, timeoutMs);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

namespace {

bool readExactly(int fd, char* out, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::read(fd, out + done, n - done);
    if (r > 0) {
      done += size_t(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

bool readFrame(int fd, std::string& payload, size_t maxFrame) {
  unsigned char len[4];
  if (!readExactly(fd, reinterpret_cast<char*>(len), 4)) return false;
  const uint32_t n = uint32_t(len[0]) | uint32_t(len[1]) << 8 | uint32_t(len[2]) << 16 | uint32_t(len[3]) << 24;
  if (n > maxFrame) return false;
  payload.resize(n);
  return readExactly(fd, payload.data(), n);
}

bool sameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= uint8_t(a[i]) ^ uint8_t(b[i]);
  return diff == 0;
}

}  // namespace velmora::channel

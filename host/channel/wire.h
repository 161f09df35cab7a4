// The private channel between the page bridge in WebKit's web processes and
// the host. Frames are a 32-bit little-endian length and a payload; a
// payload starts with its kind. The web process speaks first (hello with
// the host's secret), then asks for names and makes calls; each request
// gets exactly one reply, except "document complete" and "release", which
// get none. Besides `window.external`, a page can create automation objects
// (`new ActiveXObject(progId)`): the host keeps them in a table per
// connection and the page names them by handle.
//
// This file has no GLib or WebKit dependency: both ends link it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::channel {

inline constexpr uint32_t kProtocolVersion = 2;
// Larger frames are refused: a page argument or result of this size is a
// fault, not data.
inline constexpr size_t kMaxFrame = 64u << 20;
// Before the hello has been accepted nothing larger is read.
inline constexpr size_t kMaxHelloFrame = 4096;

enum class Kind : uint8_t {
  Hello = 'H',     // version, secret
  Lookup = 'L',    // name
  Call = 'C',      // dispatch id, frame address, arguments
  Complete = 'D',  // frame address; a frame's document has loaded (no reply)
  Create = 'O',    // frame address, ProgID -> Result with the object's handle
  Member = 'N',    // handle, name -> Found
  Invoke = 'I',    // handle, dispatch id, DISPATCH_* flags, frame address, arguments
  Release = 'X',   // handle; the page no longer holds the object (no reply)
  Found = 'F',     // dispatch id, member flags (kMember*); flags 0: no such member
  Ok = 'K',        // hello accepted
  Result = 'R',    // value
  Fault = 'E',     // code, argument position, message
};

// A script value as it crosses the channel.
struct Value {
  enum class Type : uint8_t { Undefined = 'u', Null = 'n', Bool = 'b', Int = 'i', Double = 'd', String = 's' };
  Type type = Type::Undefined;
  bool boolean = false;
  int32_t integer = 0;
  double number = 0;
  std::string text;  // UTF-8

  static Value undefined() { return {}; }
  static Value null() { Value v; v.type = Type::Null; return v; }
  static Value ofBool(bool b) { Value v; v.type = Type::Bool; v.boolean = b; return v; }
  static Value ofInt(int32_t i) { Value v; v.type = Type::Int; v.integer = i; return v; }
  static Value ofDouble(double d) { Value v; v.type = Type::Double; v.number = d; return v; }
  static Value ofString(std::string s) { Value v; v.type = Type::String; v.text = std::move(s); return v; }
  bool operator==(const Value&) const = default;
};

// One decoded payload; which fields are set depends on `kind`.
struct Message {
  Kind kind = Kind::Ok;
  uint32_t version = 0;      // Hello
  std::string secret;        // Hello
  std::string name;          // Lookup, Member; the ProgID of Create
  int32_t handle = 0;        // Member, Invoke, Release
  int32_t dispid = 0;        // Call, Invoke, Found
  uint32_t flags = 0;        // Invoke (DISPATCH_*), Found (kMember*)
  std::string frame;         // Call, Complete, Create, Invoke
  std::vector<Value> args;   // Call, Invoke
  Value value;               // Result
  int32_t code = 0;          // Fault: the automation status (HRESULT)
  uint32_t argument = 0;     // Fault: 1-based position of the argument at fault, 0 for none
  std::string message;       // Fault
};

std::string encodeHello(std::string_view secret);
std::string encodeLookup(std::string_view name);
std::string encodeCall(int32_t dispid, std::string_view frame, const std::vector<Value>& args);
std::string encodeComplete(std::string_view frame);
std::string encodeCreate(std::string_view frame, std::string_view progId);
std::string encodeMember(int32_t handle, std::string_view name);
std::string encodeInvoke(int32_t handle, int32_t dispid, uint32_t flags, std::string_view frame,
                         const std::vector<Value>& args);
std::string encodeRelease(int32_t handle);
std::string encodeFound(int32_t dispid, uint32_t flags);

// Found's member flags: called as a method, or read as a property.
inline constexpr uint32_t kMemberMethod = 1;
inline constexpr uint32_t kMemberProperty = 2;
std::string encodeOk();
std::string encodeResult(const Value& value);
std::string encodeFault(int32_t code, uint32_t argument, std::string_view message);

// Decodes one payload; false for anything malformed (unknown kind, short
// data, trailing bytes, counts beyond the data).
bool decode(std::string_view payload, Message& out);

// The frame around a payload: length prefix + payload.
std::string frame(std::string_view payload);

// Collects bytes from a stream and cuts complete frames out of them.
class FrameBuffer {
 public:
  explicit FrameBuffer(size_t maxFrame = kMaxFrame) : max_(maxFrame) {}
  void setMaxFrame(size_t maxFrame) { max_ = maxFrame; }
  void append(const char* data, size_t n) { buf_.append(data, n); }
  // Takes the next complete payload. False when none is complete yet or
  // when the stream is broken (`broken()` then says so).
  bool next(std::string& payload);
  bool broken() const { return broken_; }
  size_t buffered() const { return buf_.size() - pos_; }

 private:
  std::string buf_;
  size_t pos_ = 0;
  size_t max_;
  bool broken_ = false;
};

// Blocking I/O on a socket, restarting after signals. writeAll gives up
// after `timeoutMs` without progress (-1: never).
bool writeAll(int fd, std::string_view data, int timeoutMs = -1);
// Reads one frame; false on end of stream, error or a frame over `maxFrame`.
bool readFrame(int fd, std::string& payload, size_t maxFrame = kMaxFrame);

// Compares two secrets in time that does not depend on where they differ.
bool sameSecret(std::string_view a, std::string_view b);

}  // namespace velmora::channel

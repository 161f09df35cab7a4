// The channel's frames: a payload that decodes encodes back to the same
// bytes, and a stream cut anywhere yields the same payloads as the whole.
#include <cstring>
#include <string>
#include <vector>

#include "channel/wire.h"
#include "fuzz_check.h"

using namespace velmora::channel;

static std::string reencode(const Message& m) {
  switch (m.kind) {
    case Kind::Hello: {
      // The version is not a parameter of the writer: only ours round-trips.
      std::string s = encodeHello(m.secret);
      return m.version == kProtocolVersion ? s : std::string();
    }
    case Kind::Lookup: return encodeLookup(m.name);
    case Kind::Call: return encodeCall(m.dispid, m.frame, m.args);
    case Kind::Complete: return encodeComplete(m.frame);
    case Kind::Create: return encodeCreate(m.frame, m.name);
    case Kind::Member: return encodeMember(m.handle, m.name);
    case Kind::Invoke: return encodeInvoke(m.handle, m.dispid, m.flags, m.frame, m.args);
    case Kind::Release: return encodeRelease(m.handle);
    case Kind::Found: return encodeFound(m.dispid, m.flags);
    case Kind::Ok: return encodeOk();
    case Kind::Result: return encodeResult(m.value);
    case Kind::Fault: return encodeFault(m.code, m.argument, m.message);
  }
  return {};
}

static bool sameBits(const Message& a, const Message& b) {
  // NaN payloads differ under ==; compare doubles by their bits.
  auto eq = [](const Value& x, const Value& y) {
    return x.type == y.type && x.boolean == y.boolean && x.integer == y.integer && x.text == y.text &&
           memcmp(&x.number, &y.number, sizeof x.number) == 0;
  };
  if (a.args.size() != b.args.size() || !eq(a.value, b.value)) return false;
  for (size_t i = 0; i < a.args.size(); ++i)
    if (!eq(a.args[i], b.args[i])) return false;
  return a.kind == b.kind && a.version == b.version && a.secret == b.secret && a.name == b.name &&
         a.handle == b.handle && a.dispid == b.dispid && a.flags == b.flags && a.frame == b.frame &&
         a.code == b.code && a.argument == b.argument && a.message == b.message;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  Message m;
  if (decode(input, m)) {
    const std::string again = reencode(m);
    if (!again.empty()) {
      FUZZ_CHECK(again == input);
      Message m2;
      FUZZ_CHECK(decode(again, m2) && sameBits(m, m2));
    }
  }

  // The input as a byte stream, whole and fed in small uneven pieces.
  std::vector<std::string> whole, pieces;
  FrameBuffer a(4096), b(4096);
  a.append(input.data(), input.size());
  std::string payload;
  while (a.next(payload)) whole.push_back(payload);
  size_t at = 0, step = 1;
  while (at < input.size()) {
    const size_t n = std::min(step, input.size() - at);
    b.append(input.data() + at, n);
    at += n;
    step = step % 7 + 1;
    while (b.next(payload)) pieces.push_back(payload);
  }
  FUZZ_CHECK(whole == pieces && a.broken() == b.broken());
  // Every payload cut out was framed exactly as frame() writes it.
  std::string rebuilt;
  for (const auto& p : whole) {
    FUZZ_CHECK(p.size() <= 4096);
    rebuilt += frame(p);
  }
  FUZZ_CHECK(input.substr(0, rebuilt.size()) == rebuilt);
  if (!a.broken()) FUZZ_CHECK(a.buffered() == input.size() - rebuilt.size());
  return 0;
}

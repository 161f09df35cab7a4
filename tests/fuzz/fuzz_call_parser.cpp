// velmora-call's call parser: whatever parses, written back as a call,
// parses to the same call.
#include <cmath>
#include <cstdio>
#include <string>

#include "call_parser.h"
#include "fuzz_check.h"

using namespace velmora::call;

static std::string write(const Call& c) {
  std::string s = c.name + "(";
  for (size_t i = 0; i < c.args.size(); ++i) {
    if (i) s += ", ";
    const Value& v = c.args[i];
    if (auto* t = std::get_if<std::string>(&v)) {
      s += '"';
      for (char ch : *t) {
        if (ch == '"' || ch == '\\') s += '\\';
        s += ch;
      }
      s += '"';
    } else if (auto* n = std::get_if<long long>(&v)) {
      s += std::to_string(*n);
    } else if (auto* d = std::get_if<double>(&v)) {
      char buf[64];
      snprintf(buf, sizeof buf, "%.17g", *d);
      std::string text = buf;
      if (text.find_first_of(".e") == std::string::npos) text += ".0";
      s += text;
    } else if (auto* b = std::get_if<bool>(&v)) {
      s += *b ? "true" : "false";
    } else {
      s += "null";
    }
  }
  return s + ")";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Call call;
  std::string error;
  if (!parseCall(text, call, error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  FUZZ_CHECK(!call.name.empty());
  for (const auto& v : call.args)
    if (auto* d = std::get_if<double>(&v)) FUZZ_CHECK(std::isfinite(*d));
  const std::string again = write(call);
  Call back;
  FUZZ_CHECK(parseCall(again, back, error));
  FUZZ_CHECK(back.name == call.name && back.args.size() == call.args.size());
  for (size_t i = 0; i < call.args.size(); ++i) {
    FUZZ_CHECK(back.args[i].index() == call.args[i].index());
    if (!std::holds_alternative<Null>(call.args[i])) FUZZ_CHECK(std::visit([&](const auto& x) {
      using T = std::decay_t<decltype(x)>;
      if constexpr (std::is_same_v<T, Null>) return true;
      else return std::get<T>(back.args[i]) == x;
    }, call.args[i]));
  }
  return 0;
}

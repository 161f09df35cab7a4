// Parses one bridge call written as in page script:
//   capi_Hash("abc", 0x13)   getVersion()   ReadEF1001(-3)   setWindowSize(1.5, 2)
// Strings are double-quoted with \" \\ \n \r \t escapes; integers are
// decimal or 0x hexadecimal, optionally negative; a number with a point or
// an exponent is a decimal; true, false and null are understood too.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace velmora::call {

struct Null {};
using Value = std::variant<std::string, long long, double, bool, Null>;

struct Call {
  std::string name;
  std::vector<Value> args;
};

// Returns false with a message in `error` when the text is not a call.
bool parseCall(const std::string& text, Call& call, std::string& error);

}  // namespace velmora::call

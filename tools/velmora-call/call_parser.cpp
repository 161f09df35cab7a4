#include "call_parser.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace velmora::call {

namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  bool parse(Call& call, std::string& error) {
    skipSpace();
    size_t start = pos_;
    while (pos_ < s_.size() && (isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_')) ++pos_;
    if (pos_ == start) return fail(error, "expected a method name");
    call.name = s_.substr(start, pos_ - start);
    skipSpace();
    if (!take('(')) return fail(error, "expected '(' after the method name");
    skipSpace();
    if (!take(')')) {
      for (;;) {
        Value v;
        if (!value(v, error)) return false;
        call.args.push_back(std::move(v));
        skipSpace();
        if (take(')')) break;
        if (!take(',')) return fail(error, "expected ',' or ')'");
        skipSpace();
      }
    }
    skipSpace();
    take(';');
    skipSpace();
    if (pos_ != s_.size()) return fail(error, "unexpected text after the call");
    return true;
  }

 private:
  bool value(Value& v, std::string& error) {
    if (pos_ >= s_.size()) return fail(error, "expected an argument");
    char c = s_[pos_];
    if (c == '"') return string(v, error);
    if (c == '-' || c == '+' || c == '.' || isdigit(static_cast<unsigned char>(c))) return number(v, error);
    for (const char* word : {"true", "false", "null"}) {
      std::string w = word;
      if (s_.compare(pos_, w.size(), w) == 0) {
        pos_ += w.size();
        if (w == "null") v = Null{};
        else v = (w == "true");
        return true;
      }
    }
    return fail(error, "an argument must be a string, a number, true, false or null");
  }

  bool string(Value& v, std::string& error) {
    ++pos_;
    std::string out;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      char c = s_[pos_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) break;
      char e = s_[pos_++];
      switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        default: out += '\\'; out += e; break;
      }
    }
    if (!take('"')) return fail(error, "unterminated string");
    v = std::move(out);
    return true;
  }

  bool number(Value& v, std::string& error) {
    size_t start = pos_;
    if (s_[pos_] == '-' || s_[pos_] == '+') ++pos_;
    bool hex = s_.compare(pos_, 2, "0x") == 0 || s_.compare(pos_, 2, "0X") == 0;
    bool decimal = false;
    if (hex) {
      pos_ += 2;
      size_t digits = pos_;
      while (pos_ < s_.size() && isxdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
      if (pos_ == digits) return fail(error, "bad hexadecimal number");
    } else {
      while (pos_ < s_.size()) {
        char c = s_[pos_];
        if (isdigit(static_cast<unsigned char>(c))) {
          ++pos_;
        } else if (c == '.' || c == 'e' || c == 'E') {
          decimal = true;
          ++pos_;
          if ((c == 'e' || c == 'E') && pos_ < s_.size() && (s_[pos_] == '-' || s_[pos_] == '+')) ++pos_;
        } else {
          break;
        }
      }
    }
    std::string text = s_.substr(start, pos_ - start);
    char* end = nullptr;
    errno = 0;
    if (decimal) {
      double d = strtod(text.c_str(), &end);
      if (*end || errno) return fail(error, "bad number " + text);
      v = d;
    } else {
      long long n = strtoll(text.c_str(), &end, hex ? 16 : 10);
      if (*end || errno || end == text.c_str()) return fail(error, "bad number " + text);
      v = n;
    }
    return true;
  }

  void skipSpace() {
    while (pos_ < s_.size() && isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool take(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool fail(std::string& error, const std::string& what) {
    error = what + " at column " + std::to_string(pos_ + 1);
    return false;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

}  // namespace

bool parseCall(const std::string& text, Call& call, std::string& error) {
  call = Call{};
  return Parser(text).parse(call, error);
}

}  // namespace velmora::call

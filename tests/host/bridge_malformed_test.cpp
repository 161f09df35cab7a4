// Every method of the bridge table, called through the window object's
// dispatch interface as the page calls it, with malformed arguments: one
// too few and one too many, each argument of a wrong type (null, true, a
// number for text, text or 1e300 for a number), and for each
// text argument an empty text, a 1 MiB text, text that is not Base64, text
// with a NUL inside and text that is not valid UTF-16; numbers at the edges
// of their range. Every call must come back: count and type faults
// as script errors before the handler runs, everything else with a result
// of the method's type. Values of another type that convert (a number for
// text, true for anything) reach the handler converted. The calls run in a
// child process with a watchdog per call, so a hang fails the test with
// the call named.
#include <oleauto.h>
#include <unistd.h>
#include <windows.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "client_dlg.h"
#include "method_table.h"
#include "test_support.h"

namespace {

using bridge::ParamType;
using bridge::ResultType;

constexpr const char* kChildFlag = "VELMORA_MALFORMED_CHILD";
constexpr unsigned kSecondsPerCall = 5;
constexpr int kShards = 4;

// One argument as the page would pass it; turned into a VARIANT per call.
struct Arg {
  enum Kind { Text, Int, Real, Null, Bool, Big } kind = Text;
  std::u16string text;
  double number = 0;
};

Arg text(std::u16string s) { return {Arg::Text, std::move(s), 0}; }
Arg null() { return {Arg::Null, {}, 0}; }
Arg integer(double n) { return {Arg::Int, {}, n}; }
Arg real(double d) { return {Arg::Real, {}, d}; }
Arg boolean() { return {Arg::Bool, {}, 0}; }
// A text of 1 MiB 'A's, made only when the call is made.
Arg big() { return {Arg::Big, {}, 0}; }

// Refused: a text with a NUL in a method without a refusal of its own (the
// security component answers with its status instead): an automation error.
enum class Expect { BadCount, BadType, Overflow, Result, Refused };

struct Case {
  DISPID id;
  std::string label;
  std::vector<Arg> args;  // page order
  Expect expect;
  UINT argErr = 0;  // for BadType: the position as DISPPARAMS counts it (last argument is 0)
};

Arg ordinary(ParamType t) {
  switch (t) {
    case ParamType::String: return text(u"1");
    case ParamType::Int32: return integer(0);
    case ParamType::Float32: return real(1);
  }
  return null();
}

std::u16string withNul() { return std::u16string(u"abc\0def", 7); }

// The cases for every method, made from the table itself.
std::vector<Case> makeCases() {
  const struct {
    const char* name;
    Arg value;
  } texts[] = {{"empty", text(u"")}, {"1 MiB", big()}, {"not Base64", text(u"!!!not base64***")},
               {"NUL inside", text(withNul())},
               // Not valid UTF-16: a lone surrogate between Big5-range characters.
               {"lone surrogate", text(std::u16string(u"\u6191") + char16_t(0xD800) + u"\u8B49")}};

  std::vector<Case> cases;
  const auto& table = bridge::methodTable();
  for (size_t i = 0; i < table.size(); ++i) {
    const bridge::Method& m = table[i];
    const DISPID id = DISPID(i + 1);
    const std::string name = m.name;
    std::vector<Arg> good;
    for (ParamType t : m.params) good.push_back(ordinary(t));

    if (!good.empty())
      cases.push_back({id, name + ": one argument too few", {good.begin(), good.end() - 1}, Expect::BadCount});
    std::vector<Arg> more = good;
    more.push_back(text(u"1"));
    cases.push_back({id, name + ": one argument too many", more, Expect::BadCount});

    const UINT n = UINT(good.size());
    for (UINT k = 0; k < n; ++k) {
      const std::string at = " in argument " + std::to_string(k + 1);
      auto with = [&](Arg a) {
        std::vector<Arg> args = good;
        args[k] = std::move(a);
        return args;
      };
      cases.push_back({id, name + ": null" + at, with(null()), Expect::BadType, n - 1 - k});
      // A boolean converts to every parameter type (true is -1): the handler runs.
      cases.push_back({id, name + ": true" + at, with(boolean()), Expect::Result});
      if (m.params[k] != ParamType::String) {
        cases.push_back({id, name + ": text for a number" + at, with(text(u"!!!not base64***")), Expect::BadType,
                         n - 1 - k});
        cases.push_back({id, name + ": 1e300" + at, with(real(1e300)), Expect::Overflow, n - 1 - k});
        // Numbers that convert but no caller means: sizes, indexes and flags at the edges.
        for (double edge : {-1.0, -2147483648.0, 2147483647.0})
          cases.push_back({id, name + ": " + std::to_string(LONG(edge)) + at, with(real(edge)), Expect::Result});
        continue;
      }
      cases.push_back({id, name + ": a number for text" + at, with(integer(-7)), Expect::Result});
      for (const auto& t : texts) {
        const bool refused = std::string(t.name) == "NUL inside" && !m.refuse;
        cases.push_back({id, name + ": " + t.name + " text" + at, with(t.value),
                         refused ? Expect::Refused : Expect::Result});
      }
    }
  }
  return cases;
}

VARIANT toVariant(const Arg& a) {
  VARIANT v;
  VariantInit(&v);
  switch (a.kind) {
    case Arg::Text:
      v.vt = VT_BSTR;
      v.bstrVal = SysAllocStringLen(a.text.data(), UINT(a.text.size()));
      break;
    case Arg::Int:
      v.vt = VT_I4;
      v.lVal = LONG(a.number);
      break;
    case Arg::Real:
      v.vt = VT_R8;
      v.dblVal = a.number;
      break;
    case Arg::Null:
      v.vt = VT_NULL;
      break;
    case Arg::Bool:
      v.vt = VT_BOOL;
      v.boolVal = VARIANT_TRUE;
      break;
    case Arg::Big: {
      const std::u16string text(1u << 20, u'A');
      v.vt = VT_BSTR;
      v.bstrVal = SysAllocStringLen(text.data(), UINT(text.size()));
      break;
    }
  }
  return v;
}

VARTYPE resultType(ResultType r) {
  switch (r) {
    case ResultType::None: return VT_EMPTY;
    case ResultType::String: return VT_BSTR;
    case ResultType::Int16: return VT_I2;
  }
  return VT_ERROR;
}

// In the child: makes every call of one shard, each under a watchdog.
void runShard(int shard) {
  // Nothing a handler does may reach the desktop or the test's folder.
  const std::string bin = vtest::makeTempDir("bin");
  vtest::writeFile(bin + "/xdg-open", "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
  const char* path = getenv("PATH");
  setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
  ASSERT_EQ(chdir(vtest::makeTempDir("cwd").c_str()), 0);

  CFENROClientDlg dlg;
  const auto& table = bridge::methodTable();
  const auto cases = makeCases();
  size_t made = 0;
  double slowest = 0;
  std::string slowestLabel;
  for (size_t c = 0; c < cases.size(); ++c) {
    const Case& k = cases[c];
    if (int(c % kShards) != shard) continue;
    // Named before the call: a watchdog end shows which call it was.
    fprintf(stderr, "call %zu: %s\n", c, k.label.c_str());
    std::vector<VARIANT> args;
    for (auto it = k.args.rbegin(); it != k.args.rend(); ++it) args.push_back(toVariant(*it));
    DISPPARAMS params{args.data(), nullptr, UINT(args.size()), 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO info{};
    UINT argErr = 999;
    const auto start = std::chrono::steady_clock::now();
    alarm(kSecondsPerCall);
    const HRESULT hr = dlg.Invoke(k.id, IID_NULL, 0, DISPATCH_METHOD, &params, &result, &info, &argErr);
    alarm(0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > slowest) {
      slowest = seconds;
      slowestLabel = k.label;
    }
    switch (k.expect) {
      case Expect::BadCount:
        EXPECT_EQ(hr, DISP_E_BADPARAMCOUNT) << k.label;
        break;
      case Expect::BadType:
      case Expect::Overflow:
        EXPECT_EQ(hr, k.expect == Expect::BadType ? DISP_E_TYPEMISMATCH : DISP_E_OVERFLOW) << k.label;
        EXPECT_EQ(argErr, k.argErr) << k.label;
        break;
      case Expect::Result:
        EXPECT_EQ(hr, S_OK) << k.label;
        EXPECT_EQ(result.vt, resultType(table[size_t(k.id) - 1].result)) << k.label;
        break;
      case Expect::Refused:
        EXPECT_EQ(hr, DISP_E_EXCEPTION) << k.label;
        EXPECT_EQ(info.scode, E_INVALIDARG) << k.label;
        break;
    }
    if (k.expect != Expect::Result) {
      EXPECT_EQ(result.vt, VT_EMPTY) << k.label << ": a refused call gives no result";
    }
    VariantClear(&result);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    for (auto& a : args) VariantClear(&a);
    ++made;
  }
  fprintf(stderr, "slowest call: %.2f s, %s\n", slowest, slowestLabel.c_str());
  printf("made %zu calls\n", made);
}

class BridgeMalformed : public testing::TestWithParam<int> {};

TEST_P(BridgeMalformed, EveryMethodComesBackFromBadArguments) {
  const int shard = GetParam();
  if (getenv(kChildFlag)) {
    runShard(shard);
    return;
  }
  const auto cases = makeCases();
  size_t expected = 0;
  for (size_t c = 0; c < cases.size(); ++c) expected += int(c % kShards) == shard;
  ASSERT_GT(expected, 0u);

  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  const auto child = vtest::runCommand({"/proc/self/exe", filter}, {std::string(kChildFlag) + "=1"});
  // The last call the child named is the one that did not come back.
  std::string last;
  const std::string err = "\n" + child.err;
  if (size_t at = err.rfind("\ncall "); at != std::string::npos) last = err.substr(at + 1, err.find('\n', at + 1) - at - 1);
  EXPECT_EQ(child.status, 0) << (child.status == 128 + SIGALRM ? "a call did not come back within "
                                                                    + std::to_string(kSecondsPerCall) + " s: "
                                                              : "the child failed; last ")
                             << last << "\n"
                             << child.out << child.err.substr(child.err.size() > 20000 ? child.err.size() - 20000 : 0);
  EXPECT_NE(child.out.find("made " + std::to_string(expected) + " calls"), std::string::npos) << child.out;
}

INSTANTIATE_TEST_SUITE_P(Shards, BridgeMalformed, testing::Range(0, kShards));

}  // namespace

// velmora-call: calls bridge methods by name on the window object, built
// without a window, in one process, so state carries from call to call.
//
//   velmora-call 'capi_Hash("abc", 0x13)' 'capi_GetErrorCode()'
//   velmora-call - < calls.txt       (one call per line)
//   velmora-call --list
//
// Each result is printed as one JSON line: a string as a JSON string, an
// int16 as a number, no result as null. An unknown name, a wrong argument
// count or an unconvertible argument ends the run with status 2.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "call_parser.h"
#include "client_dlg.h"
#include "method_table.h"

namespace {

using velmora::call::Call;

const char* typeName(bridge::ParamType t) {
  switch (t) {
    case bridge::ParamType::String: return "string";
    case bridge::ParamType::Int32: return "int32";
    case bridge::ParamType::Float32: return "float32";
  }
  return "?";
}

const char* resultName(bridge::ResultType t) {
  switch (t) {
    case bridge::ResultType::String: return "string";
    case bridge::ResultType::Int16: return "int16";
    case bridge::ResultType::None: return "none";
  }
  return "?";
}

void printTable() {
  const auto& table = bridge::methodTable();
  for (size_t i = 0; i < table.size(); ++i) {
    const auto& m = table[i];
    std::string line = std::to_string(i + 1) + " " + m.name + "(";
    for (size_t k = 0; k < m.params.size(); ++k) {
      if (k) line += ", ";
      line += typeName(m.params[k]);
      if (k < m.paramNames.size() && m.paramNames[k]) line += std::string(" ") + m.paramNames[k];
    }
    line += std::string(") -> ") + resultName(m.result);
    std::puts(line.c_str());
  }
}

const char* hresultName(HRESULT hr) {
  switch (hr) {
    case DISP_E_UNKNOWNNAME: return "unknown name";
    case DISP_E_BADPARAMCOUNT: return "wrong number of arguments";
    case DISP_E_TYPEMISMATCH: return "type mismatch";
    case DISP_E_OVERFLOW: return "overflow";
    case DISP_E_MEMBERNOTFOUND: return "member not found";
    case DISP_E_EXCEPTION: return "exception";
    default: return "automation error";
  }
}

VARIANT toVariant(const velmora::call::Value& v) {
  VARIANT out;
  VariantInit(&out);
  if (auto s = std::get_if<std::string>(&v)) {
    // Script text is Unicode; the command line is UTF-8.
    std::u16string wide = velmora::platform::toWide(*s, CP_UTF8);
    out.vt = VT_BSTR;
    out.bstrVal = SysAllocStringLen(wide.data(), UINT(wide.size()));
  } else if (auto n = std::get_if<long long>(&v)) {
    // Script numbers that fit 32 bits arrive as VT_I4, others as doubles.
    if (*n >= INT32_MIN && *n <= INT32_MAX) {
      out.vt = VT_I4;
      out.lVal = LONG(*n);
    } else {
      out.vt = VT_R8;
      out.dblVal = double(*n);
    }
  } else if (auto d = std::get_if<double>(&v)) {
    out.vt = VT_R8;
    out.dblVal = *d;
  } else if (auto b = std::get_if<bool>(&v)) {
    out.vt = VT_BOOL;
    out.boolVal = *b ? VARIANT_TRUE : VARIANT_FALSE;
  } else {
    out.vt = VT_NULL;
  }
  return out;
}

// Runs one call; prints its result or reports the error. False on error.
bool runCall(CFENROClientDlg& dlg, const std::string& text) {
  Call call;
  std::string error;
  if (!velmora::call::parseCall(text, call, error)) {
    fprintf(stderr, "velmora-call: cannot read the call '%s': %s\n", text.c_str(), error.c_str());
    return false;
  }
  std::u16string name = velmora::platform::toWide(call.name, CP_UTF8);
  LPOLESTR names[] = {name.data()};
  DISPID id = 0;
  HRESULT hr = dlg.GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) {
    fprintf(stderr, "velmora-call: %s: %s (0x%08X)\n", call.name.c_str(), hresultName(hr), unsigned(hr));
    return false;
  }
  std::vector<VARIANT> args;
  for (auto it = call.args.rbegin(); it != call.args.rend(); ++it) args.push_back(toVariant(*it));
  DISPPARAMS params{args.data(), nullptr, UINT(args.size()), 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO info{};
  UINT argErr = 0;
  hr = dlg.Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, &info, &argErr);
  for (auto& a : args) VariantClear(&a);
  if (FAILED(hr)) {
    if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW)
      fprintf(stderr, "velmora-call: %s: %s in argument %u (0x%08X)\n", call.name.c_str(), hresultName(hr),
              unsigned(call.args.size() - argErr), unsigned(hr));
    else
      fprintf(stderr, "velmora-call: %s: %s (0x%08X)\n", call.name.c_str(), hresultName(hr), unsigned(hr));
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    return false;
  }
  nlohmann::json out;
  if (result.vt == VT_BSTR) {
    std::u16string_view wide(result.bstrVal ? result.bstrVal : u"", SysStringLen(result.bstrVal));
    out = velmora::platform::toNarrow(wide, CP_UTF8);
  } else if (result.vt == VT_I2) {
    out = result.iVal;
  }
  VariantClear(&result);
  std::string line = out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::puts(line.c_str());
  fflush(stdout);
  return true;
}

int usage() {
  fprintf(stderr,
          "usage: velmora-call CALL...    e.g. velmora-call 'getVersion()' 'capi_GetErrorCode()'\n"
          "       velmora-call -          read calls from standard input, one per line\n"
          "       velmora-call --list     print the bridge method table\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string first = argv[1];
  if (first == "--help" || first == "-h") {
    usage();
    return 0;
  }
  if (first == "--list") {
    printTable();
    return 0;
  }
  CFENROClientDlg dlg;
  if (first == "-") {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") == std::string::npos) continue;
      if (!runCall(dlg, line)) return 2;
    }
    return 0;
  }
  for (int i = 1; i < argc; ++i)
    if (!runCall(dlg, argv[i])) return 2;
  return 0;
}

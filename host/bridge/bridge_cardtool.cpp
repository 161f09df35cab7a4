// Card tool methods: each forwards to the card tool object; its texts stay
// the card tool's and are only copied. regCert turns the code into text.
#include "base/codepage_internal.h"
#include "client_dlg.h"
#include "method_table.h"

namespace bridge {

using D = CFENROClientDlg;

// Object literals for the page's script, held in the ANSI code page and
// converted like every other string result: under a Big5 locale these are
// the Big5 bytes, and under UTF-8 the page still reads them right.
const char* regCertText(int code) {
  auto ansi = [](const char* utf8) { return velmora::platform::convertCodePage(utf8, CP_UTF8, CP_ACP); };
  static const std::string failed = ansi("{'errCode':'-1','errMsg':'憑證註冊失敗'}");
  static const std::string registered = ansi("{'errCode':'0','errMsg':'憑證註冊成功'}");
  static const std::string noneRegistered = ansi("{'errCode':'0','errMsg':'沒有任何憑證註冊至IE'}");
  if (code <= 10) return failed.c_str();
  if (code == 11) return registered.c_str();
  if (code == 12) return noneRegistered.c_str();
  return "";
}

namespace {

HRESULT regCert(CFENROClientDlg& dlg, const Args& a, VARIANT* result) {
  return setStringResult(result, regCertText(dlg.m_cardTool.regCert(a.str(0))));
}

}  // namespace

std::vector<Numbered> cardToolMethods() {
  return {
      {5, forward<&D::m_cardTool, &CCardToolLib::OpenCard>("OpenCard", {"reader"})},
      {6, forward<&D::m_cardTool, &CCardToolLib::ChangePin>("ChangePin1", {"pinNew", "pinNewConfirm"})},
      {7, forward<&D::m_cardTool, &CCardToolLib::ChangePin2>("ChangePin2", {"pinNew", "pinNewConfirm"})},
      {8, forward<&D::m_cardTool, &CCardToolLib::getReaderList>("getReaderList")},
      {9, forward<&D::m_cardTool, &CCardToolLib::QueryCert>("QueryCert")},
      {10, {"regCert", {ParamType::String}, {"cspName"}, ResultType::String, regCert}},
      {11, forward<&D::m_cardTool, &CCardToolLib::CloseCard>("CloseCard")},
      {12, forward<&D::m_cardTool, &CCardToolLib::ReadEF1001>("ReadEF1001")},
  };
}

}  // namespace bridge

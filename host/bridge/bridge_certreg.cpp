// Certificate registration methods: certReg_X forwards to CCAPICertRegLib::X.
#include "client_dlg.h"
#include "method_table.h"

namespace bridge {

using D = CFENROClientDlg;

std::vector<Numbered> certRegMethods() {
  return {
      {104, forward<&D::m_certReg, &CCAPICertRegLib::GetVersion, TextOwner::CallerDeleteArray>("certReg_GetVersion")},
      {105, forward<&D::m_certReg, &CCAPICertRegLib::GetErrorCode, TextOwner::CallerDeleteArray>("certReg_GetErrorCode")},
      {106, forward<&D::m_certReg, &CCAPICertRegLib::GetErrorMsg, TextOwner::CallerDeleteArray>("certReg_GetErrorMsg")},
      {107, forward<&D::m_certReg, &CCAPICertRegLib::GetCapiErrorCode, TextOwner::CallerDeleteArray>("certReg_GetCapiErrorCode")},
      {108, forward<&D::m_certReg, &CCAPICertRegLib::GetCapiErrorMsg, TextOwner::CallerDeleteArray>("certReg_GetCapiErrorMsg")},
      {109, forward<&D::m_certReg, &CCAPICertRegLib::RegSMCert, TextOwner::CallerDeleteArray>("certReg_RegSMCert", {"RNBO_IKEY1000_CSP"})},
      {110, forward<&D::m_certReg, &CCAPICertRegLib::GetSuccessCount, TextOwner::CallerDeleteArray>("certReg_GetSuccessCount")},
      {111, forward<&D::m_certReg, &CCAPICertRegLib::GetSn, TextOwner::CallerDeleteArray>("certReg_GetSn")},
  };
}

}  // namespace bridge

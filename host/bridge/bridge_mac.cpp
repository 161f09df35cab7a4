// TaiMAC10 card methods: mac_X forwards to CCAPITaiMAC10::X.
#include "client_dlg.h"
#include "method_table.h"

namespace bridge {

using D = CFENROClientDlg;

std::vector<Numbered> macMethods() {
  return {
      {112, forward<&D::m_taiMac, &CCAPITaiMAC10::GetVersion, TextOwner::CallerDeleteArray>("mac_GetVersion")},
      {113, forward<&D::m_taiMac, &CCAPITaiMAC10::GetErrorCode, TextOwner::CallerDeleteArray>("mac_GetErrorCode")},
      {114, forward<&D::m_taiMac, &CCAPITaiMAC10::GetErrorMsg, TextOwner::CallerDeleteArray>("mac_GetErrorMsg")},
      {115, forward<&D::m_taiMac, &CCAPITaiMAC10::GetCapiErrorCode, TextOwner::CallerDeleteArray>("mac_GetCapiErrorCode")},
      {116, forward<&D::m_taiMac, &CCAPITaiMAC10::GetCapiErrorMsg, TextOwner::CallerDeleteArray>("mac_GetCapiErrorMsg")},
      {117, forward<&D::m_taiMac, &CCAPITaiMAC10::WriteCertMAC, TextOwner::CallerDeleteArray>("mac_WriteCertMAC", {"Base64Mac"})},
      {118, forward<&D::m_taiMac, &CCAPITaiMAC10::ReadBinary, TextOwner::CallerDeleteArray>("mac_ReadBinary")},
      {119, forward<&D::m_taiMac, &CCAPITaiMAC10::ReadPKMAC, TextOwner::CallerDeleteArray>("mac_ReadPKMAC")},
      {120, forward<&D::m_taiMac, &CCAPITaiMAC10::MoveCert, TextOwner::CallerDeleteArray>("mac_MoveCert", {"srcEFID", "dstEFID"})},
      {121, forward<&D::m_taiMac, &CCAPITaiMAC10::ReadEF1001, TextOwner::CallerDeleteArray>("mac_ReadEF1001", {"RecN"})},
      {122, forward<&D::m_taiMac, &CCAPITaiMAC10::ChangeANPin, TextOwner::CallerDeleteArray>("mac_ChangeANPin", {"strOldPin", "strNewPin"})},
      {123, forward<&D::m_taiMac, &CCAPITaiMAC10::VerifyANPin, TextOwner::CallerDeleteArray>("mac_VerifyANPin", {"strPin"})},
      {124, forward<&D::m_taiMac, &CCAPITaiMAC10::GenRandom, TextOwner::CallerDeleteArray>("mac_GenRandom")},
      {125, forward<&D::m_taiMac, &CCAPITaiMAC10::TermAuth, TextOwner::CallerDeleteArray>("mac_TermAuth", {"Key", "pB64Cryptogram"})},
      {126, forward<&D::m_taiMac, &CCAPITaiMAC10::UnlockANPin, TextOwner::CallerDeleteArray>("mac_UnlockANPin")},
      {127, forward<&D::m_taiMac, &CCAPITaiMAC10::WriteEF8000, TextOwner::CallerDeleteArray>("mac_WriteEF8000", {"pCardHolderData"})},
      {128, forward<&D::m_taiMac, &CCAPITaiMAC10::WriteEF1001, TextOwner::CallerDeleteArray>("mac_WriteEF1001", {"RecN", "DATA"})},
      {129, forward<&D::m_taiMac, &CCAPITaiMAC10::ResetANPIN, TextOwner::CallerDeleteArray>("mac_ResetANPIN", {"strNewPin"})},
      {130, forward<&D::m_taiMac, &CCAPITaiMAC10::Read8000, TextOwner::CallerDeleteArray>("mac_Read8000", {"RecN", "pPin"})},
      {131, forward<&D::m_taiMac, &CCAPITaiMAC10::Check, TextOwner::CallerDeleteArray>("mac_Check")},
      {132, forward<&D::m_taiMac, &CCAPITaiMAC10::ResetPIN, TextOwner::CallerDeleteArray>("mac_ResetPIN", {"strNewPIN"})},
      {133, forward<&D::m_taiMac, &CCAPITaiMAC10::VerrifyPIN, TextOwner::CallerDeleteArray>("mac_VerrifyPIN", {"strPIN"})},
      {134, forward<&D::m_taiMac, &CCAPITaiMAC10::UnlockKey, TextOwner::CallerDeleteArray>("mac_UnlockKey", {"strKeyName"})},
      {135, forward<&D::m_taiMac, &CCAPITaiMAC10::ConnectCard, TextOwner::CallerDeleteArray>("mac_ConnectCard")},
      {136, forward<&D::m_taiMac, &CCAPITaiMAC10::DisConnectCard, TextOwner::CallerDeleteArray>("mac_DisConnectCard")},
      {137, forward<&D::m_taiMac, &CCAPITaiMAC10::GetCardStatus, TextOwner::CallerDeleteArray>("mac_GetCardStatus")},
  };
}

}  // namespace bridge

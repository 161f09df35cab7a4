// Security component methods: capi_X forwards to CCAPILib::X. Every text
// result is a new buffer that the bridge frees after copying it.
#include "client_dlg.h"
#include "method_table.h"

namespace bridge {

using D = CFENROClientDlg;

std::vector<Numbered> capiMethods() {
  return {
      {49, forward<&D::m_capi, &CCAPILib::GetVersion, TextOwner::CallerDeleteArray>("capi_GetVersion")},
      {50, forward<&D::m_capi, &CCAPILib::GetErrorCode, TextOwner::CallerDeleteArray>("capi_GetErrorCode")},
      {51, forward<&D::m_capi, &CCAPILib::GetErrorMsg, TextOwner::CallerDeleteArray>("capi_GetErrorMsg")},
      {52, forward<&D::m_capi, &CCAPILib::GetCapiErrorCode, TextOwner::CallerDeleteArray>("capi_GetCapiErrorCode")},
      {53, forward<&D::m_capi, &CCAPILib::GetCapiErrorMsg, TextOwner::CallerDeleteArray>("capi_GetCapiErrorMsg")},
      {54, forward<&D::m_capi, &CCAPILib::GetOSName, TextOwner::CallerDeleteArray>("capi_GetOSName")},
      {55, forward<&D::m_capi, &CCAPILib::GetMacAddress, TextOwner::CallerDeleteArray>("capi_GetMacAddress")},
      {56, forward<&D::m_capi, &CCAPILib::GetUserHomePath, TextOwner::CallerDeleteArray>("capi_GetUserHomePath")},
      {57, forward<&D::m_capi, &CCAPILib::RegReadHKCU, TextOwner::CallerDeleteArray>("capi_RegReadHKCU", {"strName"})},
      {58, forward<&D::m_capi, &CCAPILib::RegWriteHKCUInt, TextOwner::CallerDeleteArray>("capi_RegWriteHKCUInt", {"strName", "dw"})},
      {59, forward<&D::m_capi, &CCAPILib::RegWriteHKCUStr, TextOwner::CallerDeleteArray>("capi_RegWriteHKCUStr", {"strName", "str"})},
      {60, forward<&D::m_capi, &CCAPILib::Hash, TextOwner::CallerDeleteArray>("capi_Hash", {"strPlainText", "dwFlags"})},
      {61, forward<&D::m_capi, &CCAPILib::HashFile, TextOwner::CallerDeleteArray>("capi_HashFile", {"strFileName", "dwFlags"})},
      {62, forward<&D::m_capi, &CCAPILib::SetProviderName, TextOwner::CallerDeleteArray>("SetProviderName", {"strProviderName"})},
      {63, forward<&D::m_capi, &CCAPILib::CreatePKCS10, TextOwner::CallerDeleteArray>("capi_CreatePKCS10", {"commonName", "keyBits", "genKeyFlags"})},
      {65, forward<&D::m_capi, &CCAPILib::CreatePKCS10Pair, TextOwner::CallerDeleteArray>("capi_CreatePKCS10Pair", {"commonName", "keyBits", "genKeyFlags"})},
      {68, forward<&D::m_capi, &CCAPILib::GetCsrForSign, TextOwner::CallerDeleteArray>("capi_GetCsrForSign")},
      {69, forward<&D::m_capi, &CCAPILib::GetCsrForEncrypt, TextOwner::CallerDeleteArray>("capi_GetCsrForEncrypt")},
      {70, forward<&D::m_capi, &CCAPILib::AcceptPKCS7, TextOwner::CallerDeleteArray>("capi_AcceptPKCS7", {"strPkcs7"})},
      {71, forward<&D::m_capi, &CCAPILib::PresetPasswdLengthRange, TextOwner::CallerDeleteArray>("capi_PresetPasswdLengthRange", {"min", "max"})},
      {72, forward<&D::m_capi, &CCAPILib::ImportPfxToIE, TextOwner::CallerDeleteArray>("capi_ImportPfxToIE", {"strPfxPath", "strPfxName", "strPasswd", "dwFlags", "dwKeyUsage"})},
      {73, forward<&D::m_capi, &CCAPILib::SetDefaultPfxFileName, TextOwner::CallerDeleteArray>("capi_SetDefaultPfxFileName", {"strPrefix"})},
      {74, forward<&D::m_capi, &CCAPILib::ChangePfxPasswd, TextOwner::CallerDeleteArray>("capi_ChangePfxPasswd", {"strPfxPath", "strPfxName", "strOldPass", "strNewPass", "dwFlags"})},
      {75, forward<&D::m_capi, &CCAPILib::QueryPfxInfo, TextOwner::CallerDeleteArray>("capi_QueryPfxInfo", {"strPfxPath", "strPfxName", "strPasswd", "dwFlags", "dwKeyUsage"})},
      {76, forward<&D::m_capi, &CCAPILib::GetImportedPfxFilePath, TextOwner::CallerDeleteArray>("capi_GetImportedPfxFilePath")},
      {77, forward<&D::m_capi, &CCAPILib::GetImportedPfxFileName, TextOwner::CallerDeleteArray>("capi_GetImportedPfxFileName")},
      {78, forward<&D::m_capi, &CCAPILib::ChangePfxPasswdEx, TextOwner::CallerDeleteArray>("capi_ChangePfxPasswdEx", {"strPfxPath", "strPfxName", "strOldPass", "strNewPass", "dwPort", "dwFlags"})},
      {79, forward<&D::m_capi, &CCAPILib::ExportPfxFromIE, TextOwner::CallerDeleteArray>("capi_ExportPfxFromIE", {"strSubject", "strPfxPath", "strPassword", "dwFlags", "dwKeyUsage"})},
      {80, forward<&D::m_capi, &CCAPILib::ExportMobileFromPfx, TextOwner::CallerDeleteArray>("capi_ExportMobileFromPfx", {"strPfxPath", "strPfxName", "strPasswd", "dwFlags", "dwKeyUsage"})},
      {81, forward<&D::m_capi, &CCAPILib::ExportMobileFromIE, TextOwner::CallerDeleteArray>("capi_ExportMobileFromIE", {"strSubject", "strPasswd", "dwFlags", "dwKeyUsage"})},
      {82, forward<&D::m_capi, &CCAPILib::GetExportedPfxFilePath, TextOwner::CallerDeleteArray>("capi_GetExportedPfxFilePath")},
      {83, forward<&D::m_capi, &CCAPILib::GetExportedPfxFileName, TextOwner::CallerDeleteArray>("capi_GetExportedPfxFileName")},
      {84, forward<&D::m_capi, &CCAPILib::SelectSigner, TextOwner::CallerDeleteArray>("capi_SelectSigner", {"certFilter", "dwFlags", "dwKeyUsage"})},
      {85, forward<&D::m_capi, &CCAPILib::GetSignerPfxFilePath, TextOwner::CallerDeleteArray>("capi_GetSignerPfxFilePath")},
      {86, forward<&D::m_capi, &CCAPILib::GetSignerPfxFileName, TextOwner::CallerDeleteArray>("capi_GetSignerPfxFileName")},
      {87, forward<&D::m_capi, &CCAPILib::SignPkcs1, TextOwner::CallerDeleteArray>("capi_SignPkcs1", {"strContent", "dwFlags"})},
      {88, forward<&D::m_capi, &CCAPILib::SignPkcs7, TextOwner::CallerDeleteArray>("capi_SignPkcs7", {"strContent", "dwFlags"})},
      {89, forward<&D::m_capi, &CCAPILib::SelectSignerEx, TextOwner::CallerDeleteArray>("capi_SelectSignerEx", {"certFilter", "strPfxPath", "strPfxName", "strPasswd", "strCompareDate", "dwFlags", "dwKeyUsage"})},
      {90, forward<&D::m_capi, &CCAPILib::SelectSignerEx2, TextOwner::CallerDeleteArray>("capi_SelectSignerEx2", {"certFilter", "strPfxPath", "strPfxName", "dwPort", "strCompareDate", "dwFlags", "dwKeyUsage"})},
      {91, forward<&D::m_capi, &CCAPILib::GetPortEx, TextOwner::CallerDeleteArray>("capi_GetPortEx")},
      {92, forward<&D::m_capi, &CCAPILib::GetCertB64, TextOwner::CallerDeleteArray>("capi_GetCertB64")},
      {93, forward<&D::m_capi, &CCAPILib::GetCertSubject, TextOwner::CallerDeleteArray>("capi_GetCertSubject")},
      {94, forward<&D::m_capi, &CCAPILib::GetCertSubjectCN, TextOwner::CallerDeleteArray>("capi_GetCertSubjectCN")},
      {95, forward<&D::m_capi, &CCAPILib::GetCertIssuer, TextOwner::CallerDeleteArray>("capi_GetCertIssuer")},
      {96, forward<&D::m_capi, &CCAPILib::GetCertSerial, TextOwner::CallerDeleteArray>("capi_GetCertSerial")},
      {97, forward<&D::m_capi, &CCAPILib::GetCertNotBefore, TextOwner::CallerDeleteArray>("capi_GetCertNotBefore")},
      {98, forward<&D::m_capi, &CCAPILib::GetCertNotAfter, TextOwner::CallerDeleteArray>("capi_GetCertNotAfter")},
      {99, forward<&D::m_capi, &CCAPILib::GetCertFinger, TextOwner::CallerDeleteArray>("capi_GetCertFinger")},
      {100, forward<&D::m_capi, &CCAPILib::SymEncrypt, TextOwner::CallerDeleteArray>("capi_SymEncrypt", {"strPlainText", "strPasswdHex", "iAlgorithm", "dwFlags"})},
      {101, forward<&D::m_capi, &CCAPILib::SymDecrypt, TextOwner::CallerDeleteArray>("capi_SymDecrypt", {"strCipher", "strPasswdHex", "iAlgorithm", "dwFlags"})},
      {102, forward<&D::m_capi, &CCAPILib::CertEncryptPkcs7, TextOwner::CallerDeleteArray>("capi_CertEncryptPkcs7", {"strPlainText", "strCertB64", "iAlgorithm", "dwFlags"})},
      {103, forward<&D::m_capi, &CCAPILib::CertDecryptPkcs7, TextOwner::CallerDeleteArray>("capi_CertDecryptPkcs7", {"strCipher", "dwFlags"})},
  };
}

}  // namespace bridge

// Token component methods: each forwards to the JCICLib member of its row.
#include "client_dlg.h"
#include "method_table.h"

namespace bridge {

using D = CFENROClientDlg;

std::vector<Numbered> tokenMethods() {
  return {
      {13, forward<&D::m_jcic, &JCICLib::GetBase64MAC>("GetBase64MAC")},
      {14, forward<&D::m_jcic, &JCICLib::ImportCert>("ImportCert", {"base64X509", "MAC"})},
      {15, forward<&D::m_jcic, &JCICLib::GetBase64CSR>("GetBase64CSR")},
      {16, forward<&D::m_jcic, &JCICLib::MakePKCS10>("MakePKCS10", {"KeyType", "KeySize", "CN"})},
      {19, forward<&D::m_jcic, &JCICLib::get_GetVersion>("get_GetVersion")},
      {20, forward<&D::m_jcic, &JCICLib::get_GetErrorMsg>("get_GetErrorMsg")},
      {21, forward<&D::m_jcic, &JCICLib::get_GetErrorCode>("get_GetErrorCode")},
      {22, forward<&D::m_jcic, &JCICLib::get_GetPKCS7Data>("get_GetPKCS7Data")},
      {23, forward<&D::m_jcic, &JCICLib::SignPKCS7>("SignPKCS7", {"toSigndata"})},
      {24, forward<&D::m_jcic, &JCICLib::get_GetSelectedCertNotAfter>("get_GetSelectedCertNotAfter")},
      {25, forward<&D::m_jcic, &JCICLib::get_GetSelectedCertNotBefore>("get_GetSelectedCertNotBefore")},
      {26, forward<&D::m_jcic, &JCICLib::get_GetSelectedCertIssuer, TextOwner::CallerDeleteArray>("get_GetSelectedCertIssuer")},
      {27, forward<&D::m_jcic, &JCICLib::get_GetSelectedCertSubject, TextOwner::CallerDeleteArray>("get_GetSelectedCertSubject")},
      {28, forward<&D::m_jcic, &JCICLib::get_GetSelectedCertSerial, TextOwner::CallerDeleteArray>("get_GetSelectedCertSerial")},
      {29, forward<&D::m_jcic, &JCICLib::get_GetSelectedCertB64, TextOwner::CallerDeleteArray>("get_GetSelectedCertB64")},
      {30, forward<&D::m_jcic, &JCICLib::get_GetCertFinger, TextOwner::CallerDeleteArray>("get_GetCertFinger")},
      {31, forward<&D::m_jcic, &JCICLib::SelectCert>("SelectCert", {"CertType"})},
      {32, forward<&D::m_jcic, &JCICLib::Logout>("Logout")},
      {33, forward<&D::m_jcic, &JCICLib::Login>("jcicLogin", {"PINCode1", "PINCode2"})},
      {34, forward<&D::m_jcic, &JCICLib::GetCardStatus>("GetCardStatus")},
      {35, forward<&D::m_jcic, &JCICLib::GetCardType>("GetCardType")},
      {36, forward<&D::m_jcic, &JCICLib::SetTokenType>("SetTokenType", {"type"})},
      {37, forward<&D::m_jcic, &JCICLib::MacConnectCard>("MacConnectCard")},
      {38, forward<&D::m_jcic, &JCICLib::MacDisConnectCard>("MacDisConnectCard")},
      {39, forward<&D::m_jcic, &JCICLib::MacGetCardStatus>("MacGetCardStatus")},
      {40, forward<&D::m_jcic, &JCICLib::MacTermAuth>("MacTermAuth", {"Key", "pB64Cryptogram"})},
      {41, forward<&D::m_jcic, &JCICLib::MacGenRandom, TextOwner::CallerDeleteArray>("MacGenRandom")},
      {42, forward<&D::m_jcic, &JCICLib::MacReadEF1001, TextOwner::CallerDeleteArray>("MacReadEF1001", {"RecN"})},
      {43, forward<&D::m_jcic, &JCICLib::MacResetC7Pin>("MacResetC7Pin", {"strNewPIN"})},
      {44, forward<&D::m_jcic, &JCICLib::MacChangeC7Pin>("MacChangeC7Pin", {"strOldPin", "strNewPIN"})},
      {45, forward<&D::m_jcic, &JCICLib::MacVerifyC7Pin>("MacVerifyC7Pin", {"strPIN"})},
      {46, forward<&D::m_jcic, &JCICLib::MacResetC9Pin>("MacResetC9Pin", {"strNewPIN"})},
      {47, forward<&D::m_jcic, &JCICLib::MacChangeC9Pin>("MacChangeC9Pin", {"strOldPin", "strNewPIN"})},
      {48, forward<&D::m_jcic, &JCICLib::MacVerifyC9Pin>("MacVerifyC9Pin", {"strPIN"})},
  };
}

}  // namespace bridge

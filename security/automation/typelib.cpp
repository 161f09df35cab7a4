// The type library of the automation classes, carried in the module as its
// type library resource 1. Dispatch identifiers are fixed: pages call them
// by name, and compiled clients by identifier.
#include <array>

#include "automation/automation.h"
#include "com/member_call.h"

using strabel::automation::kClsidCapi;
using strabel::automation::kClsidCertReg;
using strabel::automation::kClsidTaiMac;
using strabel::automation::kIidCapi;
using strabel::automation::kIidCertReg;
using strabel::automation::kIidTaiMac;

const GUID LIBID_STRABELLib = strabel::automation::kLibId;
const CLSID CLSID_CAPI = kClsidCapi;
const CLSID CLSID_CertREG = kClsidCertReg;
const CLSID CLSID_TaiMAC10 = kClsidTaiMac;
const IID IID_ICAPI = kIidCapi;
const IID IID_ICertREG = kIidCertReg;
const IID IID_ITaiMAC10 = kIidTaiMac;

namespace {

#define FN(iface, id, name, ...) \
  velmora::com::member<&iface::name>(id, u## #name, INVOKE_FUNC, nullptr, 0 __VA_OPT__(, ) __VA_ARGS__)

// Every described member sits in the function table in the order of its
// description, right after IUnknown's and IDispatch's seven entries.
template <size_t N>
constexpr std::array<VELMORA_FUNCDESC, N> inTableOrder(std::array<VELMORA_FUNCDESC, N> funcs) {
  for (size_t i = 0; i < N; ++i) funcs[i].oVft = SHORT(7 + i);
  return funcs;
}

constexpr LPCOLESTR kCapiSetCodePage[] = {u"newCP"};
constexpr LPCOLESTR kCapiRegReadHKCU[] = {u"strName"};
constexpr LPCOLESTR kCapiRegWriteHKCUInt[] = {u"strName", u"dw"};
constexpr LPCOLESTR kCapiRegWriteHKCUStr[] = {u"strName", u"str"};
constexpr LPCOLESTR kCapiHash[] = {u"strPlainText", u"dwFlags"};
constexpr LPCOLESTR kCapiHashFile[] = {u"strFileName", u"dwFlags"};
constexpr LPCOLESTR kCapiSetProviderName[] = {u"strProviderName"};
constexpr LPCOLESTR kCapiCreatePKCS10[] = {u"commonName", u"keyBits", u"genKeyFlags"};
constexpr LPCOLESTR kCapiCreatePKCS10Pair[] = {u"commonName", u"keyBits", u"genKeyFlags"};
constexpr LPCOLESTR kCapiAcceptPKCS7[] = {u"strPkcs7"};
constexpr LPCOLESTR kCapiCreateEccPKCS10[] = {u"commonName", u"genEccKeyFlags"};
constexpr LPCOLESTR kCapiImportCertChain[] = {u"strPkcs7"};
constexpr LPCOLESTR kCapiSetDefaultPfxFileName[] = {u"strPrefix"};
constexpr LPCOLESTR kCapiPresetPasswdLengthRange[] = {u"min", u"max"};
constexpr LPCOLESTR kCapiChangePfxPasswd[] = {u"strPfxPath", u"strPfxName", u"strOldPass", u"strNewPass", u"dwFlags"};
constexpr LPCOLESTR kCapiChangePfxPasswdEx[] = {u"strPfxPath", u"strPfxName", u"strOldPass", u"strNewPass",
                                u"dwPort", u"dwFlags"};
constexpr LPCOLESTR kCapiQueryPfxInfo[] = {u"strPfxPath", u"strPfxName", u"strPasswd", u"dwFlags", u"dwKeyUsage"};
constexpr LPCOLESTR kCapiImportPfxToIE[] = {u"strPfxPath", u"strPfxName", u"strPasswd", u"dwFlags", u"dwKeyUsage"};
constexpr LPCOLESTR kCapiExportPfxFromIE[] = {u"strSubject", u"strPfxPath", u"strPassword", u"dwFlags",
                                u"dwKeyUsage"};
constexpr LPCOLESTR kCapiExportMobileFromPfx[] = {u"strPfxPath", u"strPfxName", u"strPasswd", u"dwFlags",
                                u"dwKeyUsage"};
constexpr LPCOLESTR kCapiExportMobileFromIE[] = {u"strSubject", u"strPasswd", u"dwFlags", u"dwKeyUsage"};
constexpr LPCOLESTR kCapiSelectSigner[] = {u"certFilter", u"dwFlags", u"dwKeyUsage"};
constexpr LPCOLESTR kCapiSelectSignerEx[] = {u"certFilter", u"strPfxPath", u"strPfxName", u"strPasswd",
                                u"strCompareDate", u"dwFlags", u"dwKeyUsage"};
constexpr LPCOLESTR kCapiSignPkcs1[] = {u"strContent", u"dwFlags"};
constexpr LPCOLESTR kCapiSignPkcs7[] = {u"strContent", u"dwFlags"};
constexpr LPCOLESTR kCapiSelectSignerEx2[] = {u"certFilter", u"strPfxPath", u"strPfxName", u"dwPort",
                                u"strCompareDate", u"dwFlags", u"dwKeyUsage"};
constexpr LPCOLESTR kCapiSymEncrypt[] = {u"strPlainText", u"strPasswdHex", u"iAlgorithm", u"dwFlags"};
constexpr LPCOLESTR kCapiSymDecrypt[] = {u"strCipher", u"strPasswdHex", u"iAlgorithm", u"dwFlags"};
constexpr LPCOLESTR kCapiCertEncryptPkcs7[] = {u"strPlainText", u"strCertB64", u"iAlgorithm", u"dwFlags"};
constexpr LPCOLESTR kCapiCertDecryptPkcs7[] = {u"strCipher", u"dwFlags"};

constexpr auto kCapiFuncs = inTableOrder(std::array{
    FN(ICAPI, 0x1, GetVersion),
    FN(ICAPI, 0x2, GetErrorCode),
    FN(ICAPI, 0x3, GetErrorMsg),
    FN(ICAPI, 0x4, GetCapiErrorCode),
    FN(ICAPI, 0x5, GetCapiErrorMsg),
    FN(ICAPI, 0x6, GetMacAddress),
    FN(ICAPI, 0x7, GetOSName),
    FN(ICAPI, 0x8, GetUserHomePath),
    FN(ICAPI, 0x9, SetCodePage, kCapiSetCodePage),
    FN(ICAPI, 0x14, RegReadHKCU, kCapiRegReadHKCU),
    FN(ICAPI, 0x15, RegWriteHKCUInt, kCapiRegWriteHKCUInt),
    FN(ICAPI, 0x16, RegWriteHKCUStr, kCapiRegWriteHKCUStr),
    FN(ICAPI, 0x1E, Hash, kCapiHash),
    FN(ICAPI, 0x1F, HashFile, kCapiHashFile),
    FN(ICAPI, 0x28, SetProviderName, kCapiSetProviderName),
    FN(ICAPI, 0x29, CreatePKCS10, kCapiCreatePKCS10),
    FN(ICAPI, 0x2A, CreatePKCS10Pair, kCapiCreatePKCS10Pair),
    FN(ICAPI, 0x2B, GetCsrForSign),
    FN(ICAPI, 0x2C, GetCsrForEncrypt),
    FN(ICAPI, 0x2D, AcceptPKCS7, kCapiAcceptPKCS7),
    FN(ICAPI, 0x2E, CreateEccPKCS10, kCapiCreateEccPKCS10),
    FN(ICAPI, 0x2F, ImportCertChain, kCapiImportCertChain),
    FN(ICAPI, 0x32, SetDefaultPfxFileName, kCapiSetDefaultPfxFileName),
    FN(ICAPI, 0x33, PresetPasswdLengthRange, kCapiPresetPasswdLengthRange),
    FN(ICAPI, 0x34, ChangePfxPasswd, kCapiChangePfxPasswd),
    FN(ICAPI, 0x35, ChangePfxPasswdEx, kCapiChangePfxPasswdEx),
    FN(ICAPI, 0x36, QueryPfxInfo, kCapiQueryPfxInfo),
    FN(ICAPI, 0x37, ImportPfxToIE, kCapiImportPfxToIE),
    FN(ICAPI, 0x38, GetImportedPfxFilePath),
    FN(ICAPI, 0x39, GetImportedPfxFileName),
    FN(ICAPI, 0x3C, ExportPfxFromIE, kCapiExportPfxFromIE),
    FN(ICAPI, 0x3D, ExportMobileFromPfx, kCapiExportMobileFromPfx),
    FN(ICAPI, 0x3E, ExportMobileFromIE, kCapiExportMobileFromIE),
    FN(ICAPI, 0x3F, GetExportedPfxFilePath),
    FN(ICAPI, 0x40, GetExportedPfxFileName),
    FN(ICAPI, 0x46, SelectSigner, kCapiSelectSigner),
    FN(ICAPI, 0x47, SelectSignerEx, kCapiSelectSignerEx),
    FN(ICAPI, 0x48, GetSignerPfxFilePath),
    FN(ICAPI, 0x49, GetSignerPfxFileName),
    FN(ICAPI, 0x4A, SignPkcs1, kCapiSignPkcs1),
    FN(ICAPI, 0x4B, SignPkcs7, kCapiSignPkcs7),
    FN(ICAPI, 0x4C, SelectSignerEx2, kCapiSelectSignerEx2),
    FN(ICAPI, 0x4D, GetPortEx),
    FN(ICAPI, 0x50, GetCertB64),
    FN(ICAPI, 0x51, GetCertSubject),
    FN(ICAPI, 0x52, GetCertSubjectCN),
    FN(ICAPI, 0x53, GetCertIssuer),
    FN(ICAPI, 0x54, GetCertSerial),
    FN(ICAPI, 0x55, GetCertNotBefore),
    FN(ICAPI, 0x56, GetCertNotAfter),
    FN(ICAPI, 0x57, GetCertFinger),
    FN(ICAPI, 0x5A, SymEncrypt, kCapiSymEncrypt),
    FN(ICAPI, 0x5B, SymDecrypt, kCapiSymDecrypt),
    FN(ICAPI, 0x5C, CertEncryptPkcs7, kCapiCertEncryptPkcs7),
    FN(ICAPI, 0x5D, CertDecryptPkcs7, kCapiCertDecryptPkcs7),
});

constexpr LPCOLESTR kCertRegRegSMCert[] = {u"RNBO_IKEY1000_CSP"};

constexpr auto kCertRegFuncs = inTableOrder(std::array{
    FN(ICertREG, 0x1, GetVersion),
    FN(ICertREG, 0x2, GetErrorCode),
    FN(ICertREG, 0x3, GetErrorMsg),
    FN(ICertREG, 0x4, GetCapiErrorCode),
    FN(ICertREG, 0x5, GetCapiErrorMsg),
    FN(ICertREG, 0xA, RegSMCert, kCertRegRegSMCert),
    FN(ICertREG, 0xB, GetSuccessCount),
    FN(ICertREG, 0xC, GetSn),
});

constexpr LPCOLESTR kTaiMacSetCodePage[] = {u"newCP"};
constexpr LPCOLESTR kTaiMacWriteCertMAC[] = {u"Base64Mac"};
constexpr LPCOLESTR kTaiMacMoveCert[] = {u"srcEFID", u"dstEFID"};
constexpr LPCOLESTR kTaiMacReadEF1001[] = {u"RecN"};
constexpr LPCOLESTR kTaiMacChangeANPin[] = {u"strOldPin", u"strNewPin"};
constexpr LPCOLESTR kTaiMacVerifyANPin[] = {u"strPin"};
constexpr LPCOLESTR kTaiMacTermAuth[] = {u"Key", u"pB64Cryptogram"};
constexpr LPCOLESTR kTaiMacWriteEF8000[] = {u"pCardHolderData"};
constexpr LPCOLESTR kTaiMacWriteEF1001[] = {u"RecN", u"DATA"};
constexpr LPCOLESTR kTaiMacResetANPIN[] = {u"strNewPin"};
constexpr LPCOLESTR kTaiMacRead8000[] = {u"RecN", u"pPin"};
constexpr LPCOLESTR kTaiMacResetPIN[] = {u"strNewPin"};
constexpr LPCOLESTR kTaiMacVerrifyPIN[] = {u"strPin"};
constexpr LPCOLESTR kTaiMacUnlockKey[] = {u"strKeyName"};

constexpr auto kTaiMacFuncs = inTableOrder(std::array{
    FN(ITaiMAC10, 0x1, GetVersion),
    FN(ITaiMAC10, 0x9, SetCodePage, kTaiMacSetCodePage),
    FN(ITaiMAC10, 0xA, WriteCertMAC, kTaiMacWriteCertMAC),
    FN(ITaiMAC10, 0xB, ReadBinary),
    FN(ITaiMAC10, 0xC, ReadPKMAC),
    FN(ITaiMAC10, 0xD, MoveCert, kTaiMacMoveCert),
    FN(ITaiMAC10, 0xE, ReadEF1001, kTaiMacReadEF1001),
    FN(ITaiMAC10, 0xF, ChangeANPin, kTaiMacChangeANPin),
    FN(ITaiMAC10, 0x10, VerifyANPin, kTaiMacVerifyANPin),
    FN(ITaiMAC10, 0x11, GenRandom),
    FN(ITaiMAC10, 0x12, TermAuth, kTaiMacTermAuth),
    FN(ITaiMAC10, 0x13, UnlockANPin),
    FN(ITaiMAC10, 0x14, WriteEF8000, kTaiMacWriteEF8000),
    FN(ITaiMAC10, 0x15, WriteEF1001, kTaiMacWriteEF1001),
    FN(ITaiMAC10, 0x16, ResetANPIN, kTaiMacResetANPIN),
    FN(ITaiMAC10, 0x17, Read8000, kTaiMacRead8000),
    FN(ITaiMAC10, 0x18, Check),
    FN(ITaiMAC10, 0x19, ResetPIN, kTaiMacResetPIN),
    FN(ITaiMAC10, 0x1A, VerrifyPIN, kTaiMacVerrifyPIN),
    FN(ITaiMAC10, 0x1B, UnlockKey, kTaiMacUnlockKey),
    FN(ITaiMAC10, 0x1C, ConnectCard),
    FN(ITaiMAC10, 0x1D, DisConnectCard),
    FN(ITaiMAC10, 0x1E, GetCardStatus),
});

// ITaiMAC10's status readers that follow GetCardStatus in its function
// table are left out on purpose: scripts cannot reach them by name.

#undef FN

constexpr WORD kDualFlags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;

constexpr VELMORA_INTERFACEDESC kInterfaces[] = {
    {kIidCapi, u"ICAPI", u"KAVO Corvane CAPI Interface", kDualFlags, kCapiFuncs.data(), UINT(kCapiFuncs.size())},
    {kIidCertReg, u"ICertREG", u"KAVO Corvane CertREG Interface", kDualFlags, kCertRegFuncs.data(),
     UINT(kCertRegFuncs.size())},
    {kIidTaiMac, u"ITaiMAC10", u"KAVO Corvane TaiMAC10 Interface", kDualFlags, kTaiMacFuncs.data(),
     UINT(kTaiMacFuncs.size())},
};

constexpr VELMORA_COCLASSDESC kCoClasses[] = {
    {kClsidCapi, u"CAPI", u"KAVO Corvane CAPI Class", &IID_ICAPI},
    {kClsidCertReg, u"CertREG", u"KAVO Corvane CertREG Class", &IID_ICertREG},
    {kClsidTaiMac, u"TaiMAC10", u"KAVO Corvane TaiMAC10 Class", &IID_ITaiMAC10},
};

constexpr VELMORA_TYPELIBDESC kTypeLib = {strabel::automation::kLibId,
                                          strabel::automation::kLibMajor,
                                          strabel::automation::kLibMinor,
                                          strabel::automation::kLibLcid,
                                          u"STRABELLib",
                                          u"STRABEL 4.0 Type Library",
                                          kInterfaces,
                                          UINT(std::size(kInterfaces)),
                                          kCoClasses,
                                          UINT(std::size(kCoClasses))};

}  // namespace

// Every server module exports its table under this one name. Protected
// visibility keeps it found by name in this module (LoadTypeLib looks it up
// on the module's handle) while no other module's reference binds to it, so
// servers loaded together do not share one table.
extern "C" __attribute__((visibility("protected"))) const VELMORA_TYPELIBENTRY VelmoraTypeLibTable[] = {
    {1, &kTypeLib}, {0, nullptr}};

// The control's identities and the type library the module carries as its
// resource 1: LoadTypeLib and moduleTypeInfo read it from the exported
// table. The members come from IJCIC's own functions, so the description and
// the function table agree on every argument type and position.
#include <winbase.h>

#include <iterator>

#include "automation/jcic_server.h"
#include "com/member_call.h"

extern "C" {
const CLSID CLSID_JCIC = {0x9D4F0A61, 0x2B7C, 0x4E35, {0x8C, 0x1A, 0x6E, 0x52, 0xB3, 0xD7, 0xF0, 0x19}};
const IID IID_IJCIC = {0x6B17D3E8, 0x5A42, 0x4C9F, {0x9E, 0x03, 0xB8, 0xF2, 0x5C, 0x6A, 0x1D, 0x47}};
const GUID LIBID_QUENNETLib = {0x2A8C6E13, 0xF4D0, 0x47B9, {0xA2, 0x5E, 0x0C, 0x9D, 0x71, 0xB4, 0xE8, 0x36}};
}

namespace {

using velmora::com::member;

constexpr LPCOLESTR kTypeArg[] = {u"type"};
constexpr LPCOLESTR kLoginArgs[] = {u"PINCode1", u"PINCode2"};
constexpr LPCOLESTR kCertTypeArg[] = {u"CertType"};
constexpr LPCOLESTR kSignArg[] = {u"toSigndata"};
constexpr LPCOLESTR kRequestArgs[] = {u"KeyType", u"KeySize", u"CN"};
constexpr LPCOLESTR kImportArgs[] = {u"base64X509", u"MAC"};
constexpr LPCOLESTR kTermAuthArgs[] = {u"Key", u"pB64Cryptogram"};
constexpr LPCOLESTR kRecordArg[] = {u"RecN"};
constexpr LPCOLESTR kNewPinArg[] = {u"strNewPIN"};
constexpr LPCOLESTR kChangePinArgs[] = {u"strOldPin", u"strNewPIN"};
constexpr LPCOLESTR kPinArg[] = {u"strPin"};

// Function-table positions: IUnknown and IDispatch hold 0 to 6.
constexpr VELMORA_FUNCDESC kMembers[] = {
    member<&IJCIC::SetTokenType>(1, u"SetTokenType", INVOKE_FUNC, u"method SetTokenType", 7, kTypeArg),
    member<&IJCIC::GetCardType>(2, u"GetCardType", INVOKE_FUNC, u"method GetCardType", 8),
    member<&IJCIC::GetCardStatus>(3, u"GetCardStatus", INVOKE_FUNC, u"method GetCardStatus", 9),
    member<&IJCIC::Login>(4, u"Login", INVOKE_FUNC, u"method Login", 10, kLoginArgs),
    member<&IJCIC::Logout>(5, u"Logout", INVOKE_FUNC, u"method Logout", 11),
    member<&IJCIC::SelectCert>(6, u"SelectCert", INVOKE_FUNC, u"method SelectCert", 12, kCertTypeArg),
    member<&IJCIC::get_GetCertFinger>(7, u"GetCertFinger", INVOKE_PROPERTYGET, u"property GetCertFinger", 13),
    member<&IJCIC::get_GetSelectedCertB64>(8, u"GetSelectedCertB64", INVOKE_PROPERTYGET,
                                           u"property GetSelectedCertB64", 14),
    member<&IJCIC::get_GetSelectedCertSerial>(9, u"GetSelectedCertSerial", INVOKE_PROPERTYGET,
                                              u"property GetSelectedCertSerial", 15),
    member<&IJCIC::get_GetSelectedCertSubject>(10, u"GetSelectedCertSubject", INVOKE_PROPERTYGET,
                                               u"property GetSelectedCertSubject", 16),
    member<&IJCIC::get_GetSelectedCertIssuer>(11, u"GetSelectedCertIssuer", INVOKE_PROPERTYGET,
                                              u"property GetSelectedCertIssuer", 17),
    member<&IJCIC::get_GetSelectedCertNotBefore>(12, u"GetSelectedCertNotBefore", INVOKE_PROPERTYGET,
                                                 u"property GetSelectedCertNotBefore", 18),
    member<&IJCIC::get_GetSelectedCertNotAfter>(13, u"GetSelectedCertNotAfter", INVOKE_PROPERTYGET,
                                                u"property GetSelectedCertNotAfter", 19),
    member<&IJCIC::SignPKCS7>(18, u"SignPKCS7", INVOKE_FUNC, u"method SignPKCS7", 20, kSignArg),
    member<&IJCIC::get_GetPKCS7Data>(20, u"GetPKCS7Data", INVOKE_PROPERTYGET, u"property GetPKCS7Data", 21),
    member<&IJCIC::get_GetErrorCode>(41, u"GetErrorCode", INVOKE_PROPERTYGET, u"property GetErrorCode", 22),
    member<&IJCIC::get_GetErrorMsg>(42, u"GetErrorMsg", INVOKE_PROPERTYGET, u"property GetErrorMsg", 23),
    member<&IJCIC::get_GetVersion>(43, u"GetVersion", INVOKE_PROPERTYGET, u"property GetVersion", 24),
    member<&IJCIC::MakePKCS10>(46, u"MakePKCS10", INVOKE_FUNC, u"method MakePKCS10", 25, kRequestArgs),
    member<&IJCIC::GetBase64CSR>(47, u"GetBase64CSR", INVOKE_FUNC, u"method GetBase64CSR", 26),
    member<&IJCIC::ImportCert>(48, u"ImportCert", INVOKE_FUNC, u"method ImportCert", 27, kImportArgs),
    member<&IJCIC::GetBase64MAC>(49, u"GetBase64MAC", INVOKE_FUNC, u"method GetBase64MAC", 28),
    member<&IJCIC::MacConnectCard>(101, u"MacConnectCard", INVOKE_FUNC, u"method MacConnectCard", 29),
    member<&IJCIC::MacDisConnectCard>(102, u"MacDisConnectCard", INVOKE_FUNC, u"method MacDisConnectCard", 30),
    member<&IJCIC::MacGetCardStatus>(103, u"MacGetCardStatus", INVOKE_FUNC, u"method MacGetCardStatus", 31),
    member<&IJCIC::MacTermAuth>(104, u"MacTermAuth", INVOKE_FUNC, u"method MacTermAuth", 32, kTermAuthArgs),
    member<&IJCIC::MacGenRandom>(105, u"MacGenRandom", INVOKE_FUNC, u"method MacGenRandom", 33),
    member<&IJCIC::MacReadEF1001>(106, u"MacReadEF1001", INVOKE_FUNC, u"method MacReadEF1001", 34, kRecordArg),
    member<&IJCIC::MacResetC7Pin>(107, u"MacResetC7Pin", INVOKE_FUNC, u"method MacResetC7Pin", 35, kNewPinArg),
    member<&IJCIC::MacChangeC7Pin>(108, u"MacChangeC7Pin", INVOKE_FUNC, u"method MacChangeC7Pin", 36,
                                   kChangePinArgs),
    member<&IJCIC::MacVerifyC7Pin>(109, u"MacVerifyC7Pin", INVOKE_FUNC, u"method MacVerifyC7Pin", 37, kPinArg),
    member<&IJCIC::MacResetC9Pin>(110, u"MacResetC9Pin", INVOKE_FUNC, u"method MacResetC9Pin", 38, kNewPinArg),
    member<&IJCIC::MacChangeC9Pin>(111, u"MacChangeC9Pin", INVOKE_FUNC, u"method MacChangeC9Pin", 39,
                                   kChangePinArgs),
    member<&IJCIC::MacVerifyC9Pin>(112, u"MacVerifyC9Pin", INVOKE_FUNC, u"method MacVerifyC9Pin", 40, kPinArg),
    // MakePKCS10ECC (position 41) is left out on purpose: it is not scriptable.
};

const VELMORA_INTERFACEDESC kInterfaces[] = {
    {IID_IJCIC, u"IJCIC", u"IJCIC Interface", TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE,
     kMembers, UINT(std::size(kMembers))},
};

const VELMORA_COCLASSDESC kCoClasses[] = {
    {CLSID_JCIC, u"JCIC", u"JCIC Class", &IID_IJCIC},
};

const VELMORA_TYPELIBDESC kTypeLib = {
    LIBID_QUENNETLib, 1, 0, 0, u"QUENNETLib", u"Quennet 1.0 Type Library",
    kInterfaces,      1, kCoClasses, 1,
};

}  // namespace

extern "C" {
// Protected: the security component exports a table of the same name.
__attribute__((visibility("protected"))) extern const VELMORA_TYPELIBENTRY VelmoraTypeLibTable[];
const VELMORA_TYPELIBENTRY VelmoraTypeLibTable[] = {{1, &kTypeLib}, {0, nullptr}};

// The module's description, as string resource 100.
VELMORA_EXPORT extern const VelmoraStringEntry VelmoraStringTable[];
const VelmoraStringEntry VelmoraStringTable[] = {{100, "Quennet Module"}, {0, nullptr}};
}

// Automation basics: IUnknown, IDispatch, BSTR and VARIANT with the
// automation coercion rules (VariantChangeType).
#pragma once

#include <windef.h>
#include <winerror.h>

typedef OLECHAR* BSTR;
typedef LONG DISPID;
typedef DISPID MEMBERID;
typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
typedef double DATE;
typedef union tagCY {
  __extension__ struct {
    ULONG Lo;
    LONG Hi;
  };
  LONGLONG int64;
} CY;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

struct IUnknown;
struct IDispatch;
struct ITypeInfo;

typedef struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    struct tagVARIANT* pvarVal;
    void* byref;
  };
} VARIANT, VARIANTARG, *LPVARIANT;

typedef struct tagDISPPARAMS {
  VARIANTARG* rgvarg;  // arguments in reverse order, as automation passes them
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
} DISPPARAMS;

typedef struct tagEXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  HRESULT (*pfnDeferredFillIn)(struct tagEXCEPINFO*);
  SCODE scode;
} EXCEPINFO;

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8
#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800

// VariantChangeType flags
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_LOCALBOOL 0x10

extern "C" __attribute__((visibility("default"))) const IID IID_IUnknown;
extern "C" __attribute__((visibility("default"))) const IID IID_IDispatch;
extern "C" __attribute__((visibility("default"))) const IID IID_NULL;

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
  virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) = 0;
  virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                         VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;

 protected:
  ~IDispatch() = default;
};

// BSTR: a length-prefixed UTF-16 string; a null BSTR is the empty string.
WINBASEAPI BSTR SysAllocString(const OLECHAR* psz);
WINBASEAPI BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
WINBASEAPI BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
WINBASEAPI void SysFreeString(BSTR bstrString);
WINBASEAPI UINT SysStringLen(BSTR pbstr);
WINBASEAPI UINT SysStringByteLen(BSTR bstr);

WINBASEAPI void VariantInit(VARIANTARG* pvarg);
WINBASEAPI HRESULT VariantClear(VARIANTARG* pvarg);
WINBASEAPI HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
// Converts between the scalar types, VT_BOOL and VT_BSTR the way automation
// does: numbers from text ("3" -> 3, " -7 " -> -7, "2.5" -> 2 with banker's
// rounding), DISP_E_TYPEMISMATCH for text that is no number,
// DISP_E_OVERFLOW when the value does not fit, VT_EMPTY as 0 or "".
WINBASEAPI HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);

// ---- Type descriptions ----
//
// A type library describes a server's classes and dual interfaces. On Linux
// a module carries its type libraries as an exported table named
// VelmoraTypeLibTable ({resource id, description}, ending in {0, nullptr});
// LoadTypeLib reads it from the module file (resource 1, or "<path>\<n>"
// for resource n). ITypeInfo::Invoke dispatches a call by dispatch
// identifier to the interface's function table through each member's `call`
// entry, converting the arguments the way automation does; IDispatch
// implementations of dual interfaces forward to it.

typedef enum tagINVOKEKIND {
  INVOKE_FUNC = 1,
  INVOKE_PROPERTYGET = 2,
  INVOKE_PROPERTYPUT = 4,
  INVOKE_PROPERTYPUTREF = 8,
} INVOKEKIND;

typedef enum tagTYPEKIND {
  TKIND_ENUM,
  TKIND_RECORD,
  TKIND_MODULE,
  TKIND_INTERFACE,
  TKIND_DISPATCH,
  TKIND_COCLASS,
  TKIND_ALIAS,
  TKIND_UNION,
} TYPEKIND;

typedef enum tagSYSKIND { SYS_WIN16, SYS_WIN32, SYS_MAC, SYS_WIN64 } SYSKIND;

#define TYPEFLAG_FAPPOBJECT 0x01
#define TYPEFLAG_FCANCREATE 0x02
#define TYPEFLAG_FHIDDEN 0x10
#define TYPEFLAG_FDUAL 0x40
#define TYPEFLAG_FOLEAUTOMATION 0x100
#define TYPEFLAG_FDISPATCHABLE 0x1000

// Calls one member on an interface pointer. `args` holds the arguments
// already converted to the declared types, in declaration order; the
// member's [out, retval] value goes to `result` (VT_EMPTY when it has none).
typedef HRESULT (*VELMORA_MEMBERCALL)(IUnknown* iface, VARIANT* args, VARIANT* result);

typedef struct tagVELMORA_FUNCDESC {
  MEMBERID memid;
  LPCOLESTR name;
  INVOKEKIND invkind;
  LPCOLESTR help;
  const VARTYPE* params;         // the [in] parameters' types (VT_BSTR, VT_I4)
  const LPCOLESTR* paramNames;   // may be null
  UINT cParams;
  VARTYPE result;                // the [out, retval] type, VT_EMPTY for none
  SHORT oVft;                    // the entry's position in the function table (FUNCDESC's oVft
                                 // is that position in bytes, as on Windows)
  VELMORA_MEMBERCALL call;
} VELMORA_FUNCDESC;

typedef struct tagVELMORA_INTERFACEDESC {
  IID iid;
  LPCOLESTR name;
  LPCOLESTR help;
  WORD typeFlags;                // TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | ...
  const VELMORA_FUNCDESC* funcs;
  UINT cFuncs;
} VELMORA_INTERFACEDESC;

typedef struct tagVELMORA_COCLASSDESC {
  CLSID clsid;
  LPCOLESTR name;
  LPCOLESTR help;
  const IID* defaultInterface;
} VELMORA_COCLASSDESC;

typedef struct tagVELMORA_TYPELIBDESC {
  GUID libid;
  WORD majorVersion;
  WORD minorVersion;
  LCID lcid;
  LPCOLESTR name;
  LPCOLESTR help;
  const VELMORA_INTERFACEDESC* interfaces;
  UINT cInterfaces;
  const VELMORA_COCLASSDESC* coclasses;
  UINT cCoClasses;
} VELMORA_TYPELIBDESC;

typedef struct tagVELMORA_TYPELIBENTRY {
  UINT id;
  const VELMORA_TYPELIBDESC* lib;
} VELMORA_TYPELIBENTRY;

typedef struct tagTYPEATTR {
  GUID guid;
  LCID lcid;
  MEMBERID memidConstructor;
  MEMBERID memidDestructor;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cVars;
  WORD cImplTypes;
  WORD cbSizeVft;
  WORD wTypeFlags;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
} TYPEATTR;

typedef struct tagELEMDESC {
  VARTYPE vt;
} ELEMDESC;

typedef struct tagFUNCDESC {
  MEMBERID memid;
  ELEMDESC* lprgelemdescParam;
  INVOKEKIND invkind;
  SHORT cParams;
  SHORT oVft;
  ELEMDESC elemdescFunc;         // the [out, retval] type
} FUNCDESC;

typedef struct tagTLIBATTR {
  GUID guid;
  LCID lcid;
  SYSKIND syskind;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  WORD wLibFlags;
} TLIBATTR;

struct ITypeLib;

// The members this system uses, in the order the SDK declares them.
struct ITypeInfo : IUnknown {
  virtual HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) = 0;
  virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) = 0;
  // names[0] is the member's name, then its parameters' names.
  virtual HRESULT GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) = 0;
  // Case-insensitive; DISP_E_UNKNOWNNAME with DISPID_UNKNOWN for a name
  // the description does not hold.
  virtual HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) = 0;
  // `pvInstance` is the interface pointer the description belongs to.
  virtual HRESULT Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                         VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
  // MEMBERID_NIL (-1) documents the type itself.
  virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                   BSTR* pBstrHelpFile) = 0;
  virtual HRESULT GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) = 0;
  virtual void ReleaseTypeAttr(TYPEATTR* pTypeAttr) = 0;
  virtual void ReleaseFuncDesc(FUNCDESC* pFuncDesc) = 0;

 protected:
  ~ITypeInfo() = default;
};

struct ITypeLib : IUnknown {
  virtual UINT GetTypeInfoCount() = 0;
  virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT GetTypeInfoType(UINT index, TYPEKIND* pTKind) = 0;
  // TYPE_E_ELEMENTNOTFOUND when the library describes no such type.
  virtual HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) = 0;
  virtual HRESULT GetLibAttr(TLIBATTR** ppTLibAttr) = 0;
  // index -1 documents the library itself.
  virtual HRESULT GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                   BSTR* pBstrHelpFile) = 0;
  virtual void ReleaseTLibAttr(TLIBATTR* pTLibAttr) = 0;

 protected:
  ~ITypeLib() = default;
};

#define MEMBERID_NIL DISPID_UNKNOWN

typedef enum tagREGKIND { REGKIND_DEFAULT, REGKIND_REGISTER, REGKIND_NONE } REGKIND;

extern "C" __attribute__((visibility("default"))) const IID IID_ITypeInfo;
extern "C" __attribute__((visibility("default"))) const IID IID_ITypeLib;

// TYPE_E_CANTLOADLIBRARY when the file does not load or carries no such
// type library. The library's description stays valid while the returned
// object lives (it keeps the module loaded).
WINBASEAPI HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);
WINBASEAPI HRESULT LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib);
// Through "TypeLib\{libid}\<major>.<minor>\<lcid>\win64" in HKEY_CLASSES_ROOT;
// TYPE_E_LIBNOTREGISTERED when absent.
WINBASEAPI HRESULT LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib);
// Writes "TypeLib\{libid}\<ver>" (the help string, FLAGS, HELPDIR,
// "<lcid>\win64" = szFullPath) and "Interface\{iid}" for every interface.
WINBASEAPI HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
// Removes what RegisterTypeLib wrote; TYPE_E_REGISTRYACCESS when the
// library was not registered.
WINBASEAPI HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind);

// VARIANT: VariantInit, VariantClear, VariantCopy and VariantChangeType with
// the automation coercion rules (see oleaut.h and convert_internal.h).
//
// Covered: VT_EMPTY, VT_NULL, VT_I1/UI1/I2/UI2/I4/UI4/I8/UI8/INT/UINT,
// VT_R4, VT_R8, VT_BOOL and VT_BSTR, sources also by reference. Other target
// types give DISP_E_BADVARTYPE, as do VT_CY, VT_DATE and VT_DECIMAL sources.
// An IDispatch source never has its default property read, so converting it
// to a value is DISP_E_TYPEMISMATCH.
#include <oleauto.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "com/convert_internal.h"

namespace {

using velmora::com::detail::IntValue;
using velmora::com::detail::ParsedNumber;

constexpr VARTYPE kTypeMask = 0x0FFF;
constexpr VARTYPE kVector = 0x1000;
constexpr VARTYPE kReserved = 0x8000;
constexpr VARTYPE kRecord = 36;
constexpr VARTYPE kClsid = 72;

// The type check Windows applies before clearing, copying or converting.
bool isValidType(VARTYPE vt) {
  const VARTYPE extra = vt & 0xF000;
  const VARTYPE base = vt & kTypeMask;
  if (extra & (kVector | kReserved)) return false;
  if (base < VT_VOID || base == kRecord || base == kClsid) {
    if ((extra & (VT_BYREF | VT_ARRAY)) && base <= VT_NULL) return false;
    return base != 15;
  }
  return false;
}

// Arrays and records need SAFEARRAY and IRecordInfo, which this platform
// does not provide: such variants cannot be released or copied here.
bool isUnsupportedOwner(VARTYPE vt) { return !(vt & VT_BYREF) && ((vt & VT_ARRAY) || (vt & kTypeMask) == kRecord); }

bool isTargetType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_BOOL:
    case VT_BSTR:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

struct IntType {
  int bytes;
  bool isSigned;
};

bool intType(VARTYPE vt, IntType& t) {
  switch (vt) {
    case VT_I1:
      t = {1, true};
      return true;
    case VT_UI1:
      t = {1, false};
      return true;
    case VT_I2:
      t = {2, true};
      return true;
    case VT_UI2:
      t = {2, false};
      return true;
    case VT_I4:
    case VT_INT:
      t = {4, true};
      return true;
    case VT_UI4:
    case VT_UINT:
      t = {4, false};
      return true;
    case VT_I8:
      t = {8, true};
      return true;
    case VT_UI8:
      t = {8, false};
      return true;
    default:
      return false;
  }
}

// The value of an integer variant, and its bit pattern widened to 64 bits.
IntValue intValueOf(const VARIANT& v, uint64_t& bits) {
  int64_t s = 0;
  uint64_t u = 0;
  bool isSigned = true;
  switch (v.vt) {
    case VT_I1:
      s = static_cast<signed char>(v.cVal);
      break;
    case VT_UI1:
      u = v.bVal;
      isSigned = false;
      break;
    case VT_I2:
      s = v.iVal;
      break;
    case VT_UI2:
      u = v.uiVal;
      isSigned = false;
      break;
    case VT_I4:
      s = v.lVal;
      break;
    case VT_INT:
      s = v.intVal;
      break;
    case VT_UI4:
      u = v.ulVal;
      isSigned = false;
      break;
    case VT_UINT:
      u = v.uintVal;
      isSigned = false;
      break;
    case VT_I8:
      s = v.llVal;
      break;
    case VT_UI8:
      u = v.ullVal;
      isSigned = false;
      break;
    default:
      break;
  }
  if (isSigned) {
    bits = static_cast<uint64_t>(s);
    return s < 0 ? IntValue{true, 0 - static_cast<uint64_t>(s)} : IntValue{false, static_cast<uint64_t>(s)};
  }
  bits = u;
  return IntValue{false, u};
}

// Stores the low bits of `bits` in the member `vt` uses.
void storeBits(VARIANT& out, VARTYPE vt, uint64_t bits) {
  out.vt = vt;
  switch (vt) {
    case VT_I1:
      out.cVal = static_cast<CHAR>(static_cast<signed char>(static_cast<uint8_t>(bits)));
      break;
    case VT_UI1:
      out.bVal = static_cast<BYTE>(bits);
      break;
    case VT_I2:
      out.iVal = static_cast<SHORT>(static_cast<uint16_t>(bits));
      break;
    case VT_UI2:
      out.uiVal = static_cast<USHORT>(bits);
      break;
    case VT_I4:
      out.lVal = static_cast<LONG>(static_cast<uint32_t>(bits));
      break;
    case VT_INT:
      out.intVal = static_cast<INT>(static_cast<uint32_t>(bits));
      break;
    case VT_UI4:
      out.ulVal = static_cast<ULONG>(bits);
      break;
    case VT_UINT:
      out.uintVal = static_cast<UINT>(bits);
      break;
    case VT_I8:
      out.llVal = static_cast<LONGLONG>(bits);
      break;
    case VT_UI8:
      out.ullVal = bits;
      break;
    default:
      break;
  }
}

bool fits(IntValue v, IntType t) {
  const uint64_t unsignedMax = t.bytes == 8 ? ~uint64_t(0) : (uint64_t(1) << (t.bytes * 8)) - 1;
  const uint64_t signedMax = unsignedMax >> 1;
  if (v.negative && v.mag != 0) return t.isSigned && v.mag <= signedMax + 1;
  return v.mag <= (t.isSigned ? signedMax : unsignedMax);
}

HRESULT storeInt(VARIANT& out, VARTYPE vt, IntType t, IntValue v) {
  if (!fits(v, t)) return DISP_E_OVERFLOW;
  storeBits(out, vt, v.negative ? 0 - v.mag : v.mag);
  return S_OK;
}

// A double to an integer type: banker's rounding, then the range check.
HRESULT storeRounded(VARIANT& out, VARTYPE vt, IntType t, double d) {
  if (!std::isfinite(d)) return DISP_E_OVERFLOW;
  const double r = velmora::com::detail::roundHalfEven(d);
  const int bits = t.bytes * 8;
  const double hiExclusive = std::ldexp(1.0, t.isSigned ? bits - 1 : bits);
  const double lo = t.isSigned ? -hiExclusive : 0.0;
  if (!(r >= lo && r < hiExclusive)) return DISP_E_OVERFLOW;
  const IntValue v = r < 0 ? IntValue{true, static_cast<uint64_t>(-r)} : IntValue{false, static_cast<uint64_t>(r)};
  return storeInt(out, vt, t, v);
}

HRESULT storeString(VARIANT& out, std::u16string_view text) {
  BSTR b = SysAllocStringLen(text.data(), UINT(text.size()));
  if (!b) return E_OUTOFMEMORY;
  out.vt = VT_BSTR;
  out.bstrVal = b;
  return S_OK;
}

std::u16string_view textOf(BSTR b) { return b ? std::u16string_view(b, SysStringLen(b)) : std::u16string_view(); }

bool equalsIgnoringCase(std::u16string_view text, std::string_view ascii) {
  if (text.size() != ascii.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
    char a = ascii[i];
    if (a >= 'A' && a <= 'Z') a = char(a - 'A' + 'a');
    if (c != char16_t(a)) return false;
  }
  return true;
}

HRESULT parse(BSTR b, ParsedNumber& number) { return velmora::com::detail::parseNumber(textOf(b), number); }

// VarBoolFromStr: "True"/"False" in any case, "#TRUE#"/"#FALSE#", or a number.
HRESULT boolFromString(BSTR b, VARIANT_BOOL& out) {
  std::u16string_view text = textOf(b);
  if (size_t nul = text.find(u'\0'); nul != std::u16string_view::npos) text = text.substr(0, nul);
  if (equalsIgnoringCase(text, "True") || text == u"#TRUE#") {
    out = VARIANT_TRUE;
    return S_OK;
  }
  if (equalsIgnoringCase(text, "False") || text == u"#FALSE#") {
    out = VARIANT_FALSE;
    return S_OK;
  }
  ParsedNumber number;
  double d = 0;
  HRESULT hr = velmora::com::detail::parseNumber(text, number);
  if (SUCCEEDED(hr)) hr = velmora::com::detail::doubleFromParsed(number, d);
  if (FAILED(hr)) return hr;
  out = d != 0.0 ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// A by-value view of `src` (borrowing its string or interface), following
// one level of VT_BYREF|VT_VARIANT as Windows does.
HRESULT dereference(const VARIANT& src, VARIANT& view) {
  if (!(src.vt & VT_BYREF)) {
    view = src;
    return S_OK;
  }
  if (!src.byref) return DISP_E_TYPEMISMATCH;
  const VARTYPE base = src.vt & ~VT_BYREF;
  std::memset(&view, 0, sizeof view);
  if (base & VT_ARRAY) {
    view.vt = base;
    return S_OK;
  }
  if (base == VT_VARIANT) {
    const VARIANT& inner = *src.pvarVal;
    if (inner.vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;  // only one level
    if (!isValidType(inner.vt)) return DISP_E_BADVARTYPE;
    return dereference(inner, view);
  }
  size_t size = 0;
  switch (base) {
    case VT_I1:
    case VT_UI1:
      size = 1;
      break;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      size = 2;
      break;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      size = 4;
      break;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_DATE:
    case VT_CY:
      size = 8;
      break;
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_UNKNOWN:
      size = sizeof(void*);
      break;
    default:
      size = 0;
      break;  // VT_DECIMAL, VT_RECORD: not read here
  }
  view.vt = base;
  if (size) std::memcpy(&view.llVal, src.byref, size);
  return S_OK;
}

// Converts the by-value `s` into a new, independently owned `out`.
HRESULT coerce(const VARIANT& s, USHORT flags, VARTYPE vt, VARIANT& out) {
  VariantInit(&out);
  const VARTYPE from = s.vt;
  if (from & VT_ARRAY) return DISP_E_TYPEMISMATCH;

  auto plain = [](VARTYPE t) -> VARTYPE { return t == VT_INT ? VARTYPE(VT_I4) : t == VT_UINT ? VARTYPE(VT_UI4) : t; };
  if (plain(from) == plain(vt)) {
    HRESULT hr = VariantCopy(&out, &s);
    if (SUCCEEDED(hr)) out.vt = vt;
    return hr;
  }
  if (vt == VT_EMPTY || vt == VT_NULL) {
    if (from == VT_ERROR || (vt == VT_EMPTY && from == VT_NULL)) return DISP_E_TYPEMISMATCH;
    if (from == VT_CY || from == VT_DATE || from == VT_DECIMAL || from == kRecord || from == kClsid)
      return DISP_E_BADVARTYPE;
    out.vt = vt;
    return S_OK;
  }

  // What the source holds.
  enum class Kind { Empty, Int, Real, Bool, Str } kind;
  IntValue iv;
  uint64_t ibits = 0;
  IntType itype{};
  double dv = 0;
  bool isFloat = false;
  switch (from) {
    case VT_EMPTY:
      kind = Kind::Empty;
      break;
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
      kind = Kind::Int;
      iv = intValueOf(s, ibits);
      intType(from, itype);
      break;
    case VT_R4:
      kind = Kind::Real;
      dv = s.fltVal;
      isFloat = true;
      break;
    case VT_R8:
      kind = Kind::Real;
      dv = s.dblVal;
      break;
    case VT_BOOL:
      kind = Kind::Bool;
      break;
    case VT_BSTR:
      kind = Kind::Str;
      break;
    case VT_CY:
    case VT_DATE:
    case VT_DECIMAL:
    case kRecord:
    case kClsid:
      return DISP_E_BADVARTYPE;
    default:  // VT_NULL, VT_DISPATCH (no default property), VT_UNKNOWN, VT_ERROR, VT_VARIANT
      return DISP_E_TYPEMISMATCH;
  }

  IntType target{};
  if (intType(vt, target)) {
    switch (kind) {
      case Kind::Empty:
        storeBits(out, vt, 0);
        return S_OK;
      case Kind::Int:
        // Same size, other signedness: Windows keeps the bit pattern
        // (VT_I4 -1 becomes VT_UI4 4294967295).
        if (itype.bytes == target.bytes && itype.isSigned != target.isSigned) {
          storeBits(out, vt, ibits);
          return S_OK;
        }
        return storeInt(out, vt, target, iv);
      case Kind::Real:
        return storeRounded(out, vt, target, dv);
      case Kind::Bool:  // VARIANT_TRUE is -1 in every integer type (255 as VT_UI1)
        storeBits(out, vt, static_cast<uint64_t>(static_cast<int64_t>(s.boolVal)));
        return S_OK;
      case Kind::Str: {
        ParsedNumber number;
        HRESULT hr = parse(s.bstrVal, number);
        if (SUCCEEDED(hr)) hr = velmora::com::detail::integerFromParsed(number, target.bytes, target.isSigned, iv);
        if (FAILED(hr)) return hr;
        storeBits(out, vt, iv.negative ? 0 - iv.mag : iv.mag);
        return S_OK;
      }
    }
  }

  if (vt == VT_R4 || vt == VT_R8) {
    double d = 0;
    switch (kind) {
      case Kind::Empty:
        break;
      case Kind::Int:
        if (vt == VT_R4) {
          const float f = static_cast<float>(iv.mag);  // rounded once, from the exact value
          out.vt = VT_R4;
          out.fltVal = iv.negative ? -f : f;
          return S_OK;
        }
        d = iv.negative ? -static_cast<double>(iv.mag) : static_cast<double>(iv.mag);
        break;
      case Kind::Real:
        d = dv;
        break;
      case Kind::Bool:
        d = s.boolVal;
        break;
      case Kind::Str: {
        ParsedNumber number;
        HRESULT hr = parse(s.bstrVal, number);
        if (SUCCEEDED(hr)) hr = velmora::com::detail::doubleFromParsed(number, d);
        if (FAILED(hr)) return hr;
        break;
      }
    }
    if (vt == VT_R8) {
      out.vt = VT_R8;
      out.dblVal = d;
      return S_OK;
    }
    if (std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;  // NaN passes, as on Windows
    out.vt = VT_R4;
    out.fltVal = static_cast<float>(d);
    return S_OK;
  }

  if (vt == VT_BOOL) {
    VARIANT_BOOL b = VARIANT_FALSE;
    switch (kind) {
      case Kind::Empty:
        break;
      case Kind::Int:
        b = iv.mag != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        break;
      case Kind::Real:
        b = dv != 0.0 ? VARIANT_TRUE : VARIANT_FALSE;
        break;
      case Kind::Bool:
        b = s.boolVal;
        break;
      case Kind::Str: {
        HRESULT hr = boolFromString(s.bstrVal, b);
        if (FAILED(hr)) return hr;
        break;
      }
    }
    out.vt = VT_BOOL;
    out.boolVal = b;
    return S_OK;
  }

  if (vt == VT_BSTR) {
    using velmora::com::detail::formatInteger;
    switch (kind) {
      case Kind::Empty:
        return storeString(out, u"");
      case Kind::Int:
        return storeString(out, formatInteger(iv));
      case Kind::Real:
        return storeString(out, velmora::com::detail::formatReal(dv, isFloat ? 7 : 15));
      case Kind::Bool:
        if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) return storeString(out, s.boolVal ? u"True" : u"False");
        return storeString(out, formatInteger(s.boolVal < 0 ? IntValue{true, uint64_t(-int64_t(s.boolVal))}
                                                            : IntValue{false, uint64_t(s.boolVal)}));
      case Kind::Str:
        break;  // handled as the same type above
    }
  }
  return DISP_E_BADVARTYPE;
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
  if (pvarg) pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (!isValidType(pvarg->vt) || isUnsupportedOwner(pvarg->vt)) return DISP_E_BADVARTYPE;
  if (!(pvarg->vt & VT_BYREF)) {
    switch (pvarg->vt) {
      case VT_BSTR:
        SysFreeString(pvarg->bstrVal);
        break;
      case VT_DISPATCH:
      case VT_UNKNOWN:
        if (pvarg->punkVal) pvarg->punkVal->Release();
        break;
      default:
        break;
    }
  }
  pvarg->vt = VT_EMPTY;
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (!isValidType(pvargSrc->vt) || (pvargSrc->vt & kTypeMask) == kClsid || isUnsupportedOwner(pvargSrc->vt))
    return DISP_E_BADVARTYPE;
  if (pvargSrc == pvargDest) return S_OK;

  // Make the copy first: the destination only changes once it is complete.
  VARIANT copy = *pvargSrc;
  if (!(copy.vt & VT_BYREF)) {
    if (copy.vt == VT_BSTR && copy.bstrVal) {
      copy.bstrVal =
          SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal), SysStringByteLen(pvargSrc->bstrVal));
      if (!copy.bstrVal) return E_OUTOFMEMORY;
    } else if ((copy.vt == VT_DISPATCH || copy.vt == VT_UNKNOWN) && copy.punkVal) {
      copy.punkVal->AddRef();
    }
  }
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *pvargDest = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  if (!isValidType(pvarSrc->vt)) return DISP_E_BADVARTYPE;
  if (!isTargetType(vt)) return DISP_E_BADVARTYPE;

  VARIANT view;
  HRESULT hr = dereference(*pvarSrc, view);
  if (FAILED(hr)) return hr;

  // The result owns its data, so the source may be the destination: it is
  // cleared only after the conversion succeeded.
  VARIANT result;
  hr = coerce(view, wFlags, vt, result);
  if (FAILED(hr)) return hr;
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}

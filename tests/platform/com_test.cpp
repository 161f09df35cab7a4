// Automation basics: interface identifiers, BSTR layout, VARIANT
// clear/copy/reference counts and the VariantChangeType coercion rules, plus
// the C++ conveniences of com/bstr.h.
#include <oleauto.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "com/bstr.h"
#include "test_support.h"

namespace {

using velmora::com::Bstr;
using velmora::com::toU16;
using velmora::com::toUtf8;
using velmora::com::VariantGuard;

// An IDispatch that counts its references and calls. Invoke would answer 7,
// so a conversion that read the default property would show up.
class CountingDispatch final : public IDispatch {
 public:
  ULONG refs = 1;
  int invokes = 0;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetTypeInfoCount(UINT* n) override {
    if (n) *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
    ++invokes;
    if (result) {
      result->vt = VT_I4;
      result->lVal = 7;
    }
    return S_OK;
  }
};

// ---- describing variants and results ----

template <typename T>
std::string num(T value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

std::string describe(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY:
      return "EMPTY";
    case VT_NULL:
      return "NULL";
    case VT_I1:
      return "I1 " + num(int(static_cast<signed char>(v.cVal)));
    case VT_UI1:
      return "UI1 " + num(int(v.bVal));
    case VT_I2:
      return "I2 " + num(v.iVal);
    case VT_UI2:
      return "UI2 " + num(v.uiVal);
    case VT_I4:
      return "I4 " + num(v.lVal);
    case VT_UI4:
      return "UI4 " + num(v.ulVal);
    case VT_INT:
      return "INT " + num(v.intVal);
    case VT_UINT:
      return "UINT " + num(v.uintVal);
    case VT_I8:
      return "I8 " + num(v.llVal);
    case VT_UI8:
      return "UI8 " + num(v.ullVal);
    case VT_R4:
      return "R4 " + num(v.fltVal);
    case VT_R8:
      return "R8 " + num(v.dblVal);
    case VT_BOOL:
      return "BOOL " + num(v.boolVal);
    case VT_BSTR:
      if (!v.bstrVal) return "BSTR null";
      return "BSTR \"" + toUtf8(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal))) + "\"";
    case VT_DISPATCH:
      return "DISPATCH";
    default:
      return "vt " + num(int(v.vt));
  }
}

std::string describeHr(HRESULT hr) {
  switch (hr) {
    case DISP_E_OVERFLOW:
      return "!OVERFLOW";
    case DISP_E_TYPEMISMATCH:
      return "!MISMATCH";
    case DISP_E_BADVARTYPE:
      return "!BADVARTYPE";
    case E_INVALIDARG:
      return "!INVALIDARG";
    default:
      return "!hr " + num(uint32_t(hr));
  }
}

// ---- sources for the tables ----

struct Src {
  VARTYPE vt = VT_EMPTY;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
  const char16_t* s = nullptr;  // VT_BSTR; nullptr is a null BSTR
};

Src Empty() { return {VT_EMPTY}; }
Src Null() { return {VT_NULL}; }
Src I1(int v) { return {VT_I1, v}; }
Src UI1(unsigned v) { return {VT_UI1, 0, v}; }
Src I2(int v) { return {VT_I2, v}; }
Src UI2(unsigned v) { return {VT_UI2, 0, v}; }
Src I4(int32_t v) { return {VT_I4, v}; }
Src UI4(uint32_t v) { return {VT_UI4, 0, v}; }
Src Int(int v) { return {VT_INT, v}; }
Src UInt(unsigned v) { return {VT_UINT, 0, v}; }
Src I8(int64_t v) { return {VT_I8, v}; }
Src UI8(uint64_t v) { return {VT_UI8, 0, v}; }
Src R4(float v) { return {VT_R4, 0, 0, v}; }
Src R8(double v) { return {VT_R8, 0, 0, v}; }
Src Bool(bool b) { return {VT_BOOL, b ? VARIANT_TRUE : VARIANT_FALSE}; }
Src BoolRaw(short v) { return {VT_BOOL, v}; }
Src Str(const char16_t* s) { return {VT_BSTR, 0, 0, 0, s}; }

VARIANT make(const Src& s) {
  VARIANT v;
  std::memset(&v, 0, sizeof v);
  v.vt = s.vt;
  switch (s.vt) {
    case VT_I1:
      v.cVal = static_cast<CHAR>(s.i);
      break;
    case VT_UI1:
      v.bVal = static_cast<BYTE>(s.u);
      break;
    case VT_I2:
      v.iVal = static_cast<SHORT>(s.i);
      break;
    case VT_UI2:
      v.uiVal = static_cast<USHORT>(s.u);
      break;
    case VT_I4:
      v.lVal = static_cast<LONG>(s.i);
      break;
    case VT_UI4:
      v.ulVal = static_cast<ULONG>(s.u);
      break;
    case VT_INT:
      v.intVal = static_cast<INT>(s.i);
      break;
    case VT_UINT:
      v.uintVal = static_cast<UINT>(s.u);
      break;
    case VT_I8:
      v.llVal = s.i;
      break;
    case VT_UI8:
      v.ullVal = s.u;
      break;
    case VT_R4:
      v.fltVal = static_cast<float>(s.d);
      break;
    case VT_R8:
      v.dblVal = s.d;
      break;
    case VT_BOOL:
      v.boolVal = static_cast<VARIANT_BOOL>(s.i);
      break;
    case VT_BSTR:
      v.bstrVal = s.s ? SysAllocString(s.s) : nullptr;
      break;
    default:
      break;
  }
  return v;
}

struct Case {
  Src src;
  VARTYPE to;
  std::string expect;  // the result as describe() writes it, or "!OVERFLOW" etc.
  USHORT flags = 0;
};

// Runs each case into a destination that holds a BSTR: on success that BSTR
// is freed (the sanitizer build sees a leak otherwise), on failure it must
// still be there, untouched. The source must not change either way.
void runCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    VARIANT src = make(c.src);
    const std::string srcText = describe(src);
    VARIANT dst;
    VariantInit(&dst);
    dst.vt = VT_BSTR;
    dst.bstrVal = SysAllocString(u"sentinel");
    const BSTR sentinel = dst.bstrVal;

    const HRESULT hr = VariantChangeType(&dst, &src, c.flags, c.to);
    const std::string got = SUCCEEDED(hr) ? describe(dst) : describeHr(hr);
    EXPECT_EQ(got, c.expect) << "converting " << srcText << " to vt " << c.to << " (flags " << c.flags << ")";
    if (SUCCEEDED(hr)) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(dst.vt, c.to);
    } else {
      EXPECT_EQ(dst.vt, VT_BSTR) << srcText << " to vt " << c.to;
      EXPECT_EQ(dst.bstrVal, sentinel) << srcText << " to vt " << c.to;
      EXPECT_EQ(std::u16string_view(dst.bstrVal), u"sentinel");
    }
    EXPECT_EQ(describe(src), srcText) << "the source changed";
    VariantClear(&dst);
    VariantClear(&src);
  }
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- identifiers ----

TEST(ComIids, WindowsValues) {
  const IID unknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  const IID dispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  const IID null = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
  EXPECT_TRUE(IID_IUnknown == unknown);
  EXPECT_TRUE(IID_IDispatch == dispatch);
  EXPECT_TRUE(IID_NULL == null);
  EXPECT_FALSE(IID_IUnknown == IID_IDispatch);
  EXPECT_FALSE(IID_IUnknown == IID_NULL);
}

// ---- BSTR ----

DWORD prefixOf(BSTR b) {
  DWORD length;
  std::memcpy(&length, reinterpret_cast<const unsigned char*>(b) - 4, sizeof length);
  return length;
}

TEST(Bstr, LayoutLengthPrefixAndTerminator) {
  BSTR b = SysAllocString(u"abc");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(prefixOf(b), 6u);  // bytes, without the terminator
  EXPECT_EQ(SysStringByteLen(b), 6u);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(std::u16string_view(b, 3), u"abc");
  EXPECT_EQ(b[3], u'\0');
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 8, 0u);
  SysFreeString(b);

  BSTR astral = SysAllocString(u"\U0001F600");
  EXPECT_EQ(SysStringLen(astral), 2u);
  SysFreeString(astral);
}

TEST(Bstr, EmbeddedZerosAndExplicitLengths) {
  const char16_t text[] = u"a\0b\0c";
  BSTR b = SysAllocStringLen(text, 5);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(SysStringByteLen(b), 10u);
  EXPECT_EQ(std::u16string_view(b, 5), std::u16string_view(text, 5));
  EXPECT_EQ(b[5], u'\0');
  SysFreeString(b);

  BSTR part = SysAllocStringLen(u"abcdef", 3);
  EXPECT_EQ(std::u16string_view(part, SysStringLen(part)), u"abc");
  EXPECT_EQ(part[3], u'\0');
  SysFreeString(part);

  BSTR blank = SysAllocStringLen(nullptr, 4);  // room for 4 characters
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(SysStringLen(blank), 4u);
  EXPECT_EQ(blank[4], u'\0');
  SysFreeString(blank);

  BSTR empty = SysAllocStringLen(u"", 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(empty[0], u'\0');
  SysFreeString(empty);
}

TEST(Bstr, ByteLengths) {
  BSTR b = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringByteLen(b), 3u);
  EXPECT_EQ(SysStringLen(b), 1u);  // whole characters only
  const auto* bytes = reinterpret_cast<const unsigned char*>(b);
  EXPECT_EQ(std::memcmp(bytes, "abc", 3), 0);
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(bytes[4], 0);
  SysFreeString(b);

  BSTR blank = SysAllocStringByteLen(nullptr, 5);
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(SysStringByteLen(blank), 5u);
  SysFreeString(blank);
}

TEST(Bstr, NullAndEmpty) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  BSTR empty = SysAllocString(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
}

// ---- VariantInit / VariantClear / VariantCopy ----

TEST(Variant, InitAndClear) {
  VARIANT v;
  std::memset(&v, 0xAB, sizeof v);
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);

  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"freed by VariantClear");
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);

  v.vt = VT_BSTR;
  v.bstrVal = nullptr;
  EXPECT_EQ(VariantClear(&v), S_OK);

  v.vt = 15;  // not a variant type
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(v.vt, 15);
  v.vt = VT_I4 | 0x1000;  // VT_VECTOR
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
}

TEST(Variant, ClearReleasesInterfaces) {
  CountingDispatch obj;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = &obj;
  obj.AddRef();  // the variant's reference
  ASSERT_EQ(obj.refs, 2u);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(obj.refs, 1u);
  EXPECT_EQ(v.vt, VT_EMPTY);

  v.vt = VT_UNKNOWN;
  v.punkVal = &obj;
  obj.AddRef();
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(obj.refs, 1u);

  // By reference: nothing is owned, nothing is released.
  IDispatch* p = &obj;
  v.vt = VT_DISPATCH | VT_BYREF;
  v.byref = &p;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(obj.refs, 1u);

  v.vt = VT_DISPATCH;
  v.pdispVal = nullptr;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(obj.invokes, 0);
}

TEST(Variant, CopyAddsReferences) {
  CountingDispatch obj;
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  a.vt = VT_DISPATCH;
  a.pdispVal = &obj;
  obj.AddRef();
  EXPECT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_EQ(b.vt, VT_DISPATCH);
  EXPECT_EQ(b.pdispVal, &obj);
  EXPECT_EQ(obj.refs, 3u);

  // Copying over a destination releases what it held.
  CountingDispatch other;
  VARIANT c;
  VariantInit(&c);
  c.vt = VT_UNKNOWN;
  c.punkVal = &other;
  other.AddRef();
  EXPECT_EQ(VariantCopy(&c, &a), S_OK);
  EXPECT_EQ(other.refs, 1u);
  EXPECT_EQ(obj.refs, 4u);

  // Copying onto itself changes nothing.
  EXPECT_EQ(VariantCopy(&a, &a), S_OK);
  EXPECT_EQ(obj.refs, 4u);

  VariantClear(&a);
  VariantClear(&b);
  VariantClear(&c);
  EXPECT_EQ(obj.refs, 1u);

  // A by-reference variant copies the pointer only.
  IDispatch* p = &obj;
  a.vt = VT_DISPATCH | VT_BYREF;
  a.byref = &p;
  EXPECT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_EQ(b.vt, VT_DISPATCH | VT_BYREF);
  EXPECT_EQ(b.byref, &p);
  EXPECT_EQ(obj.refs, 1u);
  EXPECT_EQ(obj.invokes, 0);
}

TEST(Variant, CopyDuplicatesStrings) {
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  const char16_t text[] = u"x\0y";
  a.vt = VT_BSTR;
  a.bstrVal = SysAllocStringLen(text, 3);
  EXPECT_EQ(VariantCopy(&b, &a), S_OK);
  ASSERT_EQ(b.vt, VT_BSTR);
  EXPECT_NE(b.bstrVal, a.bstrVal);
  EXPECT_EQ(std::u16string_view(b.bstrVal, SysStringLen(b.bstrVal)), std::u16string_view(text, 3));
  VariantClear(&a);  // the copy lives on
  EXPECT_EQ(SysStringLen(b.bstrVal), 3u);

  // An odd byte length survives the copy.
  a.vt = VT_BSTR;
  a.bstrVal = SysAllocStringByteLen("abc", 3);
  EXPECT_EQ(VariantCopy(&b, &a), S_OK);  // also frees the earlier copy
  EXPECT_EQ(SysStringByteLen(b.bstrVal), 3u);
  EXPECT_EQ(std::memcmp(b.bstrVal, "abc", 3), 0);
  VariantClear(&a);
  VariantClear(&b);

  a.vt = VT_BSTR;
  a.bstrVal = nullptr;
  EXPECT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_EQ(b.vt, VT_BSTR);
  EXPECT_EQ(b.bstrVal, nullptr);
}

TEST(Variant, CopyFailuresLeaveTheDestination) {
  CountingDispatch obj;
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  dst.vt = VT_I4;
  dst.lVal = 99;

  src.vt = 15;
  EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE);
  EXPECT_EQ(dst.vt, VT_I4);
  EXPECT_EQ(dst.lVal, 99);

  // A destination that cannot be cleared fails the copy, without keeping a
  // reference to the source's object.
  src.vt = VT_DISPATCH;
  src.pdispVal = &obj;
  dst.vt = 15;
  EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE);
  EXPECT_EQ(obj.refs, 1u);
  EXPECT_EQ(dst.vt, 15);
}

// ---- VariantChangeType ----

TEST(VariantChangeType, EmptyAndNull) {
  runCases({
      {Empty(), VT_I2, "I2 0"},
      {Empty(), VT_I4, "I4 0"},
      {Empty(), VT_R4, "R4 0"},
      {Empty(), VT_R8, "R8 0"},
      {Empty(), VT_BOOL, "BOOL 0"},
      {Empty(), VT_BSTR, "BSTR \"\""},
      {Empty(), VT_I1, "I1 0"},
      {Empty(), VT_UI1, "UI1 0"},
      {Empty(), VT_UI2, "UI2 0"},
      {Empty(), VT_UI4, "UI4 0"},
      {Empty(), VT_I8, "I8 0"},
      {Empty(), VT_UI8, "UI8 0"},
      {Empty(), VT_INT, "INT 0"},
      {Empty(), VT_UINT, "UINT 0"},
      {Empty(), VT_EMPTY, "EMPTY"},
      {Empty(), VT_NULL, "NULL"},

      {Null(), VT_NULL, "NULL"},
      {Null(), VT_EMPTY, "!MISMATCH"},
      {Null(), VT_I2, "!MISMATCH"},
      {Null(), VT_I4, "!MISMATCH"},
      {Null(), VT_UI1, "!MISMATCH"},
      {Null(), VT_R8, "!MISMATCH"},
      {Null(), VT_BOOL, "!MISMATCH"},
      {Null(), VT_BSTR, "!MISMATCH"},

      // Every value may become VT_EMPTY or VT_NULL.
      {I4(5), VT_EMPTY, "EMPTY"},
      {Str(u"x"), VT_EMPTY, "EMPTY"},
      {R8(1.5), VT_NULL, "NULL"},
      {Bool(true), VT_NULL, "NULL"},
  });

  // VT_EMPTY to text is an empty string, not a null BSTR.
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), S_OK);
  ASSERT_EQ(dst.vt, VT_BSTR);
  EXPECT_NE(dst.bstrVal, nullptr);
  EXPECT_EQ(SysStringLen(dst.bstrVal), 0u);
  VariantClear(&dst);
}

TEST(VariantChangeType, TextToI4) {
  runCases({
      {Str(u"3"), VT_I4, "I4 3"},
      {Str(u" -7 "), VT_I4, "I4 -7"},
      {Str(u"+5"), VT_I4, "I4 5"},
      {Str(u"\t12\r\n"), VT_I4, "I4 12"},
      {Str(u"007"), VT_I4, "I4 7"},
      {Str(u"- 5"), VT_I4, "I4 -5"},
      // Fractions round half to even.
      {Str(u"2.5"), VT_I4, "I4 2"},
      {Str(u"3.5"), VT_I4, "I4 4"},
      {Str(u"-2.5"), VT_I4, "I4 -2"},
      {Str(u"-3.5"), VT_I4, "I4 -4"},
      {Str(u"0.5"), VT_I4, "I4 0"},
      {Str(u"1.5"), VT_I4, "I4 2"},
      {Str(u"2.50001"), VT_I4, "I4 3"},
      {Str(u"2.4999999"), VT_I4, "I4 2"},
      {Str(u"-0.4"), VT_I4, "I4 0"},
      {Str(u"-0.6"), VT_I4, "I4 -1"},
      {Str(u".5"), VT_I4, "I4 0"},
      {Str(u"7."), VT_I4, "I4 7"},
      // Exponents.
      {Str(u"1e3"), VT_I4, "I4 1000"},
      {Str(u"1.5E1"), VT_I4, "I4 15"},
      {Str(u"25e-1"), VT_I4, "I4 2"},
      {Str(u"1e+2"), VT_I4, "I4 100"},
      {Str(u"1e-400"), VT_I4, "I4 0"},
      {Str(u"1e"), VT_I4, "!MISMATCH"},
      {Str(u"1e+"), VT_I4, "!MISMATCH"},
      // Thousands separators between digit groups, as en-US VarI4FromStr.
      {Str(u"1,000"), VT_I4, "I4 1000"},
      {Str(u"1,234,567"), VT_I4, "I4 1234567"},
      {Str(u"-1,000.75"), VT_I4, "I4 -1001"},
      {Str(u",100"), VT_I4, "!MISMATCH"},
      // Windows does not check the group sizes, and takes trailing separators.
      {Str(u"1,00"), VT_I4, "I4 100"},
      {Str(u"1000,"), VT_I4, "I4 1000"},
      // Hexadecimal and octal.
      {Str(u"&H1F"), VT_I4, "I4 31"},
      {Str(u"&h1f"), VT_I4, "I4 31"},
      {Str(u"&O17"), VT_I4, "I4 15"},
      {Str(u"&o777"), VT_I4, "I4 511"},
      {Str(u" &H10 "), VT_I4, "I4 16"},
      {Str(u"&H7FFFFFFF"), VT_I4, "I4 2147483647"},
      {Str(u"&HFFFFFFFF"), VT_I4, "I4 -1"},
      {Str(u"&H100000000"), VT_I4, "!OVERFLOW"},
      {Str(u"&H"), VT_I4, "!MISMATCH"},
      {Str(u"&HG"), VT_I4, "!MISMATCH"},
      {Str(u"&O8"), VT_I4, "!MISMATCH"},
      {Str(u"&H1.5"), VT_I4, "!MISMATCH"},
      {Str(u"0x1F"), VT_I4, "!MISMATCH"},
      // Other ways Windows writes a negative number, and a currency sign.
      {Str(u"(5)"), VT_I4, "I4 -5"},
      {Str(u"5-"), VT_I4, "I4 -5"},
      {Str(u"$12"), VT_I4, "I4 12"},
      {Str(u"(5"), VT_I4, "!MISMATCH"},
      // Range.
      {Str(u"2147483647"), VT_I4, "I4 2147483647"},
      {Str(u"2147483648"), VT_I4, "!OVERFLOW"},
      {Str(u"-2147483648"), VT_I4, "I4 -2147483648"},
      {Str(u"-2147483649"), VT_I4, "!OVERFLOW"},
      {Str(u"2147483647.5"), VT_I4, "!OVERFLOW"},
      {Str(u"-2147483648.5"), VT_I4, "I4 -2147483648"},
      {Str(u"99999999999999999999999"), VT_I4, "!OVERFLOW"},
      {Str(u"1e20"), VT_I4, "!OVERFLOW"},
      // Not numbers.
      {Str(u"abc"), VT_I4, "!MISMATCH"},
      {Str(u""), VT_I4, "!MISMATCH"},
      {Str(u" "), VT_I4, "!MISMATCH"},
      {Str(nullptr), VT_I4, "!MISMATCH"},
      {Str(u"3x"), VT_I4, "!MISMATCH"},
      {Str(u"x3"), VT_I4, "!MISMATCH"},
      {Str(u"1 2"), VT_I4, "!MISMATCH"},
      {Str(u"1.2.3"), VT_I4, "!MISMATCH"},
      {Str(u"--1"), VT_I4, "!MISMATCH"},
      {Str(u"."), VT_I4, "!MISMATCH"},
      {Str(u"True"), VT_I4, "!MISMATCH"},
      {Str(u"\uFF11"), VT_I4, "!MISMATCH"},  // a full-width digit
  });
}

TEST(VariantChangeType, TextToOtherIntegers) {
  runCases({
      {Str(u"127"), VT_I1, "I1 127"},
      {Str(u"-128"), VT_I1, "I1 -128"},
      {Str(u"128"), VT_I1, "!OVERFLOW"},
      {Str(u"&HFF"), VT_I1, "I1 -1"},
      {Str(u"255"), VT_UI1, "UI1 255"},
      {Str(u"256"), VT_UI1, "!OVERFLOW"},
      {Str(u"-1"), VT_UI1, "!OVERFLOW"},
      {Str(u"-0.4"), VT_UI1, "UI1 0"},
      {Str(u"254.5"), VT_UI1, "UI1 254"},
      {Str(u"255.5"), VT_UI1, "!OVERFLOW"},
      {Str(u"32767"), VT_I2, "I2 32767"},
      {Str(u"32768"), VT_I2, "!OVERFLOW"},
      {Str(u"-32768"), VT_I2, "I2 -32768"},
      {Str(u"&HFFFF"), VT_I2, "I2 -1"},
      {Str(u"&H10000"), VT_I2, "!OVERFLOW"},
      {Str(u"65535"), VT_UI2, "UI2 65535"},
      {Str(u"65536"), VT_UI2, "!OVERFLOW"},
      {Str(u"4294967295"), VT_UI4, "UI4 4294967295"},
      {Str(u"4294967296"), VT_UI4, "!OVERFLOW"},
      {Str(u"-1"), VT_UI4, "!OVERFLOW"},
      {Str(u"&HFFFFFFFF"), VT_UI4, "UI4 4294967295"},
      {Str(u"9223372036854775807"), VT_I8, "I8 9223372036854775807"},
      {Str(u"9223372036854775808"), VT_I8, "!OVERFLOW"},
      {Str(u"-9223372036854775808"), VT_I8, "I8 -9223372036854775808"},
      {Str(u"&HFFFFFFFF"), VT_I8, "I8 4294967295"},
      {Str(u"&HFFFFFFFFFFFFFFFF"), VT_I8, "I8 -1"},
      {Str(u"&H10000000000000000"), VT_I8, "!OVERFLOW"},
      {Str(u"18446744073709551615"), VT_UI8, "UI8 18446744073709551615"},
      {Str(u"18446744073709551616"), VT_UI8, "!OVERFLOW"},
      {Str(u"1.8446744073709551615e19"), VT_UI8, "UI8 18446744073709551615"},
      {Str(u"42"), VT_INT, "INT 42"},
      {Str(u"-42"), VT_INT, "INT -42"},
      {Str(u"42"), VT_UINT, "UINT 42"},
      {Str(u"-42"), VT_UINT, "!OVERFLOW"},
  });
}

TEST(VariantChangeType, TextToReals) {
  runCases({
      {Str(u"1.5"), VT_R8, "R8 1.5"},
      {Str(u" -0.25 "), VT_R8, "R8 -0.25"},
      {Str(u".5"), VT_R8, "R8 0.5"},
      {Str(u"1."), VT_R8, "R8 1"},
      {Str(u"0.1"), VT_R8, "R8 0.1"},
      {Str(u"1e20"), VT_R8, "R8 1e+20"},
      {Str(u"1.5E-7"), VT_R8, "R8 1.5e-07"},
      {Str(u"1,000.5"), VT_R8, "R8 1000.5"},
      {Str(u"123456789012345678901234567890"), VT_R8, "R8 1.2345678901234568e+29"},
      {Str(u"1.7976931348623157e308"), VT_R8, "R8 1.7976931348623157e+308"},
      {Str(u"1e400"), VT_R8, "!OVERFLOW"},
      {Str(u"-1e400"), VT_R8, "!OVERFLOW"},
      {Str(u"1e-400"), VT_R8, "R8 0"},
      {Str(u"&HFF"), VT_R8, "R8 255"},
      {Str(u"abc"), VT_R8, "!MISMATCH"},
      {Str(u""), VT_R8, "!MISMATCH"},
      {Str(u"1.5"), VT_R4, "R4 1.5"},
      {Str(u"0.1"), VT_R4, "R4 0.1"},
      {Str(u"-3.4e38"), VT_R4, "R4 -3.4e+38"},
      {Str(u"1e39"), VT_R4, "!OVERFLOW"},
      {Str(u"x"), VT_R4, "!MISMATCH"},
  });
}

TEST(VariantChangeType, RealsToIntegers) {
  runCases({
      {R8(2.5), VT_I4, "I4 2"},
      {R8(3.5), VT_I4, "I4 4"},
      {R8(-2.5), VT_I4, "I4 -2"},
      {R8(-3.5), VT_I4, "I4 -4"},
      {R8(0.5), VT_I4, "I4 0"},
      {R8(-0.5), VT_I4, "I4 0"},
      {R8(1.5), VT_I4, "I4 2"},
      {R8(0.4999), VT_I4, "I4 0"},
      {R8(2.5000001), VT_I4, "I4 3"},
      {R8(-0.6), VT_I4, "I4 -1"},
      {R8(2147483647.0), VT_I4, "I4 2147483647"},
      {R8(2147483647.4), VT_I4, "I4 2147483647"},
      {R8(2147483647.5), VT_I4, "!OVERFLOW"},
      {R8(-2147483648.5), VT_I4, "I4 -2147483648"},
      {R8(-2147483649.0), VT_I4, "!OVERFLOW"},
      {R8(1e300), VT_I4, "!OVERFLOW"},
      {R8(kNaN), VT_I4, "!OVERFLOW"},
      {R8(kInf), VT_I4, "!OVERFLOW"},
      {R8(-kInf), VT_I4, "!OVERFLOW"},
      {R8(127.5), VT_I1, "!OVERFLOW"},
      {R8(-128.5), VT_I1, "I1 -128"},
      {R8(254.5), VT_UI1, "UI1 254"},
      {R8(255.5), VT_UI1, "!OVERFLOW"},
      {R8(-0.5), VT_UI1, "UI1 0"},
      {R8(-0.6), VT_UI1, "!OVERFLOW"},
      {R8(32767.5), VT_I2, "!OVERFLOW"},
      {R8(-32768.5), VT_I2, "I2 -32768"},
      {R8(65535.4), VT_UI2, "UI2 65535"},
      {R8(4294967295.0), VT_UI4, "UI4 4294967295"},
      {R8(4294967295.5), VT_UI4, "!OVERFLOW"},
      {R8(9.2e18), VT_I8, "I8 9200000000000000000"},
      {R8(9.3e18), VT_I8, "!OVERFLOW"},
      {R8(-9223372036854775808.0), VT_I8, "I8 -9223372036854775808"},
      {R8(9.3e18), VT_UI8, "UI8 9300000000000000000"},
      {R8(18446744073709551616.0), VT_UI8, "!OVERFLOW"},
      {R8(-0.4), VT_UI8, "UI8 0"},
      {R8(-1), VT_UI8, "!OVERFLOW"},
      {R8(-2.5), VT_INT, "INT -2"},
      {R8(3.5), VT_UINT, "UINT 4"},
      {R4(2.5f), VT_I4, "I4 2"},
      {R4(3.5f), VT_I4, "I4 4"},
      {R4(-2.5f), VT_I2, "I2 -2"},
      {R4(1e10f), VT_I2, "!OVERFLOW"},
      {R4(std::numeric_limits<float>::quiet_NaN()), VT_I4, "!OVERFLOW"},
  });
}

TEST(VariantChangeType, BetweenReals) {
  runCases({
      {R8(1.5), VT_R4, "R4 1.5"},
      {R8(0.1), VT_R4, "R4 0.1"},
      {R8(1e39), VT_R4, "!OVERFLOW"},
      {R8(-1e39), VT_R4, "!OVERFLOW"},
      {R8(kInf), VT_R4, "!OVERFLOW"},
      {R4(1.5f), VT_R8, "R8 1.5"},
      {R4(0.1f), VT_R8, "R8 0.10000000149011612"},
      {I4(16777217), VT_R4, "R4 16777216"},
      {I8(-9007199254740993), VT_R8, "R8 -9007199254740992"},
      {UI8(18446744073709551615u), VT_R8, "R8 18446744073709551616"},
      {UI4(4294967295u), VT_R8, "R8 4294967295"},
      {I2(-5), VT_R8, "R8 -5"},
  });
}

TEST(VariantChangeType, BetweenIntegers) {
  runCases({
      {I4(70000), VT_I2, "!OVERFLOW"},
      {I4(-32768), VT_I2, "I2 -32768"},
      {I4(-32769), VT_I2, "!OVERFLOW"},
      {I4(255), VT_UI1, "UI1 255"},
      {I4(256), VT_UI1, "!OVERFLOW"},
      {I4(-1), VT_UI1, "!OVERFLOW"},
      {I4(-1), VT_UI2, "!OVERFLOW"},
      {I4(-1), VT_UI8, "!OVERFLOW"},
      {I4(-1), VT_I8, "I8 -1"},
      {I2(200), VT_I1, "!OVERFLOW"},
      {I2(-1), VT_I4, "I4 -1"},
      {UI2(40000), VT_I4, "I4 40000"},
      {UI2(40000), VT_I2, "I2 -25536"},
      {I8(2147483648), VT_I4, "!OVERFLOW"},
      {I8(-2147483648), VT_I4, "I4 -2147483648"},
      {UI8(4294967295u), VT_UI4, "UI4 4294967295"},
      {UI8(4294967296u), VT_UI4, "!OVERFLOW"},
      {UI4(4294967295u), VT_I8, "I8 4294967295"},
      {I4(5), VT_INT, "INT 5"},
      {Int(5), VT_I4, "I4 5"},
      {UInt(7), VT_UI4, "UI4 7"},
      // Windows keeps the bit pattern between the signed and unsigned type
      // of the same size (VariantChangeType, not the VarXxxFromYyy calls).
      {I1(-1), VT_UI1, "UI1 255"},
      {UI1(255), VT_I1, "I1 -1"},
      {I2(-1), VT_UI2, "UI2 65535"},
      {I4(-1), VT_UI4, "UI4 4294967295"},
      {I4(-1), VT_UINT, "UINT 4294967295"},
      {Int(-1), VT_UI4, "UI4 4294967295"},
      {UI4(4294967295u), VT_I4, "I4 -1"},
      {UI4(4294967295u), VT_INT, "INT -1"},
      {I8(-1), VT_UI8, "UI8 18446744073709551615"},
      {UI8(18446744073709551615u), VT_I8, "I8 -1"},
  });
}

TEST(VariantChangeType, NumbersToText) {
  runCases({
      {I4(-42), VT_BSTR, "BSTR \"-42\""},
      {I4(0), VT_BSTR, "BSTR \"0\""},
      {I2(32767), VT_BSTR, "BSTR \"32767\""},
      {I1(-128), VT_BSTR, "BSTR \"-128\""},
      {UI1(255), VT_BSTR, "BSTR \"255\""},
      {UI2(65535), VT_BSTR, "BSTR \"65535\""},
      {UI4(4294967295u), VT_BSTR, "BSTR \"4294967295\""},
      {I8(std::numeric_limits<int64_t>::min()), VT_BSTR, "BSTR \"-9223372036854775808\""},
      {UI8(18446744073709551615u), VT_BSTR, "BSTR \"18446744073709551615\""},
      {Int(-1), VT_BSTR, "BSTR \"-1\""},
      {UInt(4000000000u), VT_BSTR, "BSTR \"4000000000\""},
      // Doubles: up to 15 significant digits, no trailing zeros, exponent
      // form below 1E-04 and from 1E+15 on.
      {R8(1.5), VT_BSTR, "BSTR \"1.5\""},
      {R8(0.1), VT_BSTR, "BSTR \"0.1\""},
      {R8(-0.25), VT_BSTR, "BSTR \"-0.25\""},
      {R8(100), VT_BSTR, "BSTR \"100\""},
      {R8(0), VT_BSTR, "BSTR \"0\""},
      {R8(-0.0), VT_BSTR, "BSTR \"0\""},
      {R8(12345.678), VT_BSTR, "BSTR \"12345.678\""},
      {R8(0.1 + 0.2), VT_BSTR, "BSTR \"0.3\""},
      {R8(1.0 / 3), VT_BSTR, "BSTR \"0.333333333333333\""},
      {R8(2.0 / 3), VT_BSTR, "BSTR \"0.666666666666667\""},
      {R8(1e20), VT_BSTR, "BSTR \"1E+20\""},
      {R8(1.5e-7), VT_BSTR, "BSTR \"1.5E-07\""},
      {R8(-1e100), VT_BSTR, "BSTR \"-1E+100\""},
      {R8(1e-300), VT_BSTR, "BSTR \"1E-300\""},
      {R8(1e15), VT_BSTR, "BSTR \"1E+15\""},
      {R8(1e14), VT_BSTR, "BSTR \"100000000000000\""},
      {R8(123456789012345), VT_BSTR, "BSTR \"123456789012345\""},
      {R8(1234567890123456), VT_BSTR, "BSTR \"1.23456789012346E+15\""},
      {R8(0.0001), VT_BSTR, "BSTR \"0.0001\""},
      {R8(0.00012345), VT_BSTR, "BSTR \"0.00012345\""},
      {R8(0.00001), VT_BSTR, "BSTR \"1E-05\""},
      {R8(1.7976931348623157e308), VT_BSTR, "BSTR \"1.79769313486232E+308\""},
      {R8(5e-324), VT_BSTR, "BSTR \"4.94065645841247E-324\""},
      // Floats: 7 significant digits.
      {R4(1.5f), VT_BSTR, "BSTR \"1.5\""},
      {R4(0.1f), VT_BSTR, "BSTR \"0.1\""},
      {R4(1.1f), VT_BSTR, "BSTR \"1.1\""},
      {R4(3.14159274f), VT_BSTR, "BSTR \"3.141593\""},
      {R4(1234567.0f), VT_BSTR, "BSTR \"1234567\""},
      {R4(16777216.0f), VT_BSTR, "BSTR \"1.677722E+07\""},
      {R4(1e-5f), VT_BSTR, "BSTR \"1E-05\""},
      {R4(3.4028235e38f), VT_BSTR, "BSTR \"3.402823E+38\""},
  });
}

TEST(VariantChangeType, Booleans) {
  runCases({
      // Numbers to BOOL: nonzero is VARIANT_TRUE.
      {I4(5), VT_BOOL, "BOOL -1"},
      {I4(0), VT_BOOL, "BOOL 0"},
      {I4(-1), VT_BOOL, "BOOL -1"},
      {UI1(1), VT_BOOL, "BOOL -1"},
      {I8(int64_t(1) << 40), VT_BOOL, "BOOL -1"},
      {R8(0.1), VT_BOOL, "BOOL -1"},
      {R8(0.0), VT_BOOL, "BOOL 0"},
      {R8(-0.0), VT_BOOL, "BOOL 0"},
      {R4(0.5f), VT_BOOL, "BOOL -1"},
      // BOOL to numbers: VARIANT_TRUE is -1, in every integer type.
      {Bool(true), VT_I4, "I4 -1"},
      {Bool(false), VT_I4, "I4 0"},
      {Bool(true), VT_I2, "I2 -1"},
      {Bool(true), VT_I1, "I1 -1"},
      {Bool(true), VT_UI1, "UI1 255"},
      {Bool(true), VT_UI2, "UI2 65535"},
      {Bool(true), VT_UI4, "UI4 4294967295"},
      {Bool(true), VT_I8, "I8 -1"},
      {Bool(true), VT_UI8, "UI8 18446744073709551615"},
      {Bool(true), VT_R8, "R8 -1"},
      {Bool(true), VT_R4, "R4 -1"},
      {Bool(false), VT_R8, "R8 0"},
      {BoolRaw(1), VT_BOOL, "BOOL 1"},  // same type: copied as it is
      // BOOL to text.
      {Bool(true), VT_BSTR, "BSTR \"-1\""},
      {Bool(false), VT_BSTR, "BSTR \"0\""},
      {Bool(true), VT_BSTR, "BSTR \"True\"", VARIANT_ALPHABOOL},
      {Bool(false), VT_BSTR, "BSTR \"False\"", VARIANT_ALPHABOOL},
      {Bool(true), VT_BSTR, "BSTR \"True\"", VARIANT_LOCALBOOL},
      // Text to BOOL: True/False in any case, or a number.
      {Str(u"True"), VT_BOOL, "BOOL -1"},
      {Str(u"true"), VT_BOOL, "BOOL -1"},
      {Str(u"TRUE"), VT_BOOL, "BOOL -1"},
      {Str(u"False"), VT_BOOL, "BOOL 0"},
      {Str(u"fAlSe"), VT_BOOL, "BOOL 0"},
      {Str(u"#TRUE#"), VT_BOOL, "BOOL -1"},
      {Str(u"#FALSE#"), VT_BOOL, "BOOL 0"},
      {Str(u"0"), VT_BOOL, "BOOL 0"},
      {Str(u"0.0"), VT_BOOL, "BOOL 0"},
      {Str(u"1"), VT_BOOL, "BOOL -1"},
      {Str(u"-1"), VT_BOOL, "BOOL -1"},
      {Str(u" 2.5 "), VT_BOOL, "BOOL -1"},
      {Str(u"abc"), VT_BOOL, "!MISMATCH"},
      {Str(u"Yes"), VT_BOOL, "!MISMATCH"},
      {Str(u""), VT_BOOL, "!MISMATCH"},
      {Str(nullptr), VT_BOOL, "!MISMATCH"},
      {Str(u" True"), VT_BOOL, "!MISMATCH"},
      {Str(u"1e400"), VT_BOOL, "!OVERFLOW"},
  });
}

TEST(VariantChangeType, TextToText) {
  runCases({
      {Str(u"as is"), VT_BSTR, "BSTR \"as is\""},
      {Str(nullptr), VT_BSTR, "BSTR null"},
  });
}

TEST(VariantChangeType, UnsupportedTypes) {
  runCases({
      // Target types outside the list.
      {I4(5), VT_CY, "!BADVARTYPE"},
      {I4(5), VT_DATE, "!BADVARTYPE"},
      {I4(5), VT_DECIMAL, "!BADVARTYPE"},
      {I4(5), VT_DISPATCH, "!BADVARTYPE"},
      {I4(5), VT_UNKNOWN, "!BADVARTYPE"},
      {I4(5), VT_ERROR, "!BADVARTYPE"},
      {I4(5), VT_VARIANT, "!BADVARTYPE"},
      {I4(5), VT_VOID, "!BADVARTYPE"},
      {I4(5), VT_HRESULT, "!BADVARTYPE"},
      {I4(5), 15, "!BADVARTYPE"},
      {I4(5), VT_I4 | VT_BYREF, "!BADVARTYPE"},
      {I4(5), VT_I4 | VT_ARRAY, "!BADVARTYPE"},
      {Str(u"1"), VT_CY, "!BADVARTYPE"},
      // Source types: not variant types at all, or not converted here.
      {{15}, VT_I4, "!BADVARTYPE"},
      {{VT_VOID}, VT_I4, "!BADVARTYPE"},
      {{VT_EMPTY | VT_BYREF}, VT_I4, "!BADVARTYPE"},
      {{VT_CY}, VT_I4, "!BADVARTYPE"},
      {{VT_DATE}, VT_BSTR, "!BADVARTYPE"},
      {{VT_ERROR}, VT_I4, "!MISMATCH"},
      {{VT_ERROR}, VT_EMPTY, "!MISMATCH"},
  });
}

TEST(VariantChangeType, DispatchIsNeverAValue) {
  CountingDispatch obj;
  for (VARTYPE to : {VARTYPE(VT_I4), VARTYPE(VT_I2), VARTYPE(VT_R8), VARTYPE(VT_BOOL), VARTYPE(VT_BSTR),
                     VARTYPE(VT_UI1), VARTYPE(VT_I8)}) {
    VARIANT src, dst;
    VariantInit(&src);
    VariantInit(&dst);
    src.vt = VT_DISPATCH;
    src.pdispVal = &obj;
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, to), DISP_E_TYPEMISMATCH) << "vt " << to;
    EXPECT_EQ(dst.vt, VT_EMPTY);
  }
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_DISPATCH;
  src.pdispVal = &obj;
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_DISPATCH), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_EMPTY), S_OK);
  EXPECT_EQ(dst.vt, VT_EMPTY);
  src.vt = VT_UNKNOWN;
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(obj.invokes, 0);  // the default property was never read
  EXPECT_EQ(obj.refs, 1u);

  // In place to VT_EMPTY the variant's reference goes away.
  obj.AddRef();
  src.vt = VT_DISPATCH;
  EXPECT_EQ(VariantChangeType(&src, &src, 0, VT_EMPTY), S_OK);
  EXPECT_EQ(src.vt, VT_EMPTY);
  EXPECT_EQ(obj.refs, 1u);
}

TEST(VariantChangeType, ByReference) {
  LONG number = 42;
  BSTR text = SysAllocString(u" 17 ");
  VARIANT ref, dst;
  VariantInit(&dst);

  ref.vt = VT_I4 | VT_BYREF;
  ref.byref = &number;
  ASSERT_EQ(VariantChangeType(&dst, &ref, 0, VT_BSTR), S_OK);
  EXPECT_EQ(describe(dst), "BSTR \"42\"");

  ref.vt = VT_BSTR | VT_BYREF;
  ref.byref = &text;
  ASSERT_EQ(VariantChangeType(&dst, &ref, 0, VT_I4), S_OK);
  EXPECT_EQ(describe(dst), "I4 17");

  // VT_BYREF|VT_VARIANT: one level down, which may itself be by reference.
  VARIANT inner;
  inner.vt = VT_BSTR;
  inner.bstrVal = text;
  ref.vt = VT_VARIANT | VT_BYREF;
  ref.pvarVal = &inner;
  ASSERT_EQ(VariantChangeType(&dst, &ref, 0, VT_R8), S_OK);
  EXPECT_EQ(describe(dst), "R8 17");
  inner.vt = VT_I4 | VT_BYREF;
  inner.byref = &number;
  ASSERT_EQ(VariantChangeType(&dst, &ref, 0, VT_I2), S_OK);
  EXPECT_EQ(describe(dst), "I2 42");
  VARIANT deeper;
  deeper.vt = VT_VARIANT | VT_BYREF;
  deeper.pvarVal = &ref;
  EXPECT_EQ(VariantChangeType(&dst, &deeper, 0, VT_I4), E_INVALIDARG);

  ref.vt = VT_I4 | VT_BYREF;
  ref.byref = nullptr;
  EXPECT_EQ(VariantChangeType(&dst, &ref, 0, VT_BSTR), DISP_E_TYPEMISMATCH);

  // Converting a by-reference variant in place leaves the referenced string alone.
  ref.vt = VT_BSTR | VT_BYREF;
  ref.byref = &text;
  ASSERT_EQ(VariantChangeType(&ref, &ref, 0, VT_I4), S_OK);
  EXPECT_EQ(describe(ref), "I4 17");
  EXPECT_EQ(std::u16string_view(text), u" 17 ");

  VariantClear(&dst);
  SysFreeString(text);
}

TEST(VariantChangeType, InPlace) {
  // The source string is released once, after the conversion (the sanitizer
  // build catches a leak, a double free or a use after free).
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u" 42 ");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
  EXPECT_EQ(describe(v), "I4 42");

  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(describe(v), "BSTR \"42\"");

  // Same type: a fresh copy replaces the string.
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(describe(v), "BSTR \"42\"");

  ASSERT_EQ(VariantChangeType(&v, &v, VARIANT_ALPHABOOL, VT_BOOL), S_OK);
  EXPECT_EQ(describe(v), "BOOL -1");
  ASSERT_EQ(VariantChangeType(&v, &v, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(describe(v), "BSTR \"True\"");

  // A failed in-place conversion keeps the value.
  VariantClear(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"abc");
  const BSTR kept = v.bstrVal;
  EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(v.bstrVal, kept);
  EXPECT_EQ(std::u16string_view(v.bstrVal), u"abc");

  v.vt = VT_R8;
  v.dblVal = 2.5;
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I2), S_OK);
  EXPECT_EQ(describe(v), "I2 2");
  SysFreeString(kept);
}

TEST(VariantChangeType, DestinationOnSuccessAndFailure) {
  CountingDispatch obj;
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);

  // Success releases what the destination held.
  dst.vt = VT_DISPATCH;
  dst.pdispVal = &obj;
  obj.AddRef();
  src.vt = VT_I4;
  src.lVal = 3;
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), S_OK);
  EXPECT_EQ(obj.refs, 1u);
  EXPECT_EQ(describe(dst), "BSTR \"3\"");
  VariantClear(&dst);

  // Failure leaves it as it was.
  dst.vt = VT_DISPATCH;
  dst.pdispVal = &obj;
  obj.AddRef();
  src.vt = VT_R8;
  src.dblVal = 1e10;
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), DISP_E_OVERFLOW);
  EXPECT_EQ(dst.vt, VT_DISPATCH);
  EXPECT_EQ(dst.pdispVal, &obj);
  EXPECT_EQ(obj.refs, 2u);
  VariantClear(&dst);

  // A destination that cannot be cleared fails the call.
  dst.vt = 15;
  src.vt = VT_I4;
  src.lVal = 3;
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), DISP_E_BADVARTYPE);
  EXPECT_EQ(dst.vt, 15);

  EXPECT_EQ(VariantChangeType(nullptr, &src, 0, VT_I4), E_INVALIDARG);
  EXPECT_EQ(VariantChangeType(&src, nullptr, 0, VT_I4), E_INVALIDARG);
}

// ---- com/bstr.h ----

TEST(ComUtf, RoundTrip) {
  const std::string text = "h\xC3\xA9llo \xE6\x86\x91\xE8\xAD\x89 \xF0\x9F\x98\x80";  // héllo 憑證 😀
  const std::u16string wide = toU16(text);
  EXPECT_EQ(wide, u"h\u00E9llo \u6191\u8B49 \U0001F600");
  EXPECT_EQ(toUtf8(wide), text);
  EXPECT_EQ(toU16(""), u"");
  EXPECT_EQ(toUtf8(u""), "");
  EXPECT_EQ(toU16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(ComUtf, MalformedUtf8BecomesReplacement) {
  struct Row {
    std::string in;
    std::u16string out;
  };
  const Row rows[] = {
      {"a\xC3(b", u"a\uFFFD(b"},                          // missing continuation byte
      {"\x80", u"\uFFFD"},                                // stray continuation byte
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong "/"
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong, three bytes
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // a surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE6\x86", u"\uFFFD"},                            // cut short at the end
      {"\xF0\x9F\x98"
       "A",
       u"\uFFFDA"},  // cut short before a letter
      {"\xFF\xFE", u"\uFFFD\uFFFD"},
      {"\xEF\xBF\xBD", u"\uFFFD"},  // a real U+FFFD stays one
  };
  for (const Row& r : rows) EXPECT_EQ(toU16(r.in), r.out) << "input of " << r.in.size() << " bytes";
}

TEST(ComUtf, UnpairedSurrogatesBecomeReplacement) {
  EXPECT_EQ(toUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(toUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
  EXPECT_EQ(toUtf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
  EXPECT_EQ(toUtf8(std::u16string{u'a', 0xD83D}), "a\xEF\xBF\xBD");
  EXPECT_EQ(toUtf8(std::u16string{0xDE00, 0xD83D}), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(ComBstr, OwnsOneString) {
  static_assert(!std::is_copy_constructible_v<Bstr> && !std::is_copy_assignable_v<Bstr>);
  static_assert(std::is_nothrow_move_constructible_v<Bstr> && std::is_nothrow_move_assignable_v<Bstr>);

  Bstr empty;
  EXPECT_EQ(empty.get(), nullptr);
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.view(), u"");

  const std::u16string_view text(u"a\0b", 3);
  Bstr a(text);
  ASSERT_NE(a.get(), nullptr);
  EXPECT_EQ(a.length(), 3u);
  EXPECT_EQ(a.view(), text);

  Bstr b(std::move(a));
  EXPECT_EQ(a.get(), nullptr);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(b.view(), text);

  Bstr c = Bstr::fromUtf8("\xE6\x86\x91\xE8\xAD\x89");
  EXPECT_EQ(c.view(), u"\u6191\u8B49");
  EXPECT_EQ(c.utf8(), "\xE6\x86\x91\xE8\xAD\x89");
  c = std::move(b);  // frees the old string of c
  EXPECT_EQ(c.view(), text);

  BSTR raw = c.release();
  EXPECT_EQ(c.get(), nullptr);
  Bstr d = Bstr::attach(raw);
  EXPECT_EQ(d.get(), raw);

  // As an out-parameter.
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = 0.5;
  VARIANT s;
  VariantInit(&s);
  ASSERT_EQ(VariantChangeType(&s, &v, 0, VT_BSTR), S_OK);
  *d.out() = s.bstrVal;  // d's old string is freed first
  EXPECT_EQ(d.str(), u"0.5");

  Bstr e(u"");
  EXPECT_NE(e.get(), nullptr);
  EXPECT_EQ(e.length(), 0u);
  e.reset();
  EXPECT_EQ(e.get(), nullptr);
}

TEST(ComVariantGuard, ClearsOnScopeExit) {
  CountingDispatch obj;
  {
    VariantGuard g;
    EXPECT_EQ(g->vt, VT_EMPTY);
    g->vt = VT_BSTR;
    g->bstrVal = SysAllocString(u"released by the guard");
  }
  {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DISPATCH;
    v.pdispVal = &obj;
    obj.AddRef();
    VariantGuard g(v);
    EXPECT_EQ(g.get(), &v);
    EXPECT_EQ(obj.refs, 2u);
  }
  EXPECT_EQ(obj.refs, 1u);
  {
    VariantGuard g;
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_I4;
    src.lVal = 12;
    ASSERT_EQ(VariantChangeType(g.get(), &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(describe(*g), "BSTR \"12\"");
    VARIANT taken = g.release();
    EXPECT_EQ(g->vt, VT_EMPTY);
    EXPECT_EQ(describe(taken), "BSTR \"12\"");
    VariantClear(&taken);
  }
}

}  // namespace

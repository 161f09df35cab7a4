// Argument conversion as the bridge does it: any covered VARIANT converted
// to text, a 32-bit integer or a float, and page text through the ANSI
// code page. An integer that converts goes through text and back
// unchanged; text conversions are stable after the first pass.
#include <oleauto.h>
#include <windows.h>

#include <cmath>
#include <cstring>
#include <string>

#include "base/codepage_internal.h"
#include "fuzz_check.h"

using velmora::platform::toNarrow;
using velmora::platform::toWide;

static const VARTYPE kSources[] = {VT_EMPTY, VT_NULL, VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_I8,
                                   VT_UI8, VT_INT, VT_UINT, VT_R4, VT_R8, VT_BOOL, VT_BSTR};

static void roundTripInt(LONG n) {
  VARIANT i4, text, back;
  VariantInit(&i4);
  VariantInit(&text);
  VariantInit(&back);
  i4.vt = VT_I4;
  i4.lVal = n;
  FUZZ_CHECK(VariantChangeType(&text, &i4, 0, VT_BSTR) == S_OK && text.vt == VT_BSTR);
  FUZZ_CHECK(VariantChangeType(&back, &text, 0, VT_I4) == S_OK && back.vt == VT_I4 && back.lVal == n);
  VariantClear(&text);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  const VARTYPE vt = kSources[data[0] % (sizeof kSources / sizeof kSources[0])];
  const bool byRef = data[0] & 0x80;
  ++data;
  --size;
  VARIANT src;
  VariantInit(&src);
  src.vt = vt;
  if (vt == VT_BSTR) {
    src.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(data), UINT(size / 2));
    if (size % 2) {
      // An odd byte: take the text from UTF-8 instead.
      SysFreeString(src.bstrVal);
      std::u16string w = toWide(std::string_view(reinterpret_cast<const char*>(data), size), CP_UTF8);
      src.bstrVal = SysAllocStringLen(w.data(), UINT(w.size()));
    }
  } else {
    memcpy(&src.llVal, data, std::min(size, sizeof src.llVal));
    if (vt == VT_BOOL) src.boolVal = (size && (data[0] & 1)) ? VARIANT_TRUE : VARIANT_FALSE;
  }
  VARIANT ref;
  VariantInit(&ref);
  const VARIANT* given = &src;
  if (byRef) {
    ref.vt = VARTYPE(VT_BYREF | VT_VARIANT);
    ref.pvarVal = &src;
    given = &ref;
  }

  VARIANT out;
  VariantInit(&out);
  // To text, as a string parameter: then to ANSI and back, twice stable.
  if (VariantChangeType(&out, given, 0, VT_BSTR) == S_OK) {
    FUZZ_CHECK(out.vt == VT_BSTR);
    const std::u16string_view w(out.bstrVal ? out.bstrVal : u"", SysStringLen(out.bstrVal));
    for (UINT cp : {UINT(CP_ACP), UINT(CP_UTF8)}) {
      const std::string once = toNarrow(w, cp);
      const std::u16string wide = toWide(once, cp);
      FUZZ_CHECK(toNarrow(wide, cp) == once);
    }
    // Text that converts to an integer names that integer again.
    VARIANT n;
    VariantInit(&n);
    if (VariantChangeType(&n, &out, 0, VT_I4) == S_OK) roundTripInt(n.lVal);
    VariantClear(&out);
  }
  if (VariantChangeType(&out, given, 0, VT_I4) == S_OK) {
    FUZZ_CHECK(out.vt == VT_I4);
    roundTripInt(out.lVal);
  }
  VariantInit(&out);
  if (VariantChangeType(&out, given, 0, VT_R4) == S_OK) {
    FUZZ_CHECK(out.vt == VT_R4);
    // A finite source never turns into an infinity: that is an overflow.
    if (vt == VT_R8 && std::isfinite(src.dblVal)) FUZZ_CHECK(std::isfinite(out.fltVal) || std::isnan(out.fltVal));
  }
  // Converting in place, as callers do with one VARIANT.
  VARIANT copy;
  VariantInit(&copy);
  if (VariantCopy(&copy, &src) == S_OK) {
    VariantChangeType(&copy, &copy, 0, VT_BSTR);
    VariantClear(&copy);
  }
  VariantClear(&src);
  return 0;
}

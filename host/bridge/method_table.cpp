#include "method_table.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace bridge {

const std::vector<Method>& methodTable() {
  static const std::vector<Method> table = [] {
    std::vector<Numbered> all;
    for (auto family : {hostMethods, cardToolMethods, tokenMethods, capiMethods, certRegMethods, macMethods})
      for (auto& m : family()) all.push_back(std::move(m));
    std::vector<Method> ordered(all.size());
    std::vector<bool> seen(all.size(), false);
    for (auto& m : all) {
      // A gap or a repeated identifier is a programming error in the tables.
      if (m.id < 1 || size_t(m.id) > all.size() || seen[size_t(m.id) - 1]) abort();
      seen[size_t(m.id) - 1] = true;
      ordered[size_t(m.id) - 1] = std::move(m.method);
    }
    return ordered;
  }();
  return table;
}

CFENROClientDlg::Component methodComponent(DISPID id) {
  using C = CFENROClientDlg::Component;
  static const std::vector<C> components = [] {
    std::vector<C> out(methodTable().size(), C::Host);
    auto mark = [&](std::vector<Numbered> (*family)(), C c) {
      for (const auto& m : family())
        if (m.id >= 1 && size_t(m.id) <= out.size()) out[size_t(m.id) - 1] = c;
    };
    // The three classes of the security component share its process-wide
    // state (platform providers, stores, code page).
    mark(capiMethods, C::Security);
    mark(certRegMethods, C::Security);
    mark(macMethods, C::Security);
    mark(tokenMethods, C::Token);
    return out;
  }();
  if (id < 1 || size_t(id) > components.size()) return C::Host;
  return components[size_t(id) - 1];
}

namespace {

char16_t foldAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - (u'a' - u'A')) : c; }

}  // namespace

DISPID findMethod(std::u16string_view name) {
  const auto& table = methodTable();
  for (size_t i = 0; i < table.size(); ++i) {
    const char* candidate = table[i].name;
    size_t len = strlen(candidate);
    if (len != name.size()) continue;
    bool equal = true;
    for (size_t k = 0; k < len && equal; ++k)
      equal = foldAscii(char16_t(static_cast<unsigned char>(candidate[k]))) == foldAscii(name[k]);
    if (equal) return DISPID(i + 1);
  }
  return 0;
}

HRESULT setStringResult(VARIANT* result, const char* text) {
  VariantInit(result);
  std::u16string wide = velmora::platform::toWide(text ? text : "", CP_THREAD_ACP);
  BSTR b = SysAllocStringLen(wide.data(), UINT(wide.size()));
  if (!b) return E_OUTOFMEMORY;
  result->vt = VT_BSTR;
  result->bstrVal = b;
  return S_OK;
}

}  // namespace bridge

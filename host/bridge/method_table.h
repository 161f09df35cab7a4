// The bridge method table: 138 methods in a fixed order (dispatch identifier
// = 1-based position), each with its parameter and result types and a
// handler. Most handlers forward to one member function of one component
// object; `forward<>` builds those from the member function's signature.
#pragma once

#include <oleauto.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/codepage_internal.h"

#include "client_dlg.h"

namespace bridge {

enum class ParamType { String, Int32, Float32 };
enum class ResultType { None, String, Int16 };

// Arguments after conversion to their declared types. Strings are ANSI
// (CP_ACP) and stay valid until the handler returns.
struct Args {
  std::vector<std::string> text;
  std::vector<int32_t> int32;
  std::vector<float> real;

  const char* str(size_t i) const { return text[i].c_str(); }
};

// A handler stores its result in `result` (VT_EMPTY for none) and returns
// S_OK, or a failure HRESULT for an automation exception.
using Handler = HRESULT (*)(CFENROClientDlg& dlg, const Args& args, VARIANT* result);

struct Method {
  const char* name;
  std::vector<ParamType> params;
  std::vector<const char*> paramNames;
  ResultType result;
  Handler handler;
  // Answers a call whose text argument holds a NUL, which the components'
  // 8-bit texts cannot carry: the component's own wrong-parameters outcome.
  // Without one the call is an automation error (E_INVALIDARG).
  Handler refuse = nullptr;
};

// The whole table, in dispatch order (index 0 is dispatch identifier 1).
const std::vector<Method>& methodTable();
// The table of one family, in dispatch order with the identifiers given.
struct Numbered {
  int id;
  Method method;
};
std::vector<Numbered> hostMethods();
std::vector<Numbered> cardToolMethods();
std::vector<Numbered> tokenMethods();
std::vector<Numbered> capiMethods();
std::vector<Numbered> certRegMethods();
std::vector<Numbered> macMethods();

// The component whose state a method uses: its calls wait while a
// key-generation job works there. The host's own methods (the job starters
// and the pollers among them) and the card tool's use none.
CFENROClientDlg::Component methodComponent(DISPID id);

// Case-insensitive (invariant) look-up; 0 when there is no such name.
DISPID findMethod(std::u16string_view name);

// regCert's text for a card tool code: an object literal in Big5 (code page
// 950), converted like every other string result.
const char* regCertText(int code);

// ---- results ----

// A string result: a copy of `text` (null counts as ""), converted with the
// calling thread's ANSI code page into a new automation string.
HRESULT setStringResult(VARIANT* result, const char* text);
inline void setInt16Result(VARIANT* result, int value) {
  VariantInit(result);
  result->vt = VT_I2;
  result->iVal = static_cast<SHORT>(static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFF));
}

// Who frees a component's text result after the bridge has copied it.
enum class TextOwner {
  Component,  // a pointer into the component's state, or the card tool's own text
  CallerDeleteArray,  // a new array the caller frees with delete[]
};

namespace detail {

template <class T>
constexpr ParamType paramTypeOf() {
  if constexpr (std::is_same_v<T, const char*>) return ParamType::String;
  else if constexpr (std::is_same_v<T, float>) return ParamType::Float32;
  else {
    static_assert(std::is_integral_v<T>, "bridge parameters are text, integers or float32");
    return ParamType::Int32;
  }
}

template <class R>
constexpr ResultType resultTypeOf() {
  if constexpr (std::is_same_v<R, char*>) return ResultType::String;
  else if constexpr (std::is_same_v<R, void>) return ResultType::None;
  else {
    static_assert(std::is_same_v<R, int>, "bridge results are text, int or nothing");
    return ResultType::Int16;
  }
}

// Position of argument i among the arguments of its own kind.
template <class... A>
struct ArgSlots {
  template <size_t I>
  static constexpr size_t slot() {
    using T = std::tuple_element_t<I, std::tuple<A...>>;
    constexpr ParamType kind = paramTypeOf<T>();
    constexpr ParamType kinds[] = {paramTypeOf<A>()...};
    size_t n = 0;
    for (size_t k = 0; k < I; ++k)
      if (kinds[k] == kind) ++n;
    return n;
  }
};

template <class T, size_t Slot>
T extract(const Args& args) {
  if constexpr (std::is_same_v<T, const char*>) return args.str(Slot);
  else if constexpr (std::is_same_v<T, float>) return args.real[Slot];
  else return static_cast<T>(args.int32[Slot]);
}

template <auto Fn>
struct MemberTraits;
template <class C, class R, class... A, R (C::*Fn)(A...)>
struct MemberTraits<Fn> {
  using Class = C;
  using Result = R;
  static std::vector<ParamType> params() { return {paramTypeOf<A>()...}; }

  template <size_t... I>
  static R call(C& obj, const Args& args, std::index_sequence<I...>) {
    return (obj.*Fn)(extract<A, ArgSlots<A...>::template slot<I>()>(args)...);
  }
  static R call(C& obj, const Args& args) { return call(obj, args, std::index_sequence_for<A...>{}); }
};

}  // namespace detail

// A method that forwards to `Fn` on the window's component member `Obj`.
template <auto Obj, auto Fn, TextOwner Owner = TextOwner::Component>
Method forward(const char* name, std::vector<const char*> paramNames = {}) {
  using Traits = detail::MemberTraits<Fn>;
  using R = typename Traits::Result;
  Handler handler = [](CFENROClientDlg& dlg, const Args& args, VARIANT* result) -> HRESULT {
    auto& obj = dlg.*Obj;
    if constexpr (std::is_same_v<R, void>) {
      Traits::call(obj, args);
      VariantInit(result);
      return S_OK;
    } else if constexpr (std::is_same_v<R, int>) {
      setInt16Result(result, Traits::call(obj, args));
      return S_OK;
    } else {
      char* text = Traits::call(obj, args);
      HRESULT hr = setStringResult(result, text);
      if constexpr (Owner == TextOwner::CallerDeleteArray) delete[] text;
      return hr;
    }
  };
  Handler refuse = nullptr;
  using Component = typename Traits::Class;
  if constexpr (requires(Component& c) { c.RefuseParameters(); }) {
    refuse = [](CFENROClientDlg& dlg, const Args&, VARIANT* result) -> HRESULT {
      const int status = (dlg.*Obj).RefuseParameters();
      if constexpr (std::is_same_v<R, void>) {
        VariantInit(result);
        return S_OK;
      } else if constexpr (std::is_same_v<R, int>) {
        setInt16Result(result, status);
        return S_OK;
      } else {
        return setStringResult(result, "");
      }
    };
  }
  return Method{name, Traits::params(), std::move(paramNames), detail::resultTypeOf<R>(), handler, refuse};
}

}  // namespace bridge

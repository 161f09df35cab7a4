// Building blocks for automation servers: the `call` entry of a member's
// type description, made from the interface's member function, so a type
// description and the function table cannot disagree on argument types.
//
//   { 0x1e, u"Hash", INVOKE_FUNC, ..., velmora::com::memberCall<&ICAPI::Hash> }
//
// Members take BSTR, LONG or VARIANT_BOOL [in] arguments and return their
// value through a last BSTR*, LONG* or VARIANT_BOOL* [out, retval]
// argument (or have none).
#pragma once

#include <oleauto.h>

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

namespace velmora::com {

namespace detail {

template <class T>
constexpr VARTYPE vartypeOf() {
  if constexpr (std::is_same_v<T, BSTR>) return VT_BSTR;
  else if constexpr (std::is_same_v<T, LONG>) return VT_I4;
  else if constexpr (std::is_same_v<T, VARIANT_BOOL>) return VT_BOOL;
  else static_assert(sizeof(T) == 0, "automation members take BSTR, LONG or VARIANT_BOOL");
}

template <class T>
T argumentOf(VARIANT& v) {
  if constexpr (std::is_same_v<T, BSTR>) return v.bstrVal;
  else if constexpr (std::is_same_v<T, LONG>) return v.lVal;
  else return v.boolVal;
}

template <class T>
void storeResult(VARIANT* result, T value) {
  result->vt = vartypeOf<T>();
  if constexpr (std::is_same_v<T, BSTR>) result->bstrVal = value;
  else if constexpr (std::is_same_v<T, LONG>) result->lVal = value;
  else result->boolVal = value;
}

template <class F>
struct MemberTraits;

template <class I, class... A>
struct MemberTraits<HRESULT (I::*)(A...)> {
  using Interface = I;
  using Params = std::tuple<A...>;
  static constexpr size_t count = sizeof...(A);
};

template <class T>
struct RetvalOf {
  static constexpr bool value = false;
};
template <class T>
struct RetvalOf<T*> {
  static constexpr bool value = true;
  using type = T;
};

template <auto Fn, class Traits, size_t... I>
HRESULT callIn(typename Traits::Interface* self, VARIANT* args, std::index_sequence<I...>) {
  return (self->*Fn)(argumentOf<std::tuple_element_t<I, typename Traits::Params>>(args[I])...);
}

template <auto Fn, class Traits, class R, size_t... I>
HRESULT callInOut(typename Traits::Interface* self, VARIANT* args, VARIANT* result, std::index_sequence<I...>) {
  R value{};
  HRESULT hr = (self->*Fn)(argumentOf<std::tuple_element_t<I, typename Traits::Params>>(args[I])..., &value);
  if (SUCCEEDED(hr)) {
    storeResult(result, value);
  } else if constexpr (std::is_same_v<R, BSTR>) {
    SysFreeString(value);
  }
  return hr;
}

}  // namespace detail

// The VELMORA_MEMBERCALL for member function `Fn` of a dual interface.
// `iface` must be a pointer to that interface (what ITypeInfo::Invoke was
// given as its instance).
template <auto Fn>
HRESULT memberCall(IUnknown* iface, VARIANT* args, VARIANT* result) {
  using Traits = detail::MemberTraits<decltype(Fn)>;
  auto* self = static_cast<typename Traits::Interface*>(iface);
  VariantInit(result);
  if constexpr (Traits::count == 0) {
    return detail::callIn<Fn, Traits>(self, args, std::index_sequence<>{});
  } else {
    using Last = std::tuple_element_t<Traits::count - 1, typename Traits::Params>;
    if constexpr (detail::RetvalOf<Last>::value) {
      using R = typename detail::RetvalOf<Last>::type;
      return detail::callInOut<Fn, Traits, R>(self, args, result, std::make_index_sequence<Traits::count - 1>{});
    } else {
      return detail::callIn<Fn, Traits>(self, args, std::make_index_sequence<Traits::count>{});
    }
  }
}

namespace detail {

template <class... A>
struct InTypes {
  // One extra slot keeps the array non-empty for members without [in] arguments.
  static constexpr VARTYPE types[] = {vartypeOf<A>()..., VT_EMPTY};
};

template <class Traits, size_t... I>
constexpr const VARTYPE* inTypes(std::index_sequence<I...>) {
  return InTypes<std::tuple_element_t<I, typename Traits::Params>...>::types;
}

template <auto Fn>
struct Shape {
  using Traits = MemberTraits<decltype(Fn)>;
  static constexpr bool hasRetval = [] {
    if constexpr (Traits::count == 0) return false;
    else return RetvalOf<std::tuple_element_t<Traits::count - 1, typename Traits::Params>>::value;
  }();
  static constexpr UINT inCount = UINT(Traits::count - (hasRetval ? 1 : 0));
  static constexpr VARTYPE result = [] {
    if constexpr (hasRetval)
      return vartypeOf<typename RetvalOf<std::tuple_element_t<Traits::count - 1, typename Traits::Params>>::type>();
    else return VARTYPE(VT_EMPTY);
  }();
};

}  // namespace detail

// A whole member description for `Fn`: its types come from the function,
// so the description cannot disagree with the function table. `oVft` is
// the entry's position in the function table (IUnknown and IDispatch take
// 0-6).
template <auto Fn>
constexpr VELMORA_FUNCDESC member(MEMBERID memid, LPCOLESTR name, INVOKEKIND invkind, LPCOLESTR help, SHORT oVft,
                                  const LPCOLESTR* paramNames = nullptr) {
  using S = detail::Shape<Fn>;
  return VELMORA_FUNCDESC{memid,
                          name,
                          invkind,
                          help,
                          detail::inTypes<typename S::Traits>(std::make_index_sequence<S::inCount>{}),
                          paramNames,
                          S::inCount,
                          S::result,
                          oVft,
                          &memberCall<Fn>};
}

}  // namespace velmora::com

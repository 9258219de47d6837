// Declarations of native operations, written once next to their typed C++ implementation:
//
//   py::Obj svd_compress(const py::Obj& tensor, double rank_ratio, long long min_rank);
//   const bridge::Decl kOperations[] = {
//       def<&svd_compress>("svd_compress", kDoc, arg<Array>("tensor"),
//                          arg<Float>("rank_ratio") = 0.5, arg<Int>("min_rank") = 1)
//           .returns("CompressedTensor"),
//   };
//   ... b.functions(kOperations);  // in the module body: each bound under its own name
//
// The declaration gives the parameters' names, annotations, conventions and defaults in the
// order of the implementation's parameters; the native function type derives the parsing,
// conversions, __signature__, __annotations__, __defaults__ and __qualname__ from it, and
// each converted argument reaches the implementation as the C++ type it asks for. Each
// convention is checked against that type at compile time (see `feeds`): an Int argument
// paired with a double parameter, or a count that differs, does not compile.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "function.hpp"

namespace velmora::bridge {

// Annotations with the argument conventions they carry.
namespace types {
#define VELMORA_ARG_TYPE(name, conv_, text)         \
  struct name {                                     \
    static constexpr Conv conv = Conv::conv_;       \
    static constexpr const char* annotation = text; \
  }
VELMORA_ARG_TYPE(Any, Any, nullptr);  // documentation only: the text comes with the argument
VELMORA_ARG_TYPE(Array, Any, "np.ndarray");
VELMORA_ARG_TYPE(Int, Int, "int");
VELMORA_ARG_TYPE(IntOrNone, IntOrNone, "int | None");
VELMORA_ARG_TYPE(Float, Float, "float");
VELMORA_ARG_TYPE(Tuple, Tuple, "tuple");
VELMORA_ARG_TYPE(Str, Str, "str");
VELMORA_ARG_TYPE(Bytes, Bytes, "bytes");
VELMORA_ARG_TYPE(Dict, Dict, "dict");
VELMORA_ARG_TYPE(DictOrNone, DictOrNone, "dict | None");
VELMORA_ARG_TYPE(MemoryView, MemoryView, "memoryview");
#undef VELMORA_ARG_TYPE
}  // namespace types
using namespace types;

// The C++ parameter types an argument convention feeds. Every convention hands over the
// converted object (py::Obj, or PyObject* borrowed); a number or text also comes as the C++
// value it converts to, and only from the convention that produced that value.
template <class Tag, class P>
inline constexpr bool feeds = std::is_same_v<P, py::Obj> || std::is_same_v<P, PyObject*>;
template <class P>
inline constexpr bool feeds<Float, P> = feeds<Any, P> || std::is_same_v<P, double>;
template <class P>
inline constexpr bool feeds<Int, P> = feeds<Any, P> || std::is_same_v<P, long long>;
template <class P>
inline constexpr bool feeds<IntOrNone, P> =
    feeds<Any, P> || std::is_same_v<P, std::optional<long long>>;
template <class P>
inline constexpr bool feeds<Str, P> = feeds<Any, P> || std::is_same_v<P, std::string>;

struct NoneDefault {};
inline constexpr NoneDefault none{};  // arg<...>("x") = none
struct KwOnly {};
inline constexpr KwOnly kw_only{};  // the bare `*` of a Python signature

// One declared parameter with its convention (Tag) in its type; `= value` gives its default.
template <class Tag>
struct Arg {
  Param param;

  constexpr Arg operator=(NoneDefault) const { return with(none_default()); }
  constexpr Arg operator=(const Default& d) const { return with(d); }
  constexpr Arg operator=(const char* s) const { return with(str_default(s)); }
  constexpr Arg operator=(bool b) const { return with({b ? Default::True : Default::False}); }
  template <class T>
    requires(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>)
  constexpr Arg operator=(T v) const {
    constexpr bool integral_tag = std::is_same_v<Tag, Int> || std::is_same_v<Tag, IntOrNone>;
    static_assert(!(integral_tag && std::is_floating_point_v<T>),
                  "an int parameter declared with a floating-point default");
    if constexpr (std::is_same_v<Tag, Float> || std::is_floating_point_v<T>) {
      return with(float_default(static_cast<double>(v)));
    } else {
      return with(int_default(static_cast<long long>(v)));
    }
  }

 private:
  constexpr Arg with(const Default& d) const {
    Arg a = *this;
    a.param.def = d;
    return a;
  }
};

// arg<Float>("rank_ratio"); arg<Dict>("sd", "dict[str, np.ndarray]") for a finer annotation.
template <class Tag>
constexpr Arg<Tag> arg(const char* name, const char* annotation = Tag::annotation) {
  return Arg<Tag>{Param{name, annotation, Tag::conv}};
}

// Parameters shared by several operations (the rank options), declared once:
// arg_set(arg<Float>("rank_ratio") = 0.5, arg<Int>("max_rank") = 8).
template <class... Tags>
struct ArgSet {
  std::tuple<Arg<Tags>...> args;
};
template <class... Tags>
constexpr ArgSet<Tags...> arg_set(const Arg<Tags>&... args) {
  return {{args...}};
}

// A parameter's conversion applied to a value obtained outside the call (a field read
// inside an operation that is checked as that parameter).
template <class Tag>
py::Obj convert(const Arg<Tag>& a, const py::Obj& o) {
  return convert_arg(a.param, o.get());
}

// Expression defaults: a dotted name of the module ("np.float32"), or the empty tuple.
constexpr Default expr(const char* path) { return expr_default(path); }
inline constexpr Default empty_tuple{Default::EmptyTuple};

namespace detail {

// The conventions a declaration lists, as a tuple type in parameter order: one per Arg,
// those of an ArgSet, none for kw_only; `self` of a method takes the object as it comes.
template <class Item>
struct TagsOf;
template <class Tag>
struct TagsOf<Arg<Tag>> {
  using type = std::tuple<Tag>;
};
template <>
struct TagsOf<KwOnly> {
  using type = std::tuple<>;
};
template <class... Tags>
struct TagsOf<ArgSet<Tags...>> {
  using type = std::tuple<Tags...>;
};
template <bool Method, class... Items>
using DeclaredTags = decltype(std::tuple_cat(
    std::declval<std::conditional_t<Method, std::tuple<Any>, std::tuple<>>>(),
    std::declval<typename TagsOf<Items>::type>()...));

// One declared convention against the implementation's parameter it feeds.
template <class Tag, class P>
constexpr bool pair_ok() {
  static_assert(feeds<Tag, P>,
                "an argument's convention does not feed the implementation's parameter type "
                "(Float: double, Int: long long, IntOrNone: std::optional<long long>, Str: "
                "std::string; every convention: py::Obj or PyObject*)");
  return true;
}

template <class... Tags, class... P>
constexpr bool pairs_ok(std::tuple<Tags...>*, std::tuple<P...>*) {
  if constexpr (sizeof...(Tags) != sizeof...(P)) {
    static_assert(sizeof...(Tags) == sizeof...(P),
                  "the declaration and the implementation have different parameter counts");
    return false;
  } else {
    return (pair_ok<Tags, std::remove_cvref_t<P>>() && ...);
  }
}

template <class T>
struct Signature;
template <class R, class... P>
struct Signature<R (*)(P...)> {
  using Result = R;
  using Params = std::tuple<P...>;
  static constexpr std::size_t arity = sizeof...(P);
};

// A converted argument as the implementation's parameter type asks for it.
template <class T, class U = std::remove_cvref_t<T>>
U take(const Args& a, int i) {
  if constexpr (std::is_same_v<U, py::Obj>) {
    return a.obj(i);
  } else if constexpr (std::is_same_v<U, double>) {
    return a.f(i);
  } else if constexpr (std::is_same_v<U, long long>) {
    return a.obj(i).as_ll();  // OverflowError beyond the type's range, as int() into C does
  } else if constexpr (std::is_same_v<U, std::optional<long long>>) {
    return a.is_none(i) ? std::nullopt : std::optional<long long>(a.obj(i).as_ll());
  } else if constexpr (std::is_same_v<U, std::string>) {
    return a.obj(i).as_string();
  } else {
    static_assert(std::is_same_v<U, PyObject*>, "unsupported parameter type");
    return a[i];
  }
}

template <class R>
py::Obj result(R&& r) {
  using U = std::remove_cvref_t<R>;
  if constexpr (std::is_same_v<U, py::Obj>) {
    return std::forward<R>(r);
  } else {
    return py::value(r);
  }
}

template <auto F, std::size_t... I>
py::Obj invoke(const Args& a, std::index_sequence<I...>) {
  using S = Signature<decltype(F)>;
  if constexpr (std::is_void_v<typename S::Result>) {
    F(take<std::tuple_element_t<I, typename S::Params>>(a, static_cast<int>(I))...);
    return py::none();
  } else {
    return result(F(take<std::tuple_element_t<I, typename S::Params>>(a, static_cast<int>(I))...));
  }
}

template <auto F>
py::Obj thunk(const Args& a) {
  return invoke<F>(a, std::make_index_sequence<Signature<decltype(F)>::arity>{});
}

template <class Tag>
void add(std::vector<Param>& out, Kind& kind, const Arg<Tag>& a) {
  out.push_back(a.param);
  out.back().kind = kind;
}
inline void add(std::vector<Param>&, Kind& kind, KwOnly) { kind = Kind::KeywordOnly; }
template <class... Tags>
void add(std::vector<Param>& out, Kind& kind, const ArgSet<Tags...>& set) {
  std::apply([&](const auto&... a) { (add(out, kind, a), ...); }, set.args);
}

}  // namespace detail

// A declared operation: the table the native function type reads.
struct Decl : FunctionDef {
  // The return annotation.
  Decl returns(const char* annotation) && {
    FunctionDef::returns = annotation;
    return std::move(*this);
  }
};

template <auto F, bool Method, class... Items>
Decl declare(const char* qualname, const char* doc, const Items&... items) {
  using S = detail::Signature<decltype(F)>;
  static_assert(detail::pairs_ok(static_cast<detail::DeclaredTags<Method, Items...>*>(nullptr),
                                 static_cast<typename S::Params*>(nullptr)));
  static_assert(S::arity <= kMaxParams, "too many parameters");
  Decl d{};
  const char* dot = std::strrchr(qualname, '.');
  d.name = dot != nullptr ? dot + 1 : qualname;
  d.qualname = qualname;
  d.doc = doc;
  d.FunctionDef::returns = nullptr;
  d.impl = &detail::thunk<F>;
  [[maybe_unused]] Kind kind = Kind::Positional;
  if constexpr (Method) d.params.push_back(Param{"self", nullptr});
  (detail::add(d.params, kind, items), ...);
  return d;
}

// A module-level function: def<&impl>("name", doc, arg..., kw_only, arg...).
template <auto F, class... Items>
Decl def(const char* name, const char* doc, const Items&... items) {
  return declare<F, false>(name, doc, items...);
}

// A method of a record class: method<&impl>("Class.name", doc, arg...); the implementation
// takes `self` first.
template <auto F, class... Items>
Decl method(const char* qualname, const char* doc, const Items&... items) {
  return declare<F, true>(qualname, doc, items...);
}

}  // namespace velmora::bridge

// One declaration per callable: its name, its parameters (each with the
// parser's format unit, how it may be passed and its default) and the text
// of its docstring.  Everything that would otherwise repeat them follows
// from it at compile time, so nothing can drift:
//
//  - the parser's format ("iO|$p:setopt") and keyword names, constant
//    arrays in static storage, so a call costs what a string literal
//    format costs;
//  - the docstring with its text signature in front,
//    "setopt($self, /, option, value, *, use_memoryview=False)\n--\n\n...",
//    which the interpreter serves as __text_signature__ to inspect;
//  - the method-table entry: name, docstring and calling convention, the
//    last read off the C++ function's type and checked against the
//    parameters.
//
// The parse calls check the C++ pointers they fill against the format
// units, so a parameter added to a declaration but not to its method (or
// given another type) does not compile.  The type stubs are checked against
// the text signatures by stubtest.
#ifndef KELVEX_DECLARE_H
#define KELVEX_DECLARE_H

#include <array>
#include <cstddef>
#include <type_traits>

#include "args.h"

// What the text signature puts first: "$self" for a method, "$module" for
// a module function, nothing for a type's constructor.
enum class Receiver : unsigned char { self, module, type };

// How a parameter may be passed.
enum class Pass : unsigned char {
  positional,  // positional only
  either,      // by position or by keyword
  keyword,     // by keyword only
  rest,        // *name: the method takes any number and parses none
};

// A default as the text signature shows it: text ("None", "'utf-8'",
// "H_HEADER") or a number given by a C constant, written out in decimal.
struct Default {
  const char* text = nullptr;
  long long number = 0;
  bool given = false;

  constexpr Default() = default;
  constexpr Default(const char* shown) : text(shown), given(true) {}
  template <typename Number,
            typename = std::enable_if_t<std::is_integral_v<Number> || std::is_enum_v<Number>>>
  constexpr Default(Number value) : number(static_cast<long long>(value)), given(true) {}
};

struct Param {
  const char* name;
  const char* unit;  // the format unit(s): "i", "O!", "y*"; null for Pass::rest
  Pass pass;
  Default fallback;  // not given: required
};

constexpr Param positional(const char* name, const char* unit, Default fallback = {}) {
  return {name, unit, Pass::positional, fallback};
}
constexpr Param either(const char* name, const char* unit, Default fallback = {}) {
  return {name, unit, Pass::either, fallback};
}
constexpr Param keyword(const char* name, const char* unit, Default fallback = {}) {
  return {name, unit, Pass::keyword, fallback};
}
constexpr Param rest(const char* name) { return {name, nullptr, Pass::rest, {}}; }

template <std::size_t N>
struct Callable {
  const char* name;
  Receiver receiver;
  std::array<Param, N> params;
  const char* doc;  // the docstring without its text signature; "" for none

  constexpr bool has(Pass pass) const {
    for (const Param& p : params) {
      if (p.pass == pass) return true;
    }
    return false;
  }
  // Whether the parser takes keywords (else a keyword is refused).
  constexpr bool takes_keywords() const { return has(Pass::either) || has(Pass::keyword); }
};

template <std::size_t N>
constexpr Callable<N> declare_method(const char* name, const Param (&params)[N], const char* doc) {
  Callable<N> c{name, Receiver::self, {}, doc};
  for (std::size_t i = 0; i < N; ++i) c.params[i] = params[i];
  return c;
}
constexpr Callable<0> declare_method(const char* name, const char* doc) {
  return {name, Receiver::self, {}, doc};
}
template <std::size_t N>
constexpr Callable<N> declare_function(const char* name, const Param (&params)[N],
                                       const char* doc) {
  Callable<N> c{name, Receiver::module, {}, doc};
  for (std::size_t i = 0; i < N; ++i) c.params[i] = params[i];
  return c;
}
constexpr Callable<0> declare_function(const char* name, const char* doc) {
  return {name, Receiver::module, {}, doc};
}
// A type's constructor; `name` is the type's own (the text signature must
// start with it).
template <std::size_t N>
constexpr Callable<N> declare_type(const char* name, const Param (&params)[N], const char* doc) {
  Callable<N> c{name, Receiver::type, {}, doc};
  for (std::size_t i = 0; i < N; ++i) c.params[i] = params[i];
  return c;
}
constexpr Callable<0> declare_type(const char* name, const char* doc) {
  return {name, Receiver::type, {}, doc};
}

// ---------------------------------------------------------------------------
// The texts, written at compile time
// ---------------------------------------------------------------------------

namespace declare_detail {

// Counts what it is given, and writes it too when it has somewhere to.
struct Writer {
  char* out;
  std::size_t size;

  constexpr void put(char c) {
    if (out != nullptr) out[size] = c;
    ++size;
  }
  constexpr void put(const char* text) {
    while (*text != '\0') put(*text++);
  }
  constexpr void put(long long number) {
    unsigned long long magnitude = static_cast<unsigned long long>(number);
    if (number < 0) {
      put('-');
      magnitude = 0 - magnitude;
    }
    unsigned long long scale = 1;
    while (magnitude / scale >= 10) scale *= 10;
    for (; scale > 0; scale /= 10) put(static_cast<char>('0' + magnitude / scale % 10));
  }
};

template <std::size_t N>
constexpr void write_format(Writer& w, const Callable<N>& c) {
  bool optional = false;
  bool keyword_only = false;
  for (const Param& p : c.params) {
    if (p.pass == Pass::rest) continue;
    if (p.fallback.given && !optional) {
      w.put('|');
      optional = true;
    }
    if (p.pass == Pass::keyword && !keyword_only) {
      w.put('$');
      keyword_only = true;
    }
    w.put(p.unit);
  }
  w.put(':');
  w.put(c.name);
}

// "name($self, /, a, b=0, *, c=None)\n--\n\n" and the docstring's text.
// The receiver is positional only, so "/" follows it (or the last
// positional-only parameter) as Argument Clinic writes it.
template <std::size_t N>
constexpr void write_doc(Writer& w, const Callable<N>& c) {
  w.put(c.name);
  w.put('(');
  bool first = true;
  auto separate = [&] {
    if (!first) w.put(", ");
    first = false;
  };
  if (c.receiver != Receiver::type) {
    separate();
    w.put(c.receiver == Receiver::self ? "$self" : "$module");
  }
  bool slash_due = c.receiver != Receiver::type;
  bool star_written = false;
  for (const Param& p : c.params) {
    if (slash_due && p.pass != Pass::positional) {
      separate();
      w.put('/');
      slash_due = false;
    }
    if (p.pass == Pass::rest) {
      separate();
      w.put('*');
      w.put(p.name);
      star_written = true;
      continue;
    }
    if (p.pass == Pass::keyword && !star_written) {
      separate();
      w.put('*');
      star_written = true;
    }
    separate();
    w.put(p.name);
    if (p.fallback.given) {
      w.put('=');
      if (p.fallback.text != nullptr) {
        w.put(p.fallback.text);
      } else {
        w.put(p.fallback.number);
      }
    }
  }
  if (slash_due) {
    separate();
    w.put('/');
  }
  w.put(")\n--\n\n");
  w.put(c.doc);
}

template <std::size_t Size>
struct Text {
  char chars[Size];
  constexpr const char* get() const { return chars; }
};

template <const auto& C, bool Doc>
constexpr std::size_t text_size() {
  Writer w{nullptr, 0};
  if constexpr (Doc) {
    write_doc(w, C);
  } else {
    write_format(w, C);
  }
  return w.size + 1;
}

template <const auto& C, bool Doc>
constexpr Text<text_size<C, Doc>()> make_text() {
  Text<text_size<C, Doc>()> text{};
  Writer w{text.chars, 0};
  if constexpr (Doc) {
    write_doc(w, C);
  } else {
    write_format(w, C);
  }
  text.chars[w.size] = '\0';
  return text;
}

template <const auto& C>
constexpr auto make_keywords() {
  std::array<const char*, std::size(C.params) + 1> names{};
  std::size_t n = 0;
  for (const Param& p : C.params) {
    if (p.pass == Pass::rest) continue;
    // The parser knows positional-only parameters by an empty name.
    names[n++] = p.pass == Pass::positional ? "" : p.name;
  }
  names[n] = nullptr;
  return names;
}

template <const auto& C>
inline constexpr auto kFormat = make_text<C, false>();
template <const auto& C>
inline constexpr auto kDoc = make_text<C, true>();
template <const auto& C>
inline constexpr auto kKeywords = make_keywords<C>();

// Whether the pointer type T is what the format unit writes through.
template <typename T>
constexpr bool unit_writes(const char* unit, bool type_of_object) {
  auto is = [unit](const char* other) {
    std::size_t i = 0;
    for (; unit[i] != '\0' && other[i] != '\0'; ++i) {
      if (unit[i] != other[i]) return false;
    }
    return unit[i] == other[i];
  };
  if (type_of_object) return std::is_same_v<T, PyTypeObject*>;
  if (is("i") || is("p")) return std::is_same_v<T, int*>;
  if (is("I")) return std::is_same_v<T, unsigned*>;
  if (is("l")) return std::is_same_v<T, long*>;
  if (is("L")) return std::is_same_v<T, long long*>;
  if (is("n")) return std::is_same_v<T, Py_ssize_t*>;
  if (is("d")) return std::is_same_v<T, double*>;
  if (is("s")) return std::is_same_v<T, const char**>;
  if (is("O") || is("O!") || is("U")) return std::is_same_v<T, PyObject**>;
  if (is("y*") || is("w*")) return std::is_same_v<T, Py_buffer*>;
  return false;  // a unit this table does not know yet
}

// The parser's outputs, in order: one per unit, two for "O!" (the type,
// then the object).
template <const auto& C, typename... Out>
constexpr bool outputs_fit() {
  constexpr std::array<bool (*)(const char*, bool), sizeof...(Out)> writes{
      &unit_writes<Out>...};
  std::size_t k = 0;
  for (const Param& p : C.params) {
    if (p.pass == Pass::rest) continue;
    if (p.unit[0] == 'O' && p.unit[1] == '!') {
      if (k == writes.size() || !writes[k++](p.unit, true)) return false;
    }
    if (k == writes.size() || !writes[k++](p.unit, false)) return false;
  }
  return k == writes.size();
}

}  // namespace declare_detail

// The docstring, text signature first, and the parser's format of C.
template <const auto& C>
constexpr const char* doc_of() {
  return declare_detail::kDoc<C>.get();
}
template <const auto& C>
constexpr const char* format_of() {
  return declare_detail::kFormat<C>.get();
}

// ---------------------------------------------------------------------------
// Parsing by a declaration
// ---------------------------------------------------------------------------

// A METH_FASTCALL method's arguments; false with the exception set.
template <const auto& C, typename... Out>
[[nodiscard]] inline bool parse(PyObject* const* args, Py_ssize_t nargs, Out... out) {
  static_assert(!C.takes_keywords() && !C.has(Pass::rest),
                "parse takes positional-only parameters; use parse_keywords");
  static_assert(declare_detail::outputs_fit<C, Out...>(),
                "the outputs do not match the declared format units");
  return parse_args(args, nargs, format_of<C>(), out...);
}

// A METH_FASTCALL | METH_KEYWORDS callable's arguments; one without keyword
// parameters (a module function) refuses keywords in CPython's words.
template <const auto& C, typename... Out>
[[nodiscard]] inline bool parse_keywords(PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames, Out... out) {
  static_assert(!C.has(Pass::rest), "a callable with *args parses nothing");
  static_assert(declare_detail::outputs_fit<C, Out...>(),
                "the outputs do not match the declared format units");
  if constexpr (C.takes_keywords()) {
    // The interpreter completes the record on first use.
    static KeywordParser parser =
        keyword_parser(format_of<C>(), declare_detail::kKeywords<C>.data());
    return parse_args_keywords(args, nargs, kwnames, &parser, out...);
  } else {
    return no_keywords(C.name, kwnames) && parse_args(args, nargs, format_of<C>(), out...);
  }
}

// A constructor's arguments (tp_new's tuple and dict).
template <const auto& C, typename... Out>
[[nodiscard]] inline bool parse_constructor(PyObject* args, PyObject* kwds, Out... out) {
  static_assert(C.receiver == Receiver::type);
  static_assert(declare_detail::outputs_fit<C, Out...>(),
                "the outputs do not match the declared format units");
  return PyArg_ParseTupleAndKeywords(args, kwds, format_of<C>(),
                                     declare_detail::kKeywords<C>.data(), out...) != 0;
}

// ---------------------------------------------------------------------------
// Method-table entries
// ---------------------------------------------------------------------------

// The entry of C for `function`, whose calling convention follows from its
// type: (self, unused) is METH_NOARGS without parameters and METH_O with
// one positional parameter; (self, args, nargs) is METH_FASTCALL;
// (self, args, nargs, kwnames) is METH_FASTCALL | METH_KEYWORDS.
template <const auto& C, typename Self>
constexpr PyMethodDef method_entry(PyObject* (*function)(Self*, PyObject*)) {
  constexpr std::size_t n = std::size(C.params);
  static_assert(n == 0 || (n == 1 && C.params[0].pass == Pass::positional),
                "a (self, arg) function takes no parameter or one positional one");
  return {C.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          n == 0 ? METH_NOARGS : METH_O, doc_of<C>()};
}
template <const auto& C, typename Self>
constexpr PyMethodDef method_entry(PyObject* (*function)(Self*, PyObject* const*, Py_ssize_t)) {
  static_assert(!C.takes_keywords(), "keyword parameters need a kwnames argument");
  return {C.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL, doc_of<C>()};
}
template <const auto& C, typename Self>
constexpr PyMethodDef method_entry(
    PyObject* (*function)(Self*, PyObject* const*, Py_ssize_t, PyObject*)) {
  static_assert(C.takes_keywords() || C.receiver == Receiver::module,
                "a method without keyword parameters takes no kwnames");
  return {C.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL | METH_KEYWORDS, doc_of<C>()};
}

#endif  // KELVEX_DECLARE_H

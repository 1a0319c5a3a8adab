// Argument parsing over the fast calling conventions: the one place that
// knows which interpreter function does it.
//
// METH_FASTCALL methods parse their argument vector with the very parser
// that PyArg_ParseTuple and PyArg_ParseTupleAndKeywords run on a tuple:
// same format units, same conversions, same error messages, without the
// tuple (or dict) built for each call.  CPython 3.15 declares it publicly, as
// PyArg_ParseArray and PyArg_ParseArrayAndKeywords.  CPython 3.13 and 3.14
// export it only for their own shared extension modules, as
// _PyArg_ParseStack and _PyArg_ParseStackAndKeywords, declared only in their
// internal headers (which need Py_BUILD_CORE); their declarations are
// repeated here and nowhere else.  CMakeLists.txt picks the pair: it sets
// KELVEX_PUBLIC_ARRAY_PARSERS to 1 where the headers declare the public one,
// and checks that the interpreter built against exports the pair picked, so
// that one which stops doing so fails the build rather than the import.
//
// Methods parse through their declarations (declare.h), which call
// parse_args or parse_args_keywords; a method with keywords keeps one static
// KeywordParser made by keyword_parser.
#ifndef KELVEX_ARGS_H
#define KELVEX_ARGS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef KELVEX_PUBLIC_ARRAY_PARSERS
#error "KELVEX_PUBLIC_ARRAY_PARSERS is set by CMakeLists.txt, from what the CPython headers declare"
#endif

#if KELVEX_PUBLIC_ARRAY_PARSERS

// The public functions take the format and keyword names on each call.
struct KeywordParser {
  const char* format;
  const char* const* keywords;
};

#else

extern "C" {
PyAPI_FUNC(int) _PyArg_ParseStack(PyObject* const* args, Py_ssize_t nargs, const char* format,
                                  ...);
PyAPI_FUNC(int) _PyArg_ParseStackAndKeywords(PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames, struct _PyArg_Parser* parser,
                                             ...);
}

// The interpreter fills the rest of the record (interned keyword names) on
// first use, which is why each method keeps its parser in static storage.
using KeywordParser = _PyArg_Parser;

#endif

// A keyword parser for one method: the format (whose ":name" names the
// method in messages) and the keyword names, null-terminated.  Static
// storage.
constexpr KeywordParser keyword_parser(const char* format, const char* const* keywords) {
  KeywordParser parser{};
  parser.format = format;
  parser.keywords = keywords;
  return parser;
}

// Positional arguments only, by `format`; false with the exception set.
template <typename... Out>
[[nodiscard]] inline bool parse_args(PyObject* const* args, Py_ssize_t nargs, const char* format,
                                     Out... out) {
#if KELVEX_PUBLIC_ARRAY_PARSERS
  return PyArg_ParseArray(args, nargs, format, out...) != 0;
#else
  return _PyArg_ParseStack(args, nargs, format, out...) != 0;
#endif
}

// Positional and keyword arguments (kwnames as METH_KEYWORDS passes them);
// false with the exception set.
template <typename... Out>
[[nodiscard]] inline bool parse_args_keywords(PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames, KeywordParser* parser,
                                              Out... out) {
#if KELVEX_PUBLIC_ARRAY_PARSERS
  return PyArg_ParseArrayAndKeywords(args, nargs, kwnames, parser->format, parser->keywords,
                                     out...) != 0;
#else
  return _PyArg_ParseStackAndKeywords(args, nargs, kwnames, parser, out...) != 0;
#endif
}

// A function that takes no keywords refuses them in these words:
// "name() takes no keyword arguments".  True when there are none.
bool no_keywords(const char* name, PyObject* kwnames);

#endif

// The layer over the interpreter's C API that every file uses: the includes
// and version checks, the owning types (Ref, BufferGuard, SlistPtr), text and
// sequence helpers, the module's error conventions (argument parsing is in
// args.h), and the boilerplate that every kelvex type shares.
//
// Built with exceptions and RTTI off: nothing here may throw, and nothing
// called from here may either.
#ifndef KELVEX_PYUTIL_H
#define KELVEX_PYUTIL_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The module exposes libcurl's legacy interfaces (forms, PROGRESSFUNCTION,
// IOCTLFUNCTION, ...) on purpose; their deprecation is reported to Python
// callers as DeprecationWarning instead.
#define CURL_DISABLE_DEPRECATION 1
#include <curl/curl.h>

#include "args.h"

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

#if LIBCURL_VERSION_NUM < 0x081500
#error "kelvex needs the headers of libcurl 8.21.0 or newer"
#endif
#if PY_VERSION_HEX < 0x030D0000
#error "kelvex needs the headers of CPython 3.13 or newer"
#endif

// ---------------------------------------------------------------------------
// Owning types
// ---------------------------------------------------------------------------

// Owns one strong reference to a Python object. Move-only; the destructor
// releases. `release()` hands the reference over to an API that steals it.
class Ref {
 public:
  constexpr Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = obj_;
      obj_ = other.obj_;
      other.obj_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  // Takes over a new reference (which may be null after a failed call).
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }
  void reset(PyObject* obj = nullptr) noexcept {
    PyObject* old = obj_;
    obj_ = obj;
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Sets aside the exception pending on this thread (if any) for the length
// of a scope, so that Python code can run there, and puts it back when the
// scope ends:
// - `exactly`: the thread leaves the scope with just what was pending when
//   it entered, and whatever was raised inside is dropped. For teardown and
//   bookkeeping that must leave the caller's state as it found it.
// - `over_new`: an exception that was pending wins over one raised inside;
//   when none was, what was raised inside stays. For the multi's callables:
//   the earlier exception is the one the driving call raises.
class PendingExceptionSaver {
 public:
  enum Restore : unsigned char { exactly, over_new };
  explicit PendingExceptionSaver(Restore how = exactly) noexcept
      : saved_(PyErr_GetRaisedException()), how_(how) {}
  // Sets nothing aside (and touches no thread state) unless `active`.
  PendingExceptionSaver(Restore how, bool active) noexcept
      : saved_(active ? PyErr_GetRaisedException() : nullptr), how_(how), done_(!active) {}
  PendingExceptionSaver(const PendingExceptionSaver&) = delete;
  PendingExceptionSaver& operator=(const PendingExceptionSaver&) = delete;
  ~PendingExceptionSaver() { restore(); }
  // Puts the exception back before the scope ends; a second call does
  // nothing.
  void restore() noexcept {
    if (done_) return;
    done_ = true;
    if (saved_ != nullptr || how_ == exactly) PyErr_SetRaisedException(saved_);
  }

 private:
  PyObject* saved_;
  Restore how_;
  bool done_ = false;
};

// Owns a Py_buffer filled by PyObject_GetBuffer or the argument parser
// ("y*", "w*"). Released exactly once, on every path.
class BufferGuard {
 public:
  BufferGuard() noexcept { std::memset(&view_, 0, sizeof(view_)); }
  BufferGuard(const BufferGuard&) = delete;
  BufferGuard& operator=(const BufferGuard&) = delete;
  ~BufferGuard() { reset(); }

  // Fills the buffer from an object; returns -1 with an exception set.
  int acquire(PyObject* obj, int flags) noexcept {
    reset();
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return -1;
    held_ = true;
    return 0;
  }
  // For parsers that fill the buffer themselves: mark it as held.
  Py_buffer* fill() noexcept {
    reset();
    held_ = true;
    return &view_;
  }
  void reset() noexcept {
    if (held_) {
      PyBuffer_Release(&view_);
      held_ = false;
    }
  }
  Py_buffer& operator*() noexcept { return view_; }
  Py_buffer* operator->() noexcept { return &view_; }

 private:
  Py_buffer view_;
  bool held_ = false;
};

struct SlistFree {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

// ---------------------------------------------------------------------------
// Text, sequences, attributes, sockets (stringcompat.cpp, pythoncompat.cpp)
// ---------------------------------------------------------------------------

int PyText_Check(PyObject* o);
// Returns 0 or -1; `encoded` receives the temporary ASCII bytes of a str.
// With `len` null, embedded NUL bytes are refused.
int PyText_AsStringAndSize(PyObject* obj, char** buffer, Py_ssize_t* len, Ref* encoded);
char* PyText_AsString_NoNUL(PyObject* obj, Ref* encoded);
PyObject* PyText_FromString_Ignore(const char* string);

int PyListOrTuple_Check(PyObject* v);
Py_ssize_t PyListOrTuple_Size(PyObject* v, int which);
PyObject* PyListOrTuple_GetItem(PyObject* v, Py_ssize_t i, int which);

// Item `index` of a list or tuple (`which` as PyListOrTuple_Check gives
// it) as a strong reference: on a free-threaded build another thread may
// change a list meanwhile. Null with IndexError when the list has shrunk.
inline Ref list_or_tuple_item(PyObject* sequence, Py_ssize_t index, int which) {
  if (which == 1) return Ref::steal(PyList_GetItemRef(sequence, index));
  return Ref::borrow(PyTuple_GET_ITEM(sequence, index));
}

// Walks the first `count` items of a list or tuple that must all be byte
// strings or ASCII-only str without NUL: `each(text, encoded)` gets each
// item's bytes, `encoded` owning them when the item was a str (a caller
// that keeps the text takes `encoded` over), and returns 0 or -1. An item
// of another type has `refuse()` raise. 0, or -1 with an exception set.
template <typename Refuse, typename Each>
int for_each_text_item(PyObject* sequence, int which, Py_ssize_t count, Refuse refuse,
                       Each each) {
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref item = list_or_tuple_item(sequence, i, which);
    if (!item) return -1;
    if (!PyText_Check(item.get())) {
      refuse();
      return -1;
    }
    Ref encoded;
    const char* text = PyText_AsString_NoNUL(item.get(), &encoded);
    if (text == nullptr || each(text, encoded) < 0) return -1;
  }
  return 0;
}

// The same items as a libcurl string list (which copies each text), or
// null with an exception set: a TypeError `not_text` for an item of
// another type. An empty sequence gives null without an exception.
SlistPtr text_items_to_slist(PyObject* sequence, int which, Py_ssize_t count,
                             const char* not_text);
// The same, for the list options and the trailer callable's answer, whose
// refusal names what the items must be.
curl_slist* kelvex_list_or_tuple_to_slist(int which, PyObject* sequence, Py_ssize_t count);

// Attribute access after the generic lookup: the instance dictionary, then
// the constants of the object's type.
PyObject* my_getattro(PyObject* co, PyObject* name, PyObject* dict1, PyObject* dict2,
                      PyMethodDef* m);
int my_setattro(PyObject** dict, PyObject* name, PyObject* v);

PyObject* PyLong_FromCurlSocket(curl_socket_t sockfd);
int PyLong_AsCurlSocket(PyObject* obj, curl_socket_t* sockfd);

// ---------------------------------------------------------------------------
// Errors (util.cpp): every kelvex.error is raised through these.
// ---------------------------------------------------------------------------

// kelvex.error with a single text value.
void set_error_text(const char* text);
// kelvex.error with (code, text).
void set_error_code_text(long code, const char* text);
// kelvex.error (code, text) for a failed libcurl call: `text` is what
// libcurl wrote to the handle's error buffer (NUL-terminated), libcurl's
// own text for the code when that is empty; undecodable bytes are dropped.
void set_error_curl_code(int code, const char* text);
// kelvex.error with a formatted text (PyErr_Format's rules).
void set_error_format(const char* format, ...);

// Adds a note (PEP 678, a formatted text by PyUnicode_FromFormat's rules) to
// the exception being raised. The exception stays as it was if that fails.
void add_note_to_raised(const char* format, ...);

// The first check of every setopt: libcurl encodes an option's argument
// type in bands of 10000 (long, object pointer, function pointer, curl_off_t,
// blob), so a number is a candidate when it is positive, at most
// `last_option`, and its index within its band at most `last_index`.
bool option_in_range(int option, int last_option, int last_index) noexcept;

// The option tables (setopt's, getinfo's, the multi's) are arrays of rows
// keyed by a field `option`: find_option gives the row of a number, or
// null; options_unique checks a table at compile time.
template <typename Row, std::size_t N>
const Row* find_option(const Row (&table)[N], long long option) {
  for (const Row& row : table) {
    if (static_cast<long long>(row.option) == option) return &row;
  }
  return nullptr;
}

template <typename Row, std::size_t N>
constexpr bool options_unique(const Row (&table)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    for (std::size_t j = i + 1; j < N; ++j) {
      if (table[i].option == table[j].option) return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Boilerplate shared by every kelvex type (util.cpp)
// ---------------------------------------------------------------------------

// __getstate__ and __setstate__ (any arguments): kelvex objects refuse
// pickling, each naming its type ("Curl objects do not support
// serialization"). TypeName is a constant array such as kCurlTypeName.
template <const char* TypeName>
PyObject* refuse_getstate(PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "%s objects do not support serialization", TypeName);
  return nullptr;
}
template <const char* TypeName>
PyObject* refuse_setstate(PyObject*, PyObject* const*, Py_ssize_t) {
  PyErr_Format(PyExc_TypeError, "%s objects do not support deserialization", TypeName);
  return nullptr;
}

// The two method-table entries of the refusal, by their declarations
// (declare.h).
#define KELVEX_PICKLE_REFUSAL(TypeName, getstate, setstate)                         \
  method_entry<getstate>(refuse_getstate<TypeName>),                                \
      method_entry<setstate>(refuse_setstate<TypeName>)

// __enter__: the object itself.
PyObject* enter_self(PyObject* self, PyObject*);
// __exit__ of the types whose close takes no arguments and whose __exit__
// takes any: calls Close(self) and ignores the exception details.
template <PyObject* (*Close)(PyObject*, PyObject*)>
PyObject* exit_closing(PyObject* self, PyObject* const*, Py_ssize_t) {
  return Close(self, nullptr);
}

// tp_traverse, tp_clear and tp_dealloc of a type whose references are the
// listed PyObject* fields (each strong, or null), cleared in the order
// listed, and which holds nothing else to release.
template <typename Record, PyObject* Record::*... Fields>
struct ReferenceFields {
  static int traverse(PyObject* op, visitproc visit, void* arg) {
    Record* self = reinterpret_cast<Record*>(op);
    for (PyObject* field : {self->*Fields...}) Py_VISIT(field);
    return 0;
  }
  static int clear(PyObject* op) {
    Record* self = reinterpret_cast<Record*>(op);
    (clear_one(self->*Fields), ...);
    return 0;
  }
  // Weak references, when the type takes them, are cleared first.
  static void dealloc(PyObject* op) {
    PyObject_GC_UnTrack(op);
    const Py_ssize_t weaklist = Py_TYPE(op)->tp_weaklistoffset;
    if (weaklist != 0 &&
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(op) + weaklist) != nullptr) {
      PyObject_ClearWeakRefs(op);
    }
    (void)clear(op);
    Py_TYPE(op)->tp_free(op);
  }

 private:
  static void clear_one(PyObject*& field) { Py_CLEAR(field); }
};

// Every field after the object header of a freshly allocated record is zero
// (tp_alloc clears it); the constructors assert it.
template <typename Record>
bool record_is_zero(const Record* self) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(self);
  for (std::size_t i = sizeof(PyObject); i < sizeof(Record); ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

#endif  // KELVEX_PYUTIL_H

// CurlMime and CurlMimePart: multipart documents built part by part, nested,
// fed from memory, files or Python callables, and attached to the Curl they
// were created with through MIMEPOST.
//
// libcurl owns the parts of a document and frees them with it; the Python
// wrappers only point at them, and every wrapper that depends on a document
// is invalidated before that document's memory goes. The MIME calls run on
// the calling thread without detaching: the only guard is the state check of
// the document's Curl, which refuses while a transfer reads the document.
#include "mime.h"

#include "callbacks.h"
#include "curl.h"
#include "holders.h"
#include "mimepart.h"
#include "module.h"
#include "multi.h"
#include "threadstate.h"

#include <utility>

#include <cstdio>

#include "docstrings.h"

namespace {

CurlMimeObject* as_mime(PyObject* o) { return reinterpret_cast<CurlMimeObject*>(o); }
CurlMimePartObject* as_part(PyObject* o) { return reinterpret_cast<CurlMimePartObject*>(o); }
MimeDataCbOwnerObject* as_owner(PyObject* o) {
  return reinterpret_cast<MimeDataCbOwnerObject*>(o);
}
CurlObject* as_curl(PyObject* o) { return reinterpret_cast<CurlObject*>(o); }

bool is_part(PyObject* o) { return PyObject_TypeCheck(o, &CurlMimePart_Type); }
bool is_owner(PyObject* o) { return PyObject_TypeCheck(o, &MimeDataCbOwner_Type); }

// An argument that is absent or None counts as not given.
PyObject* given(PyObject* o) { return o == Py_None ? nullptr : o; }

// ---------------------------------------------------------------------------
// Errors and argument checks
// ---------------------------------------------------------------------------

// libcurl's MIME calls never write the easy handle's error buffer, which
// holds the text of the handle's last transfer; the message is therefore
// always libcurl's text for the code.
void curlmime_raise_curl_error(CURLcode code) {
  set_error_code_text(static_cast<long>(code), curl_easy_strerror(code));
}

int curlmime_check_text_arg(PyObject* value, const char* label) {
  if (given(value) == nullptr) return 0;
  if (!PyText_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a byte string or ascii-unicode string", label);
    return -1;
  }
  Ref encoded;
  return PyText_AsString_NoNUL(value, &encoded) != nullptr ? 0 : -1;
}

constexpr const char* kDataTypeError =
    "data() argument must be a byte string, ASCII-only Unicode string, or a buffer object";

// Calls `use(start, length)` with the bytes of a data value (buffer object,
// bytes, or str encoded to ASCII); -1 with an exception set when the value
// is refused.
template <typename Use>
int with_data_bytes(PyObject* value, Use use) {
  if (PyObject_CheckBuffer(value)) {
    BufferGuard view;
    if (view.acquire(value, PyBUF_SIMPLE) < 0) return -1;
    return use(static_cast<const char*>(view->buf), static_cast<size_t>(view->len));
  }
  if (PyText_Check(value)) {
    char* start = nullptr;
    Py_ssize_t length = 0;
    Ref encoded;
    if (PyText_AsStringAndSize(value, &start, &length, &encoded) < 0) return -1;
    return use(start, static_cast<size_t>(length));
  }
  PyErr_SetString(PyExc_TypeError, kDataTypeError);
  return -1;
}

// None and empty sequences give no list (null without an exception set).
int curlmime_headers_to_slist(PyObject* value, SlistPtr* out) {
  out->reset();
  if (value == Py_None) return 0;
  const int which = PyListOrTuple_Check(value);
  if (which == 0) {
    PyErr_SetString(PyExc_TypeError, "headers must be a list or tuple of strings");
    return -1;
  }
  const Py_ssize_t count = PyListOrTuple_Size(value, which);
  SlistPtr list;
  for (Py_ssize_t i = 0; i < count; ++i) {
    // A strong reference: the list may be shared with other threads.
    Ref item = which == 1 ? Ref::steal(PyList_GetItemRef(value, i))
                          : Ref::borrow(PyTuple_GetItem(value, i));
    if (!item) return -1;
    if (!PyText_Check(item.get())) {
      PyErr_SetString(PyExc_TypeError, "headers must contain only byte or ascii-unicode strings");
      return -1;
    }
    Ref encoded;
    const char* text = PyText_AsString_NoNUL(item.get(), &encoded);
    if (text == nullptr) return -1;
    curl_slist* grown = curl_slist_append(list.get(), text);
    if (grown == nullptr) {
      PyErr_NoMemory();
      return -1;
    }
    (void)list.release();
    list.reset(grown);
  }
  *out = std::move(list);
  return 0;
}

// ---------------------------------------------------------------------------
// State checks
// ---------------------------------------------------------------------------

// libcurl runs the free hooks of a part's old content (free callables,
// nested documents) in the middle of replacing it. Python code run from
// there must not reach libcurl's MIME calls again on this thread: a second
// replacement of the same part would free the old content twice.
thread_local int t_content_changes = 0;

class ContentChange {
 public:
  ContentChange() noexcept { ++t_content_changes; }
  ContentChange(const ContentChange&) = delete;
  ContentChange& operator=(const ContentChange&) = delete;
  ~ContentChange() { --t_content_changes; }
};

int refuse_during_content_change(const char* name) {
  if (t_content_changes == 0) return 0;
  set_error_format("cannot invoke %s() - a mime part's content is being replaced",
               name);
  return -1;
}

// Holds the Curl a document was made for, as CurlAccess does, for the
// length of one method: libcurl reads the document during that handle's
// transfers, and the handle's claim keeps every other thread off the
// document too. A method that builds with other methods of the same
// document (add_multipart) runs them inside its own claim.
thread_local CurlObject* t_mime_claimed = nullptr;

class MimeAccess {
 public:
  MimeAccess() noexcept = default;
  MimeAccess(const MimeAccess&) = delete;
  MimeAccess& operator=(const MimeAccess&) = delete;
  ~MimeAccess() {
    if (active_) t_mime_claimed = previous_;
  }
  // Keeps the Curl alive for as long as its claim is held.
  void keep(Ref curl) noexcept { curl_ = std::move(curl); }
  int acquire(CurlObject* curl, int flags, const char* name) noexcept {
    if (t_mime_claimed == curl) {
      if ((flags & CHECK_HANDLE) && curl->handle == nullptr) {
        refuse_closed(name, "curl handle");
        return -1;
      }
      return 0;
    }
    if (access_.acquire(curl, flags, name) < 0) return -1;
    previous_ = std::exchange(t_mime_claimed, curl);
    active_ = true;
    return 0;
  }

 private:
  Ref curl_;  // declared first: destroyed after the claim is given back
  CurlAccess access_;
  CurlObject* previous_ = nullptr;
  bool active_ = false;
};

// A strong reference to a field that teardown empties under the owner's
// section (curlmime_invalidate_wrappers): another thread may be closing
// the document at this very moment.
Ref field_ref(PyObject* owner, PyObject* const& field) {
  CriticalSection cs(owner);
  return Ref::borrow(field);
}

// Whether the document is still open, read under its section: a close()
// on another thread empties the handle there, claim or no claim here.
bool curlmime_is_open(CurlMimeObject* mime) {
  CriticalSection cs(reinterpret_cast<PyObject*>(mime));
  return mime->mime_handle != nullptr;
}

// Claims the Curl of `mime` (kept alive in `access`), then checks the
// document: a close() on another thread may have run before the claim.
int curlmime_claim(CurlMimeObject* mime, const char* name, MimeAccess& access,
                   int flags = CHECK_HANDLE) {
  Ref curl = field_ref(reinterpret_cast<PyObject*>(mime), mime->curl);
  if (!curlmime_is_open(mime)) {
    refuse_closed(name, "mime handle");
    return -1;
  }
  if (!curl) {
    refuse_closed(name, "curl handle");
    return -1;
  }
  CurlObject* handle = as_curl(curl.get());
  access.keep(std::move(curl));
  if (access.acquire(handle, flags, name) < 0) return -1;
  if (mime->mime_handle == nullptr) {
    refuse_closed(name, "mime handle");
    return -1;
  }
  return 0;
}

int curlmime_check_state(const CurlMimeObject* self, const char* name, MimeAccess& access) {
  if (refuse_during_content_change(name) < 0) return -1;
  return curlmime_claim(const_cast<CurlMimeObject*>(self), name, access);
}

int curlmimepart_check_state(const CurlMimePartObject* self, const char* name,
                             MimeAccess& access) {
  if (refuse_during_content_change(name) < 0) return -1;
  PyObject* const part = reinterpret_cast<PyObject*>(const_cast<CurlMimePartObject*>(self));
  Ref mime = field_ref(part, self->mime);
  if (!mime) {
    refuse_closed(name, "mime handle");
    return -1;
  }
  if (curlmime_claim(as_mime(mime.get()), name, access) < 0) return -1;
  // Checked under the claim, which every invalidation of parts holds.
  if (self->mime != mime.get() || self->part == nullptr) {
    refuse_closed(name, self->mime == nullptr ? "mime handle" : "mime part");
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Owner lists and invalidation
// ---------------------------------------------------------------------------

int curlmime_owner_list_remove_ptr(PyObject* list, PyObject* owner) {
  if (list == nullptr || owner == nullptr) return 0;
  if (!PyList_Check(list)) {
    set_error_text("internal error: owner list is not a list");
    return -1;
  }
  const Py_ssize_t count = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyList_GET_ITEM(list, i) == owner) return PyList_SetSlice(list, i, i + 1, nullptr);
  }
  return 0;
}

void curlmimepart_release_data_cb_owner(CurlMimePartObject* part) {
  if (part->data_cb_owner == nullptr) return;
  Ref owner = Ref::steal(part->data_cb_owner);
  part->data_cb_owner = nullptr;
  if (part->mime != nullptr &&
      curlmime_owner_list_remove_ptr(as_mime(part->mime)->data_cb_owners, owner.get()) < 0) {
    PyErr_Clear();
  }
}

// What becomes of a document when it is invalidated. A nested document that
// is closed while libcurl still keeps it inside its parent keeps its owner
// lists: they say which callback owners that libcurl tree holds, which a
// later duphandle must count.
enum class Invalidation { full, keep_libcurl_lists };

void curlmime_invalidate_parts(CurlMimeObject* self) {
  if (self->parts == nullptr) return;
  const Py_ssize_t count = PyList_GET_SIZE(self->parts);
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref item = Ref::steal(PyList_GetItemRef(self->parts, i));
    if (!item) {
      PyErr_Clear();
      break;
    }
    if (!is_part(item.get())) continue;
    CurlMimePartObject* part = as_part(item.get());
    if (part->mime == reinterpret_cast<PyObject*>(self)) {
      Ref mime;
      CriticalSection cs(item.get());
      mime = Ref::steal(std::exchange(part->mime, nullptr));
      part->part = nullptr;
      cs.end();
    }
    if (part->data_cb_owner != nullptr) {
      Ref owner = Ref::steal(part->data_cb_owner);
      part->data_cb_owner = nullptr;
    }
  }
}

void curlmime_invalidate_wrappers(CurlMimeObject* self, Invalidation how) {
  if (self == nullptr) return;
  if (self->mime_handle == nullptr && self->curl == nullptr && self->parts == nullptr &&
      self->submimes == nullptr && self->data_cb_owners == nullptr) {
    return;
  }
  {
    // Under the section too: the checks made before a claim read them there.
    CriticalSection cs(reinterpret_cast<PyObject*>(self));
    self->mime_handle = nullptr;
    self->owns_handle = 0;
  }
  curlmime_invalidate_parts(self);
  if (self->submimes != nullptr) {
    const Py_ssize_t count = PyList_GET_SIZE(self->submimes);
    for (Py_ssize_t i = 0; i < count; ++i) {
      Ref child = Ref::steal(PyList_GetItemRef(self->submimes, i));
      if (!child) {
        PyErr_Clear();
        break;
      }
      if (is_mime(child.get())) curlmime_invalidate_wrappers(as_mime(child.get()), how);
    }
  }
  Py_CLEAR(self->parts);
  if (how == Invalidation::full) {
    self->parent_part = nullptr;
    Py_CLEAR(self->submimes);
    Py_CLEAR(self->data_cb_owners);
  }
  Ref curl;
  {
    CriticalSection cs(reinterpret_cast<PyObject*>(self));
    curl = Ref::steal(std::exchange(self->curl, nullptr));
  }
}

// libcurl drops a part's old content (and any document nested there) before
// it takes new content, whether or not it then accepts the new content.
void curlmimepart_content_replaced(CurlMimePartObject* part) {
  curlmimepart_release_data_cb_owner(part);
  if (part->mime == nullptr) return;
  CurlMimeObject* mime = as_mime(part->mime);
  if (mime->submimes == nullptr) return;
  for (Py_ssize_t i = PyList_GET_SIZE(mime->submimes) - 1; i >= 0; --i) {
    Ref child = Ref::steal(PyList_GetItemRef(mime->submimes, i));
    if (!child) {
      PyErr_Clear();
      return;
    }
    if (!is_mime(child.get()) || as_mime(child.get())->parent_part != part->part) continue;
    curlmime_invalidate_wrappers(as_mime(child.get()), Invalidation::full);
    if (mime->submimes == nullptr || PyList_SetSlice(mime->submimes, i, i + 1, nullptr) < 0) {
      PyErr_Clear();
      return;
    }
  }
}

// Detaches the document from its Curl when it is that Curl's MIMEPOST;
// -1 with an exception set when libcurl refuses.
int curlmime_detach_from_curl(CurlMimeObject* self) {
  CurlObject* curl = self->curl != nullptr ? as_curl(self->curl) : nullptr;
  if (curl == nullptr || curl->mime != self) return 0;
  if (curl->handle != nullptr) {
    // Reached from close() under the claim already, or from a teardown:
    // then the slot that serves the handle is waited for.
    CurlMultiObject* multi = curl->multi_stack;
    TeardownClaim claim(multi != nullptr ? &multi->state : &curl->state);
    CURLcode res = curl_easy_setopt(curl->handle, CURLOPT_MIMEPOST, static_cast<void*>(nullptr));
    if (res != CURLE_OK) {
      curlmime_raise_curl_error(res);
      return -1;
    }
  }
  Ref attached = Ref::steal(reinterpret_cast<PyObject*>(curl->mime));
  curl->mime = nullptr;
  curl->mime_closed = 1;
  return 0;
}

// The collector's clear, and the last step of close() and of deallocation.
void curlmime_clear(CurlMimeObject* self) {
  curl_mime* handle = self->mime_handle;
  const int owns = self->owns_handle;
  if (curlmime_detach_from_curl(self) < 0) {
    PyErr_Clear();
    return;
  }
  // A nested document stays in its parent's libcurl tree until the parent
  // frees it.
  const bool nested = handle != nullptr && owns == 0;
  curlmime_invalidate_wrappers(self, nested ? Invalidation::keep_libcurl_lists : Invalidation::full);
  // Frees every part; libcurl calls the free hook of each callback-fed one,
  // which may run Python code.
  if (owns == 1 && handle != nullptr) {
    ContentChange change;
    curl_mime_free(handle);
  }
}

// ---------------------------------------------------------------------------
// Callback-fed parts: the owner and libcurl's hooks
// ---------------------------------------------------------------------------

// The hooks below attach with AttachedThread: they run on a transfer thread
// that detached (perform, a multi driver) or on a thread already attached
// (close(), a content change).

// Past initialisation's end, and during finalization on a thread that is
// not attached (ensuring a thread state there would hang or end the
// thread), the hooks must not touch Python objects.
bool interpreter_usable() {
  if (!Py_IsInitialized()) return false;
  return !Py_IsFinalizing() || PyThreadState_GetUnchecked() != nullptr;
}

void report_unraisable(PyObject* obj) { PyErr_WriteUnraisable(obj); }

void mime_data_cb_owner_release(MimeDataCbOwnerObject* owner, bool call_free) {
  // Whatever is pending on this thread state (close() or a deallocation
  // during an exception) must survive the free callable.
  PyObject* pending = PyErr_GetRaisedException();
  int64_t refs = __atomic_load_n(&owner->libcurl_refs, __ATOMIC_ACQUIRE);
  do {
    if (refs <= 0) {
      set_error_text("internal error: mime data_cb owner libcurl refcount underflow");
      report_unraisable(reinterpret_cast<PyObject*>(owner));
      PyErr_SetRaisedException(pending);
      return;
    }
  } while (!__atomic_compare_exchange_n(&owner->libcurl_refs, &refs, refs - 1, false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
  if (call_free && refs == 1 && __atomic_exchange_n(&owner->free_called, 1, __ATOMIC_ACQ_REL) == 0) {
    Ref callable = Ref::borrow(owner->free);
    Ref userdata = Ref::borrow(owner->userdata != nullptr ? owner->userdata : Py_None);
    if (callable) {
      Ref result = Ref::steal(PyObject_CallOneArg(callable.get(), userdata.get()));
      if (!result) report_unraisable(callable.get());
    }
  }
  Py_DECREF(reinterpret_cast<PyObject*>(owner));
  PyErr_SetRaisedException(pending);
}

size_t mime_data_cb_read_callback(char* buffer, size_t size, size_t nitems, void* arg) {
  constexpr size_t failure = CURL_READFUNC_ABORT;
  auto* owner = static_cast<MimeDataCbOwnerObject*>(arg);
  if (owner == nullptr || !interpreter_usable()) return failure;
  AttachedThread attached;
  // An exception left by an earlier callback of this transfer must reach
  // the call that runs it, untouched.
  if (exception_pending()) return failure;
  Ref callable = Ref::borrow(owner->read);
  if (!callable || size == 0 || nitems == 0) return failure;

  size_t total = 0;
  if (__builtin_mul_overflow(size, nitems, &total) || total > INT32_MAX) {
    set_error_text("integer overflow in mime read callback");
    print_callback_error_if_regular_exception();
    return failure;
  }
  const auto wanted = static_cast<long>(total);
  Ref request = Ref::steal(PyLong_FromLong(wanted));
  if (!request) {
    print_callback_error_if_regular_exception();
    return failure;
  }
  Ref userdata = Ref::borrow(owner->userdata != nullptr ? owner->userdata : Py_None);
  PyObject* args[] = {nullptr, userdata.get(), request.get()};
  Ref result = Ref::steal(
      PyObject_Vectorcall(callable.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) {
    print_callback_error_if_regular_exception();
    return failure;
  }

  PyObject* value = result.get();
  if (PyObject_CheckBuffer(value)) {
    BufferGuard view;
    if (view.acquire(value, PyBUF_SIMPLE) < 0) {
      print_callback_error_if_regular_exception();
      return failure;
    }
    const long length = static_cast<long>(view->len);
    if (length > wanted) {
      set_error_format(
                   "invalid return value for mime read callback (%ld bytes returned when at "
                   "most %ld bytes were wanted)",
                   length, wanted);
      print_callback_error_if_regular_exception();
      return failure;
    }
    if (length > 0) std::memcpy(buffer, view->buf, static_cast<size_t>(length));
    return static_cast<size_t>(length);
  }
  if (PyUnicode_Check(value)) {
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(value, "ascii", "strict"));
    if (!encoded) {
      print_callback_error_if_regular_exception();
      return failure;
    }
    const long length = static_cast<long>(PyBytes_GET_SIZE(encoded.get()));
    if (length > wanted) {
      set_error_format(
                   "invalid return value for mime read callback (%ld bytes returned after "
                   "ASCII encoding when at most %ld bytes were wanted)",
                   length, wanted);
      print_callback_error_if_regular_exception();
      return failure;
    }
    if (length > 0) {
      std::memcpy(buffer, PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(length));
    }
    return static_cast<size_t>(length);
  }
  if (PyLong_Check(value)) {
    int overflow = 0;
    const long long code = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0 && (code == CURL_READFUNC_ABORT || code == CURL_READFUNC_PAUSE)) {
      return static_cast<size_t>(code);
    }
    PyErr_Clear();
    set_error_text(
        "mime read callback must return a buffer object, an ASCII-only Unicode string, "
        "READFUNC_ABORT, or READFUNC_PAUSE");
  } else {
    set_error_text(
        "mime read callback must return an object supporting the buffer protocol, an "
        "ASCII-only Unicode string, READFUNC_ABORT, or READFUNC_PAUSE");
  }
  print_callback_error_if_regular_exception();
  return failure;
}

int mime_data_cb_seek_callback(void* arg, curl_off_t offset, int origin) {
  constexpr int failure = CURL_SEEKFUNC_FAIL;
  auto* owner = static_cast<MimeDataCbOwnerObject*>(arg);
  if (owner == nullptr || !interpreter_usable()) return failure;
  AttachedThread attached;
  if (exception_pending()) return failure;
  Ref callable = Ref::borrow(owner->seek);
  if (!callable) return failure;

  Ref py_offset = Ref::steal(PyLong_FromLongLong(offset));
  Ref py_origin = Ref::steal(PyLong_FromLong(origin));
  if (!py_offset || !py_origin) {
    print_callback_error_if_regular_exception();
    return failure;
  }
  Ref userdata = Ref::borrow(owner->userdata != nullptr ? owner->userdata : Py_None);
  PyObject* args[] = {nullptr, userdata.get(), py_offset.get(), py_origin.get()};
  Ref result = Ref::steal(
      PyObject_Vectorcall(callable.get(), args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) {
    print_callback_error_if_regular_exception();
    return failure;
  }
  return seek_result_to_code(
      result.get(), "invalid return value for mime seek callback %d not in (0, 1, 2)",
      "mime seek callback must return 0 (SEEKFUNC_OK), 1 (SEEKFUNC_FAIL), 2 "
      "(SEEKFUNC_CANTSEEK) or None",
      failure);
}

void mime_data_cb_free_callback(void* arg) {
  auto* owner = static_cast<MimeDataCbOwnerObject*>(arg);
  if (owner == nullptr || !interpreter_usable()) return;
  AttachedThread attached;
  mime_data_cb_owner_release(owner, true);
}

// Appends to `into` every callback owner of a document's libcurl tree: its
// own parts' and, depth first, those of its nested documents.
int curlmime_collect_data_cb_owners(CurlMimeObject* self, PyObject* into) {
  if (self->data_cb_owners != nullptr) {
    assert(PyList_Check(self->data_cb_owners));
    const Py_ssize_t count = PyList_GET_SIZE(self->data_cb_owners);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PyList_GET_ITEM(self->data_cb_owners, i);
      if (is_owner(item) && PyList_Append(into, item) < 0) return -1;
    }
  }
  if (self->submimes != nullptr) {
    assert(PyList_Check(self->submimes));
    const Py_ssize_t count = PyList_GET_SIZE(self->submimes);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PyList_GET_ITEM(self->submimes, i);
      if (is_mime(item) && curlmime_collect_data_cb_owners(as_mime(item), into) < 0) return -1;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// CurlMimePart
// ---------------------------------------------------------------------------

using TextSetterFn = CURLcode (*)(curl_mimepart*, const char*);

struct TextSetter {
  const char* name;
  TextSetterFn call;
  bool replaces_content;
};

constexpr TextSetter kTextSetters[] = {
    {"name", curl_mime_name, false},
    {"filedata", curl_mime_filedata, true},
    {"filename", curl_mime_filename, false},
    {"type", curl_mime_type, false},
    {"encoder", curl_mime_encoder, false},
};
enum TextSetterIndex : std::size_t { kName, kFiledata, kFilename, kType, kEncoder };

PyObject* util_mimepart_set_text(CurlMimePartObject* self, const TextSetter& setter,
                                 PyObject* value) {
  MimeAccess access;
  if (curlmimepart_check_state(self, setter.name, access) < 0) return nullptr;
  if (!PyText_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a byte string or ascii-unicode string",
                 setter.name);
    return nullptr;
  }
  Ref encoded;
  const char* text = PyText_AsString_NoNUL(value, &encoded);
  if (text == nullptr) return nullptr;
  CURLcode res;
  {
    ContentChange change;
    res = setter.call(self->part, text);
  }
  if (setter.replaces_content) curlmimepart_content_replaced(self);
  if (res != CURLE_OK) {
    curlmime_raise_curl_error(res);
    return nullptr;
  }
  Py_RETURN_NONE;
}

template <std::size_t I>
PyObject* do_mimepart_set_text(PyObject* self, PyObject* value) {
  return util_mimepart_set_text(as_part(self), kTextSetters[I], value);
}

PyObject* do_mimepart_data(PyObject* obj, PyObject* value) {
  CurlMimePartObject* self = as_part(obj);
  MimeAccess access;
  if (curlmimepart_check_state(self, "data", access) < 0) return nullptr;
  CURLcode res = CURLE_OK;
  // libcurl copies the bytes: the Python object is not kept.
  if (with_data_bytes(value, [&](const char* start, size_t length) {
        ContentChange change;
        res = curl_mime_data(self->part, start, length);
        return 0;
      }) < 0) {
    return nullptr;
  }
  curlmimepart_content_replaced(self);
  if (res != CURLE_OK) {
    curlmime_raise_curl_error(res);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* do_mimepart_headers(PyObject* obj, PyObject* value) {
  CurlMimePartObject* self = as_part(obj);
  MimeAccess access;
  if (curlmimepart_check_state(self, "headers", access) < 0) return nullptr;
  SlistPtr list;
  if (curlmime_headers_to_slist(value, &list) < 0) return nullptr;
  // With take-ownership set libcurl frees the list with the part; no list
  // clears the part's custom headers.
  const CURLcode res = curl_mime_headers(self->part, list.get(), 1);
  if (res != CURLE_OK) {
    curlmime_raise_curl_error(res);
    return nullptr;
  }
  (void)list.release();
  Py_RETURN_NONE;
}

PyObject* do_mimepart_subparts(PyObject* obj, PyObject* value) {
  CurlMimePartObject* self = as_part(obj);
  if (!is_mime(value)) {
    PyErr_SetString(PyExc_TypeError, "subparts() expects a CurlMime object");
    return nullptr;
  }
  MimeAccess access;
  if (curlmimepart_check_state(self, "subparts", access) < 0) return nullptr;
  CurlMimeObject* child = as_mime(value);
  CurlMimeObject* mime = as_mime(self->mime);
  // The child is read under its section until it proves to be of this
  // Curl, whose claim then covers it.
  if (!curlmime_is_open(child)) {
    PyErr_SetString(PyExc_ValueError, "subparts() received a closed mime object");
    return nullptr;
  }
  if (field_ref(value, child->curl).get() != mime->curl) {
    PyErr_SetString(PyExc_ValueError,
                    "subparts() requires both mime objects to use the same Curl handle");
    return nullptr;
  }
  if (child == mime) {
    PyErr_SetString(PyExc_ValueError, "subparts() does not accept the parent mime object");
    return nullptr;
  }
  if (child->owns_handle == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "subparts() received a mime object already attached as subparts");
    return nullptr;
  }
  if (child->curl != nullptr && as_curl(child->curl)->mime == child) {
    PyErr_SetString(PyExc_ValueError,
                    "subparts() received a mime object currently set as MIMEPOST");
    return nullptr;
  }
  if (mime->submimes == nullptr) {
    set_error_text("subparts() cannot attach to a closed mime object");
    return nullptr;
  }
  // Keep the document alive through the content change below, which may
  // run Python code (free callables of the old content).
  Ref keep = Ref::borrow(self->mime);
  if (PyList_Append(mime->submimes, value) < 0) return nullptr;
  CURLcode res;
  {
    ContentChange change;
    res = curl_mime_subparts(self->part, child->mime_handle);
  }
  if (res != CURLE_OK) {
    const Py_ssize_t last = PyList_GET_SIZE(mime->submimes) - 1;
    if (PyList_SetSlice(mime->submimes, last, last + 1, nullptr) < 0) PyErr_Clear();
    curlmimepart_content_replaced(self);
    curlmime_raise_curl_error(res);
    return nullptr;
  }
  {
    CriticalSection cs(value);
    child->owns_handle = 0;
  }
  curlmimepart_content_replaced(self);
  child->parent_part = self->part;
  Py_RETURN_NONE;
}

PyObject* do_mimepart_data_cb(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CurlMimePartObject* self = as_part(obj);
  static const char* const kwlist[] = {"datasize", "read", "seek", "free", "userdata", nullptr};
  PyObject* datasize = nullptr;
  PyObject* read = nullptr;
  PyObject* seek = Py_None;
  PyObject* free = Py_None;
  PyObject* userdata = Py_None;
  static KeywordParser parser = keyword_parser("OO|OOO:data_cb", kwlist);
  if (!parse_args_keywords(args, nargs, kwnames, &parser,
                                   &datasize, &read, &seek, &free, &userdata)) {
    return nullptr;
  }
  MimeAccess access;
  if (curlmimepart_check_state(self, "data_cb", access) < 0) return nullptr;

  curl_off_t size = -1;
  if (datasize != Py_None) {
    const long long value = PyLong_AsLongLong(datasize);
    if (value == -1 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_SetString(PyExc_TypeError, "datasize must be an integer >= -1 or None");
      }
      return nullptr;
    }
    if (value < -1) {
      PyErr_SetString(PyExc_ValueError, "datasize must be >= -1");
      return nullptr;
    }
    size = static_cast<curl_off_t>(value);
  }
  if (!PyCallable_Check(read)) {
    PyErr_SetString(PyExc_TypeError, "read must be callable");
    return nullptr;
  }
  if (seek != Py_None && !PyCallable_Check(seek)) {
    PyErr_SetString(PyExc_TypeError, "seek must be callable or None");
    return nullptr;
  }
  if (free != Py_None && !PyCallable_Check(free)) {
    PyErr_SetString(PyExc_TypeError, "free must be callable or None");
    return nullptr;
  }
  CurlMimeObject* mime = as_mime(self->mime);
  if (mime->data_cb_owners == nullptr) {
    set_error_text("data_cb() cannot attach to a closed mime object");
    return nullptr;
  }
  Ref owner_ref = Ref::steal(MimeDataCbOwner_Type.tp_alloc(&MimeDataCbOwner_Type, 0));
  if (!owner_ref) return nullptr;
  MimeDataCbOwnerObject* owner = as_owner(owner_ref.get());
  assert(record_is_zero(owner));
  owner->read = Py_NewRef(read);
  owner->seek = seek != Py_None ? Py_NewRef(seek) : nullptr;
  owner->free = free != Py_None ? Py_NewRef(free) : nullptr;
  owner->userdata = Py_NewRef(userdata);

  // Keep the document alive through the content change below, which may
  // run Python code (free callables of the old content).
  Ref keep = Ref::borrow(self->mime);
  if (PyList_Append(mime->data_cb_owners, owner_ref.get()) < 0) return nullptr;
  // libcurl's reference: given back by the free hook.
  __atomic_fetch_add(&owner->libcurl_refs, 1, __ATOMIC_ACQ_REL);
  Py_INCREF(owner_ref.get());

  // libcurl releases the part's old content first, which calls the free
  // hook of a previous owner.
  CURLcode res;
  {
    ContentChange change;
    res = curl_mime_data_cb(self->part, size, mime_data_cb_read_callback,
                            owner->seek != nullptr ? mime_data_cb_seek_callback : nullptr,
                            mime_data_cb_free_callback, owner);
  }
  if (res != CURLE_OK) {
    if (curlmime_owner_list_remove_ptr(mime->data_cb_owners, owner_ref.get()) < 0) PyErr_Clear();
    mime_data_cb_owner_release(owner, false);
    curlmimepart_content_replaced(self);
    curlmime_raise_curl_error(res);
    return nullptr;
  }
  curlmimepart_content_replaced(self);
  self->data_cb_owner = owner_ref.release();
  Py_RETURN_NONE;
}

void do_mimepart_clear_fields(CurlMimePartObject* self) {
  Py_CLEAR(self->data_cb_owner);
  self->part = nullptr;
  Py_CLEAR(self->mime);
}

int do_mimepart_traverse(PyObject* obj, visitproc visit, void* arg) {
  CurlMimePartObject* self = as_part(obj);
  Py_VISIT(self->mime);
  Py_VISIT(self->data_cb_owner);
  return 0;
}

int do_mimepart_clear(PyObject* obj) {
  do_mimepart_clear_fields(as_part(obj));
  return 0;
}

// No libcurl call: libcurl frees parts with their document.
void do_mimepart_dealloc(PyObject* obj) {
  PyObject_GC_UnTrack(obj);
  Py_TRASHCAN_BEGIN(obj, do_mimepart_dealloc)
  do_mimepart_clear_fields(as_part(obj));
  Py_TYPE(obj)->tp_free(obj);
  Py_TRASHCAN_END
}

// ---------------------------------------------------------------------------
// CurlMime
// ---------------------------------------------------------------------------

PyObject* do_mime_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* const kwlist[] = {"curl", nullptr};
  PyObject* curl = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!:CurlMime", const_cast<char**>(kwlist),
                                   &Curl_Type, &curl)) {
    return nullptr;
  }
  MimeAccess access;
  if (access.acquire(as_curl(curl), CHECK_HANDLE, "CurlMime") < 0) return nullptr;
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  CurlMimeObject* self = as_mime(obj.get());
  assert(record_is_zero(self));
  self->owns_handle = 1;
  self->curl = Py_NewRef(curl);
  self->parts = PyList_New(0);
  if (self->parts == nullptr) return nullptr;
  self->submimes = PyList_New(0);
  if (self->submimes == nullptr) return nullptr;
  self->data_cb_owners = PyList_New(0);
  if (self->data_cb_owners == nullptr) return nullptr;
  self->mime_handle = curl_mime_init(as_curl(curl)->handle);
  if (self->mime_handle == nullptr) return PyErr_NoMemory();
  return obj.release();
}

PyObject* util_mime_addpart(CurlMimeObject* self) {
  MimeAccess access;
  if (curlmime_check_state(self, "addpart", access) < 0) return nullptr;
  curl_mimepart* part = curl_mime_addpart(self->mime_handle);
  if (part == nullptr) return PyErr_NoMemory();
  Ref obj = Ref::steal(CurlMimePart_Type.tp_alloc(&CurlMimePart_Type, 0));
  if (!obj) return nullptr;
  CurlMimePartObject* wrapper = as_part(obj.get());
  assert(record_is_zero(wrapper));
  wrapper->part = part;
  wrapper->mime = Py_NewRef(reinterpret_cast<PyObject*>(self));
  if (PyList_Append(self->parts, obj.get()) < 0) return nullptr;
  return obj.release();
}

PyObject* do_mime_addpart(PyObject* self, PyObject* /*ignored*/) {
  return util_mime_addpart(as_mime(self));
}

// The seven values of the builders, each null when not given.
struct AddArgs {
  PyObject* name = nullptr;
  PyObject* data = nullptr;
  PyObject* file = nullptr;
  PyObject* filename = nullptr;
  PyObject* content_type = nullptr;
  PyObject* headers = nullptr;
  PyObject* encoder = nullptr;

  void normalize() {
    for (PyObject** field :
         {&name, &data, &file, &filename, &content_type, &headers, &encoder}) {
      *field = given(*field);
    }
  }
};

int curlmime_validate_add_args(CurlMimeObject* /*self*/, const AddArgs& a) {
  if (a.data != nullptr && a.file != nullptr) {
    PyErr_SetString(PyExc_ValueError, "add() accepts at most one of data or file");
    return -1;
  }
  if (curlmime_check_text_arg(a.name, "name") < 0) return -1;
  if (a.data != nullptr && with_data_bytes(a.data, [](const char*, size_t) { return 0; }) < 0) {
    return -1;
  }
  if (a.file != nullptr) {
    if (curlmime_check_text_arg(a.file, "file") < 0) return -1;
    Ref encoded;
    const char* path = PyText_AsString_NoNUL(a.file, &encoded);
    if (path == nullptr) return -1;
    FILE* fp = std::fopen(path, "rb");
    if (fp == nullptr) {
      curlmime_raise_curl_error(CURLE_READ_ERROR);
      return -1;
    }
    std::fclose(fp);
  }
  if (curlmime_check_text_arg(a.filename, "filename") < 0) return -1;
  if (curlmime_check_text_arg(a.content_type, "content_type") < 0) return -1;
  if (a.headers != nullptr) {
    SlistPtr list;
    if (curlmime_headers_to_slist(a.headers, &list) < 0) return -1;
  }
  return curlmime_check_text_arg(a.encoder, "encoder");
}

int curlmime_apply_add_args(PyObject* part, const AddArgs& a) {
  auto apply = [part](PyObject* (*setter)(PyObject*, PyObject*), PyObject* value) {
    if (value == nullptr) return 0;
    Ref result = Ref::steal(setter(part, value));
    return result ? 0 : -1;
  };
  if (apply(do_mimepart_set_text<kName>, a.name) < 0) return -1;
  if (a.data != nullptr) {
    if (apply(do_mimepart_data, a.data) < 0) return -1;
  } else if (apply(do_mimepart_set_text<kFiledata>, a.file) < 0) {
    return -1;
  }
  if (apply(do_mimepart_set_text<kFilename>, a.filename) < 0) return -1;
  if (apply(do_mimepart_set_text<kType>, a.content_type) < 0) return -1;
  if (apply(do_mimepart_headers, a.headers) < 0) return -1;
  return apply(do_mimepart_set_text<kEncoder>, a.encoder);
}

PyObject* util_mime_add(CurlMimeObject* self, AddArgs a) {
  a.normalize();
  if (curlmime_validate_add_args(self, a) < 0) return nullptr;
  // The part is made and filled under one claim: a transfer of the handle
  // that came between would send it without content, and libcurl cannot
  // rewind such a part for any later transfer.
  MimeAccess access;
  if (curlmime_check_state(self, "addpart", access) < 0) return nullptr;
  Ref part = Ref::steal(util_mime_addpart(self));
  if (!part) return nullptr;
  // On failure the part stays in the document with what was set so far.
  if (curlmime_apply_add_args(part.get(), a) < 0) return nullptr;
  return part.release();
}

PyObject* do_mime_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kwlist[] = {"name",         "data",    "file",    "filename",
                                       "content_type", "headers", "encoder", nullptr};
  AddArgs a;
  static KeywordParser parser = keyword_parser("|OOOOOOO:add", kwlist);
  if (!parse_args_keywords(args, nargs, kwnames, &parser,
                                   &a.name, &a.data, &a.file, &a.filename, &a.content_type,
                                   &a.headers, &a.encoder)) {
    return nullptr;
  }
  return util_mime_add(as_mime(self), a);
}

PyObject* do_mime_add_field(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kwlist[] = {"name", "value", "content_type", "encoder", "headers",
                                       nullptr};
  AddArgs a;
  static KeywordParser parser = keyword_parser("OO|OOO:add_field", kwlist);
  if (!parse_args_keywords(args, nargs, kwnames, &parser,
                                   &a.name, &a.data, &a.content_type, &a.encoder, &a.headers)) {
    return nullptr;
  }
  return util_mime_add(as_mime(self), a);
}

PyObject* do_mime_add_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kwlist[] = {"name",    "path",    "filename", "content_type",
                                       "headers", "encoder", nullptr};
  AddArgs a;
  static KeywordParser parser = keyword_parser("OO|OOOO:add_file", kwlist);
  if (!parse_args_keywords(args, nargs, kwnames, &parser,
                                   &a.name, &a.file, &a.filename, &a.content_type, &a.headers,
                                   &a.encoder)) {
    return nullptr;
  }
  return util_mime_add(as_mime(self), a);
}

PyObject* do_mime_add_multipart(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CurlMimeObject* self = as_mime(obj);
  static const char* const kwlist[] = {"name", "subtype", nullptr};
  PyObject* name = nullptr;
  PyObject* subtype = nullptr;
  static KeywordParser parser = keyword_parser("|OO:add_multipart", kwlist);
  if (!parse_args_keywords(args, nargs, kwnames, &parser,
                                   &name, &subtype)) {
    return nullptr;
  }
  name = given(name);
  if (curlmime_check_text_arg(name, "name") < 0) return nullptr;
  if (subtype != nullptr && subtype != Py_None &&
      curlmime_check_text_arg(subtype, "subtype") < 0) {
    return nullptr;
  }

  // Not given: multipart/mixed; None: no content type at all.
  Ref content_type;
  if (subtype == nullptr) {
    content_type = Ref::steal(PyBytes_FromString("multipart/mixed"));
  } else if (subtype != Py_None) {
    Ref encoded;
    const char* text = PyText_AsString_NoNUL(subtype, &encoded);
    if (text == nullptr) return nullptr;
    content_type = Ref::steal(PyBytes_FromFormat("multipart/%s", text));
  }
  if (subtype != Py_None && !content_type) return nullptr;

  // The child, its part and their wiring are made under one claim.
  MimeAccess access;
  // A closed Curl is the child's to refuse.
  if (curlmime_claim(self, "addpart", access, 0) < 0) return nullptr;
  Ref child = Ref::steal(
      PyObject_CallOneArg(reinterpret_cast<PyObject*>(&CurlMime_Type), self->curl));
  if (!child) return nullptr;
  Ref part = Ref::steal(util_mime_addpart(self));
  if (!part) return nullptr;
  if (name != nullptr) {
    Ref result = Ref::steal(do_mimepart_set_text<kName>(part.get(), name));
    if (!result) return nullptr;
  }
  Ref result = Ref::steal(do_mimepart_subparts(part.get(), child.get()));
  if (!result) return nullptr;
  if (content_type) {
    result = Ref::steal(do_mimepart_set_text<kType>(part.get(), content_type.get()));
    if (!result) return nullptr;
  }
  return child.release();
}

PyObject* do_mime_close(PyObject* obj, PyObject* /*ignored*/) {
  CurlMimeObject* self = as_mime(obj);
  if (refuse_during_content_change("close") < 0) return nullptr;
  Ref curl = field_ref(obj, self->curl);
  MimeAccess access;
  if (curl && access.acquire(as_curl(curl.get()), 0, "close") < 0) return nullptr;
  if (curlmime_detach_from_curl(self) < 0) return nullptr;
  curlmime_clear(self);
  Py_RETURN_NONE;
}

PyObject* do_mime_enter(PyObject* obj, PyObject* /*ignored*/) {
  MimeAccess access;
  if (curlmime_check_state(as_mime(obj), "__enter__", access) < 0) return nullptr;
  return Py_NewRef(obj);
}

PyObject* do_mime_exit(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  if (!parse_args(args, nargs, "OOO:__exit__", &type, &value, &traceback)) return nullptr;
  return do_mime_close(obj, nullptr);
}

PyObject* do_mime_get_closed(PyObject* obj, void* /*closure*/) {
  return PyBool_FromLong(!curlmime_is_open(as_mime(obj)));
}

int do_mime_traverse(PyObject* obj, visitproc visit, void* arg) {
  CurlMimeObject* self = as_mime(obj);
  Py_VISIT(self->curl);
  Py_VISIT(self->parts);
  Py_VISIT(self->submimes);
  Py_VISIT(self->data_cb_owners);
  // Each listed owner also carries the reference that this document's
  // libcurl tree holds, which the clear routine gives back by freeing the
  // tree; visiting it lets the collector find cycles through user data.
  if (self->data_cb_owners != nullptr) {
    const Py_ssize_t count = PyList_GET_SIZE(self->data_cb_owners);
    for (Py_ssize_t i = 0; i < count; ++i) Py_VISIT(PyList_GET_ITEM(self->data_cb_owners, i));
  }
  return 0;
}

int do_mime_clear(PyObject* obj) {
  curlmime_clear(as_mime(obj));
  return 0;
}

// The clear routine, run as the finalizer: the collector runs finalizers
// before it clears anything, so the free callables that freeing the
// document calls still find their user data intact.
void do_mime_finalize(PyObject* obj) {
  PyObject* pending = PyErr_GetRaisedException();
  curlmime_clear(as_mime(obj));
  PyErr_SetRaisedException(pending);
}

void do_mime_dealloc(PyObject* obj) {
  if (PyObject_CallFinalizerFromDealloc(obj) < 0) return;  // resurrected
  PyObject_GC_UnTrack(obj);
  Py_TRASHCAN_BEGIN(obj, do_mime_dealloc)
  // Freeing the document runs free callables; an exception propagating
  // through this deallocation must survive them.
  PyObject* pending = PyErr_GetRaisedException();
  curlmime_clear(as_mime(obj));
  // A refused detach leaves fields behind; nothing may outlive the object.
  CurlMimeObject* self = as_mime(obj);
  if (self->curl != nullptr || self->parts != nullptr) {
    curlmime_invalidate_wrappers(self, Invalidation::full);
  }
  Py_CLEAR(self->submimes);
  Py_CLEAR(self->data_cb_owners);
  PyErr_SetRaisedException(pending);
  Py_TYPE(obj)->tp_free(obj);
  Py_TRASHCAN_END
}

// ---------------------------------------------------------------------------
// _MimeDataCbOwner
// ---------------------------------------------------------------------------

int do_owner_traverse(PyObject* obj, visitproc visit, void* arg) {
  MimeDataCbOwnerObject* self = as_owner(obj);
  Py_VISIT(self->read);
  Py_VISIT(self->seek);
  Py_VISIT(self->free);
  Py_VISIT(self->userdata);
  return 0;
}

// Never calls the free callable and leaves libcurl's count alone.
int do_owner_clear(PyObject* obj) {
  MimeDataCbOwnerObject* self = as_owner(obj);
  Py_CLEAR(self->read);
  Py_CLEAR(self->seek);
  Py_CLEAR(self->free);
  Py_CLEAR(self->userdata);
  return 0;
}

void do_owner_dealloc(PyObject* obj) {
  PyObject_GC_UnTrack(obj);
  Py_TRASHCAN_BEGIN(obj, do_owner_dealloc)
  do_owner_clear(obj);
  Py_TYPE(obj)->tp_free(obj);
  Py_TRASHCAN_END
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points for other files
// ---------------------------------------------------------------------------

PyObject* do_curl_setopt_mimepost(CurlObject* self, PyObject* value) {
  if (!is_mime(value)) {
    PyErr_SetString(PyExc_TypeError, "setopt(option=MIMEPOST) expects a CurlMime object");
    return nullptr;
  }
  CurlMimeObject* mime = as_mime(value);
  // Read under the document's section until it proves to be of this Curl,
  // whose claim then covers it: a document of another Curl may be closing.
  bool open, owns, ours;
  {
    CriticalSection cs(value);
    open = mime->mime_handle != nullptr;
    owns = mime->owns_handle != 0;
    ours = mime->curl == reinterpret_cast<PyObject*>(self);
  }
  if (!open) {
    PyErr_SetString(PyExc_ValueError, "setopt(option=MIMEPOST) received a closed mime object");
    return nullptr;
  }
  if (!owns) {
    PyErr_SetString(PyExc_ValueError,
                    "setopt(option=MIMEPOST) received a mime object already attached as subparts");
    return nullptr;
  }
  if (!ours) {
    PyErr_SetString(PyExc_ValueError,
                    "setopt(option=MIMEPOST) requires a CurlMime created with this Curl handle");
    return nullptr;
  }
  // libcurl keeps the form's pointer when MIMEPOST replaces it; it must not
  // outlive the form that is released below.
  if (self->httppost != nullptr) {
    CURLcode res = curl_easy_setopt(self->handle, CURLOPT_HTTPPOST, static_cast<void*>(nullptr));
    if (res != CURLE_OK) {
      create_and_set_error_object(self, res);
      return nullptr;
    }
  }
  CURLcode res = curl_easy_setopt(self->handle, CURLOPT_MIMEPOST, mime->mime_handle);
  if (res != CURLE_OK) {
    create_and_set_error_object(self, res);
    return nullptr;
  }
  // libcurl let go of any earlier document (a duplicate's copy included).
  Ref previous = Ref::steal(reinterpret_cast<PyObject*>(self->mime));
  self->mime = reinterpret_cast<CurlMimeObject*>(Py_NewRef(value));
  self->mime_closed = 0;
  Ref previous_owners = Ref::steal(self->mime_owners);
  self->mime_owners = nullptr;
  util_curl_xdecref(self, RELEASE_HTTPPOST, self->handle);
  Py_RETURN_NONE;
}

PyObject* curlmime_data_cb_owners_snapshot(CurlObject* source) {
  if (source->mime_owners != nullptr) return Py_NewRef(source->mime_owners);
  Ref owners = Ref::steal(PyList_New(0));
  if (!owners) return nullptr;
  PyObject* mime = reinterpret_cast<PyObject*>(source->mime);
  if (mime != nullptr && is_mime(mime) &&
      curlmime_collect_data_cb_owners(as_mime(mime), owners.get()) < 0) {
    return nullptr;
  }
  return PyList_AsTuple(owners.get());
}

void curlmime_duphandle_incref_data_cb_owners(PyObject* snapshot) {
  if (snapshot == nullptr || !PyTuple_Check(snapshot)) return;
  const Py_ssize_t count = PyTuple_GET_SIZE(snapshot);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(snapshot, i);
    if (!is_owner(item)) continue;
    __atomic_fetch_add(&as_owner(item)->libcurl_refs, 1, __ATOMIC_ACQ_REL);
    Py_INCREF(item);
  }
}

// ---------------------------------------------------------------------------
// Method tables and type objects
// ---------------------------------------------------------------------------

static PyMethodDef curlmime_methods[] = {
    {"add", method(do_mime_add), METH_FASTCALL | METH_KEYWORDS, mime_add_doc},
    {"add_field", method(do_mime_add_field), METH_FASTCALL | METH_KEYWORDS, mime_add_field_doc},
    {"add_file", method(do_mime_add_file), METH_FASTCALL | METH_KEYWORDS, mime_add_file_doc},
    {"add_multipart", method(do_mime_add_multipart), METH_FASTCALL | METH_KEYWORDS,
     mime_add_multipart_doc},
    {"addpart", method(do_mime_addpart), METH_NOARGS, mime_addpart_doc},
    {"close", method(do_mime_close), METH_NOARGS, mime_close_doc},
    {"__enter__", method(do_mime_enter), METH_NOARGS, mime_enter_doc},
    {"__exit__", method(do_mime_exit), METH_FASTCALL, mime_exit_doc},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef curlmime_getsets[] = {
    {"closed", do_mime_get_closed, nullptr, mime_closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMethodDef curlmimepart_methods[] = {
    {"name", method(do_mimepart_set_text<kName>), METH_O, mimepart_name_doc},
    {"data", method(do_mimepart_data), METH_O, mimepart_data_doc},
    {"data_cb", method(do_mimepart_data_cb), METH_FASTCALL | METH_KEYWORDS, mimepart_data_cb_doc},
    {"filedata", method(do_mimepart_set_text<kFiledata>), METH_O, mimepart_filedata_doc},
    {"filename", method(do_mimepart_set_text<kFilename>), METH_O, mimepart_filename_doc},
    {"type", method(do_mimepart_set_text<kType>), METH_O, mimepart_type_doc},
    {"encoder", method(do_mimepart_set_text<kEncoder>), METH_O, mimepart_encoder_doc},
    {"headers", method(do_mimepart_headers), METH_O, mimepart_headers_doc},
    {"subparts", method(do_mimepart_subparts), METH_O, mimepart_subparts_doc},
    {nullptr, nullptr, 0, nullptr},
};

// Designated initializers leave the remaining slots zero, as intended.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

PyTypeObject CurlMime_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.CurlMime",
    .tp_basicsize = sizeof(CurlMimeObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_mime_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = mime_doc,
    .tp_traverse = do_mime_traverse,
    .tp_clear = do_mime_clear,
    .tp_methods = curlmime_methods,
    .tp_getset = curlmime_getsets,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_mime_new,
    .tp_free = PyObject_GC_Del,
    .tp_finalize = do_mime_finalize,
};

PyTypeObject CurlMimePart_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.CurlMimePart",
    .tp_basicsize = sizeof(CurlMimePartObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_mimepart_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = mimepart_doc,
    .tp_traverse = do_mimepart_traverse,
    .tp_clear = do_mimepart_clear,
    .tp_methods = curlmimepart_methods,
    .tp_alloc = PyType_GenericAlloc,
    .tp_free = PyObject_GC_Del,
};

PyTypeObject MimeDataCbOwner_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex._MimeDataCbOwner",
    .tp_basicsize = sizeof(MimeDataCbOwnerObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_owner_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = mime_data_cb_owner_doc,
    .tp_traverse = do_owner_traverse,
    .tp_clear = do_owner_clear,
    .tp_alloc = PyType_GenericAlloc,
    .tp_free = PyObject_GC_Del,
};

#pragma GCC diagnostic pop

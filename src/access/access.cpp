// The guards of access.h: which slot serves a handle, how each object takes
// it, and the callback frame that enters through it.
#include "access.h"

#include <utility>

#include "records.h"

// The one reader of the records' slots.
struct SlotOf {
  static PyThreadState** get(ThreadSlot& slot) noexcept { return &slot.state_; }
  static PyThreadState* const* get(const ThreadSlot& slot) noexcept { return &slot.state_; }
};

namespace {

PyThreadState** slot_of(CurlObject* curl) noexcept { return SlotOf::get(curl->state); }
PyThreadState** slot_of(CurlMultiObject* multi) noexcept { return SlotOf::get(multi->state); }
PyThreadState* const* slot_of(const CurlObject* curl) noexcept {
  return SlotOf::get(curl->state);
}
PyThreadState* const* slot_of(const CurlMultiObject* multi) noexcept {
  return SlotOf::get(multi->state);
}


// The slot that serves a handle's callbacks right now (CallbackFrame says
// which).
PyThreadState** serving_slot(CurlObject* self) noexcept {
  if (self == nullptr) return nullptr;
  assert(is_curl(reinterpret_cast<PyObject*>(self)));
  if (slot_load(slot_of(self)) != nullptr) return slot_of(self);
  CurlMultiObject* multi = self->multi_stack;
  if (multi == nullptr || slot_load(slot_of(multi)) == nullptr) return nullptr;
  return slot_of(multi);
}

PyThreadState** serving_slot(CurlMultiObject* self) noexcept {
  if (self == nullptr) return nullptr;
  assert(is_multi(reinterpret_cast<PyObject*>(self)));
  if (slot_load(slot_of(self)) == nullptr) return nullptr;
  return slot_of(self);
}

}  // namespace

PyThreadState* kelvex_get_thread_state(CurlObject* self) noexcept {
  PyThreadState** slot = serving_slot(self);
  return slot != nullptr ? slot_load(slot) : nullptr;
}

bool own_slot_claimed(const CurlObject* curl) noexcept {
  return slot_load(slot_of(curl)) != nullptr;
}

bool slot_claimed(const CurlMultiObject* multi) noexcept {
  return slot_load(slot_of(multi)) != nullptr;
}

bool slot_held_here(const CurlMultiObject* multi) noexcept {
  return slot_load(slot_of(multi)) == PyThreadState_Get();
}

bool served_on_this_thread(CurlObject* curl) noexcept {
  PyThreadState** slot = serving_slot(curl);
  return slot != nullptr && parked_by_this_thread(slot_load(slot));
}

// During finalization thread states may be gone: the frames touch nothing.
CallbackFrame::CallbackFrame(CurlObject* owner, const char* warning) noexcept {
  if (!Py_IsFinalizing()) enter(serving_slot(owner), warning);
}

CallbackFrame::CallbackFrame(CurlMultiObject* owner, const char* warning) noexcept {
  if (!Py_IsFinalizing()) enter(serving_slot(owner), warning);
}

void CallbackFrame::enter(PyThreadState** slot, const char* warning) noexcept {
  // A libcurl call made with this thread still attached (duphandle, whose
  // copy loads its HSTS cache through the read callback) calls back on that
  // state: Python runs on it, and there is nothing to re-attach or release.
  // Restoring the slot's state on top of it would abort the interpreter.
  if (PyThreadState_GetUnchecked() != nullptr) {
    entered_ = true;
    return;
  }
  // Only the state this very thread parked may be restored here. A
  // callback can reach a handle whose call runs on another thread (a
  // connection of a shared pool closed by some other transfer): that
  // thread's state is not ours to take.
  PyThreadState* tstate = slot != nullptr ? slot_load(slot) : nullptr;
  if (parked_by_this_thread(tstate) && kelvex_python_enter(slot)) {
    slot_ = slot;
    entered_ = true;
    return;
  }
  warn_failed_to_acquire_thread(warning);
}

// ---------------------------------------------------------------------------
// Teardown
// ---------------------------------------------------------------------------

TeardownGuard::TeardownGuard(CurlObject* curl) noexcept : TeardownGuard(slot_of(curl), nullptr) {}

TeardownGuard::TeardownGuard(CurlMultiObject* multi) noexcept
    : TeardownGuard(slot_of(multi), nullptr) {}

TeardownGuard TeardownGuard::serving(CurlObject* curl) noexcept {
  CurlMultiObject* multi = curl->multi_stack;
  return TeardownGuard(multi != nullptr ? slot_of(multi) : slot_of(curl), nullptr);
}

TeardownGuard TeardownGuard::of_multi(CurlObject* curl, Keep keep) noexcept {
  CurlMultiObject* multi = curl->multi_stack;
  return TeardownGuard(multi != nullptr ? slot_of(multi) : nullptr,
                       keep == Keep::multi ? reinterpret_cast<PyObject*>(multi) : nullptr);
}

IdleCurlClaim::IdleCurlClaim(CurlObject* curl) noexcept : curl_(curl) {
  PyThreadState* const me = PyThreadState_Get();
  if (!slot_try_claim(slot_of(curl), me)) return;
  slot_ = slot_of(curl);
  claimed_ = true;
  CurlMultiObject* multi;
  bool multi_claimed = false;
  {
    CriticalSection cs(reinterpret_cast<PyObject*>(curl));
    multi = curl->multi_stack;
    multi_claimed = multi != nullptr && slot_try_claim(slot_of(multi), me);
  }
  if (multi_claimed) multi_slot_ = slot_of(multi);
  held_ = multi == nullptr || multi_claimed;
}

IdleCurlClaim::~IdleCurlClaim() {
  if (multi_slot_ != nullptr) slot_release(multi_slot_);
}

CURL* IdleCurlClaim::handle() const noexcept {
  assert(held_);
  return curl_->handle.raw_;
}

// ---------------------------------------------------------------------------
// Curl
// ---------------------------------------------------------------------------

bool CurlAccess::acquire(CurlObject* self, int flags, const char* name, Nesting nesting,
                         const char* busy_format) noexcept {
  assert_curl_state(self);
  assert(slot_ == nullptr);
  PyObject* const curl = reinterpret_cast<PyObject*>(self);
  CurlMultiObject* multi = nullptr;
  for (;;) {
    cs_.begin(curl);
    multi = self->multi_stack;
    if (multi == nullptr || self->multi_weakref == nullptr) break;
    // A multi whose last reference is gone cannot be resolved: it is being
    // destroyed, and it lets go of this handle only under this handle's
    // section, which we hold, so its record is still there to claim.
    PyObject* alive = nullptr;
    if (PyWeakref_GetRef(self->multi_weakref, &alive) <= 0) {
      PyErr_Clear();
      break;
    }
    keep_ = Ref::steal(alive);
#ifdef Py_GIL_DISABLED
    // Both sections at once (taken in address order by the interpreter);
    // the membership may have changed while neither was held.
    cs_.begin2(curl, alive);
    if (self->multi_stack != multi) {
      cs_.end();
      keep_.reset();
      continue;
    }
#endif
    break;
  }
  if ((flags & CHECK_HANDLE) && !self->handle.open()) {
    refuse_closed(name, "curl handle");
    return false;
  }
  // A handle inside a multi is the multi's to drive: its slot serves both.
  if (!claim(multi != nullptr ? slot_of(multi) : slot_of(self), nesting)) {
    refuse_busy(busy_format != nullptr ? busy_format : kPerformRunning, name);
    return false;
  }
  curl_ = self;
  held_ = true;
  return true;
}

CURL* CurlAccess::handle() const noexcept {
  assert(held_);
  return curl_->handle.raw_;
}

curl_mime* CurlAccess::document(CurlMimeObject* mime) const noexcept {
  assert(held_ && mime->curl == reinterpret_cast<PyObject*>(curl_));
  return mime->mime_handle.raw_;
}

// ---------------------------------------------------------------------------
// CurlMulti
// ---------------------------------------------------------------------------

MultiAccess::MultiAccess(CurlMultiObject* self, int flags, const char* name,
                         Nesting nesting) noexcept
    : multi_(self) {
  cs_.begin(reinterpret_cast<PyObject*>(self));
  if ((flags & CHECK_HANDLE) && !self->multi_handle.open()) {
    refuse_closed(name, "multi handle");
    return;
  }
  if (!HandleGuard::claim(slot_of(self), nesting)) {
    refuse_busy(kMultiPerformRunning, name);
    return;
  }
  held_ = true;
}

MultiAccess::MultiAccess(CurlMultiObject* self, CurlObject* curl) noexcept : multi_(self) {
  cs_.begin2(reinterpret_cast<PyObject*>(self), reinterpret_cast<PyObject*>(curl));
}

bool MultiAccess::claim() noexcept {
  assert(slot_ == nullptr);
  held_ = HandleGuard::claim(slot_of(multi_), Nesting::refuse);
  return held_;
}

CURLM* MultiAccess::handle() const noexcept {
  assert(held_);
  return multi_->multi_handle.raw_;
}

CURL* MultiAccess::member(CurlObject* curl) const noexcept {
  assert(held_ && curl->multi_stack == multi_);
  return curl->handle.raw_;
}

CURLM* MultiAccess::in_callback(CurlMultiObject* multi) noexcept {
  assert(slot_load(slot_of(multi)) != nullptr);
  return multi->multi_handle.raw_;
}

CURLMcode MultiAccess::wakeup(CurlMultiObject* multi) noexcept {
  PyMutex_Lock(&multi->wakeup_lock);
  CURLMcode rc = CURLM_BAD_HANDLE;
  if (!multi->wakeup_closed && multi->multi_handle.open()) {
    rc = curl_multi_wakeup(multi->multi_handle.raw_);
  }
  PyMutex_Unlock(&multi->wakeup_lock);
  return rc;
}

// ---------------------------------------------------------------------------
// CurlMime and CurlMimePart
// ---------------------------------------------------------------------------

thread_local int t_content_changes = 0;

int refuse_during_content_change(const char* name) {
  if (t_content_changes == 0) return 0;
  set_error_format("cannot invoke %s() - a mime part's content is being replaced",
               name);
  return -1;
}

Ref field_ref(PyObject* owner, PyObject* const& field) {
  CriticalSection cs(owner);
  return Ref::borrow(field);
}

namespace {

// The Curl whose claim an outer MimeAccess of this thread holds.
thread_local CurlObject* t_mime_claimed = nullptr;

}  // namespace

// Claims `owner`, kept alive by `keep`, unless an outer MimeAccess of this
// thread holds its claim already.
bool MimeAccess::acquire_curl(CurlObject* owner, Ref keep, const char* name, int flags) noexcept {
  keep_owner_ = std::move(keep);
  if (t_mime_claimed == owner) {
    if ((flags & CHECK_HANDLE) && !owner->handle.open()) {
      refuse_closed(name, "curl handle");
      return false;
    }
    curl_ = owner;
    held_ = true;
    return true;
  }
  if (!acquire(owner, flags, name, Nesting::refuse, nullptr)) return false;
  previous_ = std::exchange(t_mime_claimed, owner);
  outermost_ = true;
  return true;
}

// Claims the Curl of `mime`, then checks the document: a close() on
// another thread may have run before the claim.
bool MimeAccess::acquire_document(CurlMimeObject* mime, const char* name, int flags) noexcept {
  Ref curl = field_ref(reinterpret_cast<PyObject*>(mime), mime->curl);
  if (!curlmime_is_open(mime)) {
    refuse_closed(name, "mime handle");
    return false;
  }
  if (!curl) {
    refuse_closed(name, "curl handle");
    return false;
  }
  auto* owner = reinterpret_cast<CurlObject*>(curl.get());
  if (!acquire_curl(owner, std::move(curl), name, flags)) return false;
  if (!mime->mime_handle.open()) {
    refuse_closed(name, "mime handle");
    held_ = false;
    return false;
  }
  mime_ = mime;
  return true;
}

MimeAccess::MimeAccess(CurlObject* curl, const char* name, int flags) noexcept {
  if (curl == nullptr) {
    held_ = true;
    return;
  }
  acquire_curl(curl, Ref::borrow(reinterpret_cast<PyObject*>(curl)), name, flags);
}

MimeAccess::MimeAccess(CurlMimeObject* mime, const char* name, int flags) noexcept {
  if (refuse_during_content_change(name) < 0) return;
  acquire_document(mime, name, flags);
}

MimeAccess::MimeAccess(CurlMimePartObject* part, const char* name) noexcept {
  if (refuse_during_content_change(name) < 0) return;
  PyObject* const self = reinterpret_cast<PyObject*>(part);
  Ref mime = field_ref(self, part->mime);
  if (!mime) {
    refuse_closed(name, "mime handle");
    return;
  }
  if (!acquire_document(reinterpret_cast<CurlMimeObject*>(mime.get()), name, CHECK_HANDLE)) return;
  // Checked under the claim, which every invalidation of parts holds.
  if (part->mime != mime.get() || !part->part.open()) {
    refuse_closed(name, part->mime == nullptr ? "mime handle" : "mime part");
    held_ = false;
    return;
  }
  part_ = part;
}

MimeAccess::~MimeAccess() {
  if (outermost_) t_mime_claimed = previous_;
}

curl_mime* MimeAccess::handle() const noexcept {
  assert(held_);
  return mime_->mime_handle.raw_;
}

curl_mimepart* MimeAccess::part_handle() const noexcept {
  assert(held_ && part_ != nullptr);
  return part_->part.raw_;
}

// ---------------------------------------------------------------------------
// CurlShare
// ---------------------------------------------------------------------------

ShareAccess::ShareAccess(CurlShareObject* self, int flags, const char* name) noexcept
    : share_(self) {
  lock_.lock(self->mutex);
  if ((flags & CHECK_HANDLE) && !self->share_handle.open()) {
    lock_.unlock();
    refuse_closed(name, "share handle");
    return;
  }
  held_ = true;
}

CURLSH* ShareAccess::handle() const noexcept {
  assert(held_);
  return share_->share_handle.raw_;
}

// The one thread-state primitive of kelvex: every path that leaves the
// interpreter, re-enters it, claims a handle or refuses goes through here
// (threadstate.cpp).
//
// Each Curl and CurlMulti has a slot, an atomic pointer to a thread state.
// A method claims the slot that serves its handle (a Curl's own, or its
// multi's while it belongs to one) with one compare-and-swap to the calling
// thread's state, and refuses when it finds the slot held; the claim lasts
// as long as the method uses the handle. While libcurl runs, the caller
// detaches (DetachedCall) with its state parked in the slot, and libcurl's
// callbacks re-attach with exactly that state (CallbackFrame). Code that
// runs on a thread that may hold no state at all (libcurl's MIME hooks, the
// warning of a callback that found none) attaches with AttachedThread.
#ifndef KELVEX_THREADSTATE_H
#define KELVEX_THREADSTATE_H

#include "pyutil.h"

struct CurlObject;
struct CurlMultiObject;

// ---------------------------------------------------------------------------
// Slots
// ---------------------------------------------------------------------------

// A slot is claimed with one compare-and-swap from empty to the claiming
// thread's own state, and emptied by that thread alone. Whoever finds it
// set refuses (or, on the few paths that may nest inside a callback, checks
// that the state in it is its own). Reads that only compare with the
// reader's own state need no ordering: only the reader can have written it.
inline PyThreadState* slot_load(PyThreadState* const* slot) noexcept {
  return __atomic_load_n(slot, __ATOMIC_ACQUIRE);
}
inline bool slot_try_claim(PyThreadState** slot, PyThreadState* tstate) noexcept {
  PyThreadState* expected = nullptr;
  return __atomic_compare_exchange_n(slot, &expected, tstate, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED);
}
inline void slot_release(PyThreadState** slot) noexcept {
  __atomic_store_n(slot, nullptr, __ATOMIC_RELEASE);
}
// Claims a slot that only a short-lived call can be holding (paths that
// cannot refuse: deallocation, and a multi letting go of a handle),
// waiting with the interpreter detached meanwhile.
void slot_claim_wait(PyThreadState** slot);

// The claim of a teardown (a collector's clear, a finalizer, deallocation)
// that reaches a libcurl handle: the object is unreachable, yet a call that
// reached it through a borrowed pointer may still be finishing, so the slot
// is waited for instead of refused. A slot this thread holds already (a
// teardown run from inside one of its own calls) is used as it is; a null
// slot claims nothing.
class TeardownClaim {
 public:
  explicit TeardownClaim(PyThreadState** slot) noexcept {
    if (slot == nullptr || slot_load(slot) == PyThreadState_Get()) return;
    slot_claim_wait(slot);
    slot_ = slot;
  }
  TeardownClaim(const TeardownClaim&) = delete;
  TeardownClaim& operator=(const TeardownClaim&) = delete;
  ~TeardownClaim() {
    if (slot_ != nullptr) slot_release(slot_);
  }

 private:
  PyThreadState** slot_ = nullptr;
};

// The slot that serves a handle's callbacks right now: a Curl's own while
// one of its calls holds it, else its multi's while that is held; null when
// neither is. The own slot comes first: closing a handle that belongs to a
// multi holds both for a moment, on one thread, with the same state in each.
PyThreadState** kelvex_get_thread_state_slot(CurlObject* self) noexcept;
PyThreadState** kelvex_get_thread_state_slot_multi(CurlMultiObject* self) noexcept;
// The state in the slot that serves a Curl, or null.
PyThreadState* kelvex_get_thread_state(CurlObject* self) noexcept;

// Re-attaches with the state parked in a slot: 1, or 0 doing nothing when
// the slot is missing or empty. The slot keeps its value.
int kelvex_python_enter(PyThreadState** slot) noexcept;
// Detaches again; a missing or empty slot, or a thread attached with
// another state, is fatal.
void kelvex_python_leave(PyThreadState** slot) noexcept;

// Whether a thread state read from a slot is the one this OS thread parked
// there. Thread states are compared by address only, so another thread's
// (which may be gone by now) is never read.
inline bool parked_by_this_thread(PyThreadState* tstate) noexcept {
  return tstate != nullptr && tstate == PyGILState_GetThisThreadState();
}

// ---------------------------------------------------------------------------
// Scopes
// ---------------------------------------------------------------------------

// A critical section over one or two objects. On the free-threaded build it
// is the interpreter's per-object lock, which it suspends whenever this
// thread detaches (so a thread blocked in libcurl never holds one, and two
// sections can never deadlock); with the GIL it is nothing, the GIL giving
// the same exclusion to code that runs no Python code. It makes concurrent
// short methods of one object wait for each other instead of being refused;
// the claims are what keep a libcurl handle to one thread at a time.
class CriticalSection {
 public:
  CriticalSection() noexcept = default;
  explicit CriticalSection(PyObject* a) noexcept { begin(a); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() { end(); }
#ifdef Py_GIL_DISABLED
  void begin(PyObject* a) noexcept {
    end();
    PyCriticalSection_Begin(&cs_._cs_base, a);
    held_ = 1;
  }
  void begin2(PyObject* a, PyObject* b) noexcept {
    end();
    PyCriticalSection2_Begin(&cs_, a, b);
    held_ = 2;
  }
  void end() noexcept {
    if (held_ == 1) PyCriticalSection_End(&cs_._cs_base);
    if (held_ == 2) PyCriticalSection2_End(&cs_);
    held_ = 0;
  }

 private:
  PyCriticalSection2 cs_;
  int held_ = 0;
#else
  void begin(PyObject*) noexcept {}
  void begin2(PyObject*, PyObject*) noexcept {}
  void end() noexcept {}
#endif
};

// Detaches the interpreter around one libcurl call that may block or call
// back. The slot must hold this thread's state already (claimed by the
// caller, or, nested inside a callback, the slot that callback entered
// through), so that the call's callbacks re-attach with exactly that state.
class DetachedCall {
 public:
  // A slot that does not hold this thread's state would let the call's
  // callbacks re-attach with another thread's, or find none: checked in
  // every build, as it costs one load.
  explicit DetachedCall(PyThreadState** slot) noexcept : tstate_(PyEval_SaveThread()) {
    if (tstate_ == nullptr || slot == nullptr || slot_load(slot) != tstate_) {
      Py_FatalError("DetachedCall: the slot does not hold this thread's state");
    }
  }
  DetachedCall(const DetachedCall&) = delete;
  DetachedCall& operator=(const DetachedCall&) = delete;
  ~DetachedCall() { PyEval_RestoreThread(tstate_); }

 private:
  PyThreadState* tstate_;
};

// Attaches the calling thread to the interpreter with the ensure-and-release
// protocol, whether or not it holds a thread state already: for code that
// libcurl runs outside any slot (the MIME data hooks) and for the warning of
// a callback that found no slot.
class AttachedThread {
 public:
  AttachedThread() noexcept : state_(PyGILState_Ensure()) {}
  AttachedThread(const AttachedThread&) = delete;
  AttachedThread& operator=(const AttachedThread&) = delete;
  ~AttachedThread() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

// Locks a PyMutex for the scope; PyMutex_Lock detaches the interpreter while
// it waits, so a thread blocked here never holds up another that needs the
// interpreter to make progress.
class MutexGuard {
 public:
  explicit MutexGuard(PyMutex& mutex) noexcept : mutex_(&mutex) { PyMutex_Lock(mutex_); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;
  ~MutexGuard() { unlock(); }
  void unlock() noexcept {
    if (mutex_ != nullptr) {
      PyMutex_Unlock(mutex_);
      mutex_ = nullptr;
    }
  }

 private:
  PyMutex* mutex_;
};

// May run on a thread with no attached thread state (a callback that found
// no slot): attaches for the warning only.
void warn_failed_to_acquire_thread(const char* message);

// ---------------------------------------------------------------------------
// Refusals: every method that finds its handle closed, or claimed by a
// call in progress, raises kelvex.error through these.
// ---------------------------------------------------------------------------

// "cannot invoke NAME() - no WHAT", WHAT being "curl handle", "multi
// handle", "share handle", "mime handle" or "mime part".
void refuse_closed(const char* name, const char* what);
// A busy refusal: `format` has one %s, which gets the method's name.
void refuse_busy(const char* format, const char* name);
inline constexpr char kPerformRunning[] = "cannot invoke %s() - perform() is currently running";
inline constexpr char kMultiPerformRunning[] =
    "cannot invoke %s() - multi_perform() is currently running";

// ---------------------------------------------------------------------------
// Method guards
// ---------------------------------------------------------------------------

enum CheckFlags : int { CHECK_HANDLE = 1, CHECK_NOT_RUNNING = 2 };

// How a method may find the slot that serves its handle already set: only
// the methods that libcurl allows inside the handle's own callbacks (pause,
// unpause, duphandle, the WebSocket sends) may run on it, and only on the
// thread that set it.
enum class Nesting { refuse, allow };

// The guard of every Curl method that uses the libcurl handle or the
// objects libcurl reads through it. acquire() takes the critical section of
// the Curl (and of its multi, while it belongs to one), checks the handle,
// and claims the slot that serves the handle: the multi's while the handle
// belongs to one, else its own. While it is held no other thread uses the
// handle; a claim found held raises "cannot invoke %s() - perform() is
// currently running". unlock() ends the critical section before a detached
// libcurl call; the destructor gives the claim up.
class CurlAccess {
 public:
  CurlAccess() noexcept = default;
  CurlAccess(const CurlAccess&) = delete;
  CurlAccess& operator=(const CurlAccess&) = delete;
  ~CurlAccess() {
    cs_.end();
    release();
  }
  // 0, or -1 with kelvex.error set. `flags` may hold CHECK_HANDLE.
  // `busy_format` replaces the refusal's text (a format with one %s).
  int acquire(CurlObject* self, int flags, const char* name, Nesting nesting = Nesting::refuse,
              const char* busy_format = nullptr) noexcept;
  void unlock() noexcept { cs_.end(); }
  void release() noexcept {
    if (claimed_) slot_release(slot_);
    claimed_ = false;
  }
  // The slot this method holds: claimed, or (nested) entered by a callback.
  PyThreadState** slot() const noexcept { return slot_; }
  bool nested() const noexcept { return slot_ != nullptr && !claimed_; }

 private:
  CriticalSection cs_;
  Ref multi_;  // keeps the multi whose slot is claimed alive
  PyThreadState** slot_ = nullptr;
  bool claimed_ = false;
};
// The same guard for a CurlMulti: its critical section and its slot, which
// serves the multi's own callbacks and those of every handle in it. A claim
// found held raises "cannot invoke %s() - multi_perform() is currently
// running".
class MultiAccess {
 public:
  MultiAccess() noexcept = default;
  MultiAccess(const MultiAccess&) = delete;
  MultiAccess& operator=(const MultiAccess&) = delete;
  ~MultiAccess() {
    cs_.end();
    release();
  }
  int acquire(CurlMultiObject* self, int flags, const char* name,
              Nesting nesting = Nesting::refuse) noexcept;
  // For add_handle/remove_handle, whose checks read both objects: the
  // section covers the Curl too, and the claim is taken by claim().
  void lock_with(CurlMultiObject* self, CurlObject* curl) noexcept;
  bool claim(CurlMultiObject* self) noexcept;
  void unlock() noexcept { cs_.end(); }
  void release() noexcept {
    if (claimed_) slot_release(slot_);
    claimed_ = false;
  }
  // The slot was let go of and taken by another thread meanwhile.
  void forget() noexcept { claimed_ = false; }
  PyThreadState** slot() const noexcept { return slot_; }
  bool nested() const noexcept { return slot_ != nullptr && !claimed_; }

 private:
  CriticalSection cs_;
  PyThreadState** slot_ = nullptr;
  bool claimed_ = false;
};

// ---------------------------------------------------------------------------
// Callback frame: find the slot, re-attach, detach on every return path.
// Construct it first thing in a trampoline; when `entered()` is false the
// trampoline returns its failure value without touching Python.
// ---------------------------------------------------------------------------

class CallbackFrame {
 public:
  // `warning` is the full RuntimeWarning text, such as
  // "read_callback failed to acquire thread".
  CallbackFrame(CurlObject* self, const char* warning) noexcept;
  CallbackFrame(CurlMultiObject* multi, const char* warning) noexcept;
  CallbackFrame(const CallbackFrame&) = delete;
  CallbackFrame& operator=(const CallbackFrame&) = delete;
  ~CallbackFrame() {
    // slot_ stays null when the frame found its thread attached already.
    if (slot_ != nullptr) kelvex_python_leave(slot_);
  }
  bool entered() const noexcept { return entered_; }

 private:
  void enter(PyThreadState** slot, const char* warning) noexcept;
  PyThreadState** slot_ = nullptr;
  bool entered_ = false;
};


#endif  // KELVEX_THREADSTATE_H

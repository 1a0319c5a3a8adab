// The one thread-state primitive of kelvex: every path that leaves the
// interpreter, re-enters it, claims a slot or refuses goes through here
// (threadstate.cpp). It knows slots, thread states and critical sections,
// and no kelvex object: which slot serves which handle is the business of
// the guards one floor up (access.h).
//
// A slot is an atomic pointer to a thread state. A guard claims the slot
// that serves its handle with one compare-and-swap to the calling thread's
// state, and refuses when it finds the slot held; the claim lasts as long
// as the guard. While libcurl runs, the caller detaches (DetachedCall) with
// its state parked in the slot, and libcurl's callbacks re-attach with
// exactly that state (kelvex_python_enter; the callback frame of access.h
// finds the slot). Code that runs on a thread that may
// hold no state at all (libcurl's MIME hooks, the warning of a callback
// that found none) attaches with AttachedThread.
#ifndef KELVEX_THREADSTATE_H
#define KELVEX_THREADSTATE_H

#include "pyutil.h"

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
// back. The slot must hold this thread's state already (claimed by a guard,
// or, nested inside a callback, the slot that callback entered through), so
// that the call's callbacks re-attach with exactly that state. Methods get
// one from their guard (HandleGuard::detach), which ends the section first.
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
  MutexGuard() noexcept = default;
  explicit MutexGuard(PyMutex& mutex) noexcept { lock(mutex); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;
  ~MutexGuard() { unlock(); }
  void lock(PyMutex& mutex) noexcept {
    unlock();
    mutex_ = &mutex;
    PyMutex_Lock(mutex_);
  }
  void unlock() noexcept {
    if (mutex_ != nullptr) {
      PyMutex_Unlock(mutex_);
      mutex_ = nullptr;
    }
  }

 private:
  PyMutex* mutex_ = nullptr;
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
// The guard base
// ---------------------------------------------------------------------------

enum CheckFlags : int { CHECK_HANDLE = 1, CHECK_NOT_RUNNING = 2 };

// How a guard may find the slot that serves its handle already set: only
// the methods that libcurl allows inside the handle's own callbacks (pause,
// unpause, duphandle, the WebSocket sends) may run on it, and only on the
// thread that set it.
enum class Nesting { refuse, allow };

// The one base of every guard through which code reaches a libcurl handle
// (CurlAccess, MultiAccess, MimeAccess, ShareAccess, TeardownGuard and
// IdleCurlClaim in access.h): the derived constructor takes the critical section and the
// claim, this destructor gives them back, section first, then lets go of
// the object it kept alive for the claim. A guard that was refused (an
// exception set) tests false and holds nothing; a guard nested in a
// callback of its own thread holds the slot that callback entered through
// without having claimed it, and leaves it set.
class HandleGuard {
 public:
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;
  explicit operator bool() const noexcept { return held_; }
  // The slot this guard holds: claimed, or (nested) entered by a callback.
  PyThreadState** slot() const noexcept { return slot_; }
  bool nested() const noexcept { return slot_ != nullptr && !claimed_; }
  // Ends the section early and keeps the claim: for the rest of a method
  // that runs Python code, or libcurl calls that call back while attached.
  void unlock() noexcept { cs_.end(); }
  // Detaches for one blocking libcurl call on the slot this guard holds:
  // the section ends first, and the claim outlives the call.
  [[nodiscard]] DetachedCall detach() noexcept {
    cs_.end();
    return DetachedCall(slot_);
  }
  // Lets the claim go around a call that may use the object again (a
  // handle's close() run by its multi's close), then takes it back without
  // waiting: false, the guard then holding nothing, when another thread
  // took the slot meanwhile.
  void let_go() noexcept {
    cs_.end();
    if (claimed_) slot_release(slot_);
  }
  bool take_back() noexcept {
    if (!claimed_ || slot_try_claim(slot_, PyThreadState_Get())) return true;
    claimed_ = held_ = false;
    slot_ = nullptr;
    return false;
  }

 protected:
  HandleGuard() noexcept = default;
  ~HandleGuard() {
    cs_.end();
    if (claimed_) slot_release(slot_);
  }
  // Claims `slot` without waiting: true, or false when another call holds
  // it. With Nesting::allow a slot this thread holds already is used as it
  // is.
  bool claim(PyThreadState** slot, Nesting nesting) noexcept {
    PyThreadState* const me = PyThreadState_Get();
    if (nesting == Nesting::allow && slot_load(slot) == me) {
      slot_ = slot;
      return true;
    }
    if (!slot_try_claim(slot, me)) return false;
    slot_ = slot;
    claimed_ = true;
    return true;
  }
  // The same for paths that cannot refuse: waits (detached) while another
  // call finishes; a slot this thread holds already is used as it is.
  void claim_waiting(PyThreadState** slot) noexcept {
    slot_ = slot;
    if (slot_load(slot) == PyThreadState_Get()) return;
    slot_claim_wait(slot);
    claimed_ = true;
  }
  // Gives the claim up before the guard goes (the wait of select()).
  void give_back() noexcept {
    cs_.end();
    if (claimed_) slot_release(slot_);
    claimed_ = false;
    slot_ = nullptr;
  }

  // Let go of after the claim, in this order: the object whose slot is
  // claimed (a Curl's multi), then the guarded object when the method
  // reached it through another (a document's Curl).
  Ref keep_owner_;
  Ref keep_;
  CriticalSection cs_;
  PyThreadState** slot_ = nullptr;
  bool claimed_ = false;
  bool held_ = false;
};

#endif  // KELVEX_THREADSTATE_H

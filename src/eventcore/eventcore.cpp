// EventCore: drives one CurlMulti with libcurl's socket interface in C++.
//
// The core installs its own socket and timer functions on the multi. The
// socket function keeps libcurl's sockets in the core's epoll set (the
// registered event mask rides in libcurl's per-socket pointer), and the
// timer function arms a timerfd that sits in the same set; so the set's
// descriptor turns readable whenever libcurl has work, and an event loop
// watches that one descriptor. process() then takes the ready descriptors,
// runs curl_multi_socket_action for each (and for the timer), reaps the
// finished transfers with curl_multi_info_read and removes them from the
// multi, all with the interpreter detached; attached again, it completes
// each finished transfer once: its waiter gets set_result/set_exception, or
// it is returned.
//
// Every method claims the multi's slot for as long as it uses libcurl or
// the core's records, as the multi's own methods do, so the callbacks of
// the handles (write callables and the like) re-attach with the claiming
// thread's state. While a core drives a multi, the multi refuses the
// methods that would drive it too (refuse_if_driven in multi.cpp).
#include "eventcore.h"

#include "access.h"
#include "callbacks.h"
#include "easy.h"
#include "globals.h"
#include "multi.h"
#include "transferfuture.h"

#include "docstrings.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

struct CoreTransfer {
  CurlObject* curl;  // strong
  CURL* easy;        // its libcurl handle: the table's key
  PyObject* waiter;  // strong, or null
  CoreTransfer* next_spare;
  // The body, when the core collects it (`collect`); the buffer is kept
  // for the record's next transfer unless it grew large.
  char* body;
  std::size_t size;
  std::size_t capacity;
  CURLcode result;
  bool collect;
};

namespace {

EventCoreObject* as_core(PyObject* op) { return reinterpret_cast<EventCoreObject*>(op); }
PyObject* as_object(EventCoreObject* self) { return reinterpret_cast<PyObject*>(self); }

// A body buffer larger than this is freed when its transfer ends rather
// than kept for the next one.
constexpr std::size_t kKeptBodyCapacity = 256 * 1024;
constexpr std::size_t kFirstBodyCapacity = 16 * 1024;
// Rounds of libcurl's immediate timeouts run by one process() call before
// the rest is left to the timerfd.
constexpr int kImmediateRounds = 8;
// Upper bound of process()'s wait, in seconds: 365 days.
constexpr double kWaitMax = 31536000.0;

// ---------------------------------------------------------------------------
// The table of transfers in flight
// ---------------------------------------------------------------------------

// Keyed by the libcurl handle, which is what libcurl's messages name: a
// finished transfer is found without asking libcurl for its Curl.
std::size_t bucket_of(const EventCoreObject* self, const CURL* easy) {
  auto key = reinterpret_cast<std::uintptr_t>(easy);
  key = (key >> 4) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(key >> 32) & self->mask;
}

// The bucket that holds the transfer of `easy`, or -1.
Py_ssize_t table_find(const EventCoreObject* self, const CURL* easy) {
  if (self->buckets == nullptr || easy == nullptr) return -1;
  for (std::size_t i = bucket_of(self, easy);; i = (i + 1) & self->mask) {
    CoreTransfer* t = self->buckets[i];
    if (t == nullptr) return -1;
    if (t->easy == easy) return static_cast<Py_ssize_t>(i);
  }
}

// The bucket that holds the transfer of `curl`, or -1. Any Curl may be
// asked about: its libcurl handle's address is read under its own section,
// serves as the key only, and the record found must name this Curl.
Py_ssize_t table_find_curl(const EventCoreObject* self, CurlObject* curl) {
  const CURL* easy;
  {
    CriticalSection cs(reinterpret_cast<PyObject*>(curl));
    easy = curl->handle.key();
  }
  const Py_ssize_t at = table_find(self, easy);
  return at >= 0 && self->buckets[at]->curl == curl ? at : -1;
}

void table_put(EventCoreObject* self, CoreTransfer* t) {
  std::size_t i = bucket_of(self, t->easy);
  while (self->buckets[i] != nullptr) i = (i + 1) & self->mask;
  self->buckets[i] = t;
}

// Takes the record out of bucket `at`, shifting the run after it back so
// that every lookup still finds its key.
CoreTransfer* table_take(EventCoreObject* self, std::size_t at) {
  CoreTransfer* taken = self->buckets[at];
  std::size_t hole = at;
  for (std::size_t i = (at + 1) & self->mask; self->buckets[i] != nullptr;
       i = (i + 1) & self->mask) {
    const std::size_t home = bucket_of(self, self->buckets[i]->easy);
    // Moves into the hole unless its home lies cyclically in (hole, i].
    const bool stays = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
    if (!stays) {
      self->buckets[hole] = self->buckets[i];
      hole = i;
    }
  }
  self->buckets[hole] = nullptr;
  __atomic_store_n(&self->count, self->count - 1, __ATOMIC_RELAXED);
  return taken;
}

// Room for `wanted` transfers: buckets and the finished list. 0, or -1
// with MemoryError set; the table is unchanged on failure.
int table_reserve(EventCoreObject* self, std::size_t wanted) {
  if (wanted > self->finished_capacity) {
    std::size_t capacity = self->finished_capacity ? self->finished_capacity * 2 : 64;
    while (capacity < wanted) capacity *= 2;
    auto* grown = static_cast<CoreFinished*>(
        PyMem_RawRealloc(self->finished, capacity * sizeof(CoreFinished)));
    if (grown == nullptr) {
      PyErr_NoMemory();
      return -1;
    }
    self->finished = grown;
    self->finished_capacity = capacity;
  }
  const std::size_t buckets = self->buckets ? self->mask + 1 : 0;
  if (wanted * 2 <= buckets) return 0;
  std::size_t size = buckets ? buckets * 2 : 128;
  while (size < wanted * 2) size *= 2;
  auto* fresh = static_cast<CoreTransfer**>(PyMem_RawCalloc(size, sizeof(CoreTransfer*)));
  if (fresh == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  CoreTransfer** old = self->buckets;
  self->buckets = fresh;
  self->mask = size - 1;
  for (std::size_t i = 0; i < buckets; ++i) {
    if (old[i] != nullptr) table_put(self, old[i]);
  }
  PyMem_RawFree(old);
  return 0;
}

CoreTransfer* record_new(EventCoreObject* self) {
  CoreTransfer* t = self->spare;
  if (t != nullptr) {
    self->spare = t->next_spare;
    t->next_spare = nullptr;
    return t;
  }
  t = static_cast<CoreTransfer*>(PyMem_RawCalloc(1, sizeof(CoreTransfer)));
  if (t == nullptr) PyErr_NoMemory();
  return t;
}

// Back to the spare list; the caller has taken the references over.
void record_recycle(EventCoreObject* self, CoreTransfer* t) {
  t->curl = nullptr;
  t->easy = nullptr;
  t->waiter = nullptr;
  t->size = 0;
  t->collect = false;
  t->result = CURLE_OK;
  if (t->capacity > kKeptBodyCapacity) {
    PyMem_RawFree(t->body);
    t->body = nullptr;
    t->capacity = 0;
  }
  t->next_spare = self->spare;
  self->spare = t;
}

// Gives an ended transfer's handle back as its options describe it: its
// write target, when the core collected the body. libcurl's progress calls
// stay as the transfer had them (see core_add).
void restore_handle(const CoreTransfer* t, CurlObject* curl) {
  if (t->collect) curl_restore_write_target(curl, t->easy);
}

// ---------------------------------------------------------------------------
// libcurl's callbacks: C++ only, never the interpreter
// ---------------------------------------------------------------------------

// The per-socket pointer libcurl keeps for the core: the epoll mask the
// socket is registered with (EPOLLIN, EPOLLOUT), with this bit set; null
// while unregistered.
constexpr std::uintptr_t kRegistered = std::uintptr_t{1} << 8;
static_assert(((EPOLLIN | EPOLLOUT) & kRegistered) == 0);

int core_socket_callback(CURL* /*easy*/, curl_socket_t s, int what, void* userp, void* socketp) {
  auto* self = static_cast<EventCoreObject*>(userp);
  const auto registered = reinterpret_cast<std::uintptr_t>(socketp);
  if (what == CURL_POLL_REMOVE) {
    // A socket closed already has left the set by itself.
    if (registered != 0) (void)epoll_ctl(self->epoll_fd, EPOLL_CTL_DEL, s, nullptr);
    return 0;
  }
  std::uint32_t mask = 0;
  if (what & CURL_POLL_IN) mask |= EPOLLIN;
  if (what & CURL_POLL_OUT) mask |= EPOLLOUT;
  if (registered == (kRegistered | mask)) return 0;
  epoll_event event{};
  event.events = mask;
  event.data.fd = s;
  int op = registered != 0 ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (epoll_ctl(self->epoll_fd, op, s, &event) < 0) {
    // A number closed and opened again without libcurl's removal in
    // between, or a socket closed under a registration libcurl remembers.
    op = errno == EEXIST ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(self->epoll_fd, op, s, &event) < 0) return -1;
  }
  // libcurl hands the mask back with the socket's next update, and forgets
  // it with the socket.
  if (curl_multi_assign(MultiAccess::in_callback(self->multi), s,
                        reinterpret_cast<void*>(kRegistered | mask)) != CURLM_OK) {
    return -1;
  }
  return 0;
}

std::int64_t monotonic_ns() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Makes the timerfd expire no later than `deadline` (CLOCK_MONOTONIC, ns).
// Each change is a system call, and libcurl moves its timer often, so one
// set to expire sooner is kept: expiring early costs one pass that runs
// socket_action for the timeout, after which libcurl tells its timer
// again even when it is unchanged. A deadline already passed makes the
// descriptor readable at once.
void timer_arm(EventCoreObject* self, std::int64_t deadline) {
  if (self->timer_armed != 0 && self->timer_armed <= deadline) return;
  if (deadline < 1) deadline = 1;  // zero would disarm it
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(deadline / 1000000000);
  when.it_value.tv_nsec = static_cast<long>(deadline % 1000000000);
  (void)timerfd_settime(self->timer_fd, TFD_TIMER_ABSTIME, &when, nullptr);
  self->timer_armed = deadline;
}

int core_timer_callback(CURLM* /*multi*/, long timeout_ms, void* userp) {
  auto* self = static_cast<EventCoreObject*>(userp);
  if (timeout_ms < 0) {
    // No timer: one still armed only costs a pass.
    self->timer_due = false;
    return 0;
  }
  if (timeout_ms == 0 && self->processing) {
    // process() runs the timeout before it returns.
    self->timer_due = true;
    return 0;
  }
  self->timer_due = false;
  timer_arm(self, monotonic_ns() + std::int64_t{timeout_ms} * 1000000);
  return 0;
}

// The write function of a transfer whose body the core collects; `userdata`
// is its record. Runs detached: only the raw allocator.
size_t core_body_write(char* ptr, size_t size, size_t nmemb, void* userdata) {
  auto* t = static_cast<CoreTransfer*>(userdata);
  size_t total;
  if (!checked_size(size, nmemb, &total)) return 0;
  if (total > t->capacity - t->size) {
    if (total > PY_SSIZE_T_MAX - t->size) return 0;
    std::size_t capacity = t->capacity ? t->capacity : kFirstBodyCapacity;
    while (capacity < t->size + total) capacity *= 2;
    auto* grown = static_cast<char*>(PyMem_RawRealloc(t->body, capacity));
    if (grown == nullptr) return 0;  // fails the transfer with a write error
    t->body = grown;
    t->capacity = capacity;
  }
  std::memcpy(t->body + t->size, ptr, total);
  t->size += total;
  return total;
}

void install_callbacks(CURLM* multi, EventCoreObject* self) {
  // libcurl refuses these only for a bad handle or an unknown option.
  (void)curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION,
                          self ? &core_socket_callback : static_cast<curl_socket_callback>(nullptr));
  (void)curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, static_cast<void*>(self));
  (void)curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION,
                          self ? &core_timer_callback
                               : static_cast<curl_multi_timer_callback>(nullptr));
  (void)curl_multi_setopt(multi, CURLMOPT_TIMERDATA, static_cast<void*>(self));
}

// ---------------------------------------------------------------------------
// Driving, with the interpreter detached
// ---------------------------------------------------------------------------

int cselect_flags(std::uint32_t events) {
  return ((events & EPOLLIN) ? CURL_CSELECT_IN : 0) | ((events & EPOLLOUT) ? CURL_CSELECT_OUT : 0) |
         ((events & (EPOLLERR | EPOLLHUP)) ? CURL_CSELECT_ERR : 0);
}

// One pass: waits up to `wait_ms` for a ready descriptor (none while a
// timeout is due), acts on every ready one, runs the due timeouts, then
// takes the finished transfers out of the multi and notes them in
// `finished`. Returns how many.
std::size_t drive(EventCoreObject* self, CurlMultiObject* owner, const MultiAccess& access,
                  int wait_ms) {
  CURLM* multi = access.handle();
  int running = 0;
  self->processing = true;
  int ready = epoll_wait(self->epoll_fd, self->events, kCoreMaxEvents, self->timer_due ? 0 : wait_ms);
  if (ready < 0) ready = 0;  // EINTR: the caller checks for signals
  bool timeout = self->timer_due;
  self->timer_due = false;
  for (int i = 0; i < ready; ++i) {
    const int fd = self->events[i].data.fd;
    if (fd == self->timer_fd) {
      std::uint64_t expirations;
      if (read(fd, &expirations, sizeof(expirations)) == sizeof(expirations)) {
        self->timer_armed = 0;
      }
      timeout = true;
      continue;
    }
    (void)curl_multi_socket_action(multi, fd, cselect_flags(self->events[i].events), &running);
  }
  if (timeout) (void)curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &running);
  for (int round = 0; self->timer_due && round < kImmediateRounds; ++round) {
    self->timer_due = false;
    (void)curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &running);
  }
  self->processing = false;
  if (self->timer_due) {
    self->timer_due = false;
    timer_arm(self, 0);
  }
  std::size_t finished = 0;
  int queued = 0;
  while (finished < self->finished_capacity) {
    CURLMsg* msg = curl_multi_info_read(multi, &queued);
    if (msg == nullptr) break;
    if (msg->msg != CURLMSG_DONE) continue;
    CURL* easy = msg->easy_handle;
    const CURLcode result = msg->data.result;
    // Reading the table is safe here: only the holder of the claim changes
    // it, and only while attached. A member that is not in it is a pushed
    // stream the multi took in (its push callable accepted it).
    CurlObject* curl;
    const Py_ssize_t at = table_find(self, easy);
    if (at >= 0) {
      curl = self->buckets[at]->curl;
    } else {
      char* priv = nullptr;
      if (curl_easy_getinfo(easy, CURLINFO_PRIVATE, &priv) != CURLE_OK || priv == nullptr) continue;
      curl = reinterpret_cast<CurlObject*>(priv);
      if (curl->multi_stack != owner) continue;
    }
    (void)curl_multi_remove_handle(multi, easy);
    self->finished[finished++] = CoreFinished{curl, easy, result};
  }
  // Pushed streams can outnumber the room kept: the rest on the next pass.
  if (queued > 0 && finished == self->finished_capacity) timer_arm(self, 0);
  return finished;
}

// ---------------------------------------------------------------------------
// Completion, attached
// ---------------------------------------------------------------------------

// What a finished transfer completes with: None, the collected body, or
// the kelvex.error instance of its failure. Never null: an error building
// it becomes the result.
Ref transfer_result(CoreTransfer* t) {
  Ref result;
  if (t->result != CURLE_OK) {
    create_and_set_error_object(t->curl, t->result);
  } else if (t->collect) {
    result = Ref::steal(PyBytes_FromStringAndSize(t->body, static_cast<Py_ssize_t>(t->size)));
  } else {
    result = Ref::borrow(Py_None);
  }
  if (!result) result = Ref::steal(PyErr_GetRaisedException());
  return result;
}

// A pushed stream that ended: it leaves the multi's records and comes back
// like a transfer added without a waiter, its body having gone to the
// write target its push callable gave it.
void deliver_pushed(CurlMultiObject* multi, const CoreFinished& done, PyObject* returned) {
  // The multi's records hold the only reference the core can count on.
  Ref curl = Ref::borrow(reinterpret_cast<PyObject*>(done.curl));
  multi_forget_member(multi, done.curl);
  Ref result;
  if (done.result != CURLE_OK) {
    create_and_set_error_object(done.curl, done.result);
    result = Ref::steal(PyErr_GetRaisedException());
  } else {
    result = Ref::borrow(Py_None);
  }
  Ref item = Ref::steal(PyTuple_Pack(2, curl.get(), result.get()));
  if (returned == nullptr || !item || PyList_Append(returned, item.get()) < 0) {
    PyErr_WriteUnraisable(curl.get());
  }
}

// waiter.set_result(result) or waiter.set_exception(result), unless the
// waiter is done already (cancelled meanwhile). A failure is reported as
// unraisable: the other waiters still get theirs.
// A TransferFuture is completed directly, its awaiting task stepped at once
// when `scope` allows; an exception that step let through (SystemExit,
// KeyboardInterrupt) is kept in `let_through` for process() to raise at the end.
void complete_waiter(PyObject* waiter, PyObject* result, WakeScope* scope, Ref* let_through) {
  if (is_transfer_future(waiter)) {
    if (transfer_future_complete(waiter, result, scope) < 0) {
      if (*let_through) {
        PyErr_WriteUnraisable(waiter);
      } else {
        *let_through = Ref::steal(PyErr_GetRaisedException());
      }
    }
    return;
  }
  PyObject* args[3] = {nullptr, waiter, result};
  PyObject* name = PyExceptionInstance_Check(result) ? kx.str_set_exception : kx.str_set_result;
  Ref answer = Ref::steal(
      PyObject_VectorcallMethod(name, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (answer) return;
  // Asked only after a refusal, which is rare: a waiter done already (a
  // cancelled future) refuses a result, and that is no fault.
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  Ref done = Ref::steal(
      PyObject_VectorcallMethod(kx.str_done, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  const int is_done = done ? PyObject_IsTrue(done.get()) : -1;
  if (is_done == 1) return;
  if (is_done == 0) PyErr_SetRaisedException(raised.release());
  PyErr_WriteUnraisable(waiter);
}

// The multi a method works on, held; null with kelvex.error set once the
// core is closed.
Ref core_multi(EventCoreObject* self, const char* name) {
  Ref multi;
  {
    CriticalSection cs(as_object(self));
    multi = Ref::borrow(reinterpret_cast<PyObject*>(self->multi));
  }
  if (!multi) refuse_closed(name, "event core");
  return multi;
}

CurlMultiObject* as_multi(const Ref& ref) { return reinterpret_cast<CurlMultiObject*>(ref.get()); }

// Cuts every transfer in flight: each leaves the multi, gets its write
// target back and is appended to `cut` as (curl, waiter or None) when
// `cut` is given. The caller holds the multi's claim and no section.
void cut_all(EventCoreObject* self, CurlMultiObject* multi, HandleGuard& held, PyObject* cut) {
  if (self->buckets == nullptr) return;
  for (std::size_t i = 0; i <= self->mask; ++i) {
    CoreTransfer* t = self->buckets[i];
    if (t == nullptr) continue;
    self->buckets[i] = nullptr;
    __atomic_store_n(&self->count, self->count - 1, __ATOMIC_RELAXED);
    Ref curl = Ref::steal(reinterpret_cast<PyObject*>(t->curl));
    Ref waiter = Ref::steal(t->waiter);
    if (multi->multi_handle.open() && t->curl->handle.open()) {
      auto call = held.detach();
      (void)curl_multi_remove_handle(teardown_handle(held, multi->multi_handle),
                                     teardown_handle(held, t->curl->handle));
    }
    multi_forget_member(multi, t->curl);
    restore_handle(t, t->curl);
    record_recycle(self, t);
    if (cut != nullptr) {
      Ref item = Ref::steal(PyTuple_Pack(2, curl.get(), waiter ? waiter.get() : Py_None));
      if (!item || PyList_Append(cut, item.get()) < 0) PyErr_WriteUnraisable(nullptr);
    }
  }
}

// Lets the multi go: the transfers are cut, libcurl's callbacks are
// removed, the descriptors closed. The caller holds the multi's claim.
void let_go_of_multi(EventCoreObject* self, CurlMultiObject* multi, HandleGuard& held,
                     PyObject* cut) {
  cut_all(self, multi, held, cut);
  if (multi->multi_handle.open()) {
    install_callbacks(teardown_handle(held, multi->multi_handle), nullptr);
  }
  {
    CriticalSection cs(reinterpret_cast<PyObject*>(multi));
    multi->core = nullptr;
    multi->core_member_closed = nullptr;
  }
  CriticalSection cs(as_object(self));
  if (self->epoll_fd >= 0) close(self->epoll_fd);
  if (self->timer_fd >= 0) close(self->timer_fd);
  self->epoll_fd = self->timer_fd = -1;
  self->multi = nullptr;  // the caller releases the reference
}

// A Curl in flight on the core is being closed and has just left the multi
// (the multi tells its core through `core_member_closed`): its transfer
// ends with kelvex.error("curl object closed during the transfer"),
// delivered by the next process() call, which the descriptor asks for. The
// caller holds the multi's slot and is attached.
void forget_closed(EventCoreObject* self, CurlObject* curl) {
  const Py_ssize_t at = table_find(self, curl->handle.key());
  if (at < 0) return;
  CoreTransfer* t = table_take(self, static_cast<std::size_t>(at));
  // The handle is being cleaned up: its write function no longer matters.
  Ref held = Ref::steal(reinterpret_cast<PyObject*>(t->curl));
  Ref waiter = Ref::steal(t->waiter);
  record_recycle(self, t);
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  Ref error = Ref::steal(
      PyObject_CallFunction(kx.ErrorObject, "s", "curl object closed during the transfer"));
  PyObject** list = waiter ? &self->orphaned : &self->undelivered;
  if (*list == nullptr) *list = PyList_New(0);
  bool kept = false;
  if (error && *list != nullptr) {
    if (waiter) {
      kept = PyList_Append(*list, waiter.get()) == 0 && PyList_Append(*list, error.get()) == 0;
    } else {
      Ref item = Ref::steal(PyTuple_Pack(2, held.get(), error.get()));
      kept = item && PyList_Append(*list, item.get()) == 0;
    }
  }
  if (!kept) PyErr_WriteUnraisable(held.get());
  PyErr_SetRaisedException(raised.release());
  timer_arm(self, 0);
}

void free_records(EventCoreObject* self) {
  while (CoreTransfer* t = self->spare) {
    self->spare = t->next_spare;
    PyMem_RawFree(t->body);
    PyMem_RawFree(t);
  }
  PyMem_RawFree(self->buckets);
  PyMem_RawFree(self->finished);
  self->buckets = nullptr;
  self->finished = nullptr;
  self->finished_capacity = 0;
}

// ---------------------------------------------------------------------------
// Construction, destruction, GC
// ---------------------------------------------------------------------------

PyObject* do_core_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  PyObject* arg = nullptr;
  if (!parse_constructor<decl::core>(args, kwds, &CurlMulti_Type, &arg)) return nullptr;
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  EventCoreObject* self = as_core(obj.get());
  self->epoll_fd = self->timer_fd = -1;
  self->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  if (self->epoll_fd >= 0) self->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (self->timer_fd < 0) return PyErr_SetFromErrno(PyExc_OSError);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = self->timer_fd;
  if (epoll_ctl(self->epoll_fd, EPOLL_CTL_ADD, self->timer_fd, &event) < 0) {
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  if (table_reserve(self, 64) < 0) return nullptr;
  auto* multi = reinterpret_cast<CurlMultiObject*>(arg);
  MultiAccess access(multi, CHECK_HANDLE, "EventCore");
  if (!access) return nullptr;
  if (multi->core != nullptr) {
    set_error_text("the multi is driven by another EventCore already");
    return nullptr;
  }
  if (multi->cb_socket != nullptr || multi->cb_timer != nullptr) {
    set_error_text("an EventCore cannot drive a multi that has a socket or timer callable");
    return nullptr;
  }
  if (multi->easies != nullptr && PySet_GET_SIZE(multi->easies) > 0) {
    set_error_text("an EventCore cannot drive a multi that has handles added");
    return nullptr;
  }
  install_callbacks(access.handle(), self);
  multi->core = self;
  multi->core_member_closed = &forget_closed;
  self->multi = reinterpret_cast<CurlMultiObject*>(Py_NewRef(arg));
  return obj.release();
}

void do_core_dealloc(PyObject* op) {
  EventCoreObject* self = as_core(op);
  PyObject_GC_UnTrack(op);
  Py_TRASHCAN_BEGIN(op, do_core_dealloc)
  PendingExceptionSaver raised;
  if (CurlMultiObject* multi = self->multi) {
    {
      TeardownGuard guard(multi);
      let_go_of_multi(self, multi, guard, nullptr);
    }
    Py_DECREF(reinterpret_cast<PyObject*>(multi));
  }
  if (self->epoll_fd >= 0) close(self->epoll_fd);
  if (self->timer_fd >= 0) close(self->timer_fd);
  Py_CLEAR(self->undelivered);
  Py_CLEAR(self->orphaned);
  free_records(self);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  raised.restore();
  if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
  Py_TYPE(op)->tp_free(op);
  Py_TRASHCAN_END
}

int do_core_traverse(PyObject* op, visitproc visit, void* arg) {
  EventCoreObject* self = as_core(op);
  Py_VISIT(reinterpret_cast<PyObject*>(self->multi));
  Py_VISIT(self->undelivered);
  Py_VISIT(self->orphaned);
  if (self->buckets != nullptr) {
    for (std::size_t i = 0; i <= self->mask; ++i) {
      if (CoreTransfer* t = self->buckets[i]) {
        Py_VISIT(reinterpret_cast<PyObject*>(t->curl));
        Py_VISIT(t->waiter);
      }
    }
  }
  return 0;
}

// The transfers stay: a cycle through a waiter is broken by the waiter's
// own clear, and libcurl's records must not lose a handle unseen.
int do_core_clear(PyObject* op) {
  Py_CLEAR(as_core(op)->undelivered);
  Py_CLEAR(as_core(op)->orphaned);
  return 0;
}

// ---------------------------------------------------------------------------
// Methods
// ---------------------------------------------------------------------------

// Starts the transfer of `arg` (a Curl) with `waiter` (or Py_None): 0, or
// -1 with an exception set and nothing left in the multi.
int core_add(EventCoreObject* self, PyObject* arg, PyObject* waiter, bool body) {
  Ref held = core_multi(self, "add");
  if (!held) return -1;
  CurlMultiObject* multi = as_multi(held);
  auto* curl = reinterpret_cast<CurlObject*>(arg);
  MultiAccess access(multi, curl);
  const int added = multi_add_member(multi, curl, access);
  if (access.slot() == nullptr) return -1;  // refused before the claim
  // The claim is held from here: the core's records are ours.
  CoreTransfer* t = nullptr;
  if (added == 0 && multi->core != self) {
    refuse_closed("add", "event core");
  } else if (added == 0 && table_reserve(self, static_cast<std::size_t>(self->count) + 1) == 0) {
    t = record_new(self);
  }
  if (t == nullptr) {
    // Not recorded, so not left in the multi either.
    if (curl->multi_stack == multi) {
      Ref raised = Ref::steal(PyErr_GetRaisedException());
      {
        auto call = access.detach();
        (void)curl_multi_remove_handle(access.handle(), access.member(curl));
      }
      multi_forget_member(multi, curl);
      PyErr_SetRaisedException(raised.release());
    }
    return -1;
  }
  t->curl = reinterpret_cast<CurlObject*>(Py_NewRef(arg));
  t->easy = access.member(curl);
  t->waiter = waiter == Py_None ? nullptr : Py_NewRef(waiter);
  t->collect = body;
  // Without a progress callable to call, libcurl's progress calls serve
  // only the check for signals, which process() makes after each pass:
  // they are off while the core runs the transfer, and stay off after it
  // for the handle's next one, until some other start turns them on.
  curl_set_progress_calls(curl, access.member(curl),
                          !curl->noprogress &&
                              (curl_callable<CURLOPT_XFERINFOFUNCTION>(curl) != nullptr ||
                               curl_callable<CURLOPT_PROGRESSFUNCTION>(curl) != nullptr));
  if (!curl->pipewait_chosen && !curl->pipewait_by_core) {
    (void)curl_easy_setopt(access.member(curl), CURLOPT_PIPEWAIT, 1L);
    curl->pipewait_by_core = true;
  }
  if (t->collect) {
    // No data moves before the next driving call, which only the holder
    // of the claim makes.
    (void)curl_easy_setopt(access.member(curl), CURLOPT_WRITEFUNCTION, &core_body_write);
    (void)curl_easy_setopt(access.member(curl), CURLOPT_WRITEDATA, static_cast<void*>(t));
  }
  table_put(self, t);
  __atomic_store_n(&self->count, self->count + 1, __ATOMIC_RELAXED);
  return 0;
}

PyObject* do_core_add(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg = nullptr;
  PyObject* waiter = Py_None;
  int body = 0;
  // The path of every transfer: positional arguments are taken as they
  // are, the parser sees the rest (and words the refusals).
  if (kwnames == nullptr && nargs >= 1 && nargs <= 3 && is_curl(args[0]) &&
      (nargs < 3 || PyBool_Check(args[2]))) {
    arg = args[0];
    if (nargs >= 2) waiter = args[1];
    if (nargs == 3) body = args[2] == Py_True;
  } else if (!parse_keywords<decl::core_add>(args, nargs, kwnames, &Curl_Type, &arg, &waiter,
                                             &body)) {
    return nullptr;
  }
  if (core_add(as_core(op), arg, waiter, body != 0) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* do_core_future(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* arg = nullptr;
  PyObject* loop = nullptr;
  int body = 0;
  // As add(): the usual call is taken as it is.
  if (nargs >= 2 && nargs <= 3 && is_curl(args[0]) && (nargs < 3 || PyBool_Check(args[2]))) {
    arg = args[0];
    loop = args[1];
    if (nargs == 3) body = args[2] == Py_True;
  } else if (!parse<decl::core_future>(args, nargs, &Curl_Type, &arg, &loop, &body)) {
    return nullptr;
  }
  return eventcore_future(op, arg, loop, body != 0);
}

// Cuts the transfer of `arg` (a Curl): 1, 0 when it is not in flight, or
// -1 with an exception set.
int core_remove(EventCoreObject* self, PyObject* arg) {
  Ref held = core_multi(self, "remove");
  if (!held) return -1;
  CurlMultiObject* multi = as_multi(held);
  // Released after the claim: dropping them may run Python code.
  Ref curl_ref, waiter_ref;
  {
    MultiAccess access(multi, 0, "remove");
    if (!access) return -1;
    if (multi->core != self) {
      refuse_closed("remove", "event core");
      return -1;
    }
    access.unlock();
    auto* curl = reinterpret_cast<CurlObject*>(arg);
    const Py_ssize_t at = table_find_curl(self, curl);
    if (at < 0) return 0;
    CoreTransfer* t = table_take(self, static_cast<std::size_t>(at));
    curl_ref = Ref::steal(reinterpret_cast<PyObject*>(t->curl));
    waiter_ref = Ref::steal(t->waiter);
    if (multi->multi_handle.open() && curl->handle.open()) {
      auto call = access.detach();
      (void)curl_multi_remove_handle(access.handle(), access.member(curl));
    }
    multi_forget_member(multi, curl);
    restore_handle(t, curl);
    record_recycle(self, t);
  }
  return PyErr_Occurred() ? -1 : 1;
}

PyObject* do_core_remove(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* arg = nullptr;
  if (!parse<decl::core_remove>(args, nargs, &Curl_Type, &arg)) return nullptr;
  const int removed = core_remove(as_core(op), arg);
  if (removed < 0) return nullptr;
  return PyBool_FromLong(removed);
}

PyObject* do_core_awaitable(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* arg = nullptr;
  PyObject* loop = nullptr;
  int body = 0;
  PyObject* start = Py_None;
  if (nargs == 4 && is_curl(args[0]) && PyBool_Check(args[2])) {
    arg = args[0];
    loop = args[1];
    body = args[2] == Py_True;
    start = args[3];
  } else if (!parse<decl::core_awaitable>(args, nargs, &Curl_Type, &arg, &loop, &body,
                                          &start)) {
    return nullptr;
  }
  return core_run_makers.run(op, arg, loop, body != 0, start);
}

PyObject* do_core_performer(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* loop = nullptr;
  int body = 0;
  PyObject* start = Py_None;
  if (!parse<decl::core_performer>(args, nargs, &loop, &body, &start)) return nullptr;
  return core_run_makers.performer(op, loop, body != 0, start);
}

PyObject* do_core_process(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  double timeout = 0.0;
  if (!parse<decl::core_process>(args, nargs, &timeout)) return nullptr;
  // Written so that NaN fails too.
  if (!(timeout >= 0.0 && timeout < kWaitMax)) {
    PyErr_SetString(PyExc_ValueError, "timeout must be between 0 and 365 days");
    return nullptr;
  }
  const int wait_ms = static_cast<int>(std::ceil(timeout * 1000.0));
  EventCoreObject* self = as_core(op);
  Ref held = core_multi(self, "process");
  if (!held) return nullptr;
  CurlMultiObject* multi = as_multi(held);
  Ref returned;  // finished transfers without a waiter: (curl, result)
  Ref waiting;   // waiter, result, waiter, result...
  Ref raised;
  {
    MultiAccess access(multi, CHECK_HANDLE, "process");
    if (!access) return nullptr;
    if (multi->core != self) {
      refuse_closed("process", "event core");
      return nullptr;
    }
    access.unlock();
    returned = Ref::steal(self->undelivered);
    self->undelivered = nullptr;
    waiting = Ref::steal(self->orphaned);
    self->orphaned = nullptr;
    std::size_t finished;
    {
      auto call = access.detach();
      finished = drive(self, multi, access, wait_ms);
    }
    // An exception left by a callable, or a signal, is raised once the
    // finished transfers are completed.
    if (check_pending_python_exception_or_signal() < 0) {
      raised = Ref::steal(PyErr_GetRaisedException());
    }
    if (!returned) returned = Ref::steal(PyList_New(0));
    for (std::size_t i = 0; i < finished; ++i) {
      const Py_ssize_t at = table_find(self, self->finished[i].easy);
      if (at < 0) {
        deliver_pushed(multi, self->finished[i], returned.get());
        continue;
      }
      CoreTransfer* t = table_take(self, static_cast<std::size_t>(at));
      t->result = self->finished[i].result;
      multi_forget_member(multi, t->curl);
      restore_handle(t, t->curl);
      Ref result = transfer_result(t);
      Ref curl = Ref::steal(reinterpret_cast<PyObject*>(t->curl));
      Ref waiter = Ref::steal(t->waiter);
      record_recycle(self, t);
      int appended;
      if (waiter) {
        if (!waiting) waiting = Ref::steal(PyList_New(0));
        appended = waiting && PyList_Append(waiting.get(), waiter.get()) == 0 &&
                           PyList_Append(waiting.get(), result.get()) == 0
                       ? 0
                       : -1;
      } else {
        Ref item = Ref::steal(PyTuple_Pack(2, curl.get(), result.get()));
        appended = returned && item && PyList_Append(returned.get(), item.get()) == 0 ? 0 : -1;
      }
      if (appended < 0) PyErr_WriteUnraisable(curl.get());
    }
    if (raised && returned && PyList_GET_SIZE(returned.get()) > 0) {
      self->undelivered = returned.release();
      // The descriptor must say so: an event loop calls only when it is
      // readable.
      timer_arm(self, 0);
    }
  }
  // The claim is given up: a waiter's callbacks may use the core.
  if (waiting) {
    PyObject* list = waiting.get();
    WakeScope scope;
    Ref stepped_raised;
    for (Py_ssize_t i = 0; i + 1 < PyList_GET_SIZE(list); i += 2) {
      complete_waiter(PyList_GET_ITEM(list, i), PyList_GET_ITEM(list, i + 1), &scope,
                      &stepped_raised);
    }
    if (stepped_raised) {
      if (raised) {
        PyErr_SetRaisedException(stepped_raised.release());
        PyErr_WriteUnraisable(nullptr);
      } else {
        raised = std::move(stepped_raised);
      }
    }
  }
  if (raised) {
    PyErr_SetRaisedException(raised.release());
    return nullptr;
  }
  if (!returned) return nullptr;
  return returned.release();
}

PyObject* do_core_close(PyObject* op, PyObject*) {
  EventCoreObject* self = as_core(op);
  Ref held;
  {
    CriticalSection cs(op);
    held = Ref::borrow(reinterpret_cast<PyObject*>(self->multi));
  }
  Ref cut = Ref::steal(PyList_New(0));
  if (!cut) return nullptr;
  if (!held) return cut.release();
  CurlMultiObject* multi = as_multi(held);
  {
    MultiAccess access(multi, 0, "close");
    if (!access) return nullptr;
    if (multi->core != self) return cut.release();  // closed meanwhile
    access.unlock();
    let_go_of_multi(self, multi, access, cut.get());
    Py_CLEAR(self->undelivered);
    Py_CLEAR(self->orphaned);
  }
  Py_DECREF(held.get());  // the core's own reference, let go by let_go_of_multi()
  if (PyErr_Occurred()) return nullptr;
  return cut.release();
}

PyObject* do_core_fileno(PyObject* op, PyObject*) {
  int fd;
  {
    CriticalSection cs(op);
    fd = as_core(op)->epoll_fd;
  }
  if (fd < 0) {
    refuse_closed("fileno", "event core");
    return nullptr;
  }
  return PyLong_FromLong(fd);
}

PyObject* do_core_exit(PyObject* op, PyObject* const*, Py_ssize_t) {
  Ref cut = Ref::steal(do_core_close(op, nullptr));
  if (!cut) return nullptr;
  Py_RETURN_NONE;
}

PyObject* do_core_get_closed(PyObject* op, void*) {
  bool closed;
  {
    CriticalSection cs(op);
    closed = as_core(op)->multi == nullptr;
  }
  return PyBool_FromLong(closed);
}

PyObject* do_core_get_multi(PyObject* op, void*) {
  CriticalSection cs(op);
  PyObject* multi = reinterpret_cast<PyObject*>(as_core(op)->multi);
  return Py_NewRef(multi != nullptr ? multi : Py_None);
}

Py_ssize_t do_core_length(PyObject* op) {
  return __atomic_load_n(&as_core(op)->count, __ATOMIC_RELAXED);
}

constexpr char kCoreTypeName[] = "EventCore";

PyMethodDef core_methods[] = {
    method_entry<decl::core_add>(do_core_add),
    method_entry<decl::core_future>(do_core_future),
    method_entry<decl::core_awaitable>(do_core_awaitable),
    method_entry<decl::core_performer>(do_core_performer),
    method_entry<decl::core_remove>(do_core_remove),
    method_entry<decl::core_process>(do_core_process),
    method_entry<decl::core_fileno>(do_core_fileno),
    method_entry<decl::core_close>(do_core_close),
    KELVEX_PICKLE_REFUSAL(kCoreTypeName, decl::core_getstate, decl::core_setstate),
    method_entry<decl::core_enter>(enter_self),
    method_entry<decl::core_exit>(do_core_exit),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef core_getsets[] = {
    {"closed", do_core_get_closed, nullptr, core_closed_doc, nullptr},
    {"multi", do_core_get_multi, nullptr, core_multi_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods core_as_sequence = {
    .sq_length = do_core_length,
    .sq_concat = nullptr,
    .sq_repeat = nullptr,
    .sq_item = nullptr,
    .was_sq_slice = nullptr,
    .sq_ass_item = nullptr,
    .was_sq_ass_slice = nullptr,
    .sq_contains = nullptr,
    .sq_inplace_concat = nullptr,
    .sq_inplace_repeat = nullptr,
};

}  // namespace

CoreRunMakers core_run_makers = {};

PyObject* eventcore_future(PyObject* core, PyObject* curl, PyObject* loop, bool body) {
  Ref future = Ref::steal(transfer_future_new(loop));
  if (!future) return nullptr;
  if (core_add(as_core(core), curl, future.get(), body) < 0) return nullptr;
  return future.release();
}

int eventcore_cut(PyObject* core, PyObject* curl) {
  EventCoreObject* self = as_core(core);
  {
    CriticalSection cs(core);
    if (self->multi == nullptr) return 0;
  }
  return core_remove(self, curl) < 0 ? -1 : 0;
}

bool eventcore_is_open(PyObject* core) {
  CriticalSection cs(core);
  return as_core(core)->multi != nullptr;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject EventCore_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.EventCore",
    .tp_basicsize = sizeof(EventCoreObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_core_dealloc,
    .tp_as_sequence = &core_as_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = doc_of<decl::core>(),
    .tp_traverse = do_core_traverse,
    .tp_clear = do_core_clear,
    .tp_weaklistoffset = offsetof(EventCoreObject, weakreflist),
    .tp_methods = core_methods,
    .tp_getset = core_getsets,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_core_new,
    .tp_free = PyObject_GC_Del,
};
#pragma GCC diagnostic pop

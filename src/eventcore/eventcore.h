// The EventCore object (eventcore.cpp): a CurlMulti driven by libcurl's
// socket interface entirely in C++. Its own epoll set holds libcurl's
// sockets and a timerfd for libcurl's timer, so that an event loop watches
// one descriptor and calls process() when it turns readable; process()
// runs socket_action for every ready socket and for the timer, reaps the
// finished transfers and completes them, all but the completion with the
// interpreter detached.
#ifndef KELVEX_EVENTCORE_H
#define KELVEX_EVENTCORE_H

#include <sys/epoll.h>

#include "pyutil.h"

struct CurlMultiObject;
struct CurlObject;
struct CoreTransfer;  // one transfer in flight (eventcore.cpp)

// A transfer libcurl reported done, noted while the interpreter is detached;
// its record leaves the table once attached again.
struct CoreFinished {
  CurlObject* curl;  // borrowed from its record
  CURL* easy;
  CURLcode result;
};

// Ready descriptors taken by one epoll_wait; more wait for the next pass.
inline constexpr int kCoreMaxEvents = 128;

// Every field but `count` is used only by the thread that holds the
// multi's slot (the claim of a core method, or of the multi's own close or
// deallocation); `multi`, `epoll_fd` and `timer_fd` are also read under the
// core's section, and set under it and the claim together.
struct EventCoreObject {
  PyObject_HEAD
  PyObject* weakreflist;
  CurlMultiObject* multi;  // strong; null once closed
  int epoll_fd;            // -1 once closed
  int timer_fd;            // -1 once closed
  // The transfers in flight: an open-addressing table keyed by the Curl
  // object, `mask + 1` buckets (a power of two, at least twice `count`).
  CoreTransfer** buckets;
  std::size_t mask;
  Py_ssize_t count;  // read without the claim by len()
  CoreTransfer* spare;  // records of ended transfers, for reuse
  // The transfers one process() call reaped; room for every transfer.
  // The table itself changes only while attached, so that the collector,
  // which may run on another thread meanwhile, always finds it whole.
  CoreFinished* finished;
  std::size_t finished_capacity;
  // Finished transfers without a waiter that a failed process() could not
  // hand out: the next call returns them first. A list, or null.
  PyObject* undelivered;
  // Waiters of transfers whose Curl was closed in flight, each followed by
  // its error, for the next process() call to complete. A list, or null.
  PyObject* orphaned;
  bool processing;   // process() is driving libcurl now
  bool timer_due;    // libcurl asked for its timeout at once, during process()
  // When the timerfd expires (CLOCK_MONOTONIC, ns), or 0 when it is not set.
  std::int64_t timer_armed;
  epoll_event events[kCoreMaxEvents];
};

extern PyTypeObject EventCore_Type;

// For the coroutines of transferrun.cpp. `core` is an EventCore, `curl` a
// Curl.
// eventcore_future: add(curl, <new TransferFuture of loop>, body); returns
// the future, or null with an exception set.
PyObject* eventcore_future(PyObject* core, PyObject* curl, PyObject* loop, bool body);
// eventcore_cut: remove(curl), nothing once the core is closed; 0, or -1
// with an exception set.
int eventcore_cut(PyObject* core, PyObject* curl);
// Whether the core still drives its multi.
bool eventcore_is_open(PyObject* core);

// What EventCore.awaitable() and EventCore.performer() return: the
// coroutine of one transfer and the callable that makes such coroutines.
// Their types (transferrun.cpp) stand above the core and fill this in when
// the module is set up; the core knows them by nothing else.
struct CoreRunMakers {
  PyObject* (*run)(PyObject* core, PyObject* curl, PyObject* loop, bool body, PyObject* start);
  PyObject* (*performer)(PyObject* core, PyObject* loop, bool body, PyObject* start);
};
extern CoreRunMakers core_run_makers;

#endif  // KELVEX_EVENTCORE_H

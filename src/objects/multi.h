// The CurlMulti object (its record is in records.h): the checks its callers share
// (multi.cpp), and the callback trampolines its options install
// (multicb.cpp).
#ifndef KELVEX_MULTI_H
#define KELVEX_MULTI_H

#include "access.h"
#include "pyutil.h"
#include "records.h"

void assert_multi_state(const CurlMultiObject* self);

// While an EventCore drives the multi, the methods that would drive it too
// or change its membership or socket bookkeeping are refused: -1 with
// kelvex.error set, else 0. The caller holds the multi's section.
int refuse_if_driven(const CurlMultiObject* self, const char* name);

// Membership for the event core. multi_add_member adds `curl` as
// add_handle() does; on success `access` still holds the multi's claim
// (its section ended), so that the caller can record the transfer before
// another thread sees the multi idle. multi_forget_member drops the
// records of a handle that the holder of the claim has just removed from
// libcurl's multi handle.
int multi_add_member(CurlMultiObject* self, CurlObject* curl, MultiAccess& access);
void multi_forget_member(CurlMultiObject* self, CurlObject* curl);

// A member is being closed (Curl.close(), its deallocation): it leaves
// libcurl's multi handle and the multi's records, and the core that drives
// the multi, if any, learns of it. The caller holds the multi's slot, the
// Curl's own slot through its teardown, and no critical section.
// `handle` is the Curl's, which its teardown guard gave.
void multi_close_member(CurlMultiObject* self, CurlObject* curl, CURL* handle);

// Records membership on the Curl side; the caller holds the Curl's section.
// The weak reference is made by the caller beforehand, so that this step
// cannot fail.
void easy_set_multi_ref(CurlObject* curl, CurlMultiObject* multi, Ref weakref);

// The trampolines that the Function options install; their user data is
// the CurlMulti itself.
int multi_timer_callback(CURLM* multi, long timeout_ms, void* userp);
int multi_socket_callback(CURL* easy, curl_socket_t s, int what, void* userp, void* socketp);
void multi_notify_callback(CURLM* multi, unsigned int notification, CURL* easy, void* userp);
int multi_push_callback(CURL* parent, CURL* easy, size_t num_headers, curl_pushheaders* headers,
                        void* userp);

#endif  // KELVEX_MULTI_H

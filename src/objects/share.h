// The CurlShare object (its record and lock block are in records.h): the
// registry that Curl objects join through SHARE (share.cpp).
#ifndef KELVEX_SHARE_H
#define KELVEX_SHARE_H

#include "access.h"
#include "pyutil.h"
#include "records.h"

// A Curl and its share meet only through the routines below, each of
// which does its libcurl part under the share's mutex (share.cpp).

// setopt(SHARE, share): checks the value and attaches.
PyObject* do_curl_setopt_share(const CurlAccess& access, PyObject* value);

// Attaches `easy`, whose handle the caller's claim gave as `handle`, to
// `share`: points the easy handle at the share handle, records it in the
// registry and stores the strong reference in easy->share. 0, or -1 with
// an exception set.
int share_register_easy(CurlShareObject* share, CurlObject* easy, CURL* handle);

// Points the easy handle (`handle`, the one the caller's claim or teardown
// gave; null once it is gone) away from the share handle (while it is
// open) and removes the registry entry; easy->share is left to the caller.
// Never leaves an exception set; a pending one survives.
void share_unregister_easy(CurlShareObject* share, CurlObject* easy, CURL* handle);

// Every path on which a Curl lets go of its share (unset, close, clear,
// destruction, a refused push): share_unregister_easy, then easy->share
// is emptied and its reference released, after the mutex is given back.
// Nothing when the Curl has no share.
void share_detach_easy(CurlObject* easy, CURL* handle);

// unsetopt(SHARE) and setopt(SHARE, None): as share_detach_easy, except
// that a libcurl refusal to let go of the handle (a transfer under way in
// a multi) leaves everything attached: -1 with kelvex.error set, else 0.
int share_unset_easy(const CurlAccess& access);

#endif  // KELVEX_SHARE_H

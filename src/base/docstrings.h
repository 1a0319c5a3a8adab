// The declarations of the module's functions and of its types'
// constructors and methods (declare.h): name, parameters and docstring,
// from which the parser's format and the text signature that inspect reads
// are derived; and the docstrings of what takes no arguments (getters, the
// module, types made only by kelvex).  The first line of a docstring's text
// is the signature line that help() and editors show.
#ifndef KELVEX_DOCSTRINGS_H
#define KELVEX_DOCSTRINGS_H

#include "pyutil.h"  // Python.h and curl.h, as every file includes them

#include <climits>

#include "declare.h"

// Module and module functions

PyDoc_STRVAR(kelvex_module_doc,
"This module implements an interface to the cURL library.\n"
"\n"
"Types:\n"
"\n"
"Curl() -> New object.  Create a new curl object.\n"
"CurlMulti() -> New object.  Create a new curl multi object.\n"
"CurlShare() -> New object.  Create a new curl share object.\n"
"\n"
"Functions:\n"
"\n"
"global_init(option) -> None.  Initialize curl environment.\n"
"global_cleanup() -> None.  Cleanup curl environment.\n"
"version_info() -> tuple.  Return version information.");

namespace decl {

inline constexpr auto global_init = declare_function("global_init",
    {positional("option", "i")},
"global_init(option) -> None\n"
"\n"
"Initialize libcurl's process-wide state. ``option`` is a bitmask of the\n"
"GLOBAL_* constants. Not thread-safe: call it before other threads use\n"
"libcurl. Calling it is optional; libcurl initializes itself on the first\n"
"handle.");

inline constexpr auto global_cleanup = declare_function("global_cleanup",
"global_cleanup() -> None\n"
"\n"
"Release libcurl's process-wide state. Not thread-safe.");

inline constexpr auto version_info = declare_function("version_info",
    {positional("stamp", "i", CURLVERSION_NOW)},
"version_info() -> tuple\n"
"\n"
"Return libcurl's version record as a 12-tuple: (age, version,\n"
"version_num, host, features, ssl_version, ssl_version_num, libz_version,\n"
"protocols, ares, ares_num, libidn).");

inline constexpr auto easy_strerror = declare_function("easy_strerror",
    {positional("errornum", "i")},
"easy_strerror(errornum) -> str\n"
"\n"
"Return libcurl's text for an easy-interface error code.");

inline constexpr auto multi_strerror = declare_function("multi_strerror",
    {positional("errornum", "i")},
"multi_strerror(errornum) -> str\n"
"\n"
"Return libcurl's text for a multi-interface error code.");

inline constexpr auto share_strerror = declare_function("share_strerror",
    {positional("errornum", "i")},
"share_strerror(errornum) -> str\n"
"\n"
"Return libcurl's text for a share-interface error code.");

inline constexpr auto url_strerror = declare_function("url_strerror",
    {positional("errornum", "i")},
"url_strerror(errornum) -> str\n"
"\n"
"Return libcurl's text for a URL-interface error code.");

}  // namespace decl

// Curl

namespace decl {

inline constexpr auto curl = declare_type("Curl",
"Curl() -> New Curl object\n"
"\n"
"Implements an interface to the cURL easy handle: set options with\n"
"setopt(), run the transfer with perform(), read results with getinfo().");

inline constexpr auto curl_close = declare_method("close",
"close() -> None\n"
"\n"
"Close the handle and end the libcurl session. Closing twice is harmless.");

inline constexpr auto curl_duphandle = declare_method("duphandle",
"duphandle() -> Curl\n"
"\n"
"Return a copy of this handle with all options, callables and attributes.\n"
"The copy belongs to no multi and no share.");

inline constexpr auto curl_reset = declare_method("reset",
"reset() -> None\n"
"\n"
"Reset every option to its default, dropping callables, lists and post\n"
"data. Attributes, multi membership and share attachment stay.");

inline constexpr auto curl_multi = declare_method("multi",
"multi() -> CurlMulti | None\n"
"\n"
"Return the CurlMulti this handle is added to, or None.");

inline constexpr auto curl_share = declare_method("share",
"share() -> CurlShare | None\n"
"\n"
"Return the CurlShare this handle is attached to, or None.");

}  // namespace decl

PyDoc_STRVAR(curl_closed_doc, "Whether this ``Curl`` object has been closed.");

namespace decl {

inline constexpr auto curl_enter = declare_method("__enter__",
"__enter__() -> Curl\n"
"\n"
"Return this object; leaving the with block closes it.");

inline constexpr auto curl_exit = declare_method("__exit__",
    {rest("args")},
"__exit__(*exc_info) -> None\n"
"\n"
"Close the handle. An exception raised in the block is not suppressed.");

inline constexpr auto curl_getstate = declare_method("__getstate__",
"__getstate__()\n"
"\n"
"Refuse pickling: a libcurl handle cannot be serialized.");

inline constexpr auto curl_setstate = declare_method("__setstate__",
    {rest("args")},
"__setstate__(state)\n"
"\n"
"Refuse unpickling: a libcurl handle cannot be serialized.");

inline constexpr auto curl_perform = declare_method("perform",
"perform() -> None\n"
"\n"
"Run the transfer and return when it is complete. Raises kelvex.error with\n"
"(code, message) on failure.");

inline constexpr auto curl_perform_rb = declare_method("perform_rb",
"perform_rb() -> response_body\n"
"\n"
"Run the transfer and return the response body as bytes.");

inline constexpr auto curl_perform_rs = declare_method("perform_rs",
"perform_rs() -> response_body\n"
"\n"
"Run the transfer and return the response body decoded as UTF-8.");

inline constexpr auto curl_send = declare_method("send",
    {positional("data", "y*")},
"send(bytes) -> count\n"
"\n"
"Send raw data on a connection opened with CONNECT_ONLY. Raises\n"
"BlockingIOError when the socket is not ready.");

inline constexpr auto curl_recv = declare_method("recv",
    {positional("buffersize", "n")},
"recv(buffersize) -> data\n"
"\n"
"Receive at most buffersize bytes on a connection opened with\n"
"CONNECT_ONLY. Raises BlockingIOError when no data is ready.");

inline constexpr auto curl_recv_into = declare_method("recv_into",
    {either("buffer", "w*"), either("nbytes", "n", "0")},
"recv_into(buffer[, nbytes]) -> nbytes\n"
"\n"
"Receive into a writable buffer on a connection opened with CONNECT_ONLY.");

inline constexpr auto curl_pause = declare_method("pause",
    {positional("bitmask", "i", CURLPAUSE_ALL)},
"pause(bitmask=PAUSE_ALL) -> None\n"
"\n"
"Pause or resume receiving and sending. Usable from inside callbacks.");

inline constexpr auto curl_unpause = declare_method("unpause",
"unpause() -> None\n"
"\n"
"Resume a paused transfer in both directions.");

inline constexpr auto curl_setopt = declare_method("setopt",
    {either("option", "i"), either("value", "O"), keyword("use_memoryview", "p", "False")},
"setopt(option, value, *, use_memoryview=False) -> None\n"
"\n"
"Set a libcurl option. Integers, text, lists, callables, file-like objects\n"
"and None (reset) are accepted by option. With use_memoryview=True a\n"
"WRITEFUNCTION or HEADERFUNCTION receives read-only memoryviews that are\n"
"released when it returns.");

inline constexpr auto curl_unsetopt = declare_method("unsetopt",
    {positional("option", "i")},
"unsetopt(option) -> None\n"
"\n"
"Reset an option to its default value.");

inline constexpr auto curl_setopt_string = declare_method("setopt_string",
    {positional("option", "i"), positional("value", "O")},
"setopt_string(option, value) -> None\n"
"\n"
"Set a string option given by number, even one with no module constant.");

inline constexpr auto curl_set_ca_certs = declare_method("set_ca_certs",
    {positional("cadata", "O")},
"set_ca_certs(cadata) -> None\n"
"\n"
"Trust the PEM certificates given as bytes or ASCII text for TLS\n"
"connections of this handle.");

inline constexpr auto curl_getinfo = declare_method("getinfo",
    {positional("option", "i")},
"getinfo(option) -> Result\n"
"\n"
"Return information about the last transfer; text is decoded as UTF-8.");

inline constexpr auto curl_getinfo_raw = declare_method("getinfo_raw",
    {positional("option", "i")},
"getinfo_raw(option) -> Result\n"
"\n"
"Return information about the last transfer; text is returned as bytes.");

inline constexpr auto curl_errstr = declare_method("errstr",
"errstr() -> string\n"
"\n"
"Return the text of libcurl's error buffer for this handle.");

inline constexpr auto curl_errstr_raw = declare_method("errstr_raw",
"errstr_raw() -> byte string\n"
"\n"
"Return the bytes of libcurl's error buffer for this handle.");

inline constexpr auto curl_ws_send = declare_method("ws_send",
    {either("data", "O"),
     either("flags", "O", "None"),
     either("fragsize", "n", "0"),
     either("encoding", "s", "'utf-8'")},
"ws_send(data, flags=None, fragsize=0, encoding='utf-8') -> count\n"
"\n"
"Send one WebSocket frame, or a fragment of one, and return the number of\n"
"bytes libcurl accepted. str data is encoded with encoding and sent as a\n"
"text frame, anything bytes-like as a binary frame, unless flags (WS_TEXT,\n"
"WS_BINARY, WS_CONT, WS_PING, WS_PONG, WS_CLOSE, WS_OFFSET) say otherwise.\n"
"Usable after perform() with CONNECT_ONLY set to 2, or from this handle's\n"
"WRITEFUNCTION callable. Raises BlockingIOError when the socket is not ready.");

inline constexpr auto curl_ws_recv = declare_method("ws_recv",
    {positional("buffersize", "n")},
"ws_recv(buffersize) -> (data, meta)\n"
"\n"
"Receive at most buffersize bytes of WebSocket frame data on a connection\n"
"opened with CONNECT_ONLY set to 2. meta is a WsFrame describing the frame\n"
"the data belongs to, or None. Raises BlockingIOError when no data is ready.");

inline constexpr auto curl_ws_recv_into = declare_method("ws_recv_into",
    {either("buffer", "w*"), either("nbytes", "n", "0")},
"ws_recv_into(buffer[, nbytes]) -> (nbytes, meta)\n"
"\n"
"Receive WebSocket frame data into a writable buffer (at most nbytes bytes,\n"
"or the whole buffer). meta is a WsFrame or None. Raises BlockingIOError\n"
"when no data is ready.");

inline constexpr auto curl_ws_meta = declare_method("ws_meta",
"ws_meta() -> WsFrame or None\n"
"\n"
"Return the metadata of the WebSocket frame being delivered to\n"
"WRITEFUNCTION, or None when there is none.");

inline constexpr auto curl_header = declare_method("header",
    {either("name", "U"),
     either("index", "n", "0"),
     either("origin", "l", "H_HEADER"),
     either("request", "i", "-1")},
"header(name, index=0, origin=H_HEADER, request=-1) -> str\n"
"\n"
"Return the value of one response header as libcurl parsed it: the\n"
"index-th header called name (any case) among those of the given origins\n"
"(H_* bits) of the given request (0 is the first request of the transfer,\n"
"-1 the last one, the default). Raises KeyError when no header has that\n"
"name and IndexError when index or request is out of range. Text is decoded\n"
"as Latin-1.");

inline constexpr auto curl_headers = declare_method("headers",
    {either("origin", "l", "H_HEADER"), either("request", "O", "-1")},
"headers(origin=H_HEADER, request=-1) -> list of CurlHeader\n"
"\n"
"Return the response headers of the given origins (H_* bits) in the order\n"
"they arrived, repeats included, as CurlHeader(name, value, origin, request)\n"
"records. request picks one request of the transfer (0 is the first, -1 the\n"
"last); None gives those of every request, redirects and CONNECT included.\n"
"Text is decoded as Latin-1.");

inline constexpr auto curl_ws_close = declare_method("ws_close",
    {either("code", "O", "None"),
     either("reason", "O", "None"),
     either("encoding", "s", "'utf-8'")},
"ws_close(code=None, reason=None, encoding='utf-8') -> count\n"
"\n"
"Send a WebSocket close frame carrying the status code and the UTF-8\n"
"reason (at most 123 bytes); without a code the frame is empty. Returns the\n"
"number of bytes libcurl accepted.");

}  // namespace decl

// CurlMulti

namespace decl {

inline constexpr auto multi = declare_type("CurlMulti",
    {keyword("close_handles", "p", "False")},
"CurlMulti(close_handles=False) -> New CurlMulti object\n"
"\n"
"Drives many Curl transfers at once. With close_handles=True, close() also\n"
"closes the handles it removes.");

inline constexpr auto multi_add_handle = declare_method("add_handle",
    {positional("curl", "O!")},
"add_handle(Curl object) -> None\n"
"\n"
"Add a configured Curl object to this multi.");

inline constexpr auto multi_remove_handle = declare_method("remove_handle",
    {positional("curl", "O!")},
"remove_handle(Curl object) -> None\n"
"\n"
"Remove a Curl object from this multi.");

inline constexpr auto multi_close = declare_method("close",
"close() -> None\n"
"\n"
"Remove every handle and close the multi handle.");

inline constexpr auto multi_fdset = declare_method("fdset",
"fdset() -> tuple of lists with active file descriptors, readable, writeable, exceptions\n"
"\n"
"Return the file descriptors libcurl waits on.");

inline constexpr auto multi_info_read = declare_method("info_read",
    {positional("max_objects", "i", INT_MAX)},
"info_read([max_objects]) -> tuple(number of queued messages, a list of successful objects, a list of failed objects)\n"
"\n"
"Return finished transfers. Failed ones come as (curl, code, message).");

inline constexpr auto multi_perform = declare_method("perform",
"perform() -> tuple of status and the number of active Curl objects\n"
"\n"
"Run whatever transfers are ready without waiting.");

inline constexpr auto multi_socket_action = declare_method("socket_action",
    {positional("sock_fd", "O"), positional("ev_bitmask", "i")},
"socket_action(sock_fd, ev_bitmask) -> (result, num_running_handles)\n"
"\n"
"Tell libcurl that a socket is ready (or that the timer expired, with\n"
"SOCKET_TIMEOUT).");

inline constexpr auto multi_socket_all = declare_method("socket_all",
"socket_all() -> tuple\n"
"\n"
"Check every socket of every transfer.");

inline constexpr auto multi_setopt = declare_method("setopt",
    {positional("option", "i"), positional("value", "O")},
"setopt(option, value) -> None\n"
"\n"
"Set a multi option: an integer, a list of strings or a callable.");

inline constexpr auto multi_timeout = declare_method("timeout",
"timeout() -> int\n"
"\n"
"Return how many milliseconds to wait before driving the multi, or -1.");

inline constexpr auto multi_assign = declare_method("assign",
    {positional("sock_fd", "O"), positional("object", "O")},
"assign(sock_fd, object) -> None\n"
"\n"
"Associate an object with a socket; the socket callable receives it.");

inline constexpr auto multi_unassign = declare_method("unassign",
    {positional("sock_fd", "O")},
"unassign(sock_fd) -> None\n"
"\n"
"Remove the object associated with a socket.");

inline constexpr auto multi_select = declare_method("select",
    {positional("timeout", "d")},
"select(timeout) -> number of ready file descriptors or 0 on timeout\n"
"\n"
"Wait until one of libcurl's sockets is ready or the timeout (seconds)\n"
"passes.");

inline constexpr auto multi_poll = declare_method("poll",
    {positional("timeout", "d")},
"poll(timeout) -> number of descriptors with activity\n"
"\n"
"Wait in libcurl (curl_multi_poll) until one of its sockets is ready, the\n"
"timeout (seconds) passes or wakeup() is called from another thread; 0\n"
"after a timeout or a wakeup.  The multi is busy while it waits.");

inline constexpr auto multi_wakeup = declare_method("wakeup",
"wakeup() -> None\n"
"\n"
"End a poll() that another thread is waiting in, or the next one; callable\n"
"from any thread at any time.");

inline constexpr auto multi_waitfds = declare_method("waitfds",
"waitfds() -> list of (fd, events)\n"
"\n"
"Return the descriptors libcurl waits on, each with the events it waits\n"
"for (WAIT_POLLIN, WAIT_POLLPRI, WAIT_POLLOUT), for a poll of your own.");

inline constexpr auto multi_get_handles = declare_method("get_handles",
"get_handles() -> list of Curl\n"
"\n"
"Return the Curl objects in the multi.");

inline constexpr auto multi_notify_enable = declare_method("notify_enable",
    {rest("notifications")},
"notify_enable(*notifications) -> None\n"
"\n"
"Enable the given M_NOTIFY_* notifications.");

inline constexpr auto multi_notify_disable = declare_method("notify_disable",
    {rest("notifications")},
"notify_disable(*notifications) -> None\n"
"\n"
"Disable the given M_NOTIFY_* notifications.");

}  // namespace decl

PyDoc_STRVAR(multi_closed_doc, "Whether this ``CurlMulti`` object has been closed.");

// EventCore

namespace decl {

inline constexpr auto core = declare_type("EventCore",
    {either("multi", "O!")},
"EventCore(multi) -> New EventCore object\n"
"\n"
"Drives a CurlMulti with libcurl's socket interface in C++. The core keeps\n"
"libcurl's sockets and timer in an epoll set of its own, so an event loop\n"
"watches one descriptor, fileno(), and calls process() when it turns\n"
"readable; per transfer, Python sees one completion. The multi must have no\n"
"handles and no socket or timer callable; while the core drives it, the\n"
"multi refuses perform(), socket_action(), add_handle(), remove_handle(),\n"
"assign(), close() and those two callables: handles are added through\n"
"add() and leave by themselves when they finish. Every method claims the\n"
"multi like the multi's own methods, and is refused while another thread\n"
"uses it.");

inline constexpr auto core_add = declare_method("add",
    {either("curl", "O!"), either("waiter", "O", "None"), either("body", "p", "False")},
"add(curl, waiter=None, body=False) -> None\n"
"\n"
"Start the transfer of curl. When it ends, process() completes it: with a\n"
"waiter (an object with done(), set_result() and set_exception(), such as\n"
"an asyncio future), waiter.set_result(result) or, for a failed transfer,\n"
"waiter.set_exception(kelvex.error(code, message)), skipped when the waiter\n"
"is done already; without one, process() returns it. With body=True the\n"
"core collects the response body in C++ and the result is that bytes\n"
"object, the handle's own write target coming back when the transfer\n"
"ends; otherwise the body goes to the handle's write target and the\n"
"result is None. Closing curl while its transfer runs ends the transfer\n"
"with kelvex.error('curl object closed during the transfer').");

inline constexpr auto core_remove = declare_method("remove",
    {positional("curl", "O!")},
"remove(curl) -> bool\n"
"\n"
"Cut the transfer of curl if it is in flight: the handle leaves the multi\n"
"(libcurl closes a connection whose transfer was cut) and its waiter is\n"
"left as it is. Return whether there was such a transfer.");

inline constexpr auto core_process = declare_method("process",
    {positional("timeout", "d", "0.0")},
"process(timeout=0.0) -> list[tuple[Curl, object]]\n"
"\n"
"Wait up to timeout seconds for one of libcurl's sockets or its timer to\n"
"be ready, act on everything ready, and complete the transfers that\n"
"finished: their waiters get their results, and the list returned holds\n"
"(curl, result) for those added without a waiter, result being None, the\n"
"body (bytes) or the kelvex.error of the failure; HTTP/2 pushed streams that\n"
"the multi's push callable accepted come back there too. The interpreter is\n"
"detached except for the handles' own callables and the completion. An\n"
"exception that one of those callables left pending (a KeyboardInterrupt,\n"
"say), or a signal's, is raised after the waiters are completed; the\n"
"transfers it kept from being returned come with the next call.");

inline constexpr auto core_fileno = declare_method("fileno",
"fileno() -> int\n"
"\n"
"The descriptor to watch for reading: it is readable while process() has\n"
"work to do.");

inline constexpr auto core_close = declare_method("close",
"close() -> list[tuple[Curl, object]]\n"
"\n"
"Cut every transfer in flight, give the multi back (its socket and timer\n"
"functions removed) and close the descriptors. Return the cut transfers\n"
"as (curl, waiter) pairs, waiter None when there was none; their waiters\n"
"are not completed. Safe to call more than once.");

inline constexpr auto core_future = declare_method("future",
    {positional("curl", "O!"), positional("loop", "O"), positional("body", "p", "False")},
"future(curl, loop, body=False) -> TransferFuture\n"
"\n"
"add(curl, waiter, body) with a new waiter made by the core and returned:\n"
"a future bound to the asyncio event loop loop, awaited like an asyncio\n"
"future (it returns the result, None or the body, or raises the transfer's\n"
"kelvex.error). When process() completes it from the loop's thread with no\n"
"task running, a task awaiting it is stepped at once instead of through\n"
"the loop's queue. Cancelling it does not cut the transfer: remove() does.");

inline constexpr auto core_awaitable = declare_method("awaitable",
    {positional("curl", "O!"),
     positional("loop", "O"),
     positional("body", "p", "False"),
     positional("start", "O", "None")},
"awaitable(curl, loop, body=False, start=None) -> TransferRun\n"
"\n"
"A coroutine of the transfer of curl: its first step starts the transfer\n"
"with future(curl, loop, body) when loop is the running loop and the core\n"
"is open, else with start(curl, body), which must return such a future (or\n"
"raise); it then waits for the future and returns its result. A task\n"
"cancelled while it waits, or throw() and close(), cut the transfer.");

inline constexpr auto core_performer = declare_method("performer",
    {positional("loop", "O"), positional("body", "p", "False"), positional("start", "O", "None")},
"performer(loop, body=False, start=None) -> TransferPerformer\n"
"\n"
"A callable f(curl) that returns awaitable(curl, loop, body, start): the\n"
"perform function of an event-loop integration, made once and called once\n"
"per transfer without a Python function in between.");

}  // namespace decl

PyDoc_STRVAR(transfer_performer_doc,
"performer(curl) -> TransferRun\n"
"\n"
"EventCore.awaitable() with its loop, body and start bound; made by\n"
"EventCore.performer().");

PyDoc_STRVAR(transfer_run_doc,
"The coroutine of one EventCore transfer; made by EventCore.awaitable().");
namespace decl {

inline constexpr auto transfer_run_send = declare_method("send",
    {positional("value", "O")},
"Step the coroutine; only None may be sent.");
inline constexpr auto transfer_run_throw = declare_method("throw",
    {positional("typ", "O"), positional("val", "O", "None"), positional("tb", "O", "None")},
"Raise an exception at the coroutine's await, cutting the transfer.");
inline constexpr auto transfer_run_close = declare_method("close",
"End the coroutine, cutting the transfer.");

}  // namespace decl

PyDoc_STRVAR(transfer_future_doc,
"The future of one EventCore transfer, bound to one asyncio event loop; made\n"
"by EventCore.future(). It has the methods of an asyncio future.");
namespace decl {

inline constexpr auto transfer_future_result = declare_method("result",
"The result; raises the exception of a failed or cancelled future.");
inline constexpr auto transfer_future_exception = declare_method("exception",
"The exception of a failed future, or None.");
inline constexpr auto transfer_future_done = declare_method("done",
"Whether the future is done.");
inline constexpr auto transfer_future_cancelled = declare_method("cancelled",
"Whether the future was cancelled.");
inline constexpr auto transfer_future_cancel = declare_method("cancel",
    {either("msg", "O", "None")},
"Cancel the future unless it is done; return whether it was.");

}  // namespace decl

PyDoc_STRVAR(transfer_future_loop_doc, "The event loop the future is bound to.");
namespace decl {

inline constexpr auto transfer_future_set_result = declare_method("set_result",
    {positional("result", "O")},
"Mark the future done with result.");
inline constexpr auto transfer_future_set_exception = declare_method("set_exception",
    {positional("exception", "O")},
"Mark the future failed with exception.");
inline constexpr auto transfer_future_add_done_callback = declare_method("add_done_callback",
    {positional("fn", "O"), keyword("context", "O", "None")},
"Call fn(future) through the loop's call_soon once the future is done.");
inline constexpr auto transfer_future_remove_done_callback = declare_method("remove_done_callback",
    {positional("fn", "O")},
"Remove every registration of fn; return how many there were.");

}  // namespace decl

PyDoc_STRVAR(core_closed_doc, "Whether this ``EventCore`` has been closed.");
PyDoc_STRVAR(core_multi_doc, "The ``CurlMulti`` this core drives, or None once closed.");

// CurlShare

namespace decl {

inline constexpr auto share = declare_type("CurlShare",
    {keyword("detach_on_close", "p", "True")},
"CurlShare(detach_on_close=True) -> New CurlShare object\n"
"\n"
"Shares cookies, DNS cache, TLS sessions, connections and the public\n"
"suffix list between Curl objects, across threads.");

inline constexpr auto share_close = declare_method("close",
"close() -> None\n"
"\n"
"Close the share handle, detaching idle handles first.");

inline constexpr auto share_setopt = declare_method("setopt",
    {positional("option", "i"), positional("value", "O")},
"setopt(option, value) -> None\n"
"\n"
"Set a share option: SH_SHARE or SH_UNSHARE with a LOCK_DATA_* kind.");

inline constexpr auto share_share = declare_method("share",
    {rest("data")},
"share(*data) -> None\n"
"\n"
"Share the given LOCK_DATA_* kinds. Handles of one share may run on\n"
"different threads, except that libcurl does not support sharing the\n"
"connection pool (LOCK_DATA_CONNECT) between transfers that run\n"
"concurrently on different threads.");

inline constexpr auto share_unshare = declare_method("unshare",
    {rest("data")},
"unshare(*data) -> None\n"
"\n"
"Stop sharing the given LOCK_DATA_* kinds.");

}  // namespace decl

PyDoc_STRVAR(share_closed_doc, "Whether this ``CurlShare`` object has been closed.");

// CurlMime, CurlMimePart and the owner of callback-fed parts

namespace decl {

inline constexpr auto mime = declare_type("CurlMime",
    {either("curl", "O!")},
"Python wrapper for libcurl MIME API.");
inline constexpr auto mime_add = declare_method("add",
    {either("name", "O", "None"),
     either("data", "O", "None"),
     either("file", "O", "None"),
     either("filename", "O", "None"),
     either("content_type", "O", "None"),
     either("headers", "O", "None"),
     either("encoder", "O", "None")},
"Add a part using a keyword-oriented builder API.");
inline constexpr auto mime_add_field = declare_method("add_field",
    {either("name", "O"),
     either("value", "O"),
     either("content_type", "O", "None"),
     either("encoder", "O", "None"),
     either("headers", "O", "None")},
"Add a simple form field part.");
inline constexpr auto mime_add_file = declare_method("add_file",
    {either("name", "O"),
     either("path", "O"),
     either("filename", "O", "None"),
     either("content_type", "O", "None"),
     either("headers", "O", "None"),
     either("encoder", "O", "None")},
"Add a file upload part.");
inline constexpr auto mime_add_multipart = declare_method("add_multipart",
    {either("name", "O", "None"), either("subtype", "O", "None")},
"Add and attach a nested multipart CurlMime.");
inline constexpr auto mime_addpart = declare_method("addpart",
"Create and return a new MIME part.");
inline constexpr auto mime_close = declare_method("close",
"Release the underlying curl_mime handle.");

}  // namespace decl

PyDoc_STRVAR(mime_closed_doc, "Whether this CurlMime object is closed.");

PyDoc_STRVAR(mimepart_doc, "A MIME part belonging to a CurlMime object.");
namespace decl {

inline constexpr auto mimepart_name = declare_method("name",
    {positional("value", "O")},
"Set the name of this MIME part.");
inline constexpr auto mimepart_data = declare_method("data",
    {positional("value", "O")},
"Set in-memory data for this MIME part.");
inline constexpr auto mimepart_data_cb = declare_method("data_cb",
    {either("datasize", "O"),
     either("read", "O"),
     either("seek", "O", "None"),
     either("free", "O", "None"),
     either("userdata", "O", "None")},
"Set callback-based data for this MIME part.");
inline constexpr auto mimepart_filedata = declare_method("filedata",
    {positional("value", "O")},
"Set on-disk file data for this MIME part.");
inline constexpr auto mimepart_filename = declare_method("filename",
    {positional("value", "O")},
"Set the remote filename for this MIME part.");
inline constexpr auto mimepart_type = declare_method("type",
    {positional("value", "O")},
"Set content type for this MIME part.");
inline constexpr auto mimepart_encoder = declare_method("encoder",
    {positional("value", "O")},
"Set content transfer encoding for this MIME part.");
inline constexpr auto mimepart_headers = declare_method("headers",
    {positional("value", "O")},
"Set custom headers for this MIME part.");
inline constexpr auto mimepart_subparts = declare_method("subparts",
    {positional("value", "O")},
"Attach a child CurlMime object as multipart data.");

}  // namespace decl

PyDoc_STRVAR(mime_data_cb_owner_doc, "Internal owner for curl_mime_data_cb callbacks.");

// The protocol methods of CurlMulti, CurlShare and CurlMime: a signature,
// no text.

namespace decl {

inline constexpr auto multi_enter = declare_method("__enter__", "");
inline constexpr auto multi_exit = declare_method("__exit__",
    {positional("exc_type", "O"), positional("exc", "O"), positional("tb", "O")}, "");
inline constexpr auto multi_getstate = declare_method("__getstate__", "");
inline constexpr auto multi_setstate = declare_method("__setstate__",
    {rest("args")}, "");
inline constexpr auto share_enter = declare_method("__enter__", "");
inline constexpr auto share_exit = declare_method("__exit__",
    {rest("args")}, "");
inline constexpr auto share_getstate = declare_method("__getstate__", "");
inline constexpr auto share_setstate = declare_method("__setstate__",
    {rest("args")}, "");
inline constexpr auto mime_enter = declare_method("__enter__", "");
inline constexpr auto mime_exit = declare_method("__exit__",
    {positional("exc_type", "O"), positional("exc", "O"), positional("tb", "O")}, "");
inline constexpr auto core_enter = declare_method("__enter__", "");
inline constexpr auto core_exit = declare_method("__exit__",
    {positional("exc_type", "O"), positional("exc", "O"), positional("tb", "O")}, "");
inline constexpr auto core_getstate = declare_method("__getstate__", "");
inline constexpr auto core_setstate = declare_method("__setstate__",
    {rest("args")}, "");
inline constexpr auto import_checks = declare_function("_import_checks",
    {positional("version_num", "I"), positional("version", "s"), positional("backends", "O")}, "");

}  // namespace decl

// CurlUrl

namespace decl {

inline constexpr auto url = declare_type("CurlUrl",
    {either("url", "O", "None"), either("flags", "L", "0")},
"libcurl's URL parser: a URL held as its parts, parsed, normalised and put\n"
"back together by libcurl (curl_url). url, when given, is parsed with the U_*\n"
"flags. Parts are read and written with get() and set() and named by the\n"
"UPART_* constants; libcurl's refusals raise kelvex.error with a UE_* code and\n"
"libcurl's text. One object may be used from several threads.");

inline constexpr auto url_get = declare_method("get",
    {either("part", "i"), either("flags", "L", "0")},
"get(part, flags=0) -> str\n"
"\n"
"Return one part of the URL (UPART_URL: all of it), with the U_* flags that\n"
"apply when reading (U_DEFAULT_PORT, U_URLDECODE, U_PUNYCODE, ...). A part the\n"
"URL lacks raises kelvex.error with its UE_NO_* code.");

inline constexpr auto url_set = declare_method("set",
    {either("part", "i"), either("value", "O"), either("flags", "L", "0")},
"set(part, value, flags=0) -> None\n"
"\n"
"Set one part of the URL (UPART_URL: parse a whole URL, or resolve a\n"
"relative one against the current URL) from str (encoded as UTF-8) or bytes,\n"
"with the U_* flags that apply when writing (U_URLENCODE, U_APPENDQUERY,\n"
"U_NON_SUPPORT_SCHEME, ...). None removes the part. A value libcurl refuses\n"
"raises kelvex.error and leaves the URL as it was.");

inline constexpr auto url_dup = declare_method("dup",
"dup() -> CurlUrl\n"
"\n"
"Return an independent copy of this URL.");

inline constexpr auto url_copy = declare_method("__copy__",
"Return an independent copy of this URL.");

inline constexpr auto url_deepcopy = declare_method("__deepcopy__",
    {positional("memo", "O")},
"Return an independent copy of this URL, as __copy__ does.");

}  // namespace decl

#endif  // KELVEX_DOCSTRINGS_H

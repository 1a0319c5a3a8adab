// Docstrings of the module, its types and their methods. Each callable's
// starts with its text signature, "name($self, ...)\n--\n\n", which the
// interpreter takes off __doc__ and serves as __text_signature__ (so that
// inspect.signature and help() read it); the rest is __doc__, whose first
// line is the signature line that help() and editors show.
#ifndef KELVEX_DOCSTRINGS_H
#define KELVEX_DOCSTRINGS_H

#include <Python.h>

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

PyDoc_STRVAR(global_init_doc,
"global_init($module, option, /)\n"
"--\n"
"\n"
"global_init(option) -> None\n"
"\n"
"Initialize libcurl's process-wide state. ``option`` is a bitmask of the\n"
"GLOBAL_* constants. Not thread-safe: call it before other threads use\n"
"libcurl. Calling it is optional; libcurl initializes itself on the first\n"
"handle.");

PyDoc_STRVAR(global_cleanup_doc,
"global_cleanup($module, /)\n"
"--\n"
"\n"
"global_cleanup() -> None\n"
"\n"
"Release libcurl's process-wide state. Not thread-safe.");

PyDoc_STRVAR(version_info_doc,
"version_info($module, stamp=11, /)\n"
"--\n"
"\n"
"version_info() -> tuple\n"
"\n"
"Return libcurl's version record as a 12-tuple: (age, version,\n"
"version_num, host, features, ssl_version, ssl_version_num, libz_version,\n"
"protocols, ares, ares_num, libidn).");

PyDoc_STRVAR(easy_strerror_doc,
"easy_strerror($module, errornum, /)\n"
"--\n"
"\n"
"easy_strerror(errornum) -> str\n"
"\n"
"Return libcurl's text for an easy-interface error code.");

PyDoc_STRVAR(multi_strerror_doc,
"multi_strerror($module, errornum, /)\n"
"--\n"
"\n"
"multi_strerror(errornum) -> str\n"
"\n"
"Return libcurl's text for a multi-interface error code.");

PyDoc_STRVAR(share_strerror_doc,
"share_strerror($module, errornum, /)\n"
"--\n"
"\n"
"share_strerror(errornum) -> str\n"
"\n"
"Return libcurl's text for a share-interface error code.");

PyDoc_STRVAR(url_strerror_doc,
"url_strerror($module, errornum, /)\n"
"--\n"
"\n"
"url_strerror(errornum) -> str\n"
"\n"
"Return libcurl's text for a URL-interface error code.");

// Curl

PyDoc_STRVAR(curl_doc,
"Curl()\n"
"--\n"
"\n"
"Curl() -> New Curl object\n"
"\n"
"Implements an interface to the cURL easy handle: set options with\n"
"setopt(), run the transfer with perform(), read results with getinfo().");

PyDoc_STRVAR(curl_close_doc,
"close($self, /)\n"
"--\n"
"\n"
"close() -> None\n"
"\n"
"Close the handle and end the libcurl session. Closing twice is harmless.");

PyDoc_STRVAR(curl_duphandle_doc,
"duphandle($self, /)\n"
"--\n"
"\n"
"duphandle() -> Curl\n"
"\n"
"Return a copy of this handle with all options, callables and attributes.\n"
"The copy belongs to no multi and no share.");

PyDoc_STRVAR(curl_reset_doc,
"reset($self, /)\n"
"--\n"
"\n"
"reset() -> None\n"
"\n"
"Reset every option to its default, dropping callables, lists and post\n"
"data. Attributes, multi membership and share attachment stay.");

PyDoc_STRVAR(curl_multi_doc,
"multi($self, /)\n"
"--\n"
"\n"
"multi() -> CurlMulti | None\n"
"\n"
"Return the CurlMulti this handle is added to, or None.");

PyDoc_STRVAR(curl_share_doc,
"share($self, /)\n"
"--\n"
"\n"
"share() -> CurlShare | None\n"
"\n"
"Return the CurlShare this handle is attached to, or None.");

PyDoc_STRVAR(curl_closed_doc, "Whether this ``Curl`` object has been closed.");

PyDoc_STRVAR(curl_enter_doc,
"__enter__($self, /)\n"
"--\n"
"\n"
"__enter__() -> Curl\n"
"\n"
"Return this object; leaving the with block closes it.");

PyDoc_STRVAR(curl_exit_doc,
"__exit__($self, *args)\n"
"--\n"
"\n"
"__exit__(*exc_info) -> None\n"
"\n"
"Close the handle. An exception raised in the block is not suppressed.");

PyDoc_STRVAR(curl_getstate_doc,
"__getstate__($self, /)\n"
"--\n"
"\n"
"__getstate__()\n"
"\n"
"Refuse pickling: a libcurl handle cannot be serialized.");

PyDoc_STRVAR(curl_setstate_doc,
"__setstate__($self, *args)\n"
"--\n"
"\n"
"__setstate__(state)\n"
"\n"
"Refuse unpickling: a libcurl handle cannot be serialized.");

PyDoc_STRVAR(curl_perform_doc,
"perform($self, /)\n"
"--\n"
"\n"
"perform() -> None\n"
"\n"
"Run the transfer and return when it is complete. Raises kelvex.error with\n"
"(code, message) on failure.");

PyDoc_STRVAR(curl_perform_rb_doc,
"perform_rb($self, /)\n"
"--\n"
"\n"
"perform_rb() -> response_body\n"
"\n"
"Run the transfer and return the response body as bytes.");

PyDoc_STRVAR(curl_perform_rs_doc,
"perform_rs($self, /)\n"
"--\n"
"\n"
"perform_rs() -> response_body\n"
"\n"
"Run the transfer and return the response body decoded as UTF-8.");

PyDoc_STRVAR(curl_send_doc,
"send($self, data, /)\n"
"--\n"
"\n"
"send(bytes) -> count\n"
"\n"
"Send raw data on a connection opened with CONNECT_ONLY. Raises\n"
"BlockingIOError when the socket is not ready.");

PyDoc_STRVAR(curl_recv_doc,
"recv($self, buffersize, /)\n"
"--\n"
"\n"
"recv(buffersize) -> data\n"
"\n"
"Receive at most buffersize bytes on a connection opened with\n"
"CONNECT_ONLY. Raises BlockingIOError when no data is ready.");

PyDoc_STRVAR(curl_recv_into_doc,
"recv_into($self, buffer, nbytes=0)\n"
"--\n"
"\n"
"recv_into(buffer[, nbytes]) -> nbytes\n"
"\n"
"Receive into a writable buffer on a connection opened with CONNECT_ONLY.");

PyDoc_STRVAR(curl_pause_doc,
"pause($self, bitmask=5, /)\n"
"--\n"
"\n"
"pause(bitmask=PAUSE_ALL) -> None\n"
"\n"
"Pause or resume receiving and sending. Usable from inside callbacks.");

PyDoc_STRVAR(curl_unpause_doc,
"unpause($self, /)\n"
"--\n"
"\n"
"unpause() -> None\n"
"\n"
"Resume a paused transfer in both directions.");

PyDoc_STRVAR(curl_setopt_doc,
"setopt($self, option, value, *, use_memoryview=False)\n"
"--\n"
"\n"
"setopt(option, value, *, use_memoryview=False) -> None\n"
"\n"
"Set a libcurl option. Integers, text, lists, callables, file-like objects\n"
"and None (reset) are accepted by option. With use_memoryview=True a\n"
"WRITEFUNCTION or HEADERFUNCTION receives read-only memoryviews that are\n"
"released when it returns.");

PyDoc_STRVAR(curl_unsetopt_doc,
"unsetopt($self, option, /)\n"
"--\n"
"\n"
"unsetopt(option) -> None\n"
"\n"
"Reset an option to its default value.");

PyDoc_STRVAR(curl_setopt_string_doc,
"setopt_string($self, option, value, /)\n"
"--\n"
"\n"
"setopt_string(option, value) -> None\n"
"\n"
"Set a string option given by number, even one with no module constant.");

PyDoc_STRVAR(curl_set_ca_certs_doc,
"set_ca_certs($self, cadata, /)\n"
"--\n"
"\n"
"set_ca_certs() -> None\n"
"\n"
"Trust the PEM certificates given as bytes or ASCII text for TLS\n"
"connections of this handle.");

PyDoc_STRVAR(curl_getinfo_doc,
"getinfo($self, option, /)\n"
"--\n"
"\n"
"getinfo(option) -> Result\n"
"\n"
"Return information about the last transfer; text is decoded as UTF-8.");

PyDoc_STRVAR(curl_getinfo_raw_doc,
"getinfo_raw($self, option, /)\n"
"--\n"
"\n"
"getinfo_raw(option) -> Result\n"
"\n"
"Return information about the last transfer; text is returned as bytes.");

PyDoc_STRVAR(curl_errstr_doc,
"errstr($self, /)\n"
"--\n"
"\n"
"errstr() -> string\n"
"\n"
"Return the text of libcurl's error buffer for this handle.");

PyDoc_STRVAR(curl_errstr_raw_doc,
"errstr_raw($self, /)\n"
"--\n"
"\n"
"errstr_raw() -> byte string\n"
"\n"
"Return the bytes of libcurl's error buffer for this handle.");

PyDoc_STRVAR(curl_ws_send_doc,
"ws_send($self, data, flags=None, fragsize=0, encoding='utf-8')\n"
"--\n"
"\n"
"ws_send(data, flags=None, fragsize=0, encoding='utf-8') -> count\n"
"\n"
"Send one WebSocket frame, or a fragment of one, and return the number of\n"
"bytes libcurl accepted. str data is encoded with encoding and sent as a\n"
"text frame, anything bytes-like as a binary frame, unless flags (WS_TEXT,\n"
"WS_BINARY, WS_CONT, WS_PING, WS_PONG, WS_CLOSE, WS_OFFSET) say otherwise.\n"
"Usable after perform() with CONNECT_ONLY set to 2, or from this handle's\n"
"WRITEFUNCTION callable. Raises BlockingIOError when the socket is not ready.");

PyDoc_STRVAR(curl_ws_recv_doc,
"ws_recv($self, buffersize, /)\n"
"--\n"
"\n"
"ws_recv(buffersize) -> (data, meta)\n"
"\n"
"Receive at most buffersize bytes of WebSocket frame data on a connection\n"
"opened with CONNECT_ONLY set to 2. meta is a WsFrame describing the frame\n"
"the data belongs to, or None. Raises BlockingIOError when no data is ready.");

PyDoc_STRVAR(curl_ws_recv_into_doc,
"ws_recv_into($self, buffer, nbytes=0)\n"
"--\n"
"\n"
"ws_recv_into(buffer[, nbytes]) -> (nbytes, meta)\n"
"\n"
"Receive WebSocket frame data into a writable buffer (at most nbytes bytes,\n"
"or the whole buffer). meta is a WsFrame or None. Raises BlockingIOError\n"
"when no data is ready.");

PyDoc_STRVAR(curl_ws_meta_doc,
"ws_meta($self, /)\n"
"--\n"
"\n"
"ws_meta() -> WsFrame or None\n"
"\n"
"Return the metadata of the WebSocket frame being delivered to\n"
"WRITEFUNCTION, or None when there is none.");

PyDoc_STRVAR(curl_header_doc,
"header($self, /, name, index=0, origin=H_HEADER, request=-1)\n"
"--\n"
"\n"
"header(name, index=0, origin=H_HEADER, request=-1) -> str\n"
"\n"
"Return the value of one response header as libcurl parsed it: the\n"
"index-th header called name (any case) among those of the given origins\n"
"(H_* bits) of the given request (0 is the first request of the transfer,\n"
"-1 the last one, the default). Raises KeyError when no header has that\n"
"name and IndexError when index or request is out of range. Text is decoded\n"
"as Latin-1.");

PyDoc_STRVAR(curl_headers_doc,
"headers($self, /, origin=H_HEADER, request=-1)\n"
"--\n"
"\n"
"headers(origin=H_HEADER, request=-1) -> list of CurlHeader\n"
"\n"
"Return the response headers of the given origins (H_* bits) in the order\n"
"they arrived, repeats included, as CurlHeader(name, value, origin, request)\n"
"records. request picks one request of the transfer (0 is the first, -1 the\n"
"last); None gives those of every request, redirects and CONNECT included.\n"
"Text is decoded as Latin-1.");

PyDoc_STRVAR(curl_ws_close_doc,
"ws_close($self, code=None, reason=None, encoding='utf-8')\n"
"--\n"
"\n"
"ws_close(code=None, reason=None, encoding='utf-8') -> count\n"
"\n"
"Send a WebSocket close frame carrying the status code and the UTF-8\n"
"reason (at most 123 bytes); without a code the frame is empty. Returns the\n"
"number of bytes libcurl accepted.");

// CurlMulti

PyDoc_STRVAR(multi_doc,
"CurlMulti(*, close_handles=False)\n"
"--\n"
"\n"
"CurlMulti(close_handles=False) -> New CurlMulti object\n"
"\n"
"Drives many Curl transfers at once. With close_handles=True, close() also\n"
"closes the handles it removes.");

PyDoc_STRVAR(multi_add_handle_doc,
"add_handle($self, curl, /)\n"
"--\n"
"\n"
"add_handle(Curl object) -> None\n"
"\n"
"Add a configured Curl object to this multi.");

PyDoc_STRVAR(multi_remove_handle_doc,
"remove_handle($self, curl, /)\n"
"--\n"
"\n"
"remove_handle(Curl object) -> None\n"
"\n"
"Remove a Curl object from this multi.");

PyDoc_STRVAR(multi_close_doc,
"close($self, /)\n"
"--\n"
"\n"
"close() -> None\n"
"\n"
"Remove every handle and close the multi handle.");

PyDoc_STRVAR(multi_fdset_doc,
"fdset($self, /)\n"
"--\n"
"\n"
"fdset() -> tuple of lists with active file descriptors, readable, writeable, exceptions\n"
"\n"
"Return the file descriptors libcurl waits on.");

PyDoc_STRVAR(multi_info_read_doc,
"info_read($self, max_objects=2147483647, /)\n"
"--\n"
"\n"
"info_read([max_objects]) -> tuple(number of queued messages, a list of successful objects, a list of failed objects)\n"
"\n"
"Return finished transfers. Failed ones come as (curl, code, message).");

PyDoc_STRVAR(multi_perform_doc,
"perform($self, /)\n"
"--\n"
"\n"
"perform() -> tuple of status and the number of active Curl objects\n"
"\n"
"Run whatever transfers are ready without waiting.");

PyDoc_STRVAR(multi_socket_action_doc,
"socket_action($self, sock_fd, ev_bitmask, /)\n"
"--\n"
"\n"
"socket_action(sock_fd, ev_bitmask) -> (result, num_running_handles)\n"
"\n"
"Tell libcurl that a socket is ready (or that the timer expired, with\n"
"SOCKET_TIMEOUT).");

PyDoc_STRVAR(multi_socket_all_doc,
"socket_all($self, /)\n"
"--\n"
"\n"
"socket_all() -> tuple\n"
"\n"
"Check every socket of every transfer.");

PyDoc_STRVAR(multi_setopt_doc,
"setopt($self, option, value, /)\n"
"--\n"
"\n"
"setopt(option, value) -> None\n"
"\n"
"Set a multi option: an integer, a list of strings or a callable.");

PyDoc_STRVAR(multi_timeout_doc,
"timeout($self, /)\n"
"--\n"
"\n"
"timeout() -> int\n"
"\n"
"Return how many milliseconds to wait before driving the multi, or -1.");

PyDoc_STRVAR(multi_assign_doc,
"assign($self, sock_fd, object, /)\n"
"--\n"
"\n"
"assign(sock_fd, object) -> None\n"
"\n"
"Associate an object with a socket; the socket callable receives it.");

PyDoc_STRVAR(multi_unassign_doc,
"unassign($self, sock_fd, /)\n"
"--\n"
"\n"
"unassign(sock_fd) -> None\n"
"\n"
"Remove the object associated with a socket.");

PyDoc_STRVAR(multi_select_doc,
"select($self, timeout, /)\n"
"--\n"
"\n"
"select([timeout]) -> number of ready file descriptors or 0 on timeout\n"
"\n"
"Wait until one of libcurl's sockets is ready or the timeout (seconds)\n"
"passes.");

PyDoc_STRVAR(multi_poll_doc,
"poll($self, timeout, /)\n"
"--\n"
"\n"
"poll(timeout) -> number of descriptors with activity\n"
"\n"
"Wait in libcurl (curl_multi_poll) until one of its sockets is ready, the\n"
"timeout (seconds) passes or wakeup() is called from another thread; 0\n"
"after a timeout or a wakeup.  The multi is busy while it waits.");

PyDoc_STRVAR(multi_wakeup_doc,
"wakeup($self, /)\n"
"--\n"
"\n"
"wakeup() -> None\n"
"\n"
"End a poll() that another thread is waiting in, or the next one; callable\n"
"from any thread at any time.");

PyDoc_STRVAR(multi_waitfds_doc,
"waitfds($self, /)\n"
"--\n"
"\n"
"waitfds() -> list of (fd, events)\n"
"\n"
"Return the descriptors libcurl waits on, each with the events it waits\n"
"for (WAIT_POLLIN, WAIT_POLLPRI, WAIT_POLLOUT), for a poll of your own.");

PyDoc_STRVAR(multi_get_handles_doc,
"get_handles($self, /)\n"
"--\n"
"\n"
"get_handles() -> list of Curl\n"
"\n"
"Return the Curl objects in the multi.");

PyDoc_STRVAR(multi_notify_enable_doc,
"notify_enable($self, *notifications)\n"
"--\n"
"\n"
"notify_enable(*notifications) -> None\n"
"\n"
"Enable the given M_NOTIFY_* notifications.");

PyDoc_STRVAR(multi_notify_disable_doc,
"notify_disable($self, *notifications)\n"
"--\n"
"\n"
"notify_disable(*notifications) -> None\n"
"\n"
"Disable the given M_NOTIFY_* notifications.");

PyDoc_STRVAR(multi_closed_doc, "Whether this ``CurlMulti`` object has been closed.");

// EventCore

PyDoc_STRVAR(core_doc,
"EventCore(multi)\n"
"--\n"
"\n"
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

PyDoc_STRVAR(core_add_doc,
"add($self, /, curl, waiter=None, body=False)\n"
"--\n"
"\n"
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

PyDoc_STRVAR(core_remove_doc,
"remove($self, curl, /)\n"
"--\n"
"\n"
"remove(curl) -> bool\n"
"\n"
"Cut the transfer of curl if it is in flight: the handle leaves the multi\n"
"(libcurl closes a connection whose transfer was cut) and its waiter is\n"
"left as it is. Return whether there was such a transfer.");

PyDoc_STRVAR(core_process_doc,
"process($self, timeout=0.0, /)\n"
"--\n"
"\n"
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

PyDoc_STRVAR(core_fileno_doc,
"fileno($self, /)\n"
"--\n"
"\n"
"fileno() -> int\n"
"\n"
"The descriptor to watch for reading: it is readable while process() has\n"
"work to do.");

PyDoc_STRVAR(core_close_doc,
"close($self, /)\n"
"--\n"
"\n"
"close() -> list[tuple[Curl, object]]\n"
"\n"
"Cut every transfer in flight, give the multi back (its socket and timer\n"
"functions removed) and close the descriptors. Return the cut transfers\n"
"as (curl, waiter) pairs, waiter None when there was none; their waiters\n"
"are not completed. Safe to call more than once.");

PyDoc_STRVAR(core_future_doc,
"future($self, curl, loop, body=False, /)\n"
"--\n"
"\n"
"future(curl, loop, body=False) -> TransferFuture\n"
"\n"
"add(curl, waiter, body) with a new waiter made by the core and returned:\n"
"a future bound to the asyncio event loop loop, awaited like an asyncio\n"
"future (it returns the result, None or the body, or raises the transfer's\n"
"kelvex.error). When process() completes it from the loop's thread with no\n"
"task running, a task awaiting it is stepped at once instead of through\n"
"the loop's queue. Cancelling it does not cut the transfer: remove() does.");

PyDoc_STRVAR(core_awaitable_doc,
"awaitable($self, curl, loop, body=False, start=None, /)\n"
"--\n"
"\n"
"awaitable(curl, loop, body=False, start=None) -> TransferRun\n"
"\n"
"A coroutine of the transfer of curl: its first step starts the transfer\n"
"with future(curl, loop, body) when loop is the running loop and the core\n"
"is open, else with start(curl, body), which must return such a future (or\n"
"raise); it then waits for the future and returns its result. A task\n"
"cancelled while it waits, or throw() and close(), cut the transfer.");

PyDoc_STRVAR(core_performer_doc,
"performer($self, loop, body=False, start=None, /)\n"
"--\n"
"\n"
"performer(loop, body=False, start=None) -> TransferPerformer\n"
"\n"
"A callable f(curl) that returns awaitable(curl, loop, body, start): the\n"
"perform function of an event-loop integration, made once and called once\n"
"per transfer without a Python function in between.");

PyDoc_STRVAR(transfer_performer_doc,
"performer(curl) -> TransferRun\n"
"\n"
"EventCore.awaitable() with its loop, body and start bound; made by\n"
"EventCore.performer().");

PyDoc_STRVAR(transfer_run_doc,
"The coroutine of one EventCore transfer; made by EventCore.awaitable().");
PyDoc_STRVAR(transfer_run_send_doc,
"send($self, value, /)\n--\n\nStep the coroutine; only None may be sent.");
PyDoc_STRVAR(transfer_run_throw_doc,
"throw($self, typ, val=None, tb=None, /)\n--\n\n"
"Raise an exception at the coroutine's await, cutting the transfer.");
PyDoc_STRVAR(transfer_run_close_doc,
"close($self, /)\n--\n\nEnd the coroutine, cutting the transfer.");

PyDoc_STRVAR(transfer_future_doc,
"The future of one EventCore transfer, bound to one asyncio event loop; made\n"
"by EventCore.future(). It has the methods of an asyncio future.");
PyDoc_STRVAR(transfer_future_result_doc,
"result($self, /)\n--\n\nThe result; raises the exception of a failed or cancelled future.");
PyDoc_STRVAR(transfer_future_exception_doc,
"exception($self, /)\n--\n\nThe exception of a failed future, or None.");
PyDoc_STRVAR(transfer_future_done_doc, "done($self, /)\n--\n\nWhether the future is done.");
PyDoc_STRVAR(transfer_future_cancelled_doc,
"cancelled($self, /)\n--\n\nWhether the future was cancelled.");
PyDoc_STRVAR(transfer_future_cancel_doc,
"cancel($self, /, msg=None)\n--\n\nCancel the future unless it is done; return whether it was.");
PyDoc_STRVAR(transfer_future_loop_doc, "The event loop the future is bound to.");
PyDoc_STRVAR(transfer_future_set_result_doc,
"set_result($self, result, /)\n--\n\nMark the future done with result.");
PyDoc_STRVAR(transfer_future_set_exception_doc,
"set_exception($self, exception, /)\n--\n\nMark the future failed with exception.");
PyDoc_STRVAR(transfer_future_add_done_callback_doc,
"add_done_callback($self, fn, /, *, context=None)\n--\n\n"
"Call fn(future) through the loop's call_soon once the future is done.");
PyDoc_STRVAR(transfer_future_remove_done_callback_doc,
"remove_done_callback($self, fn, /)\n--\n\n"
"Remove every registration of fn; return how many there were.");

PyDoc_STRVAR(core_closed_doc, "Whether this ``EventCore`` has been closed.");
PyDoc_STRVAR(core_multi_doc, "The ``CurlMulti`` this core drives, or None once closed.");

// CurlShare

PyDoc_STRVAR(share_doc,
"CurlShare(*, detach_on_close=True)\n"
"--\n"
"\n"
"CurlShare(detach_on_close=True) -> New CurlShare object\n"
"\n"
"Shares cookies, DNS cache, TLS sessions, connections and the public\n"
"suffix list between Curl objects, across threads.");

PyDoc_STRVAR(share_close_doc,
"close($self, /)\n"
"--\n"
"\n"
"close() -> None\n"
"\n"
"Close the share handle, detaching idle handles first.");

PyDoc_STRVAR(share_setopt_doc,
"setopt($self, option, value, /)\n"
"--\n"
"\n"
"setopt(option, value) -> None\n"
"\n"
"Set a share option: SH_SHARE or SH_UNSHARE with a LOCK_DATA_* kind.");

PyDoc_STRVAR(share_share_doc,
"share($self, *data)\n"
"--\n"
"\n"
"share(*data) -> None\n"
"\n"
"Share the given LOCK_DATA_* kinds. Handles of one share may run on\n"
"different threads, except that libcurl does not support sharing the\n"
"connection pool (LOCK_DATA_CONNECT) between transfers that run\n"
"concurrently on different threads.");

PyDoc_STRVAR(share_unshare_doc,
"unshare($self, *data)\n"
"--\n"
"\n"
"unshare(*data) -> None\n"
"\n"
"Stop sharing the given LOCK_DATA_* kinds.");

PyDoc_STRVAR(share_closed_doc, "Whether this ``CurlShare`` object has been closed.");

// CurlMime, CurlMimePart and the owner of callback-fed parts

PyDoc_STRVAR(mime_doc,
"CurlMime(curl)\n"
"--\n"
"\n"
"Python wrapper for libcurl MIME API.");
PyDoc_STRVAR(mime_add_doc,
"add($self, name=None, data=None, file=None, filename=None, content_type=None, headers=None, encoder=None)\n"
"--\n"
"\n"
"Add a part using a keyword-oriented builder API.");
PyDoc_STRVAR(mime_add_field_doc,
"add_field($self, name, value, content_type=None, encoder=None, headers=None)\n"
"--\n"
"\n"
"Add a simple form field part.");
PyDoc_STRVAR(mime_add_file_doc,
"add_file($self, name, path, filename=None, content_type=None, headers=None, encoder=None)\n"
"--\n"
"\n"
"Add a file upload part.");
PyDoc_STRVAR(mime_add_multipart_doc,
"add_multipart($self, name=None, subtype=None)\n"
"--\n"
"\n"
"Add and attach a nested multipart CurlMime.");
PyDoc_STRVAR(mime_addpart_doc,
"addpart($self, /)\n"
"--\n"
"\n"
"Create and return a new MIME part.");
PyDoc_STRVAR(mime_close_doc,
"close($self, /)\n"
"--\n"
"\n"
"Release the underlying curl_mime handle.");
PyDoc_STRVAR(mime_closed_doc, "Whether this CurlMime object is closed.");

PyDoc_STRVAR(mimepart_doc, "A MIME part belonging to a CurlMime object.");
PyDoc_STRVAR(mimepart_name_doc,
"name($self, value, /)\n"
"--\n"
"\n"
"Set the name of this MIME part.");
PyDoc_STRVAR(mimepart_data_doc,
"data($self, value, /)\n"
"--\n"
"\n"
"Set in-memory data for this MIME part.");
PyDoc_STRVAR(mimepart_data_cb_doc,
"data_cb($self, datasize, read, seek=None, free=None, userdata=None)\n"
"--\n"
"\n"
"Set callback-based data for this MIME part.");
PyDoc_STRVAR(mimepart_filedata_doc,
"filedata($self, value, /)\n"
"--\n"
"\n"
"Set on-disk file data for this MIME part.");
PyDoc_STRVAR(mimepart_filename_doc,
"filename($self, value, /)\n"
"--\n"
"\n"
"Set the remote filename for this MIME part.");
PyDoc_STRVAR(mimepart_type_doc,
"type($self, value, /)\n"
"--\n"
"\n"
"Set content type for this MIME part.");
PyDoc_STRVAR(mimepart_encoder_doc,
"encoder($self, value, /)\n"
"--\n"
"\n"
"Set content transfer encoding for this MIME part.");
PyDoc_STRVAR(mimepart_headers_doc,
"headers($self, value, /)\n"
"--\n"
"\n"
"Set custom headers for this MIME part.");
PyDoc_STRVAR(mimepart_subparts_doc,
"subparts($self, value, /)\n"
"--\n"
"\n"
"Attach a child CurlMime object as multipart data.");

PyDoc_STRVAR(mime_data_cb_owner_doc, "Internal owner for curl_mime_data_cb callbacks.");

// The protocol methods of CurlMulti, CurlShare and CurlMime: a signature,
// no text.

PyDoc_STRVAR(multi_enter_doc, "__enter__($self, /)\n--\n\n");
PyDoc_STRVAR(multi_exit_doc, "__exit__($self, exc_type, exc, tb, /)\n--\n\n");
PyDoc_STRVAR(multi_getstate_doc, "__getstate__($self, /)\n--\n\n");
PyDoc_STRVAR(multi_setstate_doc, "__setstate__($self, *args)\n--\n\n");
PyDoc_STRVAR(share_enter_doc, "__enter__($self, /)\n--\n\n");
PyDoc_STRVAR(share_exit_doc, "__exit__($self, *args)\n--\n\n");
PyDoc_STRVAR(share_getstate_doc, "__getstate__($self, /)\n--\n\n");
PyDoc_STRVAR(share_setstate_doc, "__setstate__($self, *args)\n--\n\n");
PyDoc_STRVAR(mime_enter_doc, "__enter__($self, /)\n--\n\n");
PyDoc_STRVAR(mime_exit_doc, "__exit__($self, exc_type, exc, tb, /)\n--\n\n");
PyDoc_STRVAR(core_enter_doc, "__enter__($self, /)\n--\n\n");
PyDoc_STRVAR(core_exit_doc, "__exit__($self, exc_type, exc, tb, /)\n--\n\n");
PyDoc_STRVAR(core_getstate_doc, "__getstate__($self, /)\n--\n\n");
PyDoc_STRVAR(core_setstate_doc, "__setstate__($self, *args)\n--\n\n");
PyDoc_STRVAR(import_checks_doc, "_import_checks($module, version_num, version, backends, /)\n--\n\n");

// CurlUrl

PyDoc_STRVAR(url_doc,
"CurlUrl(url=None, flags=0)\n"
"--\n"
"\n"
"libcurl's URL parser: a URL held as its parts, parsed, normalised and put\n"
"back together by libcurl (curl_url). url, when given, is parsed with the U_*\n"
"flags. Parts are read and written with get() and set() and named by the\n"
"UPART_* constants; libcurl's refusals raise kelvex.error with a UE_* code and\n"
"libcurl's text. One object may be used from several threads.");

PyDoc_STRVAR(url_get_doc,
"get($self, /, part, flags=0)\n"
"--\n"
"\n"
"get(part, flags=0) -> str\n"
"\n"
"Return one part of the URL (UPART_URL: all of it), with the U_* flags that\n"
"apply when reading (U_DEFAULT_PORT, U_URLDECODE, U_PUNYCODE, ...). A part the\n"
"URL lacks raises kelvex.error with its UE_NO_* code.");

PyDoc_STRVAR(url_set_doc,
"set($self, /, part, value, flags=0)\n"
"--\n"
"\n"
"set(part, value, flags=0) -> None\n"
"\n"
"Set one part of the URL (UPART_URL: parse a whole URL, or resolve a\n"
"relative one against the current URL) from str (encoded as UTF-8) or bytes,\n"
"with the U_* flags that apply when writing (U_URLENCODE, U_APPENDQUERY,\n"
"U_NON_SUPPORT_SCHEME, ...). None removes the part. A value libcurl refuses\n"
"raises kelvex.error and leaves the URL as it was.");

PyDoc_STRVAR(url_dup_doc,
"dup($self, /)\n"
"--\n"
"\n"
"dup() -> CurlUrl\n"
"\n"
"Return an independent copy of this URL.");

PyDoc_STRVAR(url_copy_doc,
"__copy__($self, /)\n"
"--\n"
"\n"
"Return an independent copy of this URL.");

PyDoc_STRVAR(url_deepcopy_doc,
"__deepcopy__($self, memo, /)\n"
"--\n"
"\n"
"Return an independent copy of this URL, as __copy__ does.");

#endif  // KELVEX_DOCSTRINGS_H

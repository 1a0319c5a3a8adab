#!/usr/bin/env python3
"""Fails when code reaches a libcurl handle outside a guard.

Methods get the handle they use from their guard (CurlAccess, MultiAccess,
MimeAccess, ShareAccess: `access.handle()`), whose constructor took the
claim and the critical section.  The raw fields of the records (`handle`,
`multi_handle`, `mime_handle`, `part`, `share_handle`) may otherwise only be
tested against null; any other use must sit in one of the functions listed
in ALLOWED below, each with the reason it may: the guards themselves, the
code that creates and tears handles down (under a TeardownGuard or on an
object no other thread can reach yet), and helpers whose every caller holds
the guard of the handle they use.

Run with source files (or none, for src/): prints each use found outside
the list as FILE:LINE: FUNCTION: TEXT and exits 1 if there is any.
"""
from __future__ import annotations

import pathlib
import re
import sys

# (file, function): why the raw handle may be used there.
ALLOWED: dict[tuple[str, str], str] = {}


def allow(file: str, reason: str, *functions: str) -> None:
    for function in functions:
        ALLOWED[(file, function)] = reason


GUARDS = "the guard that hands the handle out"
CREATION = "a new object, reachable by no other thread yet"
TEARDOWN = "teardown, under a TeardownGuard or the slot its caller claimed"
CLAIMED = "every caller holds the guard of this handle"
CALLBACK = "a libcurl callback, run inside the call that holds the handle's slot"

allow("access.cpp", GUARDS, "CurlAccess::handle", "MultiAccess::handle", "MultiAccess::member",
      "MimeAccess::handle", "MimeAccess::part_handle", "ShareAccess::handle")
allow("easy.cpp", CREATION, "do_curl_new", "util_curl_init", "util_curl_adopt_copy")
allow("multi.cpp", CREATION, "do_multi_new")
allow("easy.cpp", TEARDOWN, "do_curl_clear", "util_curl_close", "util_curl_give_back")
allow("easy.cpp", "the copy is new; the source is held by the method's CurlAccess",
      "do_curl_duphandle")
allow("easy.h", CLAIMED, "curl_set_progress_calls")
allow("easycbnotify.cpp", CLAIMED, "install_progress_trampoline")
allow("easycbsocket.cpp", CLAIMED, "closesocket_link")
allow("easyopt.cpp", CLAIMED, "curl_restore_write_target", "do_curl_setopt_callable",
      "do_curl_setopt_httppost", "do_curl_setopt_int", "do_curl_setopt_list",
      "do_curl_setopt_string_impl", "setopt_blob", "setopt_copypostfields", "setopt_postfields",
      "unsetopt_callable", "util_curl_unsetopt")
allow("eventcore.cpp", CLAIMED, "cut_all", "let_go_of_multi", "drive", "restore_handle")
allow("eventcore.cpp", CALLBACK, "core_socket_callback")
allow("eventcore.cpp", TEARDOWN, "forget_closed")
allow("eventcore.cpp", "read under the Curl's own section as a key of the core's table, "
      "never passed to libcurl", "table_find_curl")
allow("mime.cpp", CLAIMED, "do_curl_setopt_mimepost")
allow("mime.cpp", TEARDOWN, "curlmime_clear", "curlmime_detach_from_curl")
allow("mimepart.cpp", "the child document belongs to the same Curl, whose claim the part's "
      "MimeAccess holds", "do_mimepart_subparts")
allow("multi.cpp", CLAIMED, "do_multi_setopt_callable", "do_multi_setopt_list")
allow("multi.cpp", TEARDOWN, "multi_close_member", "util_multi_close", "util_multi_detach_easies")
allow("share.cpp", CREATION, "do_share_new")
allow("share.cpp", TEARDOWN, "do_share_dealloc")
allow("share.cpp", "under the share's ShareAccess, each Curl taken by its own slot",
      "share_cleanup_and_count_live_easies")
allow("share.cpp", "the Curl is held by its caller's guard, the share by its mutex",
      "share_register_easy", "detach_handle_locked")

HANDLE_FIELDS = r"(?:handle|multi_handle|mime_handle|part|share_handle)"
FIELD = re.compile(r"(?:->|\.)" + HANDLE_FIELDS + r"\b(?!\s*\()")
# Comparing a handle's address, or storing one, does not use the handle.
HARMLESS = re.compile(
    r"(?:->|\.)" + HANDLE_FIELDS + r"\s*(?:[!=]=|=(?!=))"
    r"|[!=]=\s*(?:\w+(?:->|\.)|as_curl\([^()]*\)->)" + HANDLE_FIELDS + r"\b")
DEFINITION = re.compile(
    r"^(?!(?:return|if|else|for|while|switch|case|namespace|struct|class|enum|using|typedef|"
    r"static_assert|template|extern|public|private|protected)\b)"
    r"[A-Za-z_][\w:<>,\*&\s]*?[\s\*&]((?:\w+::)?~?\w+)\s*\(")
CONSTRUCTOR = re.compile(r"^((?:\w+::)~?\w+)\s*\(")
COMMENT = re.compile(r"//.*$")


def scan(path: pathlib.Path) -> list[str]:
    found = []
    function = "<file scope>"
    for number, raw in enumerate(path.read_text().splitlines(), 1):
        line = COMMENT.sub("", raw)
        if line and not line[0].isspace() and line[0] not in "#}/":
            match = DEFINITION.match(line) or CONSTRUCTOR.match(line)
            if match:
                function = match.group(1)
        if not FIELD.search(line):
            continue
        if not FIELD.search(HARMLESS.sub("", line)):
            continue
        if (path.name, function) in ALLOWED:
            continue
        found.append(f"{path}:{number}: {function}: {raw.strip()}")
    return found


def main(argv: list[str]) -> int:
    root = pathlib.Path(__file__).resolve().parent.parent / "src"
    paths = [pathlib.Path(a) for a in argv] or sorted(
        p for p in root.iterdir() if p.suffix in (".cpp", ".h"))
    found = [line for path in paths for line in scan(path)]
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} use(s) of a libcurl handle outside a guard; take it from the "
              "method's guard (access.h), or list the function in scripts/check_guards.py "
              "with the reason it may", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

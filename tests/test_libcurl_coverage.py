"""Every option libcurl has at run time is either a kelvex name or listed,
with its reason, among the options left out (docs/libcurl-coverage.rst)."""

import ctypes
import os
import re

import pytest

import kelvex
from kelvex import _kelvex

DOC = os.path.join(os.path.dirname(__file__), os.pardir, "docs", "libcurl-coverage.rst")

# The plain names of these size options select libcurl's 64-bit variants.
WIDENED = {"INFILESIZE", "RESUME_FROM", "MAXFILESIZE", "POSTFIELDSIZE"}
CURLOT_FLAG_ALIAS = 1


class EasyOption(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("id", ctypes.c_int), ("type", ctypes.c_int),
                ("flags", ctypes.c_uint)]


def loaded_libcurl() -> ctypes.CDLL:
    """The libcurl this process runs kelvex with (a wheel's private copy
    included), found among the mapped files."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if re.search(r"/libcurl[^/]*\.so", path):
                return ctypes.CDLL(path)
    pytest.skip("no libcurl mapped into this process")


def libcurl_options() -> list[tuple[str, int, int]]:
    lib = loaded_libcurl()
    lib.curl_easy_option_next.restype = ctypes.POINTER(EasyOption)
    lib.curl_easy_option_next.argtypes = [ctypes.POINTER(EasyOption)]
    found = []
    item = lib.curl_easy_option_next(None)
    while item:
        found.append((item.contents.name.decode(), item.contents.id, item.contents.flags))
        item = lib.curl_easy_option_next(item)
    return found


def left_out(caption: str) -> set[str]:
    with open(DOC) as f:
        text = f.read()
    table = text.split(f".. list-table:: {caption}", 1)[1].split(".. list-table::", 1)[0]
    return set(re.findall(r"^   \* - ``(\w+)``", table, re.M)) - {"option", "info", "multi"}


def reachable(name: str, number: int) -> bool:
    for candidate in (name, "OPT_" + name):
        if getattr(_kelvex, candidate, None) == number:
            return True
    return name in WIDENED and hasattr(_kelvex, name)


def test_every_libcurl_option_is_reachable_or_listed_as_left_out():
    options = libcurl_options()
    assert len(options) > 250
    listed = left_out("Easy options left out")
    reached_numbers = {number for name, number, _ in options if reachable(name, number)}
    missing = [
        name for name, number, flags in options
        if not reachable(name, number) and name not in listed
        # libcurl's older names reach what their current names reach
        and not (flags & CURLOT_FLAG_ALIAS and number in reached_numbers)
    ]
    assert missing == []


def test_left_out_options_are_libcurl_options_kelvex_does_not_name():
    names = {name for name, _, _ in libcurl_options()}
    listed = left_out("Easy options left out")
    assert listed <= names
    assert [name for name in listed if hasattr(_kelvex, name)] == []


@pytest.mark.parametrize("name", ["ALTSVC", "SSH_HOSTKEYFUNCTION", "PROTOCOLS_STR",
                                  "HAPPY_EYEBALLS_TIMEOUT_MS", "UPLOAD_FLAGS", "TCP_KEEPCNT"])
def test_newer_options_are_attributes_of_curl_objects(name):
    with kelvex.Curl() as c:
        assert getattr(c, name) == getattr(kelvex, name)

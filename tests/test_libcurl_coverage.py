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


def libcurl_option_records() -> list[tuple[str, int, int, int]]:
    """(name, id, flags, type) of every option libcurl lists at run time."""
    lib = loaded_libcurl()
    lib.curl_easy_option_next.restype = ctypes.POINTER(EasyOption)
    lib.curl_easy_option_next.argtypes = [ctypes.POINTER(EasyOption)]
    found = []
    item = lib.curl_easy_option_next(None)
    while item:
        o = item.contents
        found.append((o.name.decode(), o.id, o.flags, o.type))
        item = lib.curl_easy_option_next(item)
    return found


def libcurl_options() -> list[tuple[str, int, int]]:
    return [(name, number, flags) for name, number, flags, _ in libcurl_option_records()]


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


# Every option added beyond the first tables, with a value libcurl takes.
NEWER_OPTIONS = [
    ("SERVER_RESPONSE_TIMEOUT", 30), ("SERVER_RESPONSE_TIMEOUT_MS", 30000),
    ("DNS_SHUFFLE_ADDRESSES", 1), ("STREAM_WEIGHT", 32), ("TFTP_NO_OPTIONS", 1),
    ("KEEP_SENDING_ON_ERROR", 1), ("SUPPRESS_CONNECT_HEADERS", 1),
    ("SOCKS5_AUTH", kelvex.HTTPAUTH_BASIC), ("SSH_COMPRESSION", 1), ("TIMEVALUE_LARGE", 2**33),
    ("HAPPY_EYEBALLS_TIMEOUT_MS", 100), ("DISALLOW_USERNAME_IN_URL", 1),
    ("UPKEEP_INTERVAL_MS", 1000), ("ALTSVC_CTRL", kelvex.ALTSVC_H1 | kelvex.ALTSVC_H2),
    ("MAIL_RCPT_ALLOWFAILS", 1), ("DOH_SSL_VERIFYPEER", 0), ("DOH_SSL_VERIFYHOST", 0),
    ("DOH_SSL_VERIFYSTATUS", 0), ("MIME_OPTIONS", kelvex.MIMEOPT_FORMESCAPE),
    ("CA_CACHE_TIMEOUT", 60), ("QUICK_EXIT", 1), ("TCP_KEEPCNT", 3),
    ("UPLOAD_FLAGS", kelvex.ULFLAG_SEEN | kelvex.ULFLAG_FLAGGED),
    ("DNS_INTERFACE", "lo"), ("DNS_LOCAL_IP4", "127.0.0.1"), ("DNS_LOCAL_IP6", "::1"),
    ("ABSTRACT_UNIX_SOCKET", "kelvex-test"), ("ALTSVC", "ALTSVC_FILE"),
    ("SASL_AUTHZID", "someone"), ("SSL_EC_CURVES", "X25519:P-256"),
    ("SSH_HOST_PUBLIC_KEY_SHA256", "NDVkMTQxMGQ1ODdmMjQ3MjczYjAyOTY5MmRkMjVmNDQ="),
    ("PROTOCOLS_STR", "http,https"), ("REDIR_PROTOCOLS_STR", "https"),
    ("SSL_SIGNATURE_ALGORITHMS", "ECDSA+SHA256:RSA-PSS+SHA256"),
] + ([("HTTPSIG_ALGORITHM", kelvex.HTTPSIG_ED25519), ("HTTPSIG_KEY", "00ff"),
      ("HTTPSIG_KEYID", "key-1"), ("HTTPSIG_HEADERS", "@method @path")]
     if hasattr(kelvex, "HTTPSIG_KEY") else [])

# Options that reach libcurl but that a libcurl build may lack (the DNS ones
# need c-ares, the signature ones a feature of their own): libcurl then
# answers that it does not know them.
BUILD_DEPENDENT = {"DNS_INTERFACE", "DNS_LOCAL_IP4", "DNS_LOCAL_IP6", "HTTPSIG_ALGORITHM",
                   "HTTPSIG_KEY", "HTTPSIG_KEYID", "HTTPSIG_HEADERS"}


@pytest.mark.parametrize("name, value", NEWER_OPTIONS, ids=[n for n, _ in NEWER_OPTIONS])
def test_newer_options_take_their_kind_of_value(curl, name, value, tmp_path):
    option = getattr(kelvex, name)
    if value == "ALTSVC_FILE":
        # libcurl writes the cache there when the handle closes.
        value = str(tmp_path / "altsvc.txt")
    accepted = True
    try:
        curl.setopt(option, value)
    except kelvex.error as exc:
        assert name in BUILD_DEPENDENT
        assert exc.args[0] in (kelvex.E_UNKNOWN_OPTION, kelvex.E_NOT_BUILT_IN)
        accepted = False
    wrong = 1 if isinstance(value, str) else "1"
    with pytest.raises(TypeError, match="not supported for this option"):
        curl.setopt(option, wrong)
    if isinstance(value, str) and accepted:
        curl.unsetopt(option)


@pytest.mark.parametrize("name", ["SSH_HOSTKEYFUNCTION", "INTERLEAVEFUNCTION"])
def test_newer_callable_options_take_and_drop_callables(curl, name):
    option = getattr(kelvex, name)
    curl.setopt(option, lambda *args: 0)
    curl.setopt(option, None)
    with pytest.raises(TypeError, match="integers are not supported"):
        curl.setopt(option, 1)


def test_protocols_str_refuses_a_scheme(curl, http_server):
    curl.setopt(kelvex.PROTOCOLS_STR, "https")
    curl.setopt(kelvex.URL, f"{http_server.url}/get")
    with pytest.raises(kelvex.error) as info:
        curl.perform_rb()
    assert info.value.args[0] == kelvex.E_UNSUPPORTED_PROTOCOL
    curl.setopt(kelvex.PROTOCOLS_STR, "http,https")
    curl.perform_rb()
    assert curl.getinfo(kelvex.RESPONSE_CODE) == 200
    with pytest.raises(kelvex.error) as info:
        curl.setopt(kelvex.PROTOCOLS_STR, "no-such-scheme")
    assert info.value.args[0] in (kelvex.E_BAD_FUNCTION_ARGUMENT, kelvex.E_UNSUPPORTED_PROTOCOL)


def test_redir_protocols_str_refuses_a_redirect_scheme(curl, http_server):
    target = f"{http_server.url}/get".replace("http://", "ftp://", 1)
    curl.setopt(kelvex.URL, f"{http_server.url}/redirect-to?url={target}")
    curl.setopt(kelvex.FOLLOWLOCATION, 1)
    curl.setopt(kelvex.REDIR_PROTOCOLS_STR, "http")
    with pytest.raises(kelvex.error) as info:
        curl.perform_rb()
    assert info.value.args[0] == kelvex.E_UNSUPPORTED_PROTOCOL
    assert curl.getinfo(kelvex.RESPONSE_CODE) == 302


def test_happy_eyeballs_and_shuffled_addresses_still_connect(curl, http_server):
    # localhost resolves to ::1 as well; the server listens on 127.0.0.1 only,
    # so whatever order the shuffle gives, the IPv4 address must win.
    curl.setopt(kelvex.URL, f"http://localhost:{http_server.port}/get")
    curl.setopt(kelvex.HAPPY_EYEBALLS_TIMEOUT_MS, 50)
    curl.setopt(kelvex.DNS_SHUFFLE_ADDRESSES, 1)
    for _ in range(4):
        curl.setopt(kelvex.FRESH_CONNECT, 1)
        curl.perform_rb()
        assert curl.getinfo(kelvex.RESPONSE_CODE) == 200
        assert curl.getinfo(kelvex.PRIMARY_IP) == "127.0.0.1"


def test_disallow_username_in_url(curl, http_server):
    curl.setopt(kelvex.DISALLOW_USERNAME_IN_URL, 1)
    curl.setopt(kelvex.URL, f"http://user:pw@127.0.0.1:{http_server.port}/get")
    with pytest.raises(kelvex.error) as info:
        curl.perform_rb()
    assert info.value.args[0] == kelvex.E_LOGIN_DENIED


@pytest.mark.parametrize("name, value", [
    ("M_NETWORK_CHANGED", 0), ("M_RESOLVE_THREADS_MAX", 4), ("M_QUICK_EXIT", 1)])
def test_newer_multi_options_take_integers(name, value):
    if not hasattr(kelvex, name):
        pytest.skip(f"the libcurl headers of this build do not declare {name}")
    with kelvex.CurlMulti() as multi:
        multi.setopt(getattr(kelvex, name), value)
        with pytest.raises(TypeError):
            multi.setopt(getattr(kelvex, name), "1")


# libcurl's option types (curl_easytype) and a value of each kind; OBJECT
# and CBPTR options take kelvex objects or Python files of their own sort,
# and are tested where they are used.
CURLOT_VALUES_BY_TYPE = {0: 0, 1: 0, 2: 0, 4: "STRING", 5: ["X-Kelvex: 1"], 7: b"blob",
                         8: (lambda *args: 0)}


def test_every_named_option_takes_a_value_of_libcurls_type(tmp_path):
    refused = []
    for name, number, flags, kind in libcurl_option_records():
        if flags & CURLOT_FLAG_ALIAS or kind not in CURLOT_VALUES_BY_TYPE or \
                not reachable(name, number):
            continue
        value = CURLOT_VALUES_BY_TYPE[kind]
        if value == "STRING":
            value = str(tmp_path / name.lower())  # a path, for the options that write one
        with kelvex.Curl() as c:
            try:
                c.setopt(number, value)
            except kelvex.error:
                pass  # libcurl's own verdict on the value
            except TypeError as exc:
                refused.append(f"{name}: {exc}")
    assert refused == []

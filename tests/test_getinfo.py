"""Transfer information: getinfo, getinfo_raw, errstr and errstr_raw."""

import errno
import socket
import warnings

import pytest

import kelvex

LONG, DOUBLE, DEPRECATED, STRING, OFFSET, SLIST, CERTS, SOCKET = (
    "long", "double", "deprecated", "string", "offset", "slist", "certs", "socket")

# Every value getinfo accepts, by the conversion it gets.
INFO_GROUPS = {
    LONG: ["RESPONSE_CODE", "HTTP_CODE", "HEADER_SIZE", "REQUEST_SIZE", "SSL_VERIFYRESULT",
           "INFO_FILETIME", "REDIRECT_COUNT", "HTTP_CONNECTCODE", "HTTPAUTH_AVAIL",
           "PROXYAUTH_AVAIL", "OS_ERRNO", "NUM_CONNECTS", "CONDITION_UNMET",
           "INFO_RTSP_CLIENT_CSEQ", "INFO_RTSP_SERVER_CSEQ", "INFO_RTSP_CSEQ_RECV",
           "PRIMARY_PORT", "LOCAL_PORT", "INFO_HTTP_VERSION", "PROXY_SSL_VERIFYRESULT",
           "PROXY_ERROR", "USED_PROXY", "HTTPAUTH_USED", "PROXYAUTH_USED"],
    DOUBLE: ["TOTAL_TIME", "NAMELOOKUP_TIME", "CONNECT_TIME", "PRETRANSFER_TIME",
             "STARTTRANSFER_TIME", "REDIRECT_TIME", "APPCONNECT_TIME"],
    DEPRECATED: ["SIZE_UPLOAD", "SIZE_DOWNLOAD", "SPEED_DOWNLOAD", "SPEED_UPLOAD",
                 "CONTENT_LENGTH_DOWNLOAD", "CONTENT_LENGTH_UPLOAD"],
    STRING: ["EFFECTIVE_URL", "CONTENT_TYPE", "FTP_ENTRY_PATH", "REDIRECT_URL", "PRIMARY_IP",
             "INFO_RTSP_SESSION_ID", "LOCAL_IP", "EFFECTIVE_METHOD", "SCHEME", "INFO_REFERER",
             "INFO_CAINFO", "INFO_CAPATH"],
    OFFSET: ["SIZE_UPLOAD_T", "SIZE_DOWNLOAD_T", "SPEED_DOWNLOAD_T", "SPEED_UPLOAD_T",
             "FILETIME_T", "CONTENT_LENGTH_DOWNLOAD_T", "CONTENT_LENGTH_UPLOAD_T",
             "TOTAL_TIME_T", "NAMELOOKUP_TIME_T", "CONNECT_TIME_T", "PRETRANSFER_TIME_T",
             "STARTTRANSFER_TIME_T", "REDIRECT_TIME_T", "APPCONNECT_TIME_T", "QUEUE_TIME_T",
             "POSTTRANSFER_TIME_T", "EARLYDATA_SENT_T", "RETRY_AFTER", "XFER_ID", "CONN_ID"]
            + (["SIZE_DELIVERED"] if hasattr(kelvex, "SIZE_DELIVERED") else []),
    SLIST: ["SSL_ENGINES", "INFO_COOKIELIST"],
    CERTS: ["INFO_CERTINFO"],
    SOCKET: ["ACTIVESOCKET", "LASTSOCKET"],
}
ALL_INFO = [(name, group) for group, names in INFO_GROUPS.items() for name in names]


@pytest.fixture
def fetched(curl, http_server):
    """A handle after a plain GET of 123 bytes."""
    body = []
    curl.setopt(kelvex.URL, f"{http_server.url}/range/123")
    curl.setopt(kelvex.WRITEFUNCTION, body.append)
    curl.perform()
    assert len(b"".join(body)) == 123
    return curl


def _closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---------------------------------------------------------------------------
# Groups
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("name, group", ALL_INFO, ids=[name for name, _ in ALL_INFO])
def test_every_accepted_value_converts_by_its_group(fetched, name, group):
    option = getattr(kelvex, name)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        value = fetched.getinfo(option)
        raw = fetched.getinfo_raw(option)
    deprecations = [str(w.message) for w in caught if w.category is DeprecationWarning]
    assert deprecations == (["getinfo option is deprecated"] * 2 if group == DEPRECATED else [])

    if group in (LONG, OFFSET, SOCKET):
        assert type(value) is int and type(raw) is int
    elif group in (DOUBLE, DEPRECATED):
        assert type(value) is float and type(raw) is float
    elif group == STRING:
        assert value is None or type(value) is str
        assert raw == (None if value is None else value.encode())
    elif group == SLIST:
        assert type(value) is list and all(type(item) is str for item in value)
        assert raw == [item.encode() for item in value]
    else:
        # Plain HTTP collects no certificates: an empty chain, not None.
        assert value == [] and raw == []


def test_values_of_a_plain_get(fetched, http_server):
    g = fetched.getinfo
    assert g(kelvex.RESPONSE_CODE) == g(kelvex.HTTP_CODE) == 200
    assert g(kelvex.EFFECTIVE_URL) == f"{http_server.url}/range/123"
    assert g(kelvex.EFFECTIVE_METHOD) == "GET"
    assert g(kelvex.PRIMARY_IP) == g(kelvex.LOCAL_IP) == "127.0.0.1"
    assert g(kelvex.PRIMARY_PORT) == http_server.port
    assert 0 < g(kelvex.LOCAL_PORT) < 65536
    assert g(kelvex.SIZE_DOWNLOAD_T) == g(kelvex.CONTENT_LENGTH_DOWNLOAD_T) == 123
    assert g(kelvex.SIZE_UPLOAD_T) == 0
    assert g(kelvex.HEADER_SIZE) > 0 and g(kelvex.REQUEST_SIZE) > 0
    assert g(kelvex.INFO_HTTP_VERSION) == kelvex.CURL_HTTP_VERSION_1_1
    assert g(kelvex.TOTAL_TIME) >= g(kelvex.CONNECT_TIME) >= 0.0
    assert g(kelvex.TOTAL_TIME_T) >= 0
    # libcurl has no value for these: None from both variants.
    for option in (kelvex.REDIRECT_URL, kelvex.FTP_ENTRY_PATH, kelvex.INFO_RTSP_SESSION_ID):
        assert g(option) is None
        assert fetched.getinfo_raw(option) is None
    assert fetched.getinfo_raw(kelvex.CONTENT_TYPE) == b"application/octet-stream"
    assert g(kelvex.INFO_COOKIELIST) == []


def test_values_of_the_newer_items(curl, http_server):
    curl.setopt(kelvex.URL, f"{http_server.url}/response-headers?Retry-After=7")
    curl.setopt(kelvex.REFERER, "http://referer.invalid/")
    curl.setopt(kelvex.HTTPAUTH, kelvex.HTTPAUTH_BASIC)
    curl.setopt(kelvex.USERPWD, "user:pass")
    body = curl.perform_rb()
    g = curl.getinfo
    assert g(kelvex.SCHEME) == "http"
    assert g(kelvex.INFO_REFERER) == "http://referer.invalid/"
    assert g(kelvex.RETRY_AFTER) == 7
    assert g(kelvex.HTTPAUTH_USED) == kelvex.HTTPAUTH_BASIC
    assert g(kelvex.USED_PROXY) == 0 and g(kelvex.PROXYAUTH_USED) == 0
    assert g(kelvex.PROXY_ERROR) == kelvex.PX_OK
    if hasattr(kelvex, "SIZE_DELIVERED"):
        assert g(kelvex.SIZE_DELIVERED) == len(body)
    first_transfer, first_connection = g(kelvex.XFER_ID), g(kelvex.CONN_ID)
    assert first_transfer >= 0 and first_connection >= 0
    curl.perform_rb()
    # A new transfer on the kept connection.
    assert g(kelvex.XFER_ID) > first_transfer and g(kelvex.CONN_ID) == first_connection


def test_fresh_handle_answers_with_libcurl_defaults(curl):
    assert curl.getinfo(kelvex.RESPONSE_CODE) == 0
    assert curl.getinfo(kelvex.CONTENT_TYPE) is None
    assert curl.getinfo(kelvex.ACTIVESOCKET) == curl.getinfo(kelvex.LASTSOCKET) == -1


def test_deprecated_double_warns_on_every_call_and_still_answers(fetched):
    for _ in range(2):
        with pytest.warns(DeprecationWarning, match="^getinfo option is deprecated$"):
            assert fetched.getinfo(kelvex.SIZE_DOWNLOAD) == 123.0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert fetched.getinfo(kelvex.SIZE_DOWNLOAD_T) == 123
        with pytest.raises(DeprecationWarning, match="getinfo option is deprecated"):
            fetched.getinfo_raw(kelvex.SPEED_DOWNLOAD)


def test_socket_of_a_connect_only_transfer(curl, raw_server):
    def hold(sock):
        sock.recv(1)  # returns when the client closes

    port = raw_server(hold)
    curl.setopt(kelvex.URL, f"http://127.0.0.1:{port}")
    curl.setopt(kelvex.CONNECT_ONLY, 1)
    curl.perform()
    active = curl.getinfo(kelvex.ACTIVESOCKET)
    assert active >= 0
    assert curl.getinfo(kelvex.LASTSOCKET) == curl.getinfo_raw(kelvex.LASTSOCKET) == active
    peer = socket.socket(fileno=active)
    try:
        assert peer.getpeername() == ("127.0.0.1", port)
    finally:
        peer.detach()
    curl.close()  # lets the server's handler see the end of the connection


def test_os_errno_of_a_refused_connection(curl):
    curl.setopt(kelvex.URL, f"http://127.0.0.1:{_closed_port()}/")
    with pytest.raises(kelvex.error) as info:
        curl.perform()
    assert info.value.args[0] == kelvex.E_COULDNT_CONNECT
    assert curl.getinfo(kelvex.OS_ERRNO) == errno.ECONNREFUSED


def test_cookie_list_is_converted_and_freed(curl, http_server):
    curl.setopt(kelvex.URL, f"{http_server.url}/cookies/set?flavour=oat&size=big")
    curl.setopt(kelvex.COOKIEFILE, "")
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.perform()
    cookies = curl.getinfo(kelvex.INFO_COOKIELIST)
    raw = curl.getinfo_raw(kelvex.INFO_COOKIELIST)
    assert sorted(line.split("\t")[5:] for line in cookies) == [["flavour", "oat"],
                                                                  ["size", "big"]]
    assert raw == [line.encode() for line in cookies]


@pytest.mark.parametrize("raw", [False, True], ids=["str", "bytes"])
def test_certificate_chain_of_a_tls_transfer(curl, https_server, raw):
    curl.setopt(kelvex.URL, f"{https_server.url}/range/8")
    curl.setopt(kelvex.CAINFO, https_server.ca_path)
    curl.setopt(kelvex.OPT_CERTINFO, 1)
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    curl.perform()
    chain = (curl.getinfo_raw if raw else curl.getinfo)(kelvex.INFO_CERTINFO)
    text = bytes if raw else str

    def t(s):
        return s.encode() if raw else s

    assert type(chain) is list and len(chain) >= 1
    leaf = chain[0]
    assert type(leaf) is tuple
    pairs = dict(field for field in leaf if type(field) is tuple)
    assert all(type(k) is text and type(v) is text for k, v in pairs.items())
    assert t("Subject") in pairs and t("Issuer") in pairs
    # Split at the first colon only: the value keeps the colons of the time.
    assert pairs[t("Start date")].count(t(":")) == 2
    assert pairs[t("Cert")].startswith(t("-----BEGIN CERTIFICATE-----"))


def test_text_that_is_not_utf8(curl, raw_server):
    def answer(sock):
        sock.recv(65536)
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/\xff\xfe\r\n"
                     b"Content-Length: 0\r\nConnection: close\r\n\r\n")

    curl.setopt(kelvex.URL, f"http://127.0.0.1:{raw_server(answer)}/")
    curl.perform()
    assert curl.getinfo_raw(kelvex.CONTENT_TYPE) == b"text/\xff\xfe"
    with pytest.raises(UnicodeDecodeError):
        curl.getinfo(kelvex.CONTENT_TYPE)


# ---------------------------------------------------------------------------
# Refusals and their order
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "option",
    [0, -1, 12345, 0x100015, kelvex.INFO_CERTINFO + 1, kelvex.LASTSOCKET + 0x300000,
     kelvex.RESPONSE_CODE + 0x100000],
    ids=["zero", "negative", "unknown", "string-without-constant", "after-certinfo",
         "lastsocket-as-socket", "response-code-retagged"],
)
@pytest.mark.parametrize("method", ["getinfo", "getinfo_raw"])
def test_values_outside_the_table_are_refused(curl, method, option):
    with pytest.raises(ValueError, match="(?m)^invalid argument to getinfo$"):
        getattr(curl, method)(option)


@pytest.mark.parametrize(
    "args, exc",
    [((), TypeError), (("1",), TypeError), ((1.0,), TypeError), ((2**31,), OverflowError),
     ((1, 2), TypeError)],
)
@pytest.mark.parametrize("method", ["getinfo", "getinfo_raw"])
def test_argument_errors_come_from_the_parser(curl, method, args, exc):
    with pytest.raises(exc):
        getattr(curl, method)(*args)


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda c: c.getinfo(12345), "getinfo"),
        (lambda c: c.getinfo_raw(12345), "getinfo"),
        (lambda c: c.getinfo(kelvex.SIZE_DOWNLOAD), "getinfo"),
        (lambda c: c.errstr(), "errstr"),
        (lambda c: c.errstr_raw(), "errstr"),
    ],
    ids=["getinfo", "getinfo_raw", "deprecated", "errstr", "errstr_raw"],
)
def test_closed_handle_is_reported_before_anything_else(call, name):
    c = kelvex.Curl()
    c.close()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(kelvex.error) as info:
            call(c)
    assert info.value.args == (f"cannot invoke {name}() - no curl handle",)


@pytest.mark.parametrize("driver", ["easy", "multi"])
def test_running_transfer_refuses_information(curl, http_server, driver):
    refusals = []

    def write(data):
        for call in (lambda: curl.getinfo(kelvex.RESPONSE_CODE),
                     lambda: curl.getinfo_raw(kelvex.EFFECTIVE_URL),
                     lambda: curl.errstr(), lambda: curl.errstr_raw()):
            try:
                call()
            except kelvex.error as exc:
                refusals.append(exc.args[0])

    curl.setopt(kelvex.URL, f"{http_server.url}/range/10")
    curl.setopt(kelvex.WRITEFUNCTION, write)
    if driver == "easy":
        curl.perform()
    else:
        m = kelvex.CurlMulti()
        m.add_handle(curl)
        for _ in range(10000):
            if not m.perform()[1]:
                break
            # Between the multi's driving calls the handle is idle.
            assert type(curl.getinfo(kelvex.TOTAL_TIME)) is float
            m.select(0.05)
        m.close()
    assert refusals[:4] == [
        "cannot invoke getinfo() - perform() is currently running",
        "cannot invoke getinfo() - perform() is currently running",
        "cannot invoke errstr() - perform() is currently running",
        "cannot invoke errstr() - perform() is currently running",
    ]
    assert curl.getinfo(kelvex.RESPONSE_CODE) == 200


# ---------------------------------------------------------------------------
# Error buffer
# ---------------------------------------------------------------------------


def test_error_buffer_is_empty_on_a_fresh_handle(curl):
    assert curl.errstr() == ""
    assert curl.errstr_raw() == b""


def test_error_buffer_holds_libcurls_detailed_text(curl):
    curl.setopt(kelvex.URL, "http://no-such-host.invalid/")
    with pytest.raises(kelvex.error) as info:
        curl.perform()
    code, message = info.value.args
    assert code == kelvex.E_COULDNT_RESOLVE_HOST
    assert "no-such-host.invalid" in message
    assert curl.errstr() == message
    assert curl.errstr_raw() == message.encode()


def test_error_text_never_exceeds_the_buffer(curl):
    host = ".".join(["a" * 60] * 4) + ".invalid"
    curl.setopt(kelvex.URL, f"http://{host}/")
    with pytest.raises(kelvex.error):
        curl.perform()
    text = curl.errstr_raw()
    assert 0 < len(text) <= 256
    assert curl.errstr().encode() == text

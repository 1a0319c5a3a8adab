"""What a failure tells: this call's error and nothing older, the exception
of the callable that ended a transfer as the error's cause, and notes that
name the option and the values it takes."""

import socket

import pytest

import kelvex

REFUSED_URL = "http://127.0.0.1:1/"


def _failed_transfer(c):
    c.setopt(kelvex.URL, REFUSED_URL)
    with pytest.raises(kelvex.error) as info:
        c.perform()
    assert info.value.args[0] == kelvex.E_COULDNT_CONNECT
    return info.value.args[1]


def _setopt_error(c, option, value):
    with pytest.raises(kelvex.error) as info:
        c.setopt(option, value)
    return info.value


def test_setopt_failure_after_failed_transfer_is_its_own(curl):
    transfer_text = _failed_transfer(curl)
    error = _setopt_error(curl, kelvex.TIMEOUT_MS, -5)
    assert error.args[0] == kelvex.E_BAD_FUNCTION_ARGUMENT
    assert error.args[1] != transfer_text
    # The transfer's text is still there for errstr().
    assert curl.errstr() == transfer_text


def test_each_bad_setopt_reports_itself(curl):
    first = _setopt_error(curl, kelvex.TIMEOUT_MS, -5)
    assert "0x9b" in first.args[1]  # libcurl names the option it refused
    for option, value in [(kelvex.SSLVERSION, 1234), (kelvex.PROXYTYPE, 77)]:
        later = _setopt_error(curl, option, value)
        assert later.args[0] == kelvex.E_BAD_FUNCTION_ARGUMENT
        assert "0x9b" not in later.args[1]


def test_transfer_after_bad_setopt_reports_the_transfer(curl):
    _setopt_error(curl, kelvex.TIMEOUT_MS, -5)
    text = _failed_transfer(curl)
    assert "0x9b" not in text
    assert curl.errstr() == text


def test_successful_transfer_leaves_no_old_text(curl, http_server):
    _failed_transfer(curl)
    curl.setopt(kelvex.URL, f"{http_server.url}/bytes/3")
    curl.perform_rb()
    assert curl.errstr() == ""


class MyError(Exception):
    pass


def _raise(*args):
    raise MyError("from the callable")


@pytest.mark.parametrize(
    "option, setup, code",
    [
        (kelvex.WRITEFUNCTION, {}, kelvex.E_WRITE_ERROR),
        (kelvex.HEADERFUNCTION, {}, kelvex.E_WRITE_ERROR),
        (kelvex.XFERINFOFUNCTION, {kelvex.NOPROGRESS: 0}, kelvex.E_ABORTED_BY_CALLBACK),
        (kelvex.READFUNCTION, {kelvex.UPLOAD: 1, kelvex.INFILESIZE_LARGE: 10},
         kelvex.E_ABORTED_BY_CALLBACK),
    ],
    ids=["write", "header", "xferinfo", "read"],
)
def test_callable_exception_is_the_cause(curl, http_server, c_stderr, option, setup, code):
    url = f"{http_server.url}/put" if option == kelvex.READFUNCTION else f"{http_server.url}/bytes/10"
    curl.setopt(kelvex.URL, url)
    for key, value in setup.items():
        curl.setopt(key, value)
    curl.setopt(option, _raise)
    with pytest.raises(kelvex.error) as info:
        curl.perform()
    assert info.value.args[0] == code
    assert isinstance(info.value.__cause__, MyError)
    assert info.value.__cause__.args == ("from the callable",)
    # Still printed where it happened.
    assert "MyError: from the callable" in c_stderr()


def test_cause_belongs_to_its_own_transfer(curl, http_server):
    # An exception of a transfer that succeeded anyway (the debug callable's
    # answer is ignored) is not carried into a later failure.
    curl.setopt(kelvex.URL, f"{http_server.url}/bytes/10")
    curl.setopt(kelvex.VERBOSE, 1)
    curl.setopt(kelvex.DEBUGFUNCTION, _raise)
    curl.setopt(kelvex.WRITEFUNCTION, lambda chunk: None)
    curl.perform()
    curl.setopt(kelvex.DEBUGFUNCTION, None)
    curl.setopt(kelvex.URL, REFUSED_URL)
    with pytest.raises(kelvex.error) as info:
        curl.perform()
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "option, value, exc_type, message, note",
    [
        (kelvex.WRITEDATA, "out.txt", TypeError, "strings are not supported for this option",
         ["CURLOPT_WRITEDATA takes an object with a write method", 'open(name, "wb")']),
        (kelvex.READDATA, "in.txt", TypeError, "strings are not supported for this option",
         ["CURLOPT_READDATA takes an object with a read method", 'open(name, "rb")']),
        (kelvex.WRITEFUNCTION, 5, TypeError, "integers are not supported for this option",
         ["CURLOPT_WRITEFUNCTION takes a callable"]),
        (kelvex.TIMEOUT, 1.5, TypeError, "invalid arguments to setopt",
         ["CURLOPT_TIMEOUT takes an int", "CURLOPT_TIMEOUT_MS"]),
        (kelvex.POSTFIELDS, '{"city": "Z\u00fcrich"}', UnicodeEncodeError, None,
         ["CURLOPT_POSTFIELDS takes bytes, or a str of ASCII characters only",
          "text.encode()"]),
        (kelvex.HTTPHEADER, "Accept: */*", TypeError, "strings are not supported for this option",
         ["CURLOPT_HTTPHEADER takes a list or tuple"]),
        (kelvex.MIMEPOST, 1, TypeError, "integers are not supported for this option",
         ["CURLOPT_MIMEPOST takes a CurlMime made with this Curl"]),
        (99999, 1, TypeError, "invalid arguments to setopt",
         ["99999 is not a libcurl option number"]),
    ],
    ids=["writedata-name", "readdata-name", "function-int", "float", "non-ascii", "list-str",
         "mimepost-int", "unknown"],
)
def test_refused_setopt_value_has_a_note(curl, option, value, exc_type, message, note):
    with pytest.raises(exc_type) as info:
        curl.setopt(option, value)
    if message is not None:
        assert str(info.value) == message  # the message itself is unchanged
    (text,) = info.value.__notes__
    for fragment in note:
        assert fragment in text


def test_setopt_string_refusal_has_a_note(curl):
    with pytest.raises(UnicodeEncodeError) as info:
        curl.setopt_string(kelvex.URL, "http://bücher.example/")
    assert "CURLOPT_URL" in info.value.__notes__[0]


@pytest.mark.parametrize(
    "number, fragment",
    [
        (kelvex.COOKIELIST, "kelvex.INFO_COOKIELIST"),
        (kelvex.URL, "10002 is the option CURLOPT_URL"),
        (12345678, "12345678 is not an information code"),
    ],
)
def test_refused_getinfo_has_a_note(curl, number, fragment):
    with pytest.raises(ValueError, match="(?m)^invalid argument to getinfo$") as info:
        curl.getinfo(number)
    (text,) = info.value.__notes__
    assert fragment in text


@pytest.mark.parametrize(
    "option, value, note",
    [
        (kelvex.PORT, 70000, "CURLOPT_PORT takes 0..65535"),
        (kelvex.TIMEOUT_MS, -5, "CURLOPT_TIMEOUT_MS takes 0 or more"),
        (kelvex.HTTP_VERSION, 99, "CURLOPT_HTTP_VERSION takes one of kelvex.CURL_HTTP_VERSION_*: "
                                  "CURL_HTTP_VERSION_NONE (0), CURL_HTTP_VERSION_1_0 (1)"),
        (kelvex.PROXYTYPE, 12345, "CURL_HTTP_VERSION"),
    ],
    ids=["range", "at-least", "enumerated", "enumerated-other-family"],
)
def test_number_libcurl_refuses_has_a_note(curl, option, value, note):
    with pytest.raises(kelvex.error) as info:
        curl.setopt(option, value)
    (text,) = info.value.__notes__
    if option == kelvex.PROXYTYPE:
        assert "kelvex.PROXYTYPE_*" in text and "PROXYTYPE_SOCKS5 (5)" in text and note not in text
    else:
        assert text.startswith(note)
    # libcurl's own code and message are what they were.
    assert info.value.args[0] in (kelvex.E_BAD_FUNCTION_ARGUMENT, kelvex.E_UNSUPPORTED_PROTOCOL)


def test_perform_of_a_multi_member_names_the_multi(curl, http_server):
    curl.setopt(kelvex.URL, f"{http_server.url}/get")
    with kelvex.CurlMulti() as multi:
        multi.add_handle(curl)
        with pytest.raises(kelvex.error) as info:
            curl.perform()
        assert info.value.args[0] == kelvex.E_FAILED_INIT
        (text,) = info.value.__notes__
        assert repr(multi) in text and "remove_handle()" in text
        multi.remove_handle(curl)
    curl.perform_rb()
    assert curl.getinfo(kelvex.RESPONSE_CODE) == 200


def test_transfer_errors_carry_no_notes(curl):
    # A note explains a refused call; a transfer that fails says enough.
    with socket.create_server(("127.0.0.1", 0)) as s:
        port = s.getsockname()[1]
    curl.setopt(kelvex.URL, f"http://127.0.0.1:{port}/")
    with pytest.raises(kelvex.error) as info:
        curl.perform()
    assert info.value.args[0] == kelvex.E_COULDNT_CONNECT
    assert not hasattr(info.value, "__notes__")

"""What a failure tells: this call's error and nothing older, the exception
of the callable that ended a transfer as the error's cause, and notes that
name the option and the values it takes."""

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

"""POP3 retrieval against a twisted.mail server on loopback
(tests/pop3_server.py, in its own process): listing, retrieving messages
byte for byte, deleting with a custom command, and refused logins."""


import pytest

import kelvex
from conftest import perform_error
from loopback_servers import mail_server

USER, PASSWORD = "reader", "pop-s3cret"

MESSAGES = [
    b"From: a@example.test\r\nSubject: first\r\n\r\nThe first message.\r\n",
    # Lines starting with a dot are stuffed by the server and unstuffed by
    # libcurl; a lone dot must not end the message early.
    b"Subject: dots\r\n\r\n.leading dot\r\n.\r\n..two\r\nend\r\n",
    b"Subject: large\r\n\r\n" + b"".join(b"line %05d of the third message\r\n" % i
                                         for i in range(3000)),
]


@pytest.fixture
def pop3_server(request, tmp_path):
    """A fresh server per test (tests delete messages): ``.url``.  Its
    greeting offers APOP unless the test's parameter says False."""
    with mail_server("pop3_server.py", tmp_path, MESSAGES, "POP3", user=USER,
                     password=PASSWORD, apop=getattr(request, "param", True)) as port:

        class Server:
            url = f"pop3://127.0.0.1:{port}"

        yield Server


def _pop3(curl, url, password=PASSWORD, **options):
    curl.setopt(kelvex.URL, url)
    curl.setopt(kelvex.USERNAME, USER)
    curl.setopt(kelvex.PASSWORD, password)
    for name, value in options.items():
        curl.setopt(getattr(kelvex, name), value)


def _listing(curl, server):
    curl.reset()
    _pop3(curl, server.url + "/")
    return curl.perform_rb()


def test_list_gives_every_message_and_its_size(curl, pop3_server):
    assert _listing(curl, pop3_server) == b"".join(
        b"%d %d\r\n" % (i + 1, len(m)) for i, m in enumerate(MESSAGES))


@pytest.mark.parametrize("number", range(1, len(MESSAGES) + 1))
def test_retrieve_gives_the_message_byte_for_byte(curl, pop3_server, number):
    _pop3(curl, f"{pop3_server.url}/{number}")
    assert curl.perform_rb() == MESSAGES[number - 1]


def test_dele_removes_a_message_for_the_next_session(curl, pop3_server):
    _pop3(curl, f"{pop3_server.url}/2", CUSTOMREQUEST="DELE", NOBODY=1)
    curl.perform()
    # The server applied the deletion at QUIT, when libcurl closed the
    # session (the handle keeps the connection until reset or close).
    curl.close()
    with kelvex.Curl() as again:
        listing = _listing(again, pop3_server)
        assert listing == b"1 %d\r\n2 %d\r\n" % (len(MESSAGES[0]), len(MESSAGES[2]))
        _pop3(again, f"{pop3_server.url}/2")
        assert again.perform_rb() == MESSAGES[2]


def test_retrieving_a_missing_message_fails(curl, pop3_server):
    _pop3(curl, f"{pop3_server.url}/{len(MESSAGES) + 1}")
    assert perform_error(curl)[0] == kelvex.E_FTP_WEIRD_SERVER_REPLY  # CURLE_WEIRD_SERVER_REPLY


@pytest.mark.parametrize("pop3_server, login_options, command", [
    (True, None, b"APOP"),       # the greeting carries a timestamp: digest login
    (True, "AUTH=+APOP", b"APOP"),
    (True, "AUTH=*", b"APOP"),
    (False, None, b"USER"),      # no timestamp: clear-text USER and PASS
], indirect=["pop3_server"], ids=["apop", "apop-asked", "any", "user-pass"])
@pytest.mark.parametrize("right", [True, False], ids=["right-password", "wrong-password"])
def test_login_methods(curl, pop3_server, login_options, command, right):
    sent = []

    def debug(kind, data):
        if kind == kelvex.INFOTYPE_HEADER_OUT:
            sent.append(bytes(data).split(b" ")[0].strip())

    options = {"DEBUGFUNCTION": debug, "VERBOSE": 1}
    if login_options:
        options["LOGIN_OPTIONS"] = login_options
    _pop3(curl, f"{pop3_server.url}/1", password=PASSWORD if right else "wrong", **options)
    if right:
        assert curl.perform_rb() == MESSAGES[0]
    else:
        assert perform_error(curl)[0] == kelvex.E_LOGIN_DENIED
    assert command in sent
    assert ({b"APOP", b"USER"} - {command}).isdisjoint(sent)

"""IMAP against twisted.mail's IMAP4 server (tests/imap_server.py, in its
own process): listing mailboxes, fetching messages byte for byte,
searching, appending with flags, and a refused login."""

import io

import pytest

import kelvex
from conftest import perform_error
from loopback_servers import mail_server

USER, PASSWORD = "reader", "imap-s3cret"

MESSAGES = [
    b"From: a@example.test\r\nSubject: first\r\n\r\nThe first message.\r\n",
    b"From: b@example.test\r\nSubject: dots and bytes\r\n\r\n.leading dot\r\n.\r\n"
    + bytes(range(32, 256)) + b"\r\nend\r\n",
    b"From: c@example.test\r\nSubject: large\r\n\r\n"
    + b"".join(b"line %05d of the third message\r\n" % i for i in range(3000)),
]


@pytest.fixture
def imap_server(tmp_path):
    with mail_server("imap_server.py", tmp_path, MESSAGES, "IMAP", user=USER,
                     password=PASSWORD) as port:
        yield f"imap://127.0.0.1:{port}"


def imap(curl, url, password=PASSWORD, **options):
    curl.setopt(kelvex.URL, url)
    curl.setopt(kelvex.USERNAME, USER)
    curl.setopt(kelvex.PASSWORD, password)
    for name, value in options.items():
        curl.setopt(getattr(kelvex, name), value)
    return curl.perform_rb()


def test_list_names_the_mailboxes(curl, imap_server):
    listing = imap(curl, imap_server + "/").decode()
    names = sorted(line.rsplit(" ", 1)[1].strip('"') for line in listing.splitlines()
                   if line.startswith("* LIST"))
    # The server keeps mailbox names in capitals.
    assert names == ["ARCHIVE", "INBOX"]


@pytest.mark.parametrize("uid", [1, 2, 3])
def test_fetch_gives_each_message_byte_for_byte(curl, imap_server, uid):
    assert imap(curl, f"{imap_server}/INBOX/;UID={uid}") == MESSAGES[uid - 1]


def test_fetch_of_a_section_and_by_sequence_number(curl, imap_server):
    assert imap(curl, f"{imap_server}/INBOX/;MAILINDEX=2") == MESSAGES[1]
    body = imap(curl, f"{imap_server}/INBOX/;UID=1/;SECTION=TEXT")
    assert body == b"The first message.\r\n"


@pytest.mark.parametrize("query, found", [
    ("SUBJECT%20large", [3]), ("FROM%20b@example.test", [2]), ("ALL", [1, 2, 3]),
    ("SUBJECT%20nowhere", []),
])
def test_search(curl, imap_server, query, found):
    answer = imap(curl, f"{imap_server}/INBOX?{query}").decode()
    [line] = [line for line in answer.splitlines() if line.startswith("* SEARCH")]
    assert [int(n) for n in line.split()[2:]] == found


def test_append_stores_the_message_with_its_flags(curl, imap_server):
    message = b"From: d@example.test\r\nSubject: appended\r\n\r\nAppended body.\r\n"
    imap(curl, f"{imap_server}/Archive", UPLOAD=1, READDATA=io.BytesIO(message),
         INFILESIZE=len(message), UPLOAD_FLAGS=kelvex.ULFLAG_SEEN | kelvex.ULFLAG_FLAGGED)
    with kelvex.Curl() as again:
        assert imap(again, f"{imap_server}/Archive/;UID=1") == message
        flags = imap(again, f"{imap_server}/Archive", CUSTOMREQUEST="FETCH 1 FLAGS").decode()
        assert "\\Seen" in flags and "\\Flagged" in flags
        answer = imap(again, f"{imap_server}/Archive?SUBJECT%20appended",
                      CUSTOMREQUEST=None).decode()
        assert "* SEARCH 1" in answer


def test_wrong_password_is_refused(curl, imap_server):
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    imap_options = {"URL": imap_server + "/INBOX/;UID=1", "USERNAME": USER, "PASSWORD": "wrong"}
    for name, value in imap_options.items():
        curl.setopt(getattr(kelvex, name), value)
    assert perform_error(curl)[0] == kelvex.E_LOGIN_DENIED


def test_missing_message_fails(curl, imap_server):
    with pytest.raises(kelvex.error):
        imap(curl, f"{imap_server}/INBOX/;UID=99")

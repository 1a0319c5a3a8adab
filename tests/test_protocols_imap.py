"""IMAP against twisted.mail's IMAP4 server (tests/imap_server.py, in its
own process): listing mailboxes, fetching messages byte for byte,
searching, appending with flags, and a refused login."""

import io
import json
import os
import select
import subprocess
import sys

import pytest

import kelvex
from conftest import perform_error
from loopback_servers import plain_env, stop_process

USER, PASSWORD = "reader", "imap-s3cret"
HERE = os.path.dirname(os.path.abspath(__file__))

MESSAGES = [
    b"From: a@example.test\r\nSubject: first\r\n\r\nThe first message.\r\n",
    b"From: b@example.test\r\nSubject: dots and bytes\r\n\r\n.leading dot\r\n.\r\n"
    + bytes(range(32, 256)) + b"\r\nend\r\n",
    b"From: c@example.test\r\nSubject: large\r\n\r\n"
    + b"".join(b"line %05d of the third message\r\n" % i for i in range(3000)),
]


@pytest.fixture
def imap_server(tmp_path):
    paths = []
    for i, message in enumerate(MESSAGES):
        path = tmp_path / f"message{i}.eml"
        path.write_bytes(message)
        paths.append(str(path))
    config = tmp_path / "imap.json"
    config.write_text(json.dumps({"user": USER, "password": PASSWORD, "messages": paths}))
    proc = subprocess.Popen([sys.executable, os.path.join(HERE, "imap_server.py"), str(config)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=plain_env())
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 30)
        line = proc.stdout.readline() if ready else b""
        if not line.strip().isdigit():
            proc.kill()
            raise RuntimeError("IMAP server did not start: "
                               + proc.stderr.read().decode(errors="replace")[-2000:])
        yield f"imap://127.0.0.1:{int(line)}"
    finally:
        stop_process(proc)


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

"""SMTP against aiosmtpd on loopback: the envelope (MAIL_FROM, MAIL_RCPT)
and the message bytes, from a read callable and from a MIME document, over
plain SMTP and over STARTTLS with a login."""

import email
import email.policy
import io
import os
import ssl
import threading

import pytest

import kelvex
from conftest import perform_error
from loopback_servers import free_port

USER, PASSWORD = "mailer", "p4ss"


class _Recorder:
    """aiosmtpd handler: keeps every delivered envelope and refuses
    recipients at nowhere.test."""

    def __init__(self):
        self.delivered = []
        self.logins = []
        self.lock = threading.Lock()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.endswith("@nowhere.test"):
            return "550 5.1.1 no such mailbox"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.delivered.append((envelope.mail_from, list(envelope.rcpt_tos),
                                   bytes(envelope.original_content), session.authenticated))
        return "250 Message accepted for delivery"

    def authenticator(self, server, session, envelope, mechanism, auth_data):
        from aiosmtpd.smtp import AuthResult

        ok = (auth_data.login, auth_data.password) == (USER.encode(), PASSWORD.encode())
        with self.lock:
            self.logins.append((mechanism, auth_data.login, ok))
        # handled=False: the server itself answers 235 or 535.
        return AuthResult(success=ok, handled=False)

    def take(self):
        with self.lock:
            out, self.delivered = self.delivered, []
            return out


@pytest.fixture(scope="module")
def smtp_server(protocol_certs):
    """aiosmtpd's Controller on 127.0.0.1: ``.port``, ``.handler``.  It
    offers STARTTLS and AUTH (after TLS only) and needs no login on plain
    connections."""
    from aiosmtpd.controller import Controller

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(protocol_certs.cert_path, protocol_certs.key_path)
    handler = _Recorder()
    controller = Controller(handler, hostname="127.0.0.1", port=free_port(),
                            tls_context=context, authenticator=handler.authenticator,
                            auth_require_tls=True, ready_timeout=20)
    controller.start()
    controller.handler = handler
    yield controller
    controller.stop()


def _smtp(curl, server, sender, recipients, **options):
    curl.setopt(kelvex.URL, f"smtp://127.0.0.1:{server.port}/client.test")
    curl.setopt(kelvex.MAIL_FROM, sender)
    curl.setopt(kelvex.MAIL_RCPT, recipients)
    for name, value in options.items():
        curl.setopt(getattr(kelvex, name), value)


MESSAGES = {
    "short": (b"From: a@client.test\r\nTo: b@example.test\r\nSubject: hi\r\n\r\n"
              b"Hello over SMTP.\r\n"),
    # Lines starting with a dot are escaped by libcurl and unescaped by the
    # server; a lone dot must not end the message early.
    "dots": (b"Subject: dots\r\n\r\n.leading dot\r\n.\r\n..two\r\nlast line\r\n"),
    "large": (b"Subject: large\r\n\r\n"
              + b"".join(b"%06d " % i + os.urandom(30).hex().encode() + b"\r\n"
                         for i in range(4000))),
}


@pytest.mark.parametrize("name", sorted(MESSAGES))
@pytest.mark.parametrize("chunk", [7, 65536], ids=["small-reads", "large-reads"])
def test_message_from_a_read_callable_arrives_byte_for_byte(curl, smtp_server, name, chunk):
    message = MESSAGES[name]
    stream = io.BytesIO(message)
    _smtp(curl, smtp_server, "<a@client.test>", ["<b@example.test>", "<c@example.test>"],
          UPLOAD=1, READFUNCTION=lambda size: stream.read(min(size, chunk)))
    curl.perform()
    [(sender, recipients, content, _)] = smtp_server.handler.take()
    assert sender == "a@client.test"
    assert recipients == ["b@example.test", "c@example.test"]
    assert content == message


def test_message_from_a_mime_document(curl, smtp_server):
    """libcurl writes the MIME structure; the server's copy parses back into
    the same headers and the same part bytes."""
    attachment = os.urandom(5000)
    text = "Grüße über SMTP\r\n"
    mime = kelvex.CurlMime(curl)
    mime.add(data=text.encode(), content_type="text/plain; charset=utf-8",
             encoder="quoted-printable")
    mime.add(data=attachment, filename="blob.bin", content_type="application/octet-stream",
             encoder="base64")
    _smtp(curl, smtp_server, "<a@client.test>", ["<b@example.test>"], MIMEPOST=mime,
          HTTPHEADER=["From: a@client.test", "To: b@example.test", "Subject: with parts"])
    curl.perform()
    mime.close()
    [(_, recipients, content, _)] = smtp_server.handler.take()
    assert recipients == ["b@example.test"]
    parsed = email.message_from_bytes(content, policy=email.policy.default)
    assert parsed["Subject"] == "with parts"
    assert parsed.get_content_type() == "multipart/mixed"
    body, blob = list(parsed.iter_parts())
    assert body.get_content() == text
    assert blob.get_filename() == "blob.bin"
    assert blob.get_payload(decode=True) == attachment


def test_refused_recipient_fails_the_transfer_and_nothing_is_delivered(curl, smtp_server):
    stream = io.BytesIO(MESSAGES["short"])
    _smtp(curl, smtp_server, "<a@client.test>", ["<b@example.test>", "<x@nowhere.test>"],
          UPLOAD=1, READFUNCTION=stream.read)
    code, message = perform_error(curl)
    assert code == kelvex.E_SEND_ERROR and "550" in message
    assert smtp_server.handler.take() == []


@pytest.mark.parametrize("password, delivered", [(PASSWORD, True), ("wrong", False)],
                         ids=["right-password", "wrong-password"])
def test_starttls_then_login(curl, smtp_server, protocol_certs, password, delivered):
    stream = io.BytesIO(MESSAGES["short"])
    _smtp(curl, smtp_server, "<a@client.test>", ["<b@example.test>"],
          UPLOAD=1, READFUNCTION=stream.read, USE_SSL=kelvex.USESSL_ALL,
          CAINFO=protocol_certs.ca_path, USERNAME=USER, PASSWORD=password)
    if delivered:
        curl.perform()
        [(_, _, content, authenticated)] = smtp_server.handler.take()
        assert content == MESSAGES["short"] and authenticated
    else:
        assert perform_error(curl)[0] == kelvex.E_LOGIN_DENIED
        assert smtp_server.handler.take() == []
    assert smtp_server.handler.logins[-1][1:] == (USER.encode(), delivered)

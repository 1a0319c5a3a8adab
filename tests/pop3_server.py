"""A POP3 server on 127.0.0.1 built from twisted.mail, run in its own
process by the POP3 tests (twisted's reactor runs once per process).

    python pop3_server.py CONFIG.json

CONFIG names the user, the password, a list of message files (with CRLF
line ends, as on the wire) and whether the greeting offers APOP (a
timestamp).  The server prints its port on a line of its own once it
listens.  The mailbox
outlives sessions: messages deleted in a session are gone from the next
one once that session ended with QUIT, as POP3 says.
"""

import hashlib
import io
import json
import sys

from twisted.cred import checkers, credentials, error, portal
from twisted.internet import defer, protocol, reactor
from twisted.mail import pop3
from zope.interface import implementer


@implementer(pop3.IMailbox)
class Mailbox:
    def __init__(self, store):
        self.store = store          # shared by sessions: the messages left
        self.view = list(store)     # this session's numbering
        self.deleted = set()

    @staticmethod
    def _octets(message):
        return len(message) + message.count(b"\n")  # its size on the wire, with CRLF

    def listMessages(self, index=None):
        if index is None:
            return [0 if i in self.deleted else self._octets(m) for i, m in enumerate(self.view)]
        if index in self.deleted:
            raise ValueError("deleted")
        return self._octets(self.view[index])

    def getMessage(self, index):
        return io.BytesIO(self.view[index])

    def getUidl(self, index):
        return b"msg-%d" % self.store.index(self.view[index])

    def deleteMessage(self, index):
        self.deleted.add(index)

    def undeleteMessages(self):
        self.deleted.clear()

    def sync(self):
        for index in self.deleted:
            self.store.remove(self.view[index])
        self.deleted.clear()


@implementer(portal.IRealm)
class Realm:
    def __init__(self, store):
        self.store = store

    def requestAvatar(self, avatar_id, mind, *interfaces):
        if pop3.IMailbox not in interfaces:
            raise NotImplementedError()
        box = Mailbox(self.store)
        return pop3.IMailbox, box, lambda: None


@implementer(checkers.ICredentialsChecker)
class Checker:
    """One user, by USER/PASS or by APOP.  (twisted's own APOP credentials
    compare a str digest with bytes and so refuse every APOP login.)"""

    credentialInterfaces = (credentials.IUsernamePassword, credentials.IUsernameHashedPassword)

    def __init__(self, user: bytes, password: bytes):
        self.user, self.password = user, password

    def requestAvatarId(self, creds):
        if creds.username == self.user:
            if hasattr(creds, "magic"):  # APOP: md5(greeting timestamp + password)
                ok = hashlib.md5(creds.magic + self.password).hexdigest().encode() == creds.digest
            else:
                ok = creds.checkPassword(self.password)
            if ok:
                return defer.succeed(creds.username)
        return defer.fail(error.UnauthorizedLogin())


class Factory(protocol.ServerFactory):
    def __init__(self, checker_portal, apop):
        self.portal = checker_portal
        self.apop = apop

    def buildProtocol(self, addr):
        p = pop3.POP3()
        p.factory = self
        p.portal = self.portal
        if not self.apop:
            # A greeting without a <timestamp> offers no APOP.
            p.magic = b"POP3 server ready"
        return p


def main(argv):
    with open(argv[1]) as f:
        config = json.load(f)
    store = []
    for path in config["messages"]:
        # twisted sends each LF-ended line with CRLF: keep the messages in
        # that form.
        with open(path, "rb") as f:
            store.append(f.read().replace(b"\r\n", b"\n"))
    checker = Checker(config["user"].encode(), config["password"].encode())
    factory = Factory(portal.Portal(Realm(store), [checker]), config["apop"])
    port = reactor.listenTCP(0, factory, interface="127.0.0.1")
    print(port.getHost().port, flush=True)
    reactor.run()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

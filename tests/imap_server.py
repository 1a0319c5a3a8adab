"""An IMAP4 server on 127.0.0.1 built from twisted.mail, run in its own
process by the IMAP tests (twisted's reactor runs once per process).

    python imap_server.py CONFIG.json

CONFIG names the user, the password and the message files of INBOX (with
CRLF line ends, as on the wire); an empty mailbox "Archive" exists beside
it.  The server prints its port on a line of its own once it listens.
Messages appended by a client stay for the next session of the same
server.
"""

import io
import json
import sys

from twisted.cred import checkers, portal
from twisted.internet import defer, protocol, reactor
from twisted.mail import imap4
from zope.interface import implementer


@implementer(imap4.IMessage)
class Message:
    def __init__(self, uid, data, flags):
        self.uid, self.data, self.flags = uid, data, list(flags)
        head = data.split(b"\r\n\r\n", 1)[0].decode("latin-1")
        self.headers = {}
        for line in head.split("\r\n"):
            if ":" in line:
                name, value = line.split(":", 1)
                self.headers[name.strip().lower()] = value.strip()

    def getUID(self):
        return self.uid

    def getFlags(self):
        return self.flags

    def getInternalDate(self):
        return "Thu, 10 Dec 2026 12:00:00 +0000"

    def getHeaders(self, negate, *names):
        wanted = {n.lower() for n in names}
        return {k: v for k, v in self.headers.items()
                if not wanted or ((k in wanted) != negate)}

    def getBodyFile(self):
        return io.BytesIO(self.data.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in self.data else b"")

    def getSize(self):
        return len(self.data)

    def isMultipart(self):
        return False

    def getSubPart(self, part):
        raise IndexError(part)


@implementer(imap4.IMailbox, imap4.ICloseableMailbox, imap4.ISearchableMailbox)
class Mailbox:
    def __init__(self):
        self.messages = []
        self.next_uid = 1
        self.listeners = []

    def add(self, data, flags=()):
        self.messages.append(Message(self.next_uid, data, flags))
        self.next_uid += 1

    def getFlags(self):
        return [r"\Seen", r"\Answered", r"\Flagged", r"\Deleted", r"\Draft"]

    def getHierarchicalDelimiter(self):
        return "/"

    def getUIDValidity(self):
        return 42

    def getUIDNext(self):
        return self.next_uid

    def getUID(self, message):
        return self.messages[message - 1].uid

    def getMessageCount(self):
        return len(self.messages)

    def getRecentCount(self):
        return 0

    def getUnseenCount(self):
        return sum(r"\Seen" not in m.flags for m in self.messages)

    def isWriteable(self):
        return True

    def destroy(self):
        pass

    def requestStatus(self, names):
        return imap4.statusRequestHelper(self, names)

    def addListener(self, listener):
        self.listeners.append(listener)

    def removeListener(self, listener):
        self.listeners.remove(listener)

    def addMessage(self, message, flags=(), date=None):
        self.add(message.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"), flags)
        return defer.succeed(None)

    def expunge(self):
        gone = [m.uid for m in self.messages if r"\Deleted" in m.flags]
        self.messages = [m for m in self.messages if r"\Deleted" not in m.flags]
        return gone

    def fetch(self, messages, uid):
        if uid:
            by_uid = {m.uid: (i + 1, m) for i, m in enumerate(self.messages)}
            messages.last = self.next_uid - 1
            return [by_uid[u] for u in messages if u in by_uid]
        messages.last = len(self.messages)
        return [(n, self.messages[n - 1]) for n in messages if 0 < n <= len(self.messages)]

    def store(self, messages, flags, mode, uid):
        result = {}
        for number, message in self.fetch(messages, uid):
            if mode == 0:
                message.flags = list(flags)
            elif mode == 1:
                message.flags += [f for f in flags if f not in message.flags]
            else:
                message.flags = [f for f in message.flags if f not in flags]
            result[number] = message.flags
        return result

    def close(self):
        pass

    def search(self, query, uid):
        """ALL, and SUBJECT or FROM with a text found in that header (any
        case): the few keys the tests send, all of which must match."""
        query = [q.decode() if isinstance(q, bytes) else q for q in query]
        found = []
        for number, message in enumerate(self.messages, 1):
            terms, ok = list(query), True
            while terms:
                key = terms.pop(0).upper()
                if key in ("SUBJECT", "FROM"):
                    wanted = terms.pop(0).lower()
                    ok = ok and wanted in message.headers.get(key.lower(), "").lower()
                elif key != "ALL":
                    raise imap4.IllegalQueryError(key)
            if ok:
                found.append(message.uid if uid else number)
        return found


class Account(imap4.MemoryAccountWithoutNamespaces):
    def _emptyMailbox(self, name, id):
        return Mailbox()


@implementer(portal.IRealm)
class Realm:
    def __init__(self, account):
        self.account = account

    def requestAvatar(self, avatar_id, mind, *interfaces):
        return imap4.IAccount, self.account, lambda: None


class Factory(protocol.ServerFactory):
    def __init__(self, checker_portal):
        self.portal = checker_portal

    def buildProtocol(self, addr):
        p = imap4.IMAP4Server()
        p.factory = self
        p.portal = self.portal
        return p


def main(argv):
    with open(argv[1]) as f:
        config = json.load(f)
    account = Account(config["user"])
    account.addMailbox("INBOX")
    account.addMailbox("Archive")
    inbox = account.select("INBOX")
    for path in config["messages"]:
        with open(path, "rb") as f:
            inbox.add(f.read())
    checker = checkers.InMemoryUsernamePasswordDatabaseDontUse(
        **{config["user"]: config["password"].encode()})
    factory = Factory(portal.Portal(Realm(account), [checker]))
    port = reactor.listenTCP(0, factory, interface="127.0.0.1")
    print(port.getHost().port, flush=True)
    reactor.run()


if __name__ == "__main__":
    main(sys.argv)

"""Where the system keeps its certificate authorities, for the libcurl that
a kelvex wheel carries.

That libcurl is built without a CA file of its own: it asks OpenSSL for
its defaults, the files under /etc/ssl (where Debian, Ubuntu and Alpine
keep them) or the file SSL_CERT_FILE names.  Other layouts need the
variable, so at import the wheel's kelvex sets it to the first bundle
found below, unless SSL_CERT_FILE or SSL_CERT_DIR is set already.  The
system's store is used as it is, with the authorities its administrator
added or removed; CAINFO on a handle still overrides it.
"""

import os
from collections.abc import MutableMapping

# The bundle files of the usual layouts, the most common first.
CANDIDATES = (
    "/etc/ssl/certs/ca-certificates.crt",  # Debian, Ubuntu, Arch, Gentoo, Alpine
    "/etc/pki/tls/certs/ca-bundle.crt",  # Fedora, RHEL, CentOS, Amazon Linux
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",  # the same, as extracted
    "/etc/ssl/ca-bundle.pem",  # openSUSE, SLES
    "/etc/ssl/cert.pem",  # Alpine without ca-certificates, the BSDs
)


def find_bundle(root: str = "/") -> str | None:
    """The first CA bundle of CANDIDATES present under `root`, as a path
    under `root`, or None."""
    for path in CANDIDATES:
        full = os.path.join(root, path.lstrip("/"))
        if os.path.isfile(full):
            return full
    return None


def use_system_bundle(environ: MutableMapping[str, str] = os.environ, root: str = "/") -> None:
    """Points SSL_CERT_FILE at the system's bundle when neither it nor
    SSL_CERT_DIR is set."""
    if environ.get("SSL_CERT_FILE") or environ.get("SSL_CERT_DIR"):
        return
    found = find_bundle(root)
    if found is not None:
        environ["SSL_CERT_FILE"] = found

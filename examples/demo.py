"""A first look at kelvex (run with: make demo)."""

from kelvex import _kelvex

print("kelvex", getattr(_kelvex, "version", "(no version attribute yet)"))
if hasattr(_kelvex, "version_info"):
    print("version_info:", _kelvex.version_info())

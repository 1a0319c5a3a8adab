"""kelvex: the whole libcurl transfer engine for CPython 3.13."""

from ._kelvex import *  # noqa: F401,F403
from ._kelvex import error  # noqa: F401

# The package's version (kelvex.version is libcurl's user-agent text).
__version__ = "0.1.0"

"""kelvex: the whole libcurl transfer engine for CPython 3.13."""

import os as _os

# A wheel's libcurl (in kelvex.libs/ beside the package) has no CA file of
# its own; see _cacerts.
if _os.path.isdir(_os.path.join(_os.path.dirname(_os.path.dirname(__file__)), "kelvex.libs")):
    from ._cacerts import use_system_bundle as _use_system_bundle

    _use_system_bundle()
    del _use_system_bundle

from ._kelvex import *  # noqa: F401,F403,E402
from ._kelvex import error  # noqa: F401,E402

# The package's version (kelvex.version is libcurl's user-agent text).
__version__ = "0.1.0"

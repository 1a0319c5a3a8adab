# Type stubs for the compiled module kelvex._kelvex (to be filled in).
from typing import Any

def __getattr__(name: str) -> Any: ...

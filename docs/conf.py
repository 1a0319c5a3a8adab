# Sphinx configuration of kelvex's documentation (make docs).
import pathlib
import sys
import tomllib

sys.path.insert(0, str(pathlib.Path(__file__).parent / "_ext"))


project = "kelvex"
author = "the kelvex developers"
copyright = "kelvex developers"
_root = pathlib.Path(__file__).resolve().parent.parent
with open(_root / "pyproject.toml", "rb") as _f:
    release = version = tomllib.load(_f)["project"]["version"]

extensions = [
    "myst_parser",
    "stub_api",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
root_doc = "index"

myst_heading_anchors = 3

html_theme = "alabaster"
html_title = "kelvex"
html_static_path: list[str] = []

"""The API reference of kelvex, from its type stubs and its docstrings.

kelvex._kelvex is compiled: inspect finds no signatures on its functions and
methods, only a first docstring line that names the arguments without
types.  The directive ``.. stubapi:: NAME`` documents the class NAME of
kelvex/_kelvex.pyi (or, for ``functions``, every module-level function of
it) with the stub's signatures, which are what type checkers see, and the
compiled module's docstrings.
"""

import ast
import pathlib
import re

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docstrings import prepare_docstring
from sphinx.util.docutils import SphinxDirective

import kelvex
from kelvex import _kelvex

STUB = pathlib.Path(kelvex.__file__).with_name("_kelvex.pyi")
# A docstring's own first line "name(args) -> result", dropped in favour of
# the stub's signature.
_DOC_SIGNATURE = re.compile(r"^\w+\(.*\)( -> .*)?$")


def _doc_lines(obj: object) -> list[str]:
    doc = getattr(obj, "__doc__", None)
    if not isinstance(doc, str) or not doc.strip():
        return []
    lines = prepare_docstring(doc)
    if lines and _DOC_SIGNATURE.match(lines[0]):
        lines = lines[1:]
    while lines and not lines[0].strip():
        lines = lines[1:]
    return lines


def _signature(node: ast.FunctionDef, method: bool) -> str:
    args = node.args
    if method:
        if args.posonlyargs:
            args.posonlyargs = args.posonlyargs[1:]
        elif args.args:
            args.args = args.args[1:]
    text = f"({ast.unparse(args)})"
    if node.returns is not None and node.name != "__new__":
        text += f" -> {ast.unparse(node.returns)}"
    return text


def _is_property(node: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def _class_lines(node: ast.ClassDef) -> list[str]:
    cls = getattr(_kelvex, node.name)
    new = next((item for item in node.body
                if isinstance(item, ast.FunctionDef) and item.name == "__new__"), None)
    named_tuple = any(isinstance(b, ast.Name) and b.id == "NamedTuple" for b in node.bases)
    signature = _signature(new, True) if new is not None else ""
    if named_tuple:
        fields = [item.target.id for item in node.body
                  if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)]
        signature = f"({', '.join(fields)})"
    out = [f".. py:class:: {node.name}{signature}", ""]
    out += ["   " + line for line in _doc_lines(cls)]
    emitted: set[str] = set()
    for item in node.body:
        if isinstance(item, ast.FunctionDef) and item.name in emitted:
            continue  # an overload, listed with the first one
        if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            out += ["", f"   .. py:attribute:: {item.target.id}",
                    f"      :type: {ast.unparse(item.annotation)}", ""]
        elif isinstance(item, ast.FunctionDef):
            if item.name.startswith("_") and item.name not in ("__enter__", "__exit__",
                                                               "__contains__"):
                continue
            runtime = cls.__dict__.get(item.name)
            if _is_property(item):
                out += ["", f"   .. py:property:: {item.name}",
                        f"      :type: {ast.unparse(item.returns) if item.returns else 'Any'}",
                        ""]
            else:
                # The overloads of a method are one entry with a signature each.
                lead = f"   .. py:method:: "
                variants = [other for other in node.body
                            if isinstance(other, ast.FunctionDef) and other.name == item.name]
                signatures = [f"{v.name}{_signature(v, True)}" for v in variants]
                out += ["", lead + signatures[0]]
                out += [" " * len(lead) + sig for sig in signatures[1:]]
                out.append("")
                emitted.add(item.name)
            out += ["      " + line for line in _doc_lines(runtime)]
    return out


def _function_lines(tree: ast.Module) -> list[str]:
    out: list[str] = []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            out += [f".. py:function:: {node.name}{_signature(node, False)}", ""]
            out += ["   " + line for line in _doc_lines(getattr(_kelvex, node.name))]
            out.append("")
    return out


class StubApi(SphinxDirective):
    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        tree = ast.parse(STUB.read_text())
        self.env.note_dependency(str(STUB))
        name = self.arguments[0]
        if name == "functions":
            lines = _function_lines(tree)
        else:
            node = next((n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name),
                        None)
            if node is None:
                raise self.error(f"the stubs have no class {name}")
            lines = _class_lines(node)
        container = nodes.container()
        self.state.nested_parse(StringList(lines, source=str(STUB)), self.content_offset,
                                container)
        return container.children


def setup(app):
    app.add_directive("stubapi", StubApi)
    return {"parallel_read_safe": True, "version": "2"}

"""One declaration per callable (src/base/declare.h, src/base/docstrings.h): a method
whose parse call or calling convention disagrees with its declaration does
not compile. Each case compiles a small source against the real headers and
must fail with the check's own words; the same sources put right compile,
so a failure is the check's and not the set-up's."""

import subprocess

import pytest

from cxx_compile import compile_command

COMMAND = compile_command()
pytestmark = pytest.mark.skipif(COMMAND is None, reason="needs the source tree, a C++ compiler "
                                                        "and libcurl's headers")

HEAD = """
#include "docstrings.h"
PyObject* fast(PyObject*, PyObject* const*, Py_ssize_t);
PyObject* fast_keywords(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* one(PyObject*, PyObject*);
"""


def compile_source(tmp_path, body):
    source = tmp_path / "case.cpp"
    source.write_text(HEAD + body)
    return subprocess.run([*COMMAND, str(source)], capture_output=True, text=True)


# (wrong, right, the words of the refusal)
CASES = {
    "output-of-another-type": (
        "bool f(PyObject* const* a, Py_ssize_t n) { long o; return parse<decl::curl_getinfo>(a, n, &o); }",
        "bool f(PyObject* const* a, Py_ssize_t n) { int o; return parse<decl::curl_getinfo>(a, n, &o); }",
        "the outputs do not match the declared format units"),
    "output-missing": (
        "bool f(PyObject* const* a, Py_ssize_t n) {\n"
        "  int o; return parse<decl::curl_setopt_string>(a, n, &o); }",
        "bool f(PyObject* const* a, Py_ssize_t n) {\n"
        "  int o; PyObject* v; return parse<decl::curl_setopt_string>(a, n, &o, &v); }",
        "the outputs do not match the declared format units"),
    "type-of-O!-missing": (
        "bool f(PyObject* const* a, Py_ssize_t n) {\n"
        "  PyObject* c; return parse<decl::multi_add_handle>(a, n, &c); }",
        "bool f(PyObject* const* a, Py_ssize_t n, PyTypeObject* t) {\n"
        "  PyObject* c; return parse<decl::multi_add_handle>(a, n, t, &c); }",
        "the outputs do not match the declared format units"),
    "keywords-parsed-positionally": (
        "bool f(PyObject* const* a, Py_ssize_t n, PyObject* k) {\n"
        "  (void)k; int o; PyObject* v; int m;\n"
        "  return parse<decl::curl_setopt>(a, n, &o, &v, &m); }",
        "bool f(PyObject* const* a, Py_ssize_t n, PyObject* k) {\n"
        "  int o; PyObject* v; int m;\n"
        "  return parse_keywords<decl::curl_setopt>(a, n, k, &o, &v, &m); }",
        "use parse_keywords"),
    "keyword-method-without-kwnames": (
        "PyMethodDef d[] = {method_entry<decl::curl_setopt>(fast)};",
        "PyMethodDef d[] = {method_entry<decl::curl_setopt>(fast_keywords)};",
        "keyword parameters need a kwnames argument"),
    "kwnames-for-a-positional-method": (
        "PyMethodDef d[] = {method_entry<decl::curl_getinfo>(fast_keywords)};",
        "PyMethodDef d[] = {method_entry<decl::curl_getinfo>(fast)};",
        "a method without keyword parameters takes no kwnames"),
    "one-argument-function-for-two": (
        "PyMethodDef d[] = {method_entry<decl::multi_assign>(one)};",
        "PyMethodDef d[] = {method_entry<decl::multi_assign>(fast)};",
        "takes no parameter or one positional one"),
}


def test_agreeing_with_the_declaration_compiles(tmp_path):
    # Every case put right, each in a namespace of its own.
    body = "\n".join(f"namespace case{i} {{\n{right}\n}}"
                     for i, (_, right, _) in enumerate(CASES.values()))
    done = compile_source(tmp_path, body)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("wrong, words", [(w, words) for w, _, words in CASES.values()],
                         ids=CASES.keys())
def test_disagreeing_with_the_declaration_does_not_compile(tmp_path, wrong, words):
    done = compile_source(tmp_path, wrong)
    assert done.returncode != 0
    assert words in done.stderr, done.stderr

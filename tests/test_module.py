"""The module itself: import checks, facts, types and module-level functions."""

import ast
import ctypes
import ctypes.util
import pathlib
import sys
import sysconfig

import pytest

from conftest import names_missing_for_older_libcurl
from kelvex import _kelvex


def _mapped_libcurl():
    """The file of the libcurl mapped into this process (a wheel's own
    copy in kelvex.libs/, or the system's)."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if "/libcurl" in path and ".so" in path:
                return path
    return "libcurl.so.4"


@pytest.fixture(scope="module")
def libcurl():
    """The libcurl the extension runs against, for its own answers."""
    lib = ctypes.CDLL(_mapped_libcurl())
    for name in ("curl_version", "curl_easy_strerror", "curl_multi_strerror",
                 "curl_share_strerror", "curl_url_strerror"):
        getattr(lib, name).restype = ctypes.c_char_p
    for name in ("curl_easy_strerror", "curl_multi_strerror", "curl_share_strerror",
                 "curl_url_strerror"):
        getattr(lib, name).argtypes = [ctypes.c_int]
    return lib


# ---------------------------------------------------------------------------
# Facts
# ---------------------------------------------------------------------------

def test_version_is_user_agent_prefix_and_libcurl_version(libcurl):
    assert _kelvex.version == "Kelvex/7.47.0 " + libcurl.curl_version().decode()


def test_compile_facts():
    assert _kelvex.COMPILE_SSL_LIB == "openssl"
    assert _kelvex.COMPILE_LIBCURL_VERSION_NUM == 529664
    # Built against the headers of the interpreter series that loads it.
    assert _kelvex.COMPILE_PY_VERSION_HEX >> 16 == sys.hexversion >> 16


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="a GIL build of CPython: only a free-threaded interpreter runs without the GIL")
def test_import_leaves_the_gil_disabled():
    # A fresh interpreter, so that no other extension module of the suite
    # can have enabled the GIL; PYTHON_GIL would force the answer. Enabling
    # the GIL on import comes with a RuntimeWarning, made an error here.
    import os
    import subprocess

    script = ("import sys\n"
              "before = sys._is_gil_enabled()\n"
              "import kelvex\n"
              "print(before, sys._is_gil_enabled(), kelvex._kelvex.__file__)\n")
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    done = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", script],
                          capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    before, after, path = done.stdout.strip().split(" ", 2)
    assert (before, after) == ("False", "False")
    assert path == _kelvex.__file__


# ---------------------------------------------------------------------------
# Import refusals, checked through the routine import uses
# ---------------------------------------------------------------------------

OLD = "kelvex: libcurl link-time version ({}) is older than compile-time version (8.21.0)"
NO_SSL = ("kelvex: libcurl link-time ssl backends ({}) do not include compile-time ssl "
          "backend (openssl)")


@pytest.mark.parametrize(
    "version_num, version_text, backends, refusal",
    [
        (0x0814FF, "8.20.255", ("openssl",), OLD.format("8.20.255")),
        (0x070000, "7.0.0", None, OLD.format("7.0.0")),  # the version is checked first
        (0x081500, "8.21.0", ("openssl",), None),
        (0x090000, "9.0.0", ("gnutls", "openssl"), None),
        (0x081500, "8.21.0", ("gnutls", "mbedtls", "wolfssl"),
         NO_SSL.format("gnutls, mbedtls, wolfssl")),
        (0x081500, "8.21.0", ("schannel",), NO_SSL.format("schannel")),
        (0x081500, "8.21.0", None, NO_SSL.format("none")),
    ],
)
def test_import_checks(version_num, version_text, backends, refusal):
    assert _kelvex._import_checks(version_num, version_text, backends) == refusal


def test_long_backend_list_is_cut_to_its_buffer():
    names = tuple(f"backend{i:02d}" + "x" * 30 for i in range(12))
    refusal = _kelvex._import_checks(0x081500, "8.21.0", names)
    listed = refusal[refusal.index("(") + 1:refusal.index(") do not include")]
    assert len(listed) == 199
    assert ", ".join(names).startswith(listed)
    assert refusal.endswith("compile-time ssl backend (openssl)")


def test_the_running_libcurl_passes_the_import_checks():
    info = _kelvex.version_info()
    assert _kelvex._import_checks(info[2], info[1], ("openssl",)) is None


# ---------------------------------------------------------------------------
# Types
# ---------------------------------------------------------------------------

def test_error_is_an_exception_class():
    assert issubclass(_kelvex.error, Exception)
    assert _kelvex.error.__module__ == "kelvex"
    assert _kelvex.error.__name__ == "error"


@pytest.mark.parametrize(
    "name, fields",
    [
        ("KhKey", ("key", "keytype")),
        ("CurlSockAddr", ("family", "socktype", "protocol", "addr")),
        ("HstsEntry", ("host", "expire", "include_subdomains")),
        ("HstsIndex", ("idx", "total")),
        ("WsFrame", ("age", "flags", "offset", "bytesleft", "len")),
    ],
)
def test_namedtuples(name, fields):
    cls = getattr(_kelvex, name)
    assert issubclass(cls, tuple)
    assert cls.__name__ == name
    assert cls._fields == fields
    item = cls(*range(len(fields)))
    assert tuple(item) == tuple(range(len(fields)))
    assert getattr(item, fields[-1]) == len(fields) - 1


@pytest.mark.parametrize("name, qualified", [
    ("Curl", "kelvex.Curl"),
    ("CurlMulti", "kelvex.CurlMulti"),
    ("CurlShare", "kelvex.CurlShare"),
    ("CurlMime", "kelvex.CurlMime"),
    ("CurlMimePart", "kelvex.CurlMimePart"),
])
def test_public_types(name, qualified):
    cls = getattr(_kelvex, name)
    assert isinstance(cls, type)
    assert f"{cls.__module__}.{cls.__qualname__}" == qualified


@pytest.mark.parametrize("name", ["CurlSlist", "CurlHttppost", "_MimeDataCbOwner"])
def test_internal_types_are_not_exported(name):
    assert not hasattr(_kelvex, name)


def test_mime_part_has_no_constructor():
    with pytest.raises(TypeError):
        _kelvex.CurlMimePart()


# ---------------------------------------------------------------------------
# Module functions
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("option", [8, -1, 2**31 - 1, -(2**31)])
def test_global_init_refuses_unknown_flags(option):
    with pytest.raises(ValueError, match="^invalid option to global_init$"):
        _kelvex.global_init(option)


@pytest.mark.parametrize("option", ["GLOBAL_DEFAULT", "GLOBAL_NOTHING", "GLOBAL_ACK_EINTR"])
def test_global_init_and_cleanup(option):
    assert _kelvex.global_init(getattr(_kelvex, option)) is None
    assert _kelvex.global_cleanup() is None
    assert _kelvex.global_cleanup() is None  # a second cleanup is harmless


@pytest.mark.parametrize(
    "call, args",
    [
        ("global_init", ()),
        ("global_init", (3, 4)),
        ("global_cleanup", (1,)),
        ("version_info", (11, 1)),
        ("easy_strerror", ()),
        ("url_strerror", (1, 2)),
    ],
)
def test_argument_count_errors_name_the_function(call, args):
    with pytest.raises(TypeError, match=rf"(^|\.){call}\(\) takes"):
        getattr(_kelvex, call)(*args)


@pytest.mark.parametrize(
    "call, arg",
    [
        ("global_init", "3"),
        ("version_info", "x"),
        ("multi_strerror", 1.5),
        ("share_strerror", b"1"),
        ("url_strerror", None),
    ],
)
def test_arguments_must_be_integers(call, arg):
    with pytest.raises(TypeError):
        getattr(_kelvex, call)(arg)


@pytest.mark.parametrize("call", ["global_init", "easy_strerror"])
def test_integer_arguments_out_of_range(call):
    with pytest.raises(OverflowError):
        getattr(_kelvex, call)(2**31)


def test_version_info_shape():
    info = _kelvex.version_info()
    assert len(info) == 12
    types = (int, str, int, str, int, str, int, str, tuple, (str, type(None)), int,
             (str, type(None)))
    for item, kind in zip(info, types):
        assert isinstance(item, kind)
    assert info[2] >= 0x081500
    assert "http" in info[8] and all(isinstance(p, str) for p in info[8])
    assert info[4] & _kelvex.VERSION_SSL
    assert info[5].startswith("OpenSSL/")
    assert f" libcurl/{info[1]} " in _kelvex.version
    assert _kelvex.version_info(1) == info  # libcurl answers with its one record


@pytest.mark.parametrize("function, code", [
    ("easy_strerror", 0),
    ("easy_strerror", 6),
    ("easy_strerror", 81),
    ("easy_strerror", 12345),
    ("easy_strerror", -1),
    ("multi_strerror", -1),
    ("multi_strerror", 1),
    ("multi_strerror", 9999),
    ("share_strerror", 3),
    ("share_strerror", 9999),
    ("url_strerror", 3),
    ("url_strerror", 9999),
])
def test_strerror_returns_libcurl_text(libcurl, function, code):
    expected = getattr(libcurl, "curl_" + function)(code).decode()
    assert getattr(_kelvex, function)(code) == expected


def test_strerror_of_an_unresolvable_host():
    assert _kelvex.easy_strerror(_kelvex.E_COULDNT_RESOLVE_HOST) == "Could not resolve hostname"


@pytest.mark.parametrize("name, first_line", [
    ("global_init", "global_init(option) -> None"),
    ("global_cleanup", "global_cleanup() -> None"),
    ("version_info", "version_info() -> tuple"),
    ("easy_strerror", "easy_strerror(errornum) -> str"),
    ("multi_strerror", "multi_strerror(errornum) -> str"),
    ("share_strerror", "share_strerror(errornum) -> str"),
    ("url_strerror", "url_strerror(errornum) -> str"),
])
def test_function_docstrings(name, first_line):
    assert getattr(_kelvex, name).__doc__.splitlines()[0] == first_line


def test_module_docstring():
    assert _kelvex.__doc__.splitlines()[0] == (
        "This module implements an interface to the cURL library.")


def _stub_names(body):
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
    return {name for name in names if not name.startswith("_")}


def _stub_tree():
    import kelvex

    stub = pathlib.Path(kelvex.__file__).with_name("_kelvex.pyi")
    return ast.parse(stub.read_text())


def test_type_stubs_name_every_public_attribute():
    public = {name for name in vars(_kelvex) if not name.startswith("_")}
    assert _stub_names(_stub_tree().body) - names_missing_for_older_libcurl() == public


def test_type_stubs_name_every_method_and_attribute_of_each_type():
    classes = [node for node in _stub_tree().body if isinstance(node, ast.ClassDef)]
    assert classes
    for node in classes:
        cls = getattr(_kelvex, node.name)
        public = {name for name in vars(cls) if not name.startswith("_")}
        assert _stub_names(node.body) == public, node.name


@pytest.mark.parametrize("blocked", ["io", "collections", "datetime"])
def test_failed_import_cleans_up_and_a_later_import_works(blocked):
    # A module that import needs is made unimportable; the failed import
    # must release what it made so that the next attempt starts clean.
    import subprocess
    import textwrap

    script = textwrap.dedent(f"""
        import sys
        saved = sys.modules.get({blocked!r})
        sys.modules[{blocked!r}] = None
        try:
            import kelvex._kelvex
        except ImportError as e:
            assert {blocked!r} in str(e), e
        else:
            raise AssertionError("import did not fail")
        sys.modules[{blocked!r}] = saved
        if saved is None:
            del sys.modules[{blocked!r}]
        from kelvex import _kelvex
        assert _kelvex.version.startswith("Kelvex/7.47.0 ")
        assert _kelvex.URL == 10002 and _kelvex.WsFrame._fields[0] == "age"
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok\n"


def test_package_reexports_the_extension():
    import kelvex

    public = {name for name in vars(_kelvex) if not name.startswith("_")}
    assert [name for name in public if getattr(kelvex, name) is not getattr(_kelvex, name)] == []


def test_package_version_is_the_distributions():
    import tomllib

    import kelvex

    pyproject = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
    assert kelvex.__version__ == tomllib.loads(pyproject.read_text())["project"]["version"]

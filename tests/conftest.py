"""Shared helpers for the tarvix test suite."""

import os
import subprocess
import sys
import textwrap

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

"""Shared helpers for the tarvix test suite."""

import os
import subprocess
import sys
import textwrap

import pytest

# Python source, for use inside child interpreters: locates the extension
# module `tarvix.<name>` without executing the package's __init__, so that a
# test controls exactly when the extension module is created and executed.
FIND_EXTENSION_SPEC = textwrap.dedent(
    """
    import importlib.machinery
    import importlib.util
    import sys

    def find_extension_spec(name):
        full_name = "tarvix." + name
        package_spec = importlib.util.find_spec("tarvix")
        assert package_spec is not None, "package tarvix not found"
        spec = None
        if package_spec.submodule_search_locations:
            spec = importlib.machinery.PathFinder.find_spec(
                full_name, list(package_spec.submodule_search_locations)
            )
        if spec is None:
            # Fallback for installs that redirect imports; this imports the
            # package itself.
            spec = importlib.util.find_spec(full_name)
        assert spec is not None, full_name + " not found"
        assert full_name not in sys.modules, full_name + " was already imported"
        return spec
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
        source = FIND_EXTENSION_SPEC + "\n" + textwrap.dedent(code)
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

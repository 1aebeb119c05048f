"""One run of the engine: the document written into a folder of its own, the engine run there (with
ExpandObjects first when the document has HVAC templates), its messages read back into a Result."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
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
_SQLITE = re.compile(r"(?:^|;)\s*Output:SQLite\s*[,;]", re.IGNORECASE | re.MULTILINE)
_STARTING = re.compile(r"^\s*(Starting|Continuing) Simulation at (\d\d)/(\d\d)(?:/\d+)? for (.*?)\s*$")
_DAYS_BEFORE = (0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334)


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


@dataclass(frozen=True)
class Prepared:
    """A document as it will be written into the run's folder."""

    data: bytes
    suffix: str  # ".idf" or ".epJSON"
    templates: bool


def prepare(model: Any, sqlite: bool = True) -> Prepared:
    """The bytes of `model` (an IDF, or the path of an .idf or .epJSON file) as run() writes them, with an
    Output:SQLite object added when `sqlite` and the document has none."""
    if isinstance(model, (str, os.PathLike)):
        path = Path(model)
        if not path.is_file():
            raise FileNotFoundError(f"no such document: {path}")
        if path.suffix.lower() == ".epjson":
            return _prepare_epjson(path.read_bytes(), sqlite)
        if path.suffix.lower() not in (".idf", ".imf"):
            raise ValueError(f"{path}: a document to run is an .idf or .epJSON file")
        raw = path.read_bytes()
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            text = raw.decode("latin-1")
        return _prepare_idf(text, sqlite, "latin-1" if not _is_utf8(raw) else "utf-8")
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
    return Prepared(text.encode(encoding), ".idf", bool(_TEMPLATE.search(code)))


def _prepare_epjson(raw: bytes, sqlite: bool) -> Prepared:
    document = json.loads(raw)
    if not isinstance(document, dict):
        raise ValueError("an epJSON document is a JSON object")
    classes = {name.lower() for name in document}
    if sqlite and "output:sqlite" not in classes:
        document["Output:SQLite"] = {"Output:SQLite 1": {"option_type": "SimpleAndTabular"}}
        raw = json.dumps(document, indent=2).encode()
    return Prepared(raw, ".epJSON", any(name.startswith("hvactemplate:") for name in classes))


def _run_folder(output_dir: str | os.PathLike[str] | None) -> Path:
    if output_dir is None:
        return Path(tempfile.mkdtemp(prefix="tarvix-run-"))
    # Absolute: the engine runs in the folder and is given its paths.
    folder = Path(output_dir).absolute()
    folder.mkdir(parents=True, exist_ok=True)
    return folder


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
    """Run a prepared document in `folder` (which exists) and read the result."""
    started = time.perf_counter()
    folder = folder.absolute()  # the engine runs in it and is given its paths
    source = folder / f"in{prepared.suffix}"
    source.write_bytes(prepared.data)
    expand = prepared.templates if expand_objects is None else expand_objects
    arguments: list[str | Path] = [engine.executable]
    env = engine_environment()
    if expand and prepared.suffix == ".idf" and engine.expand_objects is not None:
        # ExpandObjects reads in.idf and Energy+.idd from its working folder and writes expanded.idf there.
        shutil.copyfile(engine.idd_path, folder / "Energy+.idd")
        subprocess.run([engine.expand_objects], cwd=folder, env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout)
        if (folder / "expanded.idf").is_file():
            source = folder / "expanded.idf"
    elif expand:
        arguments.append("-x")
    if weather is not None:
        arguments += ["-w", weather]
    if design_day:
        arguments.append("-D")
    if annual:
        arguments.append("-a")
    if readvars:
        arguments.append("-r")
    arguments += ["-d", folder, source]
    process = subprocess.Popen(arguments, cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               start_new_session=True)
    timed_out = threading.Event()
    timer = None
    if timeout is not None:
        def expire() -> None:
            timed_out.set()
            _kill(process)

        timer = threading.Timer(timeout, expire)
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
    if progress is not None:
        progress(index, "", 1.0)
    err = folder / "eplusout.err"
    messages = parse_err(err.read_text(encoding="utf-8", errors="replace")) if err.is_file() else []
    if timed_out.is_set():
        messages.append(Message("fatal", f"the engine was stopped after the timeout of {timeout} s"))
    files = {p.name: p for p in sorted(folder.iterdir()) if p.is_file()}
    fatal = any(m.severity == "fatal" for m in messages)
    ok = returncode == 0 and not fatal and not timed_out.is_set() and err.is_file()
    return Result(ok, returncode, folder, time.perf_counter() - started, engine.version, messages, files,
                  timed_out.is_set())


def check_options(design_day: bool, annual: bool, weather: Any) -> Path | None:
    if design_day and annual:
        raise ValueError("design_day and annual exclude each other")
    if weather is None:
        if annual:
            raise ValueError("an annual run needs a weather file")
        return None
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
    `readvars` runs ReadVarsESO after. `timeout` (seconds) ends the engine's process group and the result
    says so. `progress(index, environment, fraction)` is called as the engine reports its days.

    A simulation that fails is a Result with ok=False; exceptions are for bad arguments and a missing engine."""
    weather_path = check_options(design_day, annual, weather)
    found = engine if isinstance(engine, Engine) else find_engine(engine)
    prepared = prepare(model, sqlite)
    return execute(prepared, weather_path, _run_folder(output_dir), found, design_day=design_day, annual=annual,
                   expand_objects=expand_objects, readvars=readvars, timeout=timeout, progress=progress)

"""Many runs: on local processes, any concurrent.futures.Executor or a Dask client, with a result cache."""

import concurrent.futures
import hashlib
import json
import multiprocessing
import os
import re
import shutil
import signal
import stat
import sys
import tempfile
import threading
import time
import uuid
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tarvix.simulation._engine import Engine, find_engine
from tarvix.simulation._run import (
    Message,
    Prepared,
    Result,
    check_options,
    check_timeout,
    clear_outputs,
    execute,
    prepare,
)

# What a run keeps when it happens away from the caller's disk, and what the cache stores.
KEPT_FILES = ("eplusout.err", "eplusout.sql", "eplusout.eso", "eplusout.mtr", "eplusout.end", "eplusout.csv",
              "eplusmtr.csv", "eplustbl.csv")
# run()'s options that change what the engine computes (and so the cache's key).
_KEYED_OPTIONS = ("design_day", "annual", "expand_objects", "readvars")
_KEY = re.compile(r"[0-9a-f]{64}")
# An entry's result.json larger than this is no entry of ours.
_MAX_RESULT_BYTES = 64 << 20
_RUN_OPTIONS = {"output_dir", "engine", "design_day", "annual", "expand_objects", "readvars", "timeout", "sqlite"}


@dataclass(init=False)
class Job:
    """One run of run_many(): a model (an IDF or a document's path), its weather file and run()'s keyword
    options (output_dir, design_day, annual, expand_objects, readvars, timeout, sqlite, engine)."""

    model: Any
    weather: str | os.PathLike[str] | None = None
    options: dict[str, Any] = field(default_factory=dict)

    def __init__(self, model: Any, weather: str | os.PathLike[str] | None = None, **options: Any):
        unknown = set(options) - _RUN_OPTIONS
        if unknown:
            raise TypeError(f"Job got unknown run options: {', '.join(sorted(unknown))}")
        self.model = model
        self.weather = weather
        self.options = options


def _job(job: Job | Mapping[str, Any]) -> Job:
    if isinstance(job, Job):
        return job
    if isinstance(job, Mapping):
        values = dict(job)
        if "model" not in values:
            raise TypeError("a job given as a dict needs a 'model'")
        return Job(values.pop("model"), values.pop("weather", None), **values)
    raise TypeError(f"a job is a Job or a dict, not {type(job).__name__}")


class Cache:
    """A folder of stored results, keyed by the document's bytes as written, the weather file's bytes, the
    engine's version and the run's options. Safe to share between processes: an entry is written under a
    temporary name and renamed into place."""

    def __init__(self, folder: str | os.PathLike[str]):
        self.folder = Path(folder).absolute()
        self.folder.mkdir(parents=True, exist_ok=True)

    def __repr__(self) -> str:
        return f"Cache({str(self.folder)!r})"

    @staticmethod
    def key(prepared: Prepared, weather: bytes | None, version: str, options: Mapping[str, Any]) -> str:
        """The entry's name: a SHA-256 over the document's bytes, the weather file's SHA-256 (of its bytes;
        b"" for none), the engine's version and the options that change what the engine computes."""
        digest = hashlib.sha256()
        for part in (prepared.suffix.encode(), prepared.data, weather or b"", version.encode(),
                     json.dumps({k: options.get(k) for k in _KEYED_OPTIONS}, sort_keys=True).encode()):
            digest.update(len(part).to_bytes(8, "little"))
            digest.update(part)
        return digest.hexdigest()

    def _entry(self, key: str) -> Path:
        if not isinstance(key, str) or not _KEY.fullmatch(key):
            raise ValueError(f"not a cache key: {key!r} (a key is 64 hexadecimal digits, as Cache.key gives)")
        return self.folder / key

    def _read(self, entry: Path) -> dict[str, Any] | None:
        """The fields of a stored entry, or None when it is missing or not an entry as put() writes one: a
        folder (not a link) holding result.json of the right shape and every file that names, each a
        regular file of the entry's own. Only JSON is read from it; nothing in it is run or unpickled."""
        try:
            if not stat.S_ISDIR(os.lstat(entry).st_mode):
                return None
            descriptor = os.open(entry / "result.json", os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0))
            with os.fdopen(descriptor, "rb") as file:
                if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                    return None
                raw = file.read(_MAX_RESULT_BYTES + 1)
            if len(raw) > _MAX_RESULT_BYTES:
                return None
            data: dict[str, Any] = json.loads(raw)
            Result.from_json(data, entry)  # the shape, checked
            names = data["files"]
            if len(set(names)) != len(names) or not all(name in KEPT_FILES for name in names):
                return None
            if not all(stat.S_ISREG(os.lstat(entry / name).st_mode) for name in names):
                return None
        except (OSError, ValueError, RecursionError):
            return None
        return data

    def get(self, key: str, output_dir: str | os.PathLike[str] | None = None, *,
            protected: Sequence[Path] = ()) -> Result | None:
        """The stored result of `key` (`cached` set) or None, also for an entry that is damaged or not one
        of ours (then a run stores its own over it); its files are copied into `output_dir` when one is
        given, in place of what an earlier run left there (never over one of `protected`), else the result
        points into the cache's own folder."""
        entry = self._entry(key)
        data = self._read(entry)
        if data is None:
            return None
        folder = entry
        if output_dir is not None:
            folder = Path(output_dir).absolute()
            folder.mkdir(parents=True, exist_ok=True)
            clear_outputs(folder, protected, KEPT_FILES)
            for name in data["files"]:
                _place(entry / name, folder / name)
        result = Result.from_json(data, folder)
        result.cached = True
        return result

    def put(self, key: str, result: Result) -> None:
        """Store a result (its kept files and plain fields); a key already stored is left as it is, and an
        entry that is damaged or not one of ours is replaced."""
        entry = self._entry(key)
        if self._read(entry) is not None:
            return
        temporary = self.folder / f".{key}.{os.getpid()}.{uuid.uuid4().hex}"
        temporary.mkdir()
        try:
            kept = {name: path for name, path in result.files.items() if name in KEPT_FILES}
            for name, path in kept.items():
                shutil.copyfile(path, temporary / name)
            data = result.to_json()
            data["files"] = sorted(kept)
            (temporary / "result.json").write_text(json.dumps(data), encoding="utf-8")
            try:
                os.replace(temporary, entry)
            except OSError:
                if self._read(entry) is not None:
                    return  # another process stored it meanwhile
                self._discard(entry)
                os.replace(temporary, entry)
        except OSError:
            if self._read(entry) is None:
                raise
        finally:
            shutil.rmtree(temporary, ignore_errors=True)

    def _discard(self, entry: Path) -> None:
        """A damaged entry (a folder, a file or a link) moved aside and removed; a link's target is never
        touched."""
        stale = self.folder / f".{entry.name}.stale.{uuid.uuid4().hex}"
        try:
            os.replace(entry, stale)
        except FileNotFoundError:
            return
        if stale.is_dir() and not stale.is_symlink():
            shutil.rmtree(stale, ignore_errors=True)
        else:
            stale.unlink(missing_ok=True)


def _place(source: Path, target: Path) -> None:
    """A stored file copied into a job's folder (not linked: a later run in that folder must not write
    into the cache's entry). An older file there is removed first rather than truncated: rewriting a file
    in place makes some file systems (ext4) flush it to disk first, which costs more than the copy."""
    if source.is_file():
        target.unlink(missing_ok=True)
        shutil.copyfile(source, target)


def _failure(error: BaseException, folder: Path, version: str) -> Result:
    text = f"{type(error).__name__}: {error}"
    return Result(False, None, folder, 0.0, version, [Message("fatal", text)], {}, False)


# Set in each process of run_many's own pool: the caller was interrupted, start no more runs.
_STOP: Any = None


def _worker_start(stop: Any, caller: int | None = None) -> None:
    """A pool process ignores Ctrl-C while it waits for work; run_many passes an interrupt on to the
    processes that are running the engine (which then end its process group). The pool's processes are
    not the caller's children (a fork server starts them), so nothing ends them when the caller is killed
    outright: each watches the caller, and when it is gone ends its run and itself rather than go on with
    the jobs queued, whose folders a caller started again would be running in."""
    global _STOP
    _STOP = stop
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if caller is not None:
        threading.Thread(target=_watch, args=(caller,), name="tarvix-caller-watch", daemon=True).start()


def _watch(caller: int, interval: float = 0.25) -> None:
    while True:
        time.sleep(interval)
        try:
            os.kill(caller, 0)
        except ProcessLookupError:
            break
        except OSError:
            pass
    _STOP.set()
    os.kill(os.getpid(), signal.SIGINT)  # a run in progress ends its engine's process group
    time.sleep(2.0)
    os._exit(1)


def _local(prepared: Prepared, weather: Path | None, folder: str, engine: Engine, options: dict[str, Any],
           index: int, progress: Callable[[int, str, float], object] | None = None) -> Result:
    if _STOP is None:
        return execute(prepared, weather, Path(folder), engine, index=index, progress=progress, **options)
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        if _STOP.is_set():
            raise KeyboardInterrupt
        return execute(prepared, weather, Path(folder), engine, index=index, **options)
    finally:
        signal.signal(signal.SIGINT, previous)


def _interrupt(pool: concurrent.futures.ProcessPoolExecutor, stop: Any) -> None:
    """Stop the pool's runs: no new one starts, and the running engines are ended (as Ctrl-C at a terminal
    does, also when the signal came to this process alone)."""
    stop.set()
    for pid in list(getattr(pool, "_processes", None) or {}):
        try:
            os.kill(pid, signal.SIGINT)
        except OSError:
            pass


def _remote(prepared: Prepared, weather: bytes | None, weather_name: str, options: dict[str, Any],
            engine_path: str | None) -> tuple[dict[str, Any], dict[str, bytes]]:
    """A run in a folder of the worker's own; gives back the result's fields and the kept files' bytes."""
    engine = find_engine(engine_path)
    with tempfile.TemporaryDirectory(prefix="tarvix-run-") as work:
        folder = Path(work) / "run"
        folder.mkdir()
        weather_path = None
        if weather is not None:
            weather_path = Path(work) / weather_name
            weather_path.write_bytes(weather)
        result = execute(prepared, weather_path, folder, engine, **options)
        files = {name: path.read_bytes() for name, path in result.files.items() if name in KEPT_FILES}
        data = result.to_json()
        data["files"] = sorted(files)
        return data, files


class _InThisProcess(concurrent.futures.Executor):
    """Runs a lone job at once in the calling thread: the engine is a process of its own either way, and
    so its days are reported as it runs and an interrupt reaches the run directly."""

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> concurrent.futures.Future[Any]:
        future: concurrent.futures.Future[Any] = concurrent.futures.Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:
            future.set_exception(error)
        return future


def _is_dask(executor: Any) -> bool:
    return type(executor).__module__.split(".")[0] == "distributed"


def run_many(
    jobs: Iterable[Job | Mapping[str, Any]],
    *,
    workers: int | None = None,
    executor: Any = None,
    cache: Cache | str | os.PathLike[str] | None = None,
    progress: Callable[[int, str, float], object] | None = None,
) -> list[Result]:
    """Run every job and return their results in the jobs' order; a job that fails (even before the engine
    starts) is a result with ok=False and the error as a fatal message. Jobs run on `workers` local
    processes (default: the number of cores), or on `executor`: any concurrent.futures.Executor, or a
    dask.distributed.Client, to whose workers the document's text and the weather file's bytes travel and
    from which the kept files (.err, .sql, .eso, ...) come back into each job's output folder. With `cache`
    (a folder or a Cache) a job already run returns its stored result without running the engine.
    `progress(index, "", 1.0)` is called as each job completes; a lone job on local processes runs from
    this process, and `progress(index, environment, fraction)` is also called as the engine reports its
    days. Without `progress`, a bar over the jobs shows on stderr when it is a terminal and tqdm is
    installed."""
    listed = [_job(job) for job in jobs]
    bar = _default_bar(len(listed)) if progress is None else None
    if bar is not None:
        progress = lambda index, environment, fraction: bar.update(1)  # noqa: E731
    if isinstance(cache, (str, os.PathLike)):
        cache = Cache(cache)
    dask = executor is not None and _is_dask(executor)
    engines: dict[Any, Engine] = {}
    results: list[Result | None] = [None] * len(listed)
    pending: dict[Any, tuple[int, Path, str | None]] = {}
    weather_bytes: dict[Path, bytes] = {}
    protected_of: dict[int, list[Path]] = {}
    weather_digests: dict[Path, bytes] = {}
    own_pool = None
    stop = None
    here = executor is None and len(listed) == 1
    days: Callable[[int, str, float], object] | None = None
    if here:
        executor = _InThisProcess()
        if progress is not None:
            report = progress

            def days(index: int, environment: str, fraction: float) -> None:
                if environment:  # a lone run's days; its completion is reported below, as every job's is
                    report(index, environment, fraction)
    elif executor is None:
        # Not forked: the caller may have threads (a Dask client, a progress bar) a fork would copy half-way.
        context = multiprocessing.get_context("forkserver" if sys.platform != "win32" else "spawn")
        stop = context.Event()
        own_pool = concurrent.futures.ProcessPoolExecutor(max_workers=workers or os.cpu_count() or 1,
                                                          mp_context=context, initializer=_worker_start,
                                                          initargs=(stop, os.getpid()))
        executor = own_pool

    def finish(future: Any, index: int, folder: Path, key: str | None) -> None:
        try:
            if dask:
                data, files = future.result()
                clear_outputs(folder, protected_of[index], KEPT_FILES)
                for name, content in files.items():
                    if name not in KEPT_FILES:
                        raise ValueError(f"a worker sent back a file that is no run's output: {name!r}")
                    (folder / name).unlink(missing_ok=True)
                    (folder / name).write_bytes(content)
                result = Result.from_json(data, folder)
            else:
                result = future.result()
            if cache is not None and key is not None:
                cache.put(key, result)
        except Exception as error:
            result = _failure(error, folder, "")
        results[index] = result
        if progress is not None:
            progress(index, "", 1.0)

    window = _window(executor, dask)
    try:
        for index, job in enumerate(listed):
            options = dict(job.options)
            output_dir = options.pop("output_dir", None)
            engine_arg = options.pop("engine", None)
            sqlite = options.pop("sqlite", True)
            folder = (Path(output_dir).absolute() if output_dir is not None
                      else Path(tempfile.mkdtemp(prefix="tarvix-run-")))
            version = ""
            try:
                folder.mkdir(parents=True, exist_ok=True)
                weather = check_options(options.get("design_day", False), options.get("annual", False),
                                        job.weather)
                check_timeout(options.get("timeout"))
                engine_key = engine_arg if not isinstance(engine_arg, Engine) else engine_arg.executable
                if engine_key not in engines:
                    engines[engine_key] = engine_arg if isinstance(engine_arg, Engine) else find_engine(engine_arg)
                engine = engines[engine_key]
                version = engine.version
                prepared = prepare(job.model, sqlite)
                protected_of[index] = [p for p in (prepared.source, weather) if p is not None]
                data = None
                if weather is not None and (dask or cache is not None):
                    if weather not in weather_bytes:
                        weather_bytes[weather] = weather.read_bytes()
                    data = weather_bytes[weather]
                key = None
                if cache is not None:
                    if weather is not None and weather not in weather_digests:
                        weather_digests[weather] = hashlib.sha256(weather_bytes[weather]).digest()
                    digest = weather_digests[weather] if weather is not None else None
                    key = cache.key(prepared, digest, version, options)
                    hit = cache.get(key, folder, protected=protected_of[index])
                    if hit is not None:
                        results[index] = hit
                        if progress is not None:
                            progress(index, "", 1.0)
                        continue
                if dask:
                    engine_path = str(engine_arg) if isinstance(engine_arg, (str, os.PathLike)) else None
                    future = executor.submit(_remote, prepared, data, weather.name if weather else "in.epw",
                                             options, engine_path, pure=False)
                else:
                    future = executor.submit(_local, prepared, weather, str(folder), engine, options, index,
                                             days)
                pending[future] = (index, folder, key)
            except Exception as error:
                results[index] = _failure(error, folder, version)
            # Jobs go out a window at a time: each submitted job holds its document's bytes until it runs.
            while len(pending) >= window:
                for future in _first_done(pending, dask):
                    finish(future, *pending.pop(future))
        while pending:
            for future in _first_done(pending, dask):
                finish(future, *pending.pop(future))
    except BaseException:
        if own_pool is not None:
            _interrupt(own_pool, stop)
        elif dask:
            executor.cancel(list(pending))
        raise
    finally:
        if own_pool is not None:
            own_pool.shutdown(cancel_futures=True)
        if bar is not None:
            bar.close()
    return [r for r in results if r is not None]


def _default_bar(total: int, unit: str = "run") -> Any:
    """A tqdm bar over `total` jobs (or other units) on stderr, redrawn at most four times a second; None
    when stderr is not a terminal, tqdm is not installed or there is one job."""
    try:
        if total < 2 or not sys.stderr.isatty():
            return None
        from tqdm import tqdm
    except (ImportError, ValueError, OSError):
        return None
    return tqdm(total=total, unit=unit, file=sys.stderr, leave=False, mininterval=0.25)


def _window(executor: Any, dask: bool) -> int:
    """How many jobs may wait submitted at once: twice what the executor runs at once."""
    try:
        if dask:
            slots = sum(executor.nthreads().values())
        else:
            slots = int(getattr(executor, "_max_workers", 0) or 0)
    except Exception:
        slots = 0
    return max(2 * slots, 4) if slots else 64


def _first_done(pending: dict[Any, Any], dask: bool) -> Iterable[Any]:
    """The pending futures that are done, once at least one is."""
    if dask:
        from distributed import wait

        finished: Iterable[Any] = wait(list(pending), return_when="FIRST_COMPLETED").done
        return finished
    done, _ = concurrent.futures.wait(list(pending), return_when=concurrent.futures.FIRST_COMPLETED)
    return done

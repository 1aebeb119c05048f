"""A study: the base model, its parameters, a design, the outputs; variants written and run, one table."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, TypeVar

from tarvix import _schemas, idd as _idd, idf as _idf
from tarvix.simulation import Cache, Engine, Job, Result, find_engine, run_many
from tarvix.simulation._many import _default_bar
from tarvix.study._design import Design
from tarvix.study._outputs import STATUS_COLUMNS, Output, StudyResults, read_outputs
from tarvix.study._parameters import FieldParameter, Parameter, Target, WeatherParameter

DESIGN_FILE = "design.json"
T = TypeVar("T")
RESULTS_FILE = "results.csv"


def _load_base(base: Any, idd: _idd.IDD | str | os.PathLike[str] | None) -> tuple[_idd.IDD, str]:
    """The base model's schema and its text (the document's own text where it kept it, else the standard
    layout)."""
    if isinstance(base, tuple):
        return base
    if isinstance(base, _idf.IDF):
        try:
            return base.idd, base.format(keep_layout=True)
        except ValueError:
            return base.idd, base.format()
    if not isinstance(base, (str, os.PathLike)):
        raise TypeError(f"the base model is an IDF or the path of an .idf file, not {type(base).__name__}")
    path = Path(base)
    if not path.is_file():
        raise FileNotFoundError(f"no such document: {path}")
    if isinstance(idd, _idd.IDD):
        doc, _ = _schemas.read_file(lambda p, e: _idf.IDF.from_file(idd, p, e, keep_layout=True), path,
                                    _schemas.AUTO, "encoding")
    else:  # a schema file, a folder of them (by the document's version), or the engine's
        doc = _schemas.open_idf(path, idd if idd is not None else find_engine().idd_path, keep_layout=True)
    return doc.idd, doc.format(keep_layout=True)


class VariantError(Exception):
    """A variant that cannot be made: an edit function raised for its value."""


class _Variants:
    """Writes variants of the base model. Field parameters are applied to one loaded copy of the base and
    undone after each variant (the raw texts put back), so that a variant costs an edit and a write, not a
    parse; a variant with an edit function gets a fresh copy, parsed again from the base's text."""

    def __init__(self, idd: _idd.IDD, text: str, parameters: Sequence[Parameter]) -> None:
        self.idd = idd
        self.text = text
        self.parameters = list(parameters)
        self.reusable = all(p.kind != "edit" for p in parameters)
        self.base = self._fresh()
        # The fields each field parameter writes, by their positions in the base (the same in every copy
        # parsed from its text).
        self.targets: dict[int, list[Target]] = {}
        for index, p in enumerate(self.parameters):
            if isinstance(p, FieldParameter):
                self.targets[index] = p.targets(self.base)
                p.checked(self.base, targets=self.targets[index])
            else:
                p.checked(self.base)
        if self.base.format(keep_layout=True) != text:
            raise ValueError("a parameter changed the base model while it was being checked (a filter that "
                             "edits the objects it is given?): filters only choose")
        # The raw text of every field the field parameters write, and how many fields each object stored.
        self._saved: dict[tuple[str, int], tuple[_idf.IDFObject, list[bytes]]] = {}

    def _fresh(self) -> _idf.IDF:
        return _idf.IDF.from_string(self.idd, self.text, keep_layout=True)

    def text_of(self, values: Sequence[Any]) -> str:
        """The text of the variant taking `values` (in the parameters' order)."""
        return self._with(values, lambda doc: doc.format(keep_layout=True))

    def save(self, values: Sequence[Any], path: Path) -> None:
        """Write the variant taking `values` to `path` (through a temporary file renamed over it); a file
        there with these very bytes (a study resumed writes its variants again) is left as it is."""

        def write(doc: _idf.IDF) -> None:
            try:
                same = (not path.is_symlink() and path.is_file()
                        and path.read_bytes() == doc.format(keep_layout=True).encode("utf-8"))
            except OSError:
                same = False
            if not same:
                if path.is_symlink():
                    path.unlink()  # a link there is replaced, never written through
                doc.save(path, keep_layout=True)

        self._with(values, write)

    def _with(self, values: Sequence[Any], use: Callable[[_idf.IDF], T]) -> T:
        """`use(doc)` of the variant: field parameters first (at their fields in the base), then the edit
        functions in the parameters' order."""
        if not self.reusable:
            doc = self._fresh()
            for index, (p, value) in enumerate(zip(self.parameters, values)):
                if isinstance(p, FieldParameter):
                    p.apply(doc, value, self.targets[index])
            for p, value in zip(self.parameters, values):
                if not isinstance(p, FieldParameter):
                    try:
                        p.apply(doc, value)
                    except Exception as error:
                        raise VariantError(f"parameter {p.name!r} = {value!r}: {type(error).__name__}: "
                                           f"{error}") from error
            return use(doc)
        doc = self.base
        touched: list[tuple[_idf.IDFObject, list[bytes]]] = []
        try:
            for index, (p, value) in enumerate(zip(self.parameters, values)):
                if isinstance(p, FieldParameter):
                    for target in self.targets[index]:
                        touched.append(self._state(doc, target))
                    p.apply(doc, value, self.targets[index])
            return use(doc)
        finally:
            self._undo(touched)

    def _state(self, doc: _idf.IDF, target: Target) -> tuple[_idf.IDFObject, list[bytes]]:
        key = (target.class_name, target.position)
        saved = self._saved.get(key)
        if saved is None:
            obj = doc[target.class_name][target.position]
            saved = self._saved[key] = (obj, list(_raw(obj)))
        return saved

    def _undo(self, touched: list[tuple[_idf.IDFObject, list[bytes]]]) -> None:
        """Put back each touched object's raw texts; when one cannot be put back exactly (its stored field
        count changed, or a text that is not UTF-8), the copy is dropped and the next variant parses the
        base again."""
        exact = True
        for obj, raw in touched:
            try:
                now = _raw(obj)
                if now == raw:
                    continue
                for index, text in enumerate(raw):
                    if index < len(now) and now[index] != text:
                        obj[index] = text.decode("utf-8")
                exact = exact and _raw(obj) == raw
            except (UnicodeDecodeError, ValueError, IndexError):
                exact = False
        if not exact:
            self._saved.clear()
            self.base = self._fresh()


def _raw(obj: _idf.IDFObject) -> list[bytes]:
    """The stored value texts of an object, as the document holds them."""
    state = obj.__reduce__()[2]
    values = state[-1] if isinstance(state, tuple) and state else None
    if not isinstance(values, list):
        raise ValueError("the object keeps no values")
    return values


class Study:
    """A parametric study: variants of `base` (an IDF, or a document's path loaded against `idd`: a schema,
    a folder of them, or by default the engine's), one per row of `design` (default: the grid of the
    parameters' values), each run with `weather` (unless a weather() parameter gives it) and the run
    options (design_day, annual, timeout, expand_objects, readvars, engine), the `outputs` read from each
    run. Everything lives in `folder`: design.json, variants/ (each variant's document, the base's text
    changed only where its parameters are), runs/ (each variant's run), cache/ (unless `cache` names
    another: a Cache shared between studies is safe) and results.csv."""

    def __init__(
        self,
        base: Any,
        parameters: Sequence[Parameter],
        *,
        folder: str | os.PathLike[str],
        design: Design | None = None,
        outputs: Sequence[Output] = (),
        weather: str | os.PathLike[str] | None = None,
        idd: _idd.IDD | str | os.PathLike[str] | None = None,
        design_day: bool = False,
        annual: bool = False,
        timeout: float | None = None,
        expand_objects: bool | None = None,
        readvars: bool = False,
        engine: Engine | str | os.PathLike[str] | None = None,
        cache: Cache | str | os.PathLike[str] | None = None,
    ) -> None:
        self.parameters = list(parameters)
        if not self.parameters:
            raise ValueError("a study needs at least one parameter")
        for p in self.parameters:
            if not isinstance(p, Parameter):
                raise TypeError(f"a parameter is made by tarvix.study.field(), edit() and the like, not "
                                f"{type(p).__name__}")
        self.design = design if design is not None else Design.grid(self.parameters)
        names = [p.name for p in self.parameters]
        if self.design.parameters != names:
            raise ValueError(f"the design's parameters ({', '.join(self.design.parameters)}) are not the "
                             f"study's ({', '.join(names)})")
        self.outputs = list(outputs)
        taken = {n.lower() for n in names} | {"variant", *STATUS_COLUMNS}
        for output in self.outputs:
            if not isinstance(output, Output):
                raise TypeError(f"an output is made by Output.tabular(), .series() or .function(), not "
                                f"{type(output).__name__}")
            if output.name.lower() in taken:
                raise ValueError(f"output {output.name!r}: a parameter or another column has that name")
            taken.add(output.name.lower())
        self.folder = Path(folder).absolute()
        self.weather = weather
        self.options: dict[str, Any] = {"design_day": design_day, "annual": annual, "timeout": timeout,
                                        "expand_objects": expand_objects, "readvars": readvars}
        if engine is not None:
            self.options["engine"] = engine
        self._check_weather()
        self.cache = cache
        # A document given is taken as it is now: later edits of it do not change the study.
        self._base = _load_base(base, None) if isinstance(base, _idf.IDF) else base
        self._idd = idd
        self._variants: _Variants | None = None
        # The variants write() could not make, by id: why.
        self.unmade: dict[str, str] = {}
        self._check_values()

    def _check_weather(self) -> None:
        by_parameter = any(isinstance(p, WeatherParameter) for p in self.parameters)
        if self.weather is not None and not Path(self.weather).is_file():
            raise FileNotFoundError(f"no such weather file: {self.weather}")
        if self.weather is None and not by_parameter and not self.options["design_day"]:
            raise ValueError("a study that runs more than the design days needs a weather file: give weather=, "
                             "a weather() parameter, or design_day=True")

    def _check_values(self) -> None:
        """The design's values of each range parameter, checked to lie in its range."""
        for index, p in enumerate(self.parameters):
            if p.range is None:
                continue
            low, high = p.range
            for number, row in enumerate(self.design.rows):
                value = row[index]
                if not isinstance(value, (int, float)) or isinstance(value, bool) or not low <= value <= high:
                    raise ValueError(f"parameter {p.name!r}: row {number} of the design takes {value!r}, "
                                     f"outside its range ({low!r}, {high!r})")

    def __repr__(self) -> str:
        return f"<Study {len(self.design)} variants of {', '.join(p.name for p in self.parameters)} in {self.folder}>"

    # -- writing --------------------------------------------------------------------------------------------

    def _writer(self) -> _Variants:
        if self._variants is None:
            idd, text = _load_base(self._base, self._idd)
            variants = _Variants(idd, text, self.parameters)
            # The values the design gives (a table's, a sampler's) are checked against the fields too.
            for index, p in enumerate(self.parameters):
                if isinstance(p, FieldParameter):
                    p.checked(variants.base, {repr(r[index]): r[index] for r in self.design.rows}.values(),
                              variants.targets[index])
            self._variants = variants
        return self._variants

    def ids(self) -> list[str]:
        """The variants' ids, in the design's order: v0000, v0001, ... (as many digits as the count needs)."""
        width = max(4, len(str(len(self.design) - 1)))
        return [f"v{k:0{width}d}" for k in range(len(self.design))]

    def check(self) -> None:
        """Load the base model and check every parameter against it (the names it gives, the values its
        fields take); ValueError before anything is written or run."""
        self._writer()

    def write(self, *, resume: bool = False, progress: Callable[[int, int], object] | None = None) -> list[Path]:
        """Write the design (design.json) and every variant's document into the study's folder, and return
        the documents' paths; nothing runs. A variant an edit function could not make (it raised) has no
        document: `unmade` maps its id to the reason, and its row says it. A folder that holds another
        study is refused; with `resume`, one that holds this study is written again. `progress(done,
        total)` is called as each variant is written."""
        writer = self._writer()
        self._claim(resume)
        folder = self.folder / "variants"
        folder.mkdir(parents=True, exist_ok=True)
        paths = []
        self.unmade = {}
        total = len(self.design)
        for number, (variant, row) in enumerate(zip(self.ids(), self.design.rows), 1):
            path = folder / f"{variant}.idf"
            try:
                writer.save(row, path)
                paths.append(path)
            except VariantError as error:
                self.unmade[variant] = str(error)
                path.unlink(missing_ok=True)  # an earlier study's file is not this variant
            if progress is not None:
                progress(number, total)
        return paths

    def _claim(self, resume: bool) -> None:
        self.folder.mkdir(parents=True, exist_ok=True)
        saved_path = self.folder / DESIGN_FILE
        if saved_path.exists():
            if not resume:
                raise FileExistsError(f"{self.folder} holds a study already: resume=True (--resume) goes on with "
                                      "it, or choose another folder")
            saved = Design.load(saved_path)
            if saved != self.design:
                raise ValueError(f"{self.folder} holds a study of another design ({saved!r}): choose another "
                                 "folder to run this one")
        else:
            self.design.save(saved_path)

    # -- running --------------------------------------------------------------------------------------------

    def jobs(self) -> Iterator[Job]:
        """The runs of the variants written (write() first)."""
        weather_at = next((k for k, p in enumerate(self.parameters) if isinstance(p, WeatherParameter)), None)
        options = {k: v for k, v in self.options.items() if v is not None or k == "expand_objects"}
        for variant, row in zip(self.ids(), self.design.rows):
            if variant in self.unmade:
                continue
            path = self.folder / "variants" / f"{variant}.idf"
            weather = row[weather_at] if weather_at is not None else self.weather
            yield Job(path, weather, output_dir=self.folder / "runs" / variant, **options)

    def run(
        self,
        *,
        resume: bool = False,
        workers: int | None = None,
        cluster: Any = None,
        progress: Callable[[int, int], object] | None = None,
    ) -> StudyResults:
        """Write the variants and run them: on `workers` local processes (default: the number of cores), or
        on a Dask cluster (`cluster`: a scheduler's address, a distributed Client or LocalCluster, or
        "local" for a LocalCluster of `workers` processes), every run through the study's cache, so that a
        study interrupted (Ctrl-C, a machine that stopped) and run again with `resume` runs only what had
        not finished. `progress(done, total)` is called as each variant completes; without it a bar shows
        on stderr when it is a terminal and tqdm is installed. Returns the results table, also written to
        results.csv; a variant whose run failed is a row with status "failed" and its error."""
        total = len(self.design)
        # One bar for the study: over the variants as they are written, then again as they run.
        bar = _default_bar(total, "variant") if progress is None else None
        written = None
        if bar is not None:
            bar.set_description("writing")
            written = lambda done, total: bar.update(1)  # noqa: E731
        try:
            paths = self.write(resume=resume, progress=written)
        except BaseException:
            if bar is not None:
                bar.close()
            raise
        if bar is not None:
            bar.reset()
            bar.set_description("running")
        cache = self.cache if self.cache is not None else self.folder / "cache"
        done = [len(self.unmade)]
        if bar is not None and self.unmade:
            bar.update(len(self.unmade))

        def report(index: int, environment: str, fraction: float) -> None:
            if environment:
                return
            done[0] += 1
            if bar is not None:
                bar.update(1)
            elif progress is not None:
                progress(done[0], total)

        client, owned = _client(cluster, workers)
        try:
            ran = iter(run_many(self.jobs(), workers=workers, executor=client, cache=cache, progress=report)
                       if paths else [])
            results = [None if variant in self.unmade else next(ran) for variant in self.ids()]
        finally:
            if bar is not None:
                bar.close()
            for closing in reversed(owned):
                closing.close()
        table = self.table(results)
        table.to_csv(self.folder / RESULTS_FILE)
        return table

    def table(self, results: Sequence[Result | None]) -> StudyResults:
        """The results table of the variants' runs (in the design's order; None for a variant that could
        not be made)."""
        records = []
        units: dict[str, str | None] = {o.name: o.units for o in self.outputs}
        names = [p.name for p in self.parameters]
        for variant, row, result in zip(self.ids(), self.design.rows, results):
            record: dict[str, Any] = {"variant": variant, **dict(zip(names, row))}
            error = None
            if result is None:
                record.update({o.name: None for o in self.outputs})
                record.update(status="failed", error=f"the variant could not be made: {self.unmade.get(variant)}",
                              warnings=0, severe=0, elapsed=0.0, cached=False)
                records.append(record)
                continue
            if result.ok:
                values, found, error = read_outputs(result, self.outputs)
                for name, unit in found.items():
                    if units.get(name) is None and unit:
                        units[name] = unit
            else:
                values = {o.name: None for o in self.outputs}
                error = result.first_severe() or ("the engine was stopped after its timeout" if result.timed_out
                                                  else f"the engine ended with status {result.returncode}")
            record.update(values)
            record.update(status="ok" if result.ok and error is None else "failed", error=error,
                          warnings=result.warnings, severe=result.severe, elapsed=round(result.elapsed, 3),
                          cached=result.cached)
            records.append(record)
        return StudyResults(records, names, [o.name for o in self.outputs], units)


def _client(cluster: Any, workers: int | None) -> tuple[Any, list[Any]]:
    """A Dask client for `cluster` (None: local processes) and what to close after."""
    if cluster is None:
        return None, []
    try:
        distributed = __import__("distributed")
    except ImportError:
        raise ImportError('running on a Dask cluster needs Dask: pip install "dask[distributed]"') from None
    if isinstance(cluster, distributed.Client):
        return cluster, []
    owned: list[Any] = []
    if isinstance(cluster, str) and cluster == "local":
        cluster = distributed.LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                                           processes=True, dashboard_address=None)
        owned.append(cluster)
    client = distributed.Client(cluster, timeout="30s")  # a scheduler's address, or a cluster object
    owned.append(client)
    return client, owned

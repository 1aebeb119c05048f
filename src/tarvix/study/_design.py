"""Designs: which combinations of the parameters' values a study runs."""

from __future__ import annotations

import importlib
import itertools
import json
import math
import os
from collections.abc import Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any

from tarvix.study._parameters import Parameter, _check_value

# The most variants a design may hold: a grid of many parameters grows fast, and a study of more than this
# is a mistake more often than a plan.
MAX_VARIANTS = 10_000_000
_KINDS = ("grid", "table", "latin-hypercube", "sobol", "morris", "saltelli")


def _scipy_qmc() -> Any:
    try:
        return importlib.import_module("scipy.stats.qmc")
    except ImportError:
        raise ImportError('the space-filling samplers need SciPy: pip install "tarvix[study]"') from None


def _salib(module: str) -> Any:
    try:
        return importlib.import_module(f"SALib.{module}")
    except ImportError:
        raise ImportError('Morris and Sobol sensitivity designs need SALib: pip install "tarvix[study]"') from None


def _names(parameters: Sequence[Parameter]) -> list[str]:
    names = [p.name for p in parameters]
    if not names:
        raise ValueError("a design needs at least one parameter")
    seen: set[str] = set()
    for name in names:
        if name.lower() in seen:
            raise ValueError(f"two parameters are named {name!r}: each names a column of its own")
        seen.add(name.lower())
    return names


def _count(value: Any, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} is a whole number, not {type(value).__name__}")
    if not 1 <= value <= MAX_VARIANTS:
        raise ValueError(f"{what} must be between 1 and {MAX_VARIANTS:,}, not {value}")
    return value


def _seed(seed: Any) -> int | None:
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int) or seed < 0):
        raise ValueError(f"a seed is a whole number of 0 or more, not {seed!r}")
    return seed


class Design:
    """The variants of a study: a row of values per variant, a column per parameter, in the parameters'
    order. Made by Design.grid(), .table(), .latin_hypercube(), .sobol(), .morris() or .saltelli();
    save() and Design.load() keep it in a JSON file."""

    def __init__(self, parameters: Sequence[str], rows: Sequence[Sequence[Any]], kind: str = "table", *,
                 seed: int | None = None, problem: Mapping[str, Any] | None = None,
                 options: Mapping[str, Any] | None = None, points: Sequence[Sequence[float]] | None = None) -> None:
        self.parameters = list(parameters)
        self.rows = [tuple(row) for row in rows]
        if kind not in _KINDS:
            raise ValueError(f"a design is one of {', '.join(_KINDS)}, not {kind!r}")
        self.kind = kind
        self.seed = seed
        # What a sensitivity analysis of this design needs: SALib's problem (names and bounds) and the
        # sampler's options (levels, second order).
        self.problem = dict(problem) if problem is not None else None
        self.options = dict(options or {})
        # The sampler's own points (a listed parameter's by the index of its value), which Morris's
        # analysis reads.
        self.points = [[float(x) for x in point] for point in points] if points is not None else None
        for number, row in enumerate(self.rows):
            if len(row) != len(self.parameters):
                raise ValueError(f"row {number} of the design has {len(row)} values for "
                                 f"{len(self.parameters)} parameters")

    def __len__(self) -> int:
        return len(self.rows)

    def __iter__(self) -> Iterator[dict[str, Any]]:
        for row in self.rows:
            yield dict(zip(self.parameters, row))

    def __getitem__(self, index: int) -> dict[str, Any]:
        return dict(zip(self.parameters, self.rows[index]))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Design):
            return NotImplemented
        return self.parameters == other.parameters and self.rows == other.rows and self.kind == other.kind

    def __repr__(self) -> str:
        return f"<Design {self.kind}: {len(self.rows)} variants of {', '.join(self.parameters)}>"

    # -- making ---------------------------------------------------------------------------------------------

    @classmethod
    def grid(cls, parameters: Sequence[Parameter]) -> Design:
        """Every combination of the parameters' values (the last parameter varies fastest)."""
        names = _names(parameters)
        for p in parameters:
            if p.values is None:
                raise ValueError(f"parameter {p.name!r} is a range: a grid needs its values (give values=[...], "
                                 "or use a sampler)")
        total = math.prod(len(p.values or ()) for p in parameters)
        if total > MAX_VARIANTS:
            raise ValueError(f"a grid of these parameters has {total:,} variants, more than {MAX_VARIANTS:,}")
        rows = list(itertools.product(*(p.values or () for p in parameters)))
        return cls(names, rows, "grid")

    @classmethod
    def table(cls, parameters: Sequence[Parameter], rows: Sequence[Sequence[Any] | Mapping[str, Any]]) -> Design:
        """The variants given row by row: each a sequence of values in the parameters' order, or a dict by
        parameter name."""
        names = _names(parameters)
        made = []
        for number, row in enumerate(rows):
            if isinstance(row, Mapping):
                unknown = set(row) - set(names)
                if unknown:
                    raise ValueError(f"row {number} names no parameter {sorted(unknown)[0]!r} "
                                     f"(the parameters: {', '.join(names)})")
                missing = [n for n in names if n not in row]
                if missing:
                    raise ValueError(f"row {number} gives no value for {missing[0]!r}")
                values = [row[n] for n in names]
            else:
                values = list(row)
            made.append(tuple(_check_value(n, v) for n, v in zip(names, values)))
        if not made:
            raise ValueError("a table design needs at least one row")
        return cls(names, made, "table")

    @classmethod
    def latin_hypercube(cls, parameters: Sequence[Parameter], samples: int, *, seed: int | None = None) -> Design:
        """`samples` variants spread by a Latin hypercube over the parameters (SciPy's qmc); the same seed
        gives the same design."""
        names = _names(parameters)
        qmc = _scipy_qmc()
        points = qmc.LatinHypercube(d=len(parameters), seed=_seed(seed)).random(_count(samples, "samples"))
        return cls(names, _scaled(parameters, points), "latin-hypercube", seed=seed)

    @classmethod
    def sobol(cls, parameters: Sequence[Parameter], samples: int, *, seed: int | None = None,
              scramble: bool = True) -> Design:
        """`samples` variants of a Sobol sequence over the parameters (SciPy's qmc; a power of 2 keeps its
        balance); the same seed gives the same design."""
        names = _names(parameters)
        qmc = _scipy_qmc()
        sampler = qmc.Sobol(d=len(parameters), scramble=scramble, seed=_seed(seed))
        import warnings

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # a count that is no power of 2 is the caller's choice
            points = sampler.random(_count(samples, "samples"))
        return cls(names, _scaled(parameters, points), "sobol", seed=seed)

    @classmethod
    def morris(cls, parameters: Sequence[Parameter], trajectories: int, *, levels: int = 4,
               seed: int | None = None) -> Design:
        """Morris's elementary effects design (SALib): `trajectories` paths of one step per parameter,
        (parameters + 1) × trajectories variants; analyse it with morris_indices()."""
        names, problem, points = _salib_sample(parameters, "morris", trajectories, "trajectories", seed,
                                               num_levels=levels)
        return cls(names, _from_problem(parameters, points), "morris", seed=seed, problem=problem,
                   options={"levels": levels}, points=points.tolist())

    @classmethod
    def saltelli(cls, parameters: Sequence[Parameter], samples: int, *, seed: int | None = None,
                 second_order: bool = True) -> Design:
        """Saltelli's design for Sobol indices (SALib): samples × (2 × parameters + 2) variants (samples ×
        (parameters + 2) without second-order indices; `samples` a power of 2); analyse it with
        sobol_indices()."""
        names, problem, points = _salib_sample(parameters, "sobol", samples, "samples", seed,
                                               calc_second_order=second_order)
        return cls(names, _from_problem(parameters, points), "saltelli", seed=seed, problem=problem,
                   options={"second_order": second_order})

    # -- keeping --------------------------------------------------------------------------------------------

    def to_json(self) -> dict[str, Any]:
        return {"kind": self.kind, "seed": self.seed, "parameters": self.parameters,
                "rows": [list(r) for r in self.rows], "problem": self.problem, "options": self.options,
                "points": self.points}

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the design as JSON (values exactly as they are)."""
        text = json.dumps(self.to_json(), indent=1, allow_nan=False)
        target = Path(path)
        temporary = target.with_name(f".{target.name}.{os.getpid()}.tmp")
        temporary.write_text(text + "\n", encoding="utf-8")
        os.replace(temporary, target)

    @classmethod
    def from_json(cls, data: Any) -> Design:
        if not isinstance(data, dict) or not isinstance(data.get("parameters"), list) \
                or not isinstance(data.get("rows"), list):
            raise ValueError("not a saved design: it needs 'parameters' and 'rows'")
        names = data["parameters"]
        if not all(isinstance(n, str) for n in names):
            raise ValueError("not a saved design: parameters are names")
        rows = []
        for row in data["rows"]:
            if not isinstance(row, list):
                raise ValueError("not a saved design: a row is a list of values")
            rows.append(tuple(_check_value(n, v) for n, v in zip(names, row)))
        problem = data.get("problem")
        seed = data.get("seed")
        return cls(names, rows, str(data.get("kind", "table")), seed=seed if isinstance(seed, int) else None,
                   problem=problem if isinstance(problem, dict) else None,
                   options=data.get("options") if isinstance(data.get("options"), dict) else None,
                   points=data.get("points") if isinstance(data.get("points"), list) else None)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Design:
        """A design save() wrote."""
        with open(path, encoding="utf-8") as file:
            try:
                data = json.load(file)
            except json.JSONDecodeError as error:
                raise ValueError(f"{path}: not a saved design: {error}") from None
        return cls.from_json(data)


def _salib_sample(parameters: Sequence[Parameter], sampler: str, count: int, what: str, seed: int | None,
                  **options: Any) -> tuple[list[str], dict[str, Any], Any]:
    """The names, SALib's problem and the points of one of SALib's samplers."""
    names = _names(parameters)
    problem = _problem(parameters)
    points = _salib(f"sample.{sampler}").sample(problem, _count(count, what), seed=_seed(seed), **options)
    return names, problem, points


def _scaled(parameters: Sequence[Parameter], points: Any) -> list[tuple[Any, ...]]:
    return [tuple(p.value_at(float(u)) for p, u in zip(parameters, point)) for point in points]


def _problem(parameters: Sequence[Parameter]) -> dict[str, Any]:
    """SALib's problem: a range parameter's bounds; a listed one's index in [0, number of values)."""
    bounds = [list(p.range) if p.range is not None else [0.0, float(len(p.values or ()))] for p in parameters]
    return {"num_vars": len(parameters), "names": [p.name for p in parameters], "bounds": bounds}


def _from_problem(parameters: Sequence[Parameter], points: Any) -> list[tuple[Any, ...]]:
    rows = []
    for point in points:
        row = []
        for p, x in zip(parameters, point):
            if p.range is not None:
                row.append(round(float(x)) if p.integer else float(x))
            else:
                values = p.values or ()
                row.append(values[min(max(int(x), 0), len(values) - 1)])
        rows.append(tuple(row))
    return rows

"""Sensitivity indices of a study's results (SALib), and plots of them and of the outputs (matplotlib)."""

from __future__ import annotations

import importlib
import math
import os
from collections.abc import Sequence
from typing import Any

from tarvix.study._design import Design, _salib
from tarvix.study._outputs import StudyResults


def _outputs_of(design: Design, results: StudyResults | Sequence[dict[str, Any]], output: str, kind: str) -> Any:
    if design.kind != kind or design.problem is None:
        maker = "Design.morris()" if kind == "morris" else "Design.saltelli()"
        raise ValueError(f"these indices need a design made by {maker}, not a {design.kind} design")
    records = list(results)
    if len(records) != len(design):
        raise ValueError(f"the results have {len(records)} rows for a design of {len(design)} variants")
    values = []
    failed = []
    for number, record in enumerate(records):
        if output not in record:
            raise KeyError(f"no output {output!r} in the results (the columns: {', '.join(record)})")
        value = record[output]
        if not isinstance(value, (int, float)) or isinstance(value, bool) or not math.isfinite(value):
            failed.append(str(record.get("variant", number)))
            continue
        values.append(float(value))
    if failed:
        raise ValueError(f"{len(failed)} variants have no number for {output!r} ({', '.join(failed[:5])}"
                         f"{' ...' if len(failed) > 5 else ''}): indices need every variant")
    numpy = importlib.import_module("numpy")
    return numpy.asarray(values, dtype=float)


def _problem(design: Design) -> dict[str, Any]:
    assert design.problem is not None
    return {"num_vars": design.problem["num_vars"], "names": list(design.problem["names"]),
            "bounds": [list(b) for b in design.problem["bounds"]]}


def sobol_indices(design: Design, results: StudyResults | Sequence[dict[str, Any]], output: str, *,
                  seed: int | None = None) -> dict[str, dict[str, float]]:
    """Sobol's first-order (S1) and total (ST) indices of `output`, with their 95 % confidence half-widths
    (S1_conf, ST_conf), per parameter, from the results of a Design.saltelli() study (SALib)."""
    values = _outputs_of(design, results, output, "saltelli")
    analyze = _salib("analyze.sobol")
    found = analyze.analyze(_problem(design), values, calc_second_order=design.options.get("second_order", True),
                            print_to_console=False, seed=seed)
    return {name: {key: float(found[key][k]) for key in ("S1", "S1_conf", "ST", "ST_conf")}
            for k, name in enumerate(design.parameters)}


def morris_indices(design: Design, results: StudyResults | Sequence[dict[str, Any]], output: str, *,
                   seed: int | None = None) -> dict[str, dict[str, float]]:
    """Morris's elementary effects of `output` per parameter: mu, mu_star (the mean of their absolute
    values, the usual ranking), sigma and mu_star_conf, from the results of a Design.morris() study."""
    values = _outputs_of(design, results, output, "morris")
    analyze = _salib("analyze.morris")
    numpy = importlib.import_module("numpy")
    if design.points is None or len(design.points) != len(design):
        raise ValueError("the design keeps no sample points: make it with Design.morris()")
    found = analyze.analyze(_problem(design), numpy.asarray(design.points, dtype=float), values,
                            num_levels=design.options.get("levels", 4), print_to_console=False, seed=seed)
    return {name: {key: float(found[key][k]) for key in ("mu", "mu_star", "sigma", "mu_star_conf")}
            for k, name in enumerate(design.parameters)}


def _pyplot() -> Any:
    try:
        matplotlib = importlib.import_module("matplotlib")
    except ImportError:
        raise ImportError('plots need matplotlib: pip install "tarvix[plot]"') from None
    matplotlib.use("Agg", force=False)
    return importlib.import_module("matplotlib.pyplot")


def plot_indices(indices: dict[str, dict[str, float]], path: str | os.PathLike[str], *, title: str | None = None) -> None:
    """A bar chart of sensitivity indices (as sobol_indices or morris_indices give them) into `path` (SVG,
    PNG, PDF...)."""
    pyplot = _pyplot()
    names = list(indices)
    if not names:
        raise ValueError("no indices to plot")
    keys = [k for k in ("S1", "ST", "mu_star", "sigma") if k in indices[names[0]]]
    figure, axes = pyplot.subplots(figsize=(max(4.0, 1.2 * len(names) + 2), 3.5))
    width = 0.8 / max(len(keys), 1)
    for k, key in enumerate(keys):
        heights = [indices[n][key] for n in names]
        errors = [indices[n].get(f"{key}_conf", 0.0) for n in names]
        axes.bar([i + k * width for i in range(len(names))], heights, width, yerr=errors, label=key, capsize=3)
    axes.set_xticks([i + width * (len(keys) - 1) / 2 for i in range(len(names))], names)
    axes.legend()
    axes.set_title(title or "Sensitivity indices")
    figure.tight_layout()
    figure.savefig(os.fspath(path))
    pyplot.close(figure)


def plot_outputs(results: StudyResults, path: str | os.PathLike[str], *, outputs: Sequence[str] | None = None) -> None:
    """Each output against each parameter, a scatter plot in a grid (a row per output), into `path`."""
    pyplot = _pyplot()
    wanted = list(outputs) if outputs is not None else results.outputs
    parameters = results.parameters
    if not wanted or not parameters:
        raise ValueError("nothing to plot: the results have no outputs or no parameters")
    ok = [r for r in results if r.get("status") == "ok"]
    figure, axes = pyplot.subplots(len(wanted), len(parameters), squeeze=False,
                                   figsize=(3.2 * len(parameters), 2.6 * len(wanted)))
    for i, output in enumerate(wanted):
        for j, parameter in enumerate(parameters):
            ax = axes[i][j]
            xs = [r[parameter] for r in ok]
            ax.scatter([x if isinstance(x, (int, float)) else str(x) for x in xs], [r[output] for r in ok], s=12)
            if i == len(wanted) - 1:
                ax.set_xlabel(parameter)
            if j == 0:
                ax.set_ylabel(results.header(output))
    figure.tight_layout()
    figure.savefig(os.fspath(path))
    pyplot.close(figure)

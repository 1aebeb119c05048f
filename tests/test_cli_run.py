"""`tarvix run`, as a user runs it: usage errors without the engine, then real design-day runs with it."""

import contextlib
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from simulation_models import BOX, BROKEN

from engine import convert_to_epjson, payload_dir

# The summary on stderr, as validate prints its own.
SUMMARY = re.compile(r"^runs\s+(\d+)\nok\s+(\d+)\nfailed\s+(\d+)\nwarnings\s+(\d+)\nsevere\s+(\d+)\n"
                     r"fatal\s+(\d+)\ntime\s+[\d.]+ s$", re.MULTILINE)


def tarvix(*args, status=0, cwd=None):
    proc = subprocess.run([sys.executable, "-m", "tarvix", "run", *map(str, args)], capture_output=True,
                          text=True, timeout=300, cwd=cwd)
    assert proc.returncode == status, f"status {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc


@pytest.fixture
def model(tmp_path):
    path = tmp_path / "box.idf"
    path.write_text(BOX, encoding="utf-8")
    return path


def no_engine_message(path):
    from tarvix.simulation import find_engine

    with pytest.raises(FileNotFoundError) as raised:
        find_engine(path)
    return str(raised.value)


@pytest.mark.parametrize(("arguments", "message"), [
    (["--design-day", "--annual"], "argument --annual: not allowed with argument --design-day"),
    ([], "tarvix: error: no weather file: give --weather EPW (only --design-day runs go without one)"),
    (["--weather", "{tmp}/nowhere/weather.epw"], "tarvix: error: --weather {tmp}/nowhere/weather.epw: no such "
                                                 "weather file"),
    (["--design-day", "--jobs", "0"], "argument --jobs/-j: must be 1 or more"),
    (["--design-day", "--timeout", "0"], "argument --timeout: must be more than 0"),
    (["--design-day", "-o", "{model}"], "tarvix: error: -o {model}: not a folder"),
    (["--design-day", "--out", "{model}"], "tarvix: error: -o {model}: not a folder"),  # the former name
    (["--design-day", "--timeout", "nan"], "argument --timeout: must be more than 0"),
    (["--weather", ""], "tarvix: error: --weather: an empty name; give a weather file, or part of the name of "
                        "one the engine ships (chicago)"),
    (["--design-day", "--engine", "{tmp}/no-engine"], "no engine"),
])
def test_usage_errors_exit_2_before_any_run(model, tmp_path, arguments, message):
    arguments = [a.format(tmp=tmp_path, model=model) for a in arguments]
    message = message.format(tmp=tmp_path, model=model)
    if message == "no engine":
        message = f"tarvix: error: {no_engine_message(tmp_path / 'no-engine')}"
    proc = tarvix(model, *arguments, status=2)
    assert message in proc.stderr and proc.stdout == ""


def test_paths_without_documents_are_usage_errors(tmp_path):
    (tmp_path / "empty").mkdir()
    proc = tarvix(tmp_path / "empty", "--design-day", status=2)
    assert "tarvix: error: no documents: the folders given hold no *.idf or *.epjson file" in proc.stderr


def test_a_scheduler_that_cannot_be_reached_is_a_usage_error(model):
    pytest.importorskip("dask.distributed", reason="Dask is not installed (the test extra installs it)")
    proc = tarvix(model, "--design-day", "--dask", "no-port", status=2)
    assert proc.stderr.startswith("tarvix: error: --dask no-port: cannot reach the scheduler: ") and not proc.stdout


def fields(line):
    """path, status, time, warnings, severe, fatal, output folder, [first severe message]"""
    parts = line.split("\t")
    assert re.fullmatch(r"\d+\.\d\d s", parts[2]) and parts[3].endswith(" warnings"), line
    assert parts[4].endswith(" severe") and parts[5].endswith(" fatal"), line
    return parts[0], parts[1], int(parts[4].split()[0]), int(parts[5].split()[0]), Path(parts[6]), parts[7:]


def test_design_day_runs_one_line_each_and_the_exit_status(tmp_path):
    payload_dir()  # skips without the engine
    for folder in ("north", "south"):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "box.idf").write_text(BOX, encoding="utf-8")
    broken = tmp_path / "broken.idf"
    broken.write_text(BROKEN, encoding="utf-8")
    converted, messages, text = convert_to_epjson(BOX, tmp_path)
    assert converted, messages
    (tmp_path / "json").mkdir()
    (tmp_path / "json" / "Box.epJSON").write_text(text, encoding="utf-8")
    out = tmp_path / "out"

    proc = tarvix(tmp_path / "north", tmp_path / "south" / "box.idf", broken, tmp_path / "json", "--design-day",
                  "-o", out, "--jobs", 2, status=1)
    lines = [fields(line) for line in proc.stdout.splitlines()]
    # In the order of the command line; the documents of the same name (in any case) get folders of their own.
    assert [line[:2] for line in lines] == [(str(tmp_path / "north" / "box.idf"), "ok"),
                                          (str(tmp_path / "south" / "box.idf"), "ok"),
                                          (str(broken), "FAILED"),
                                          (str(tmp_path / "json" / "Box.epJSON"), "ok")]
    assert [line[4] for line in lines] == [out / "box", out / "box-2", out / "broken", out / "Box-3"]
    for _, _, severe, fatal, folder, rest in lines[:2] + lines[3:]:
        assert (severe, fatal, rest) == (0, 0, []) and (folder / "eplusout.err").is_file()
    _, _, severe, fatal, _, rest = lines[2]
    assert severe >= 1 and fatal == 1 and "no such construction" in rest[0].lower()
    runs, ok, failed, _, severe_total, fatal_total = map(int, SUMMARY.search(proc.stderr).groups())
    assert (runs, ok, failed, severe_total, fatal_total) == (4, 3, 1, severe, 1)

    # A good run again, then from the cache (which says so): exit 0; a relative -o is below the working
    # folder, and the run folder of the first is replaced only with --force; an endless timeout is no limit.
    for force, marks in (([], []), (["--force"], ["cached"])):
        again = tarvix("north", "--design-day", "--cache", "cache", "-o", "relative", "--timeout", "inf", *force,
                       cwd=tmp_path)
        (_, status, _, _, folder, rest), = map(fields, again.stdout.splitlines())
        assert status == "ok" and folder == tmp_path / "relative" / "box" and (folder / "eplusout.sql").is_file()
        assert rest == marks
    refused = tarvix("north", "--design-day", "-o", "relative", cwd=tmp_path, status=1)
    assert refused.stderr == f"tarvix: error: {tmp_path / 'relative' / 'box'} exists: give --force to replace it\n"


def test_runs_on_a_dask_cluster_come_back_into_out(model, tmp_path):
    payload_dir()  # skips without the engine
    distributed = pytest.importorskip("dask.distributed", reason="Dask is not installed (the test extra installs it)")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, dashboard_address=None) as cluster:
        proc = tarvix(model, "--design-day", "-o", tmp_path / "out", "--dask", cluster.scheduler_address)
    (_, status, severe, fatal, folder, _), = map(fields, proc.stdout.splitlines())
    assert (status, severe, fatal, folder) == ("ok", 0, 0, tmp_path / "out" / "box")
    assert {"eplusout.err", "eplusout.sql"} <= {path.name for path in folder.iterdir()}


def test_the_readme_sweep_runs_and_prints_what_it_says(tmp_path):
    """The README's sweep (a py block, since CI without the engine cannot run it), run here with the engine."""
    payload_dir()  # skips without the engine
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("## Running the engine"):]
    code = re.search(r"^```py\n(.*?)^```$", section, flags=re.DOTALL | re.MULTILINE).group(1)
    expected = [line[2:] for line in code.splitlines() if re.match(r"# \d+% south: ", line)]
    model = Path("examples", "data", "two_zone_25_2.idf")
    (tmp_path / model.parent).mkdir(parents=True)
    shutil.copyfile(Path(__file__).resolve().parents[1] / model, tmp_path / model)
    (tmp_path / "sweep.py").write_text(code, encoding="utf-8")
    proc = subprocess.run([sys.executable, "sweep.py"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    # Every figure as the README gives it, but the run times.
    without_time = re.compile(r", [\d.]+ s$")
    assert [without_time.sub("", line) for line in proc.stdout.splitlines()] == [
        without_time.sub("", line) for line in expected]
    assert len(expected) == 4 and (tmp_path / "sweep" / "south-0.6" / "eplusout.sql").is_file()


def test_an_unknown_weather_name_lists_the_shipped_files(model):
    payload_dir()  # skips without the engine
    proc = tarvix(model, "--weather", "atlantis", status=2)
    assert "no weather file matching 'atlantis'" in proc.stderr and "USA_IL_Chicago-OHare" in proc.stderr


def test_design_days_of_a_model_without_them_point_to_add_design_days(tmp_path):
    payload_dir()  # skips without the engine
    path = tmp_path / "box.idf"
    path.write_text(re.sub(r"SizingPeriod:DesignDay,.*?;\n", "", BOX, flags=re.DOTALL), encoding="utf-8")
    proc = tarvix(path, "--design-day", "-o", tmp_path / "out", status=1)
    assert "tarvix: hint: " in proc.stderr and "tarvix.weather.add_design_days" in proc.stderr


@pytest.mark.skipif(not Path("/proc/self/cwd").exists(), reason="needs Linux's /proc to see the engine's processes")
def test_an_interrupt_to_the_command_alone_ends_the_engine(tmp_path):
    from test_simulation import processes_in

    payload_dir()  # skips without the engine
    path = tmp_path / "box.idf"
    path.write_text(BOX.replace("Timestep,4;", "Timestep,60;"), encoding="utf-8")  # a long year
    folder = tmp_path / "out" / "box"
    proc = subprocess.Popen([sys.executable, "-m", "tarvix", "run", path, "--annual", "--weather", "chicago",
                             "-o", tmp_path / "out"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while not processes_in(folder) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert processes_in(folder), "the engine did not start"
        proc.send_signal(signal.SIGINT)  # to the command's process only, not to its group
        assert proc.wait(timeout=10) == 130
        assert processes_in(folder) == []
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)  # the command and its pool, whatever happened
        proc.wait()

"""tarvix weather: a weather file's location and monthly means, and its plot."""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from tarvix.cli._common import (
    EXIT_OK,
    UsageError,
    check_output,
    needs_matplotlib,
    writing,
    written,
)


def cmd_weather(args: argparse.Namespace) -> int:
    from tarvix.weather import read_epw  # only this command reads weather files

    if not os.path.isfile(args.path):
        raise UsageError(f"{args.path}: no such file")
    if args.plot is not None:
        needs_matplotlib()  # before reading anything
        check_output(args.plot, args.force)
    try:
        weather = read_epw(args.path)
    except ValueError as error:
        raise UsageError(str(error)) from None
    try:
        rows = weather.monthly_means()
    except ValueError as error:  # a month or a records-per-hour that does not read as one
        raise UsageError(f"{args.path!r}: {error}") from None
    loc = weather.location
    print(f"{loc.city}, {loc.state_province}, {loc.country} ({loc.source}, WMO {loc.wmo})")
    print(f"latitude {loc.latitude:g}, longitude {loc.longitude:g}, time zone {loc.time_zone:+g} h, "
          f"elevation {loc.elevation:g} m; {len(weather)} data lines")
    print(f"{'month':>5}  {'dry bulb':>8}  {'dew point':>9}  {'RH':>5}  {'wind':>5}  {'global':>7}")
    print(f"{'':>5}  {'°C':>8}  {'°C':>9}  {'%':>5}  {'m/s':>5}  {'kWh/m²d':>7}")
    for row in rows:
        print(f"{int(row['month']):>5}  {row['dry_bulb']:>8.1f}  {row['dew_point']:>9.1f}  "
              f"{row['relative_humidity']:>5.0f}  {row['wind_speed']:>5.1f}  {row['global_horizontal_daily']:>7.2f}")
    if args.plot is not None:
        # The plot's format is its file's suffix (PNG for a name without one, as matplotlib draws it).
        with writing(args.plot, replace=args.force, suffix=Path(args.plot).suffix or ".png") as temporary:
            weather.plot(temporary)
        print(written(args.path, args.plot), file=sys.stderr)
    return EXIT_OK

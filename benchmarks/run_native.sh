#!/usr/bin/env bash
# Builds the native benchmarks (Release, no Python) and runs the tokenizer
# benchmark on the real schema, if present.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build/native"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVIX_NATIVE=ON -DTARVIX_PYTHON=OFF >/dev/null
cmake --build "$BUILD" >/dev/null
DATA="$ROOT/../shared/data"
if [ -f "$DATA/Energy+V8_8_0.idd" ]; then
    "$BUILD/bench_tokenizer" "$DATA/Energy+V8_8_0.idd" idd 30
    "$BUILD/bench_tokenizer" "$DATA/5ZoneWaterLoopHeatPump.idf" idf 30
    "$BUILD/bench_schema_parse" "$DATA/Energy+V8_8_0.idd" 30
else
    echo "sample data not found under $DATA; tokenizing the bundled example schema instead"
    "$BUILD/bench_tokenizer" "$ROOT/examples/data/building.idd" idd 200
fi

#!/usr/bin/env bash
# Builds the toolbox benchmark (Release) and times it beside Python's hex
# codecs on the same bytes in the same run: bytes.fromhex on the bracketed
# text without its brackets, bytes.hex(' ') on the raw bytes. Prints MB/s
# (10^6 bytes of input per second) and our/Python ratios. Not a test.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BENCH_BUILD_DIR:-$root/build/bench}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DQ48_BUILD_BENCHMARKS=ON -DQ48_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target q48_tb_bench -j2

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

Q48_BENCH_DUMP="$work" "$build/bench/q48_tb_bench" --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true --benchmark_out="$work/ours.json" \
  --benchmark_out_format=json

python3 - "$work" <<'PY'
import json, sys, time

work = sys.argv[1]
text = open(f"{work}/hex.txt", "rb").read().decode("ascii")
raw = open(f"{work}/raw.bin", "rb").read()

def best_rate(fn, size, rounds=15):
    fn()  # warm up: first touches of fresh pages are not the codec's cost
    best = min(timed(fn) for _ in range(rounds))
    return size / best / 1e6

def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start

py_decode = best_rate(lambda: bytes.fromhex(text), len(text))
py_encode = best_rate(lambda: raw.hex(" "), len(raw))

ours = {}
for b in json.load(open(f"{work}/ours.json"))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        ours[b["run_name"]] = b["bytes_per_second"] / 1e6

hex_ours = ours["BM_CodedToRaw_BracketedHex"]
mixed_ours = ours["BM_CodedToRaw_MixedText"]
enc_ours = ours["BM_RawToCoded_RandomBytes"]
print()
print(f"coded text to raw, bracketed hex: ours {hex_ours:8.0f} MB/s   "
      f"bytes.fromhex {py_decode:8.0f} MB/s   ratio {hex_ours / py_decode:5.2f}")
print(f"coded text to raw, mixed text:    ours {mixed_ours:8.0f} MB/s")
print(f"raw to coded text, random bytes:  ours {enc_ours:8.0f} MB/s   "
      f"bytes.hex(' ')  {py_encode:8.0f} MB/s   ratio {enc_ours / py_encode:5.2f}")
PY

#!/usr/bin/env bash
# Times the toolbox side by side with other codecs and with an older build of
# itself, the access library's USB path against bare libusb on the emulated
# printer, and a small CUPS job through the q48 backend against a backend
# that only reads its job and CUPS's usb backend, in one run, and prints the
# ratios. Not a test.
#
#   scripts/run-benchmarks.sh                  # ours against Python and memcpy
#   BASE_REF=<commit> scripts/run-benchmarks.sh  # and against the library of <commit>
#
# Every ratio is the median of seven pairs, each pair two timings taken one
# right after the other, the order alternating from pair to pair, so that a
# neighbour's load on this shared machine falls on both sides alike. Ratios
# above 1 mean ours is faster (or, for the handle costs, dearer).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BENCH_BUILD_DIR:-$root/build/bench}"

# The packages' build type: what users get is what is timed.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQ48_BUILD_BENCHMARKS=ON -DQ48_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target q48_tb_compare q48_usb_path_bench q48_cups_latency -j2 >/dev/null
ours="$build/Q48_Tb/Sources/libQ48Tb.so.1"

base=""
if [ -n "${BASE_REF:-}" ]; then
  src="$build/base-src" base_build="$build/base-build"
  rm -rf "$src" && mkdir -p "$src"
  git -C "$root" archive "$BASE_REF" | tar -x -C "$src"
  cmake -S "$src" -B "$base_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ48_BUILD_TESTS=OFF >/dev/null
  cmake --build "$base_build" --target Q48Tb -j2 >/dev/null
  base="$base_build/Q48_Tb/Sources/libQ48Tb.so.1"
fi

python3 - "$build/bench/q48_tb_compare" "$ours" "$base" <<'PY'
import statistics, subprocess, sys, timeit

compare, ours, base = sys.argv[1], sys.argv[2], sys.argv[3]
proc = subprocess.Popen([compare, ours] + ([base] if base else []),
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)

def ask(who, test, size=0):
    proc.stdin.write(f"{who} {test} {size}\n".encode()); proc.stdin.flush()
    return float(proc.stdout.readline())

def dump(test, size):
    proc.stdin.write(f"dump {test} {size}\n".encode()); proc.stdin.flush()
    n = int(proc.stdout.readline())
    return proc.stdout.read(n)

def python_ns(stmt, **names):
    timer = timeit.Timer(stmt, globals=names)
    number, _ = timer.autorange()  # at least 0.2 s
    number = max(1, number // 4)
    return timer.timeit(number) / number * 1e9

def median_ratio(first, second):
    """Median of second/first over seven pairs taken back to back."""
    ratios = []
    for i in range(7):
        if i % 2 == 0:
            a = first(); b = second()
        else:
            b = second(); a = first()
        ratios.append(b / a)
    return statistics.median(ratios)

sizes = [64, 1024, 64 << 10, 1 << 20, 16 << 20]
names = {64: "64 B", 1024: "1 KiB", 64 << 10: "64 KiB", 1 << 20: "1 MiB", 16 << 20: "16 MiB"}

def row(label, cells):
    print(f"{label:<44}" + "".join(f"{c:>10}" for c in cells))

print()
row("ratio (median of 7 pairs)", [names[s] for s in sizes])
cells = {k: [] for k in ("fromhex", "memcpy", "hexbase", "mixed", "hexout", "rawbase")}
for size in sizes:
    text = dump("hex", size)
    pairs = text[1:-1].decode("ascii")
    cells["fromhex"].append(median_ratio(lambda: ask("ours", "hex", size),
                                         lambda: python_ns("f(t)", f=bytes.fromhex, t=pairs)))
    cells["memcpy"].append(median_ratio(lambda: ask("ours", "hex", size),
                                        lambda: ask("memcpy", "hex", size)))
    raw = dump("raw", size)
    cells["hexout"].append(median_ratio(lambda: ask("ours", "raw", size),
                                        lambda: python_ns("r.hex(' ')", r=raw)))
    if base:
        cells["hexbase"].append(median_ratio(lambda: ask("ours", "hex", size),
                                             lambda: ask("base", "hex", size)))
        cells["mixed"].append(median_ratio(lambda: ask("ours", "mixed", size),
                                           lambda: ask("base", "mixed", size)))
        cells["rawbase"].append(median_ratio(lambda: ask("ours", "raw", size),
                                             lambda: ask("base", "raw", size)))
fmt = lambda xs: [f"{x:.2f}" for x in xs]
row("coded to raw, bracketed hex: x bytes.fromhex", fmt(cells["fromhex"]))
row("coded to raw, bracketed hex: of memcpy", fmt(cells["memcpy"]))
row("raw to coded: x bytes.hex(' ')", fmt(cells["hexout"]))
if base:
    row("coded to raw, bracketed hex: x base", fmt(cells["hexbase"]))
    row("coded to raw, receipt-like text: x base", fmt(cells["mixed"]))
    row("raw to coded: x base", fmt(cells["rawbase"]))

print()
print("create + release of one small object (cost ratio, 1 = no growth)")
for who in ["ours"] + (["base"] if base else []):
    none = ask(who, "live-none")
    old = median_ratio(lambda: ask(who, "live-none"), lambda: ask(who, "live-oldest"))
    new = median_ratio(lambda: ask(who, "live-none"), lambda: ask(who, "live-newest"))
    print(f"  {who:<6} none live {none:8.0f} ns   100 000 live, oldest released first x{old:.2f}"
          f"   newest first x{new:.2f}")
print("two threads' work over one thread's (create + release; malloc/free of the same size)")
for who in ["ours"] + (["base"] if base else []) + ["malloc"]:
    scale = median_ratio(lambda: ask(who, "threads-2"), lambda: ask(who, "threads-1"))
    print(f"  {who:<6} x{scale:.2f}")
proc.stdin.close()
proc.wait()
PY

echo
echo "USB path: the library against bare libusb on the emulated printer"
LD_PRELOAD=libumockdev-preload.so.0 "$build/bench/q48_usb_path_bench"

echo
echo "CUPS: a small job from lp to completed, three backends on one private cupsd"
"$build/bench/q48_cups_latency" "${CUPS_ROUNDS:-7}"

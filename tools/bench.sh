#!/usr/bin/env bash
# Builds the benchmarks (Release, x86_64: the bench preset), runs them and
# prints one table: each figure of this library beside the reference measured
# in the same run (the mandated protocol pauses, spdlog's asynchronous logger,
# the zeroing the codec must do, a 1 us budget), their ratio and the goal.
#
#   tools/bench.sh                       about 2 minutes on 2 cores
#   ECR_BENCH_PURCHASES=20 tools/bench.sh  20 purchases a link and logging
#                                        state (default 5): about 4.5 minutes
#
# Purchases take 5.1 s of mandated pauses each, so the three links run at
# once, one process each (a process holds one ECR object).  The figures of a
# 32-bit build are measured only where this machine runs 32-bit programs
# natively: an emulator's timings would say nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v python3 >/dev/null || need+=(python3)
dpkg -s libbenchmark-dev >/dev/null 2>&1 || need+=(libbenchmark-dev)
dpkg -s libspdlog-dev >/dev/null 2>&1 || need+=(libspdlog-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi

cmake --preset bench >/dev/null
nice -n 10 cmake --build --preset bench >/dev/null

bin="$PWD/build/bench/bench"
run=build/bench/run
rm -rf "$run" && mkdir -p "$run"

# Can this machine run a 32-bit program itself?
# (A registered emulator would run it too, but emulated timings say nothing.)
i386=no
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ] &&
   printf 'int main(void){return 0;}\n' | gcc -m32 -x c - -o "$run/probe32" 2>/dev/null && "$run/probe32" 2>/dev/null; then
  i386=yes
fi

echo "purchases: ${ECR_BENCH_PURCHASES:-5} per link and logging state, the three links at once ..."
pids=()
for link in tcp udp pty; do
  mkdir -p "$run/$link"
  (cd "$run/$link" && exec "$bin/purchase_bench" --benchmark_filter="BM_Purchase/${link}_" \
     --benchmark_out=../purchase_$link.json --benchmark_out_format=json >../purchase_$link.txt 2>&1) &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done

echo "codec ..."
(cd "$run" && "$bin/codec_bench" --benchmark_filter='BM_(Encode|Decode|Zero)' --benchmark_min_time=0.2 \
   --benchmark_out=codec.json --benchmark_out_format=json >codec.txt 2>&1)
echo "log writer against spdlog ..."
(cd "$run" && "$bin/log_bench" --benchmark_out=log.json --benchmark_out_format=json >log.txt 2>&1)

echo "ecrcli explain against grep -c ..."
# A log of 200 MB or more made of the purchases' own logs, read by explain
# and, as the reference, counted by grep -c: best of three runs each.
big="$run/explain.log"
: >"$big"
logs=("$run"/*/VAR17_QTM*.log)
if [ ! -s "${logs[0]}" ]; then
  echo "no purchase log in $run to read" >&2
  exit 1
fi
while [ "$(stat -c %s "$big")" -lt $((200 * 1024 * 1024)) ]; do cat "${logs[@]}" >>"$big"; done
python3 - "$big" "$PWD/build/bench/ecrcli" >"$run/explain.json" <<'PY'
import json, os, subprocess, sys, time
big, ecrcli = sys.argv[1], sys.argv[2]
def best(cmd):
    t = []
    for _ in range(3):
        start = time.perf_counter()
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        t.append(time.perf_counter() - start)
    return min(t)
mb = os.path.getsize(big) / 1e6
print(json.dumps({"mb": mb, "explain_s": best([ecrcli, "explain", big]),
                  "grep_s": best(["grep", "-c", "HEX DUMP", big])}))
PY
rm -f "$big"

python3 - "$run" "$i386" <<'PY'
import json, os, sys
run, i386 = sys.argv[1], sys.argv[2]

def load(name):
    with open(os.path.join(run, name)) as f:
        return {b["name"].split("/iterations")[0].replace("/real_time", ""): b for b in json.load(f)["benchmarks"]}

bench = {}
for f in ("purchase_tcp.json", "purchase_udp.json", "purchase_pty.json", "codec.json", "log.json"):
    bench.update(load(f))

rows = []
def num(v):
    if v == 0 or abs(v) >= 100:
        return f"{v:,.0f}"
    return f"{v:.3g}"

def row(figure, ours, ref, unit, goal, met, ratio=None):
    r = ours / ref if ratio is None and ref else ratio
    rows.append((figure, f"{num(ours)} {unit}".strip(), f"{num(ref)} {unit}".strip(), "-" if r is None else f"{r:.4g}",
                 goal, "yes" if met else "NO"))

def cpu_ns(name):
    b = bench[name]
    return b["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]

for link in ("tcp", "udp", "pty"):
    b = bench[f"BM_Purchase/{link}_logging_on"]
    floor = b["floor_median_ms"]
    row(f"purchase {link}: above the floor, median", b["extra_median_ms"], floor, "ms", "<= 20 ms",
        b["extra_median_ms"] <= 20, ratio=b["latency_median_ms"] / floor)
    row(f"purchase {link}: above the floor, max", b["extra_max_ms"], floor, "ms", "<= 20 ms",
        b["extra_max_ms"] <= 20, ratio=(floor + b["extra_max_ms"]) / floor)
for link in ("tcp", "udp", "pty"):
    for state in ("on", "off"):
        b = bench[f"BM_Purchase/{link}_logging_{state}"]
        ours = b["cpu_ms_per_purchase"]
        row(f"CPU per purchase {link}, logging {state} (ref: wall time)", ours, b["latency_median_ms"], "ms",
            "<= 2 ms" if state == "on" else "-", ours <= 2 or state == "off")

for threads in (1, 4):
    o, s = bench[f"BM_CallerCost/ours/{threads}"], bench[f"BM_CallerCost/spdlog/{threads}"]
    for q in ("p50", "p99", "max"):
        goal = "<= 1000 ns" if q == "p99" else "-"
        row(f"log caller {q}, {threads} thread(s) (ref: spdlog)", o[f"{q}_ns"], s[f"{q}_ns"], "ns", goal,
            o[f"{q}_ns"] <= 1000 or q != "p99")
    row(f"log lines kept of {int(o['records']):,}, {threads} thread(s) (ref: spdlog)", o["lines_in_file"],
        s["lines_in_file"], "lines", "-", True)
    row(f"log caller allocations/record, {threads} thread(s) (ref: spdlog)", o["caller_allocs_per_record"],
        s["caller_allocs_per_record"], "", "-", True)
o, s = bench["BM_Throughput/ours"], bench["BM_Throughput/spdlog"]
row("log throughput to the file (ref: spdlog)", o["records_per_s"], s["records_per_s"], "rec/s", ">= 2x",
    o["records_per_s"] >= 2 * s["records_per_s"])
row("log CPU per record, all threads (ref: spdlog)", o["process_cpu_ns_per_record"], s["process_cpu_ns_per_record"],
    "ns", "-", True)

zero_buf, zero_rec = cpu_ns("BM_ZeroRequestBuffer"), cpu_ns("BM_ZeroReport")
encodes = {k.split("/")[1]: cpu_ns(k) for k in bench if k.startswith("BM_Encode/")}
slowest = max(encodes, key=encodes.get)
row("encode purchase (ref: 1 us budget)", encodes["PUR"], 1000, "ns", "<= 1000 ns", encodes["PUR"] <= 1000)
row(f"encode slowest layout, {slowest} (ref: 1 us budget)", encodes[slowest], 1000, "ns", "<= 1000 ns",
    encodes[slowest] <= 1000)
row("encode: zeroing the 16 KiB buffer (ref: 1 us budget)", zero_buf, 1000, "ns", "-", True)
for seq in ("standard", "card_identification", "loyalty", "multi_currency", "largest_16k"):
    ours = cpu_ns(f"BM_Decode/{seq}")
    row(f"decode {seq} (ref: zeroing the record)", ours, zero_rec, "ns", "<= 2x", ours <= 2 * zero_rec)
allocs = max(bench[k]["allocs_per_msg"] for k in bench if k.startswith(("BM_Encode/", "BM_Decode/")))
with open(os.path.join(run, "explain.json")) as f:
    ex = json.load(f)
ours, ref = ex["mb"] / ex["explain_s"], ex["mb"] / ex["grep_s"]
row(f"ecrcli explain, {ex['mb']:.0f} MB of log (ref: grep -c)", ours, ref, "MB/s", ">= 50 MB/s", ours >= 50)
rows.append(("codec allocations/message, worst layout or sequence", f"{allocs:g}", "0", "-", "0", "yes" if allocs == 0 else "NO"))

head = ("figure", "ours", "reference", "ratio", "goal", "met")
w = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
fmt = "  ".join("{:<%d}" % x if i == 0 else "{:>%d}" % x for i, x in enumerate(w))
print()
print(fmt.format(*head))
print(fmt.format(*("-" * x for x in w)))
for r in rows:
    print(fmt.format(*r))
print()
print("x86_64, Release.  Codec times are CPU time per message; log caller times are wall time per record;")
print("log throughput is the fastest burst of 30,000 records (no drops) from the first record until the file is closed.")
print("i386: not measured (" + ("no i386 build of the benchmark libraries is set up" if i386 == "yes" else
                               "no native i386 execution on this machine") + ")")
print("Raw output: " + run)
PY

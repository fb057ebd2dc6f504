"""Times `serialize` and `deserialize` and measures their peak memory.

Workloads: a new bits-24 state (256 MiB of model, a 512 MiB text) and a
bits-20 state with 100,000 pending records. Each operation runs in a fresh
subprocess; the median seconds over the repeats beside a CPython baseline
on the same data in the same process, then the memory the call held at its
peak beyond what it left behind (its result, and the input it was given):

- serialize: baseline `bytes(n).hex()`, the interpreter writing a str of the
  same length from a buffer of the snapshot's size, about the least any str
  producer can do;
- deserialize: baseline `bytes.fromhex(text)`, the interpreter's own hex
  decoding of the same text into a buffer of the snapshot's size.

    PYTHONPATH=build/<dir> python3 bench/bench_persistence.py [--repeat N] [--quick]

A snapshot may hold one decision id many times (the engine never issues
one twice, but a snapshot is data). Loading 128,000 records that all share
one id is timed against the same count of distinct ids, in turns in one
process: deserialize, then expire resolving them all. Target: at most 2x.

--quick uses bits 16 and 2,000 records, to check the script itself.
"""
import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _report import Figure, print_table  # noqa: E402

CHILD = r"""
import gc, json, statistics, sys, time
import sorvane

def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])

def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident size restarts from the current one

def measure(call):
    "(seconds, MiB held at the peak beyond what stays after the call)"
    gc.collect()
    reset_peak()
    start = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - start
    transient = (rss_kib("VmHWM") - rss_kib("VmRSS")) / 1024
    return seconds, transient, result

op, repeat, setup = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if setup.startswith("new:"):
    state = sorvane.create(int(setup[4:]), 3600.0)
    text = sorvane.serialize(state) if op == "deserialize" else None
else:
    with open(setup) as f:
        text = f.read()
    state = sorvane.deserialize(text)
size = len(text) // 2 if text is not None else len(sorvane.serialize(state)) // 2
if op == "serialize":
    text = None
    ours = lambda: sorvane.serialize(state)
    base = lambda: bytes(size).hex()
else:
    state = None
    ours = lambda: sorvane.deserialize(text)
    base = lambda: bytes.fromhex(text)

rows = {"ours": [], "base": [], "ours_mem": None, "base_mem": None}
gc.disable()
for i in range(repeat):
    for key, call in (("ours", ours), ("base", base)):
        seconds, transient, result = measure(call)
        del result
        rows[key].append(seconds)
        if rows[key + "_mem"] is None:
            rows[key + "_mem"] = transient
print(json.dumps({"ours": statistics.median(rows["ours"]), "base": statistics.median(rows["base"]),
                  "ours_mem": rows["ours_mem"], "base_mem": rows["base_mem"],
                  "snapshot_mib": size / 2**20}))
"""


REPEATED_CHILD = r"""
import gc, json, statistics, sys, time
import sorvane

repeat, paths = int(sys.argv[1]), sys.argv[2:]
texts = {}
for path in paths:
    with open(path) as f:
        texts[path] = f.read()
times = {(path, op): [] for path in paths for op in ("deserialize", "expire")}
gc.disable()
for _ in range(repeat):
    for path, text in texts.items():
        start = time.perf_counter()
        state = sorvane.deserialize(text)
        middle = time.perf_counter()
        sorvane.expire(state, 1e300)
        end = time.perf_counter()
        times[path, "deserialize"].append(middle - start)
        times[path, "expire"].append(end - middle)
        del state
        gc.collect()
print(json.dumps({f"{path} {op}": statistics.median(v) for (path, op), v in times.items()}))
"""


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def snapshot_with_ids(ids):
    """The text of a bits-1 state whose pending records carry these ids, one
    feature each, at times 0, 1, 2, ..., with horizon 1."""
    u64, f64 = struct.Struct("<Q").pack, struct.Struct("<d").pack
    model = u64(2) + f64(1.0) + f64(1.0) + f64(1.0) + f64(0.0) * 4
    counters = u64(len(ids)) + u64(0) + f64(1.0) + f64(0.0) + f64(0.05) + u64(len(ids))
    parts = [b"sorvane\x00", u64(1), model, counters]
    for i, decision_id in enumerate(ids):
        raw = decision_id.encode()
        parts.append(u64(len(raw)) + raw + f64(float(i)) + u64(0) + u64(0) + u64(1) + u64(1) + f64(1.0)
                     + f64(1.0) + u64(0) + u64(1) + b"s")
    body = b"".join(parts)
    return (body + u64(fnv1a64(body))).hex()


def repeated_id_figures(records, repeat, directory):
    paths = {}
    for kind, ids in (("distinct", [f"s:{i:06d}" for i in range(records)]), ("repeated", ["s:000000"] * records)):
        paths[kind] = os.path.join(directory, f"{kind}.txt")
        with open(paths[kind], "w") as f:
            f.write(snapshot_with_ids(ids))
    out = subprocess.run([sys.executable, "-c", REPEATED_CHILD, str(repeat), paths["distinct"], paths["repeated"]],
                         check=True, capture_output=True, text=True)
    seconds = json.loads(out.stdout)
    figures = []
    for op in ("deserialize", "expire"):
        ours, base = seconds[f"{paths['repeated']} {op}"], seconds[f"{paths['distinct']} {op}"]
        name = f"{op}, {records:,} records, one repeated id" if op == "deserialize" else "  then expire, resolving all"
        figures.append(Figure(name, ours, "s", "the same, distinct ids", base, "<= 2x", ours <= 2 * base))
    return figures


def run(op, repeat, setup):
    out = subprocess.run([sys.executable, "-c", CHILD, op, str(repeat), setup],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def pending_state_file(bits, records, directory):
    import sorvane

    s = sorvane.create(bits, 1e9)
    cands = [(f"item{i}", {"price": 1.0 + i, "tag": f"t{i % 3}"}) for i in range(4)]
    for k in range(records):
        ctx = {"user": f"u{k % 997}", "hour": float(k % 24), "mobile": k % 2 == 0}
        sorvane.decide(s, ctx, cands, float(k), "bench")
    path = os.path.join(directory, "pending.txt")
    with open(path, "w") as f:
        f.write(sorvane.serialize(s))
    return path


# Seconds a bits-24 state may take on this machine kind.
TARGETS = {"serialize": 0.6, "deserialize": 1.2}


def figures(quick=False, repeat=5):
    big_bits, bits, records = (16, 12, 2000) if quick else (24, 20, 100_000)
    out = []
    with tempfile.TemporaryDirectory() as tmp:
        workloads = [
            (f"new bits-{big_bits}", f"new:{big_bits}"),
            (f"bits-{bits} + {records:,} pending", pending_state_file(bits, records, tmp)),
        ]
        for name, setup in workloads:
            for op in ("serialize", "deserialize"):
                r = run(op, repeat, setup)
                baseline = "bytes(n).hex()" if op == "serialize" else "bytes.fromhex(text)"
                limit = TARGETS[op] if name == "new bits-24" else None
                target = f"< {limit} s" if limit else ""
                out.append(Figure(f"{op}, {name} ({r['snapshot_mib']:.0f} MiB)", r["ours"], "s", baseline, r["base"],
                                  target, (r["ours"] < limit) if limit else None))
                out.append(Figure("  the same, peak memory beyond result and input", r["ours_mem"], "MiB",
                                  f"{baseline}, the same", r["base_mem"]))
        out += repeated_id_figures(2000 if quick else 128_000, repeat, tmp)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    print_table(figures(args.quick, args.repeat))


if __name__ == "__main__":
    main()

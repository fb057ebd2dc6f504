"""Writes the seed corpus for fuzz_snapshot: valid snapshots with records.

Each seed is one mode byte (see fuzz_snapshot.cpp) and a binary snapshot.
Most are sealed binary snapshots (mode 1), so that mutations are resealed and
reach the checks behind the checksum; a few are uppercase (mode 3), raw text
(mode 4) or unsealed (mode 0). When the module is importable (PYTHONPATH
pointing at a build), states made by decide/learn are added too.

    python3 fuzz/make_seeds.py fuzz/corpus
"""
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT))  # sorvane_cli, for the snapshot's layout

from snapshots import Record, Snapshot  # noqa: E402

NAN_PAYLOAD = 0x7FF8_0000_DEAD_BEEF
NEG_ZERO = 0x8000_0000_0000_0000


def crafted():
    yield Snapshot(dim=2)
    yield Snapshot(dim=3, records=[Record("k:0", features=[(0, 1.0), (2, -2.0)]), Record("k:1", t=5.0)])
    yield Snapshot(dim=1, records=[Record("one", features=[(0, 3.0)])])
    yield Snapshot(
        dim=4,
        sq_sums=[NEG_ZERO, NAN_PAYLOAD, 1.5, 0.0],
        reward_sums=[0.0, -1.0, NAN_PAYLOAD, 2.0],
        default_reward=NAN_PAYLOAD,
        decision_count=7,
        model_version=3,
        records=[
            Record("s:4", t=NAN_PAYLOAD, features=[(1, 0.5), (3, NAN_PAYLOAD)], propensity=NEG_ZERO),
            Record("s:4", t=1.0, features=[], salt="s"),
            Record("\u00e9\U0001f3b2:9", features=[(0, -1e300)], salt="\u00e9\U0001f3b2", model_version=2**64 - 1),
        ],
    )
    yield Snapshot(dim=8, ridge=2.5, forgetting=1.0, scale=2.0**-500, epsilon=1.0, horizon=1e300,
                   records=[Record(f"r:{k}", t=float(k), features=[(k % 8, 1.0 + k)]) for k in range(6)])


def from_module():
    try:
        import sorvane
    except ImportError:
        return
    for bits, n in ((1, 2), (3, 5), (6, 8)):
        s = sorvane.create(bits, 4.0, default_reward=-0.25, epsilon=0.3, forgetfulness=0.95)
        cands = [("a", {"p": 1.0, "q": "x"}), ("b", {"p": -2}), ("c", {})]
        ids = [sorvane.decide(s, {"u": f"v{k}", "h": float(k)}, cands, float(k), "seed").decision_id
               for k in range(n)]
        sorvane.learn(s, ids[0], 1.0, 1.0)
        yield bytes.fromhex(sorvane.serialize(s))


def main():
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "fuzz/corpus")
    out.mkdir(parents=True, exist_ok=True)
    seeds = [snap.encode() for snap in crafted()] + list(from_module())
    written = 0
    for i, data in enumerate(seeds):
        variants = [(1, data)]
        if i % 2 == 0:
            variants += [(3, data), (0, data), (4, data.hex().encode())]
        for mode, payload in variants:
            (out / f"seed-{i:02d}-{mode}").write_bytes(bytes([mode]) + payload)
            written += 1
    print(f"{written} seeds in {os.fspath(out)}")


if __name__ == "__main__":
    main()

"""Watch sorvane learn: a simulated shop picks one of a dozen items for each visit.

Each visit has a context (device, country, time of day, returning or not) and
the shop shows one item from its catalogue. Clicks follow a hidden model in
which different visitors like different things; they arrive after a random
delay, and most decisions never get one, so `expire` resolves those with no
reward. Every decision and resolution goes to a JSON-lines log. Half way
through, the state is saved to a file and read back, and the run goes on from
the copy. The shop also saves its state before each quarter of the visits, as
checkpoints: the closing check proves the log in segments side by side, each
from its checkpoint.

Then the same visits again, with the same luck, decided by the toolkit's
joint model (sorvane_cli.JointModel) through the engine's callbacks: it
earns more, at the price of a second text to save beside the state. The
table and the plot show both learners side by side.

  python examples/demo.py          200,000 visits; half a minute with the log check
  python examples/demo.py --help   size, seed and output paths
"""

from __future__ import annotations

import argparse
import heapq
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

import sorvane
from sorvane_cli import JointModel, header_line, load_together, save_together
from _sim import CATEGORIES, ITEMS_PER_CATEGORY, Candidate, Context, Traffic, World

# The engine's settings for this shop. Times are in seconds.
BITS = 16  # 65,536 weights: ample room for a few hundred distinct feature pairs
HORIZON = 300.0  # a click more than five minutes after the decision counts as none
EPSILON = 0.05  # one visit in twenty explores
FORGETFULNESS = 0.99999  # weighs roughly the last 100,000 outcomes
SWEEP_EVERY = 30.0  # how often the shop expires the decisions past their horizon
SALT = "shop"

POINTS_PER_ROW = 10  # the plot is drawn at ten times the table's resolution
SEGMENTS = 4  # checkpoints split the log into this many parts for the closing check


@dataclass
class Stretch:
    """Expected click rates summed over a stretch of visits, one sum per policy."""

    visits: int = 0
    engine: float = 0.0
    random: float = 0.0
    best: float = 0.0

    def add(self, other: Stretch) -> None:
        self.visits += other.visits
        self.engine += other.engine
        self.random += other.random
        self.best += other.best


@dataclass
class Outcome:
    """What one run did, for the report and for the tests."""

    decisions: int = 0
    rewarded: int = 0
    expired: int = 0
    late_clicks: int = 0
    stretches: list[Stretch] = field(default_factory=list)
    single_item: float = 0.0
    reload_at: int = 0
    reload_exact: bool = False
    snapshot_bytes: int = 0
    seconds: float = 0.0


class Progress:
    """A one-line progress bar on stderr, drawn only when stderr is a terminal."""

    def __init__(self, total: int, stream: TextIO = sys.stderr) -> None:
        self._total = total
        self._stream = stream
        self._live = stream.isatty()
        self._start = time.perf_counter()
        self._next = 0

    def update(self, done: int) -> None:
        if not self._live or done < self._next:
            return
        self._next = done + max(1, self._total // 200)
        elapsed = time.perf_counter() - self._start
        rate = done / elapsed if elapsed > 0 else 0.0
        left = (self._total - done) / rate if rate > 0 else 0.0
        filled = 30 * done // self._total
        self._stream.write(
            f"\r[{'#' * filled}{'-' * (30 - filled)}] {done:,}/{self._total:,} visits"
            f"  {rate:,.0f}/s  {left:.0f}s left   "
        )
        self._stream.flush()

    def close(self) -> None:
        if self._live:
            self._stream.write("\r" + " " * 78 + "\r")
            self._stream.flush()


class Shop:
    """The shop's side of the engine: decisions, clicks as they arrive, sweeps, the log."""

    def __init__(self, state: sorvane.BanditState, log: TextIO, outcome: Outcome,
                 model: JointModel | None = None) -> None:
        self.state = state
        self.use_model(model)
        self._log = log
        self._outcome = outcome
        self._clicks: list[tuple[float, str]] = []  # (arrival time, decision id), soonest first
        self._next_sweep = SWEEP_EVERY

    def use_model(self, model: JointModel | None) -> None:
        """Decide and learn through `model` from now on (None: the built-in model)."""
        self.model = model

    def advance(self, t: float) -> None:
        """Deliver every click and run every sweep due up to time `t`, in time order."""
        clicks = self._clicks
        while True:
            if clicks and clicks[0][0] <= min(t, self._next_sweep):
                arrived, decision_id = heapq.heappop(clicks)
                resolution = sorvane.learn(self.state, decision_id, 1.0, arrived,
                                           train=self.model.train if self.model is not None else None)
                # Past the horizon a click no longer counts: either a sweep has
                # resolved its decision already, or learn resolves it as expired.
                if resolution is None or resolution.kind == "expired":
                    self._outcome.late_clicks += 1
                if resolution is not None:
                    self._write(resolution)
            elif self._next_sweep <= t:
                train = self.model.train if self.model is not None else None
                for resolution in sorvane.expire(self.state, self._next_sweep, train=train):
                    self._write(resolution)
                self._next_sweep += SWEEP_EVERY
            else:
                return

    def decide(self, context: Context, candidates: list[Candidate], t: float) -> sorvane.DecisionRecord:
        model = self.model
        record = sorvane.decide(self.state, context, candidates, t, SALT, score=model.score if model else None,
                                explore=model.explore if model else None)
        self._log.write(sorvane.log_line(record))
        self._log.write("\n")
        self._outcome.decisions += 1
        return record

    def click_arrives(self, at: float, decision_id: str) -> None:
        heapq.heappush(self._clicks, (at, decision_id))

    def close(self) -> None:
        """Let the last clicks arrive and the last sweep run: every decision ends resolved."""
        last = max([self._next_sweep] + [at for at, _ in self._clicks])
        self.advance(last + HORIZON + SWEEP_EVERY)

    def _write(self, resolution: sorvane.Resolution) -> None:
        self._log.write(sorvane.log_line(resolution))
        self._log.write("\n")
        if resolution.kind == "rewarded":
            self._outcome.rewarded += 1
        else:
            self._outcome.expired += 1


def save_and_reload(state: sorvane.BanditState, path: Path) -> tuple[sorvane.BanditState, bool, int]:
    """Write the state to `path` and read it back: the copy, whether it is exact, the file's size."""
    text = sorvane.serialize(state)
    path.write_text(text, encoding="ascii")
    restored = sorvane.deserialize(path.read_text(encoding="ascii"))
    return restored, sorvane.serialize(restored) == text, path.stat().st_size


def save_and_reload_pair(state: sorvane.BanditState, model: JointModel,
                         path: Path) -> tuple[sorvane.BanditState, JointModel, bool, int]:
    """The state and the joint model saved together to `path` and read back: the copies, whether both are exact,
    the file's size."""
    state_text, model_text = sorvane.serialize(state), model.serialize()
    save_together(path, state, model)
    restored, restored_model = load_together(path)
    same = sorvane.serialize(restored) == state_text and restored_model.serialize() == model_text
    return restored, restored_model, same, path.stat().st_size


def run(
    visits: int,
    seed: int,
    log_path: Path,
    state_path: Path,
    points: int,
    progress: Progress | None = None,
    checkpoints: Path | None = None,
    joint: bool = False,
) -> Outcome:
    """Drive the engine through `visits` simulated visits, logging everything to `log_path`.

    The learning curve is kept at `points` equal stretches of visits. With
    `checkpoints`, a directory, the state is saved there before each of the
    later SEGMENTS - 1 equal parts of the visits. With `joint`, a joint model
    decides and learns through the callbacks, and half way the state and the
    model are saved together to `state_path` and read back.
    """
    world = World(seed)
    traffic = Traffic(world, seed + 1)
    candidates = world.candidates
    outcome = Outcome(stretches=[Stretch() for _ in range(points)], single_item=world.single_item_rate())
    outcome.reload_at = visits // 2
    start = time.perf_counter()
    done = 0
    every = max(1, visits // SEGMENTS)
    if checkpoints is not None:
        checkpoints.mkdir(parents=True, exist_ok=True)
        for old in checkpoints.glob("state-*.hex"):
            old.unlink()

    with open(log_path, "w", encoding="utf-8") as log:
        # The header line gives the offline tools the configuration, so they need no flags.
        model = JointModel(BITS) if joint else None
        log.write(header_line(BITS, HORIZON, epsilon=EPSILON, forgetfulness=FORGETFULNESS, model=model) + "\n")
        shop = Shop(sorvane.create(BITS, HORIZON, epsilon=EPSILON, forgetfulness=FORGETFULNESS), log, outcome, model)
        while done < visits:
            for t, visitor in traffic.visits(min(4096, visits - done)):
                shop.advance(t)
                context = world.visitors[visitor].context
                if checkpoints is not None and done and done % every == 0 and done // every < SEGMENTS:
                    # Named so that the files sort in the order they were taken.
                    (checkpoints / f"state-{done:09d}.hex").write_text(sorvane.serialize(shop.state), encoding="ascii")
                if done == outcome.reload_at:
                    original, original_model = shop.state, shop.model
                    if original_model is None:
                        restored, same_text, outcome.snapshot_bytes = save_and_reload(original, state_path)
                    else:
                        restored, restored_model, same_text, outcome.snapshot_bytes = save_and_reload_pair(
                            original, original_model, state_path)
                    # The original decides this visit without logging it; the copy must
                    # decide it exactly the same way, end up in the same state, and carry on.
                    probe = sorvane.decide(original, context, candidates, t, SALT,
                                           score=original_model.score if original_model else None,
                                           explore=original_model.explore if original_model else None)
                    shop.state = restored
                    if original_model is not None:
                        shop.use_model(restored_model)
                    record = shop.decide(context, candidates, t)
                    same_decision = sorvane.log_line(probe) == sorvane.log_line(record)
                    same_after = sorvane.serialize(original) == sorvane.serialize(restored)
                    if original_model is not None and shop.model is not None:
                        same_after = same_after and original_model.serialize() == shop.model.serialize()
                    outcome.reload_exact = same_text and same_decision and same_after
                else:
                    record = shop.decide(context, candidates, t)

                stretch = outcome.stretches[done * points // visits]
                stretch.visits += 1
                stretch.engine += world.click_probability[visitor][record.chosen]
                stretch.random += world.random_rate[visitor]
                stretch.best += world.best_rate[visitor]
                delay = traffic.click_delay(visitor, record.chosen)
                if delay is not None:
                    shop.click_arrives(t + delay, record.decision_id)
                done += 1
                if progress is not None:
                    progress.update(done)
        shop.close()

    outcome.seconds = time.perf_counter() - start
    return outcome


def rows(outcome: Outcome, count: int) -> list[tuple[int, int, Stretch]]:
    """The learning curve merged into `count` rows of (first visit, last visit, totals)."""
    out = []
    first = 1
    per_row = len(outcome.stretches) // count
    for r in range(count):
        total = Stretch()
        for stretch in outcome.stretches[r * per_row : (r + 1) * per_row]:
            total.add(stretch)
        out.append((first, first + total.visits - 1, total))
        first += total.visits
    return out


def print_table(outcome: Outcome, count: int, joint: Outcome | None = None) -> None:
    """The learning curve as a table; with `joint`, the joint model's run on the same visits beside it."""
    extra = f"  {'joint':>7}" if joint is not None else ""
    extra_share = f"  {'joint/best':>10}" if joint is not None else ""
    print(f"{'visits':>17}  {'random':>7}  {'engine':>7}{extra}  {'best':>7}  {'engine/best':>11}{extra_share}")
    joint_rows = rows(joint, count) if joint is not None else [None] * count
    for (first, last, total), joint_row in zip(rows(outcome, count), joint_rows):
        engine, best = total.engine / total.visits, total.best / total.visits
        joint_rate = joint_row[2].engine / joint_row[2].visits if joint_row is not None else None
        print(
            f"{first:>8,}-{last:<8,}  {total.random / total.visits:7.2%}"
            f"  {engine:7.2%}" + (f"  {joint_rate:7.2%}" if joint_rate is not None else "")
            + f"  {best:7.2%}  {engine / best:11.0%}"
            + (f"  {joint_rate / best:10.0%}" if joint_rate is not None else "")
        )


def plot(outcome: Outcome, path: Path, joint: Outcome | None = None) -> bool:
    """Save the learning curve as a PNG; False when matplotlib is not installed."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    x, best, engine, random = [], [], [], []
    seen = 0
    for stretch in outcome.stretches:
        x.append(seen + stretch.visits / 2)
        best.append(stretch.best / stretch.visits)
        engine.append(stretch.engine / stretch.visits)
        random.append(stretch.random / stretch.visits)
        seen += stretch.visits
    fig, ax = plt.subplots(figsize=(8, 4.5))
    ax.plot(x, best, "--", color="tab:green", linewidth=2, label="best possible (knows the hidden model)")
    ax.plot(x, engine, "-", color="tab:blue", linewidth=2, label="sorvane, built-in model (explores 5% of the time)")
    if joint is not None:
        joint_rate = [stretch.engine / stretch.visits for stretch in joint.stretches]
        ax.plot(x, joint_rate, "-", color="tab:purple", linewidth=2,
                label="sorvane, joint model through the callbacks (SquareCB)")
    ax.axhline(outcome.single_item, color="tab:grey", linestyle="-.", linewidth=1, label="best single item for everyone")
    ax.plot(x, random, ":", color="tab:red", linewidth=2, label="uniformly random")
    ax.axvline(outcome.reload_at, color="black", linewidth=0.8)
    ax.annotate(
        "state saved and reloaded", (outcome.reload_at, 0.0), xytext=(-4, 4), textcoords="offset points",
        ha="right", fontsize=8,
    )
    ax.set_xlabel("visits")
    ax.set_ylabel("click rate of the item shown")
    ax.yaxis.set_major_formatter(lambda v, _: f"{v:.0%}")
    ax.set_ylim(bottom=0.0)
    ax.set_xlim(left=0.0)
    ax.set_title("sorvane learning which item to show to whom")
    ax.legend(loc="lower right", fontsize=8)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def toolkit_commands(log_path: Path) -> list[str]:
    """The command lines that verify and evaluate the log; its header line gives them the configuration."""
    return [f"sorvane verify {log_path}", f"sorvane eval {log_path} --target epsilon=0.01 --target epsilon=0.2",
            f"sorvane eval {log_path} --target model=joint"]


def verify(log_path: Path, checkpoints: Path | None = None) -> int:
    """Check the log with the offline verifier; 0 when it agrees or is not available yet.

    With `checkpoints`, the log is proven in segments on two worker processes.
    """
    settings = ["--checkpoints", str(checkpoints), "--workers", "2"] if checkpoints is not None else []
    command = [sys.executable, "-m", "sorvane_cli", "verify", str(log_path), *settings, "--quiet"]
    print(f"\nChecking the log with `sorvane verify {' '.join(command[4:-1])}`:", flush=True)
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0 and "not built yet" in result.stderr:
        print("not available yet, skipped.")
        return 0
    if result.returncode != 0 and "No module named sorvane_cli" in result.stderr:
        print("the sorvane command-line tools are not installed here, skipped.")
        return 0
    sys.stdout.write(result.stdout)
    sys.stderr.write(result.stderr)
    return result.returncode


def megabytes(size: int) -> str:
    return f"{size / 1e6:,.1f} MB"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--visits", type=int, default=200_000, help="number of visits (default %(default)s)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the shop and its traffic (default %(default)s)")
    parser.add_argument("--rows", type=int, default=10, help="rows of the learning-curve table (default %(default)s)")
    parser.add_argument("--out", type=Path, default=Path("demo-output"), help="directory for the files below (default %(default)s)")
    parser.add_argument("--log", type=Path, help="experience log (default OUT/experience.jsonl)")
    parser.add_argument("--state", type=Path, help="the snapshot saved half way (default OUT/state.hex)")
    parser.add_argument("--plot", type=Path, help="learning curve (default OUT/learning-curve.png)")
    parser.add_argument("--checkpoints", type=Path, help="states saved along the way (default OUT/checkpoints)")
    parser.add_argument("--no-verify", action="store_true", help="do not check the log with `sorvane verify`")
    parser.add_argument("--built-in-only", action="store_true",
                        help="do not run the joint model on the same visits (half the time)")
    args = parser.parse_args(argv)
    if args.rows < 1 or args.visits < args.rows * POINTS_PER_ROW:
        parser.error(f"need at least one row and {POINTS_PER_ROW} visits per row")

    args.out.mkdir(parents=True, exist_ok=True)
    log_path: Path = args.log or args.out / "experience.jsonl"
    state_path: Path = args.state or args.out / "state.hex"
    plot_path: Path = args.plot or args.out / "learning-curve.png"
    checkpoints: Path = args.checkpoints or args.out / "checkpoints"

    print(f"A shop with {len(CATEGORIES) * ITEMS_PER_CATEGORY} items, {args.visits:,} visits (seed {args.seed}).")
    progress = Progress(args.visits)
    outcome = run(args.visits, args.seed, log_path, state_path, args.rows * POINTS_PER_ROW, progress, checkpoints)
    progress.close()
    joint = None
    joint_log = args.out / "experience-joint.jsonl"
    joint_pair = args.out / "state-and-model.txt"
    if not args.built_in_only:
        progress = Progress(args.visits)
        joint = run(args.visits, args.seed, joint_log, joint_pair, args.rows * POINTS_PER_ROW, progress, joint=True)
        progress.close()

    print(
        f"{outcome.decisions:,} decisions in {outcome.seconds:.1f}s: {outcome.rewarded:,} rewarded by a click, "
        f"{outcome.expired:,} expired without one ({outcome.late_clicks:,} clicks came too late to count)."
    )
    if outcome.reload_exact:
        print(
            f"At visit {outcome.reload_at + 1:,} the state went to {state_path} "
            f"({megabytes(outcome.snapshot_bytes)}) and came back exact: the copy serializes to the same text, "
            "made the next decision bit for bit as the original did, and ended in the same state."
        )
    else:
        print(f"At visit {outcome.reload_at + 1:,} the state came back from {state_path} DIFFERENT.")
    lines = 1 + outcome.decisions + outcome.rewarded + outcome.expired
    print(f"Log: {log_path}, {lines:,} lines ({megabytes(log_path.stat().st_size)}).")
    print(f"Checkpoints: {len(list(checkpoints.glob('state-*.hex')))} states in {checkpoints}, saved along the way.")
    if joint is not None:
        print(f"The joint model decided the same visits again in {joint.seconds:.1f}s (log: {joint_log}); half way its "
              f"state and model went to {joint_pair} together ({megabytes(joint.snapshot_bytes)}) and came back "
              + ("exact." if joint.reload_exact else "DIFFERENT."))
    print("\nClick rate of the item shown, expected from the hidden model:")
    print_table(outcome, args.rows, joint)
    print(f"Showing every visitor the single best item would get {outcome.single_item:.2%}.")
    if plot(outcome, plot_path, joint):
        print(f"Learning curve: {plot_path}")
    else:
        print("No plot: matplotlib is not installed (pip install matplotlib).")

    print("\nThe log starts with a header line holding the engine's configuration, so the toolkit needs no flags:")
    for command in toolkit_commands(log_path):
        print(f"  {command}")

    status = 0 if outcome.reload_exact and (joint is None or joint.reload_exact) else 1
    if not args.no_verify:
        status = max(status, verify(log_path, checkpoints))
        if joint is not None:
            status = max(status, verify(joint_log))
    return status


if __name__ == "__main__":
    sys.exit(main())

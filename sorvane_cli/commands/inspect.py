"""`sorvane inspect`: what a saved state holds (its configuration, counters,
pending decisions and model), or a saved joint model (its settings, updates
and weights), and, with --log, the features behind the heaviest weights."""
import argparse
import gzip
import heapq
import math
import sys
from typing import IO, Any

from sorvane_cli.commands import Command
from sorvane_cli.evaluation.arithmetic import fsum
from sorvane_cli.log.feature_map import FeatureMap
from sorvane_cli.log.joint_model_text import TEXT_MAGIC as _JOINT_TEXT_MAGIC
from sorvane_cli.log.joint_model_text import JointModelContents
from sorvane_cli.log.source import MAX_LINE_BYTES, LogSource
from sorvane_cli.log.state_contents import StateContents
from sorvane_cli.options import non_negative
from sorvane_cli.report.progress import Progress, wants_progress
from sorvane_cli.report.text import number, to_json
from sorvane_cli.status import UsageError, table

_DESCRIPTION = """Show what a serialized state holds: its configuration, decision count and model
version, the pending decisions, the model's trained coordinates, scale and weights, and
the range of its estimates for the pending decisions. With --log, its heaviest weights
are named by the (context term, candidate term) pairs of the log that hash to them, and
the estimate range covers every candidate of the log's distinct inputs too.

A joint model's text (JointModel.serialize, replay's STATE.model) shows its
settings, update count and weights, and with --log the same names and the
range of its estimates over the log's inputs; a file save_together wrote
shows the state and then its joint model.

Terms are the engine's: the bias (empty), c|name=text or c|name (a number, its value the
weight) for a context feature, a|name=text or a|name for a candidate feature, i|id for a
candidate's identity. A pair adds sign x weight x (its two terms' weights) to an estimate;
pairs that hash to one coordinate share its weight (collisions)."""

_GZIP_MAGIC = b"\x1f\x8b"
# With --log, the estimate range covers at most this many distinct
# (context, candidates) of the log: enough to show the range, bounded in time.
_ESTIMATED_INPUTS = 20_000
# "sorvane\0", the snapshot's first bytes, as the state text spells them.
_STATE_TEXT_MAGIC = "736f7276616e6500"


def add_parser(sub: Any, command: Command) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = sub.add_parser(
        command.name, help=command.summary, description=_DESCRIPTION, epilog=table(),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("state", metavar="STATE",
                        help="a serialized state, a joint model's text, or a file save_together wrote "
                             "(gzip'd or not); '-' reads standard input")
    parser.add_argument("--log", metavar="LOG",
                        help="an experience log whose features name the heaviest coordinates")
    parser.add_argument("--top", type=non_negative, default=10, metavar="N", help="heaviest coordinates shown (10)")
    parser.add_argument("--oldest", type=non_negative, default=5, metavar="N",
                        help="ids of the oldest pending decisions shown (5)")
    parser.add_argument("--json", action="store_true", help="the report as JSON")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    return parser


def read_state_text(path):
    """The state text in a file ('-': standard input), gunzipped when it is
    gzip'd, without the whitespace around it."""
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
    except IsADirectoryError:
        raise UsageError(f"cannot read {path}: it is a directory") from None
    except OSError as exc:
        raise UsageError(f"cannot read {path}: {exc.strerror or exc}") from None
    if data.startswith(_GZIP_MAGIC):
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError) as exc:
            raise UsageError(f"cannot read {path}: the gzip data is damaged ({exc})") from None
    try:
        return data.decode("ascii").strip()
    except UnicodeDecodeError:
        raise UsageError(f"{path} is not a serialized state: it is not hexadecimal text") from None


def run(args: argparse.Namespace, stdout: IO[str]) -> int:
    if args.state == "-" and args.log == "-":
        raise UsageError("STATE and --log cannot both be standard input")
    text = read_state_text(args.state)
    names = _Names(args)
    for recognises, report, render in INSPECTORS:
        if recognises(text):
            result = report(text, args, names)
            break
    else:
        raise UsageError(f"{args.state} is not a serialized state: it does not start with a sorvane state's magic")
    stdout.write(to_json(result) + "\n" if args.json else render(result) + "\n")
    return 0


class _Names:
    """The --log's FeatureMap at some bits, read once however many reports
    ask for it; None without --log."""

    def __init__(self, args):
        self._args = args
        self._maps = {}

    def at(self, bits):
        if self._args.log is None:
            return None
        if bits not in self._maps:
            self._maps[bits] = _feature_map(self._args, bits)
        return self._maps[bits]


def _is_bandit_state(text):
    return text[: len(_STATE_TEXT_MAGIC)].lower() == _STATE_TEXT_MAGIC


def _is_joint_model(text):
    return text[: len(_JOINT_TEXT_MAGIC)].lower() == _JOINT_TEXT_MAGIC


def _is_state_and_model(text):
    # save_together's file: the state's line, then the model's.
    state, newline, model = text.partition("\n")
    return bool(newline) and _is_bandit_state(state) and _is_joint_model(model.strip())


def bandit_report(text, args, names):
    """The report on a bandit state's text, as --json prints it."""
    try:
        contents = StateContents(text)
    except ValueError as exc:
        raise UsageError(f"{args.state} is not a serialized state: {exc}") from None
    del text
    fields = contents.fields
    report = {
        "state": args.state,
        "kind": "bandit state",
        "configuration": {"bits": contents.bits, "horizon": fields["horizon"],
                          "default_reward": fields["default_reward"], "epsilon": fields["epsilon"],
                          "forgetfulness": fields["forgetting"]},
        "decision_count": fields["decision_count"],
        "model_version": fields["model_version"],
        "pending": _pending(contents.records, args.oldest),
    }
    trained = contents.trained()
    weights = {index: contents.weight(index) for index in trained}
    nonzero = [w for w in weights.values() if w != 0.0]
    report["model"] = {"dim": fields["dim"], "ridge": fields["ridge"], "scale": fields["scale"],
                       "trained_coordinates": len(trained), "nonzero_weights": len(nonzero),
                       "weight_range": [min(nonzero), max(nonzero)] if nonzero else None}
    estimates = [contents.estimate(record.features) for record in contents.records]
    report["estimate_range"] = ({"of": "the pending decisions' chosen candidates",
                                 "min": min(estimates), "max": max(estimates)} if estimates else None)
    if args.log is not None:
        if contents.bits is None:
            raise UsageError(f"{args.state}: the model's dimension is not a power of two, so no feature hashes to it")
        _add_log(report, args, names.at(contents.bits), contents.estimate)
    return _add_heaviest(report, args, trained, weights, names.at(contents.bits) if contents.bits is not None else None)


def joint_model_report(text, args, names):
    """The report on a joint model's text, as --json prints it."""
    try:
        contents = JointModelContents(text)
    except ValueError as exc:
        raise UsageError(f"{args.state} is not a joint model's text: {exc}") from None
    del text
    model = contents.model
    settings = {"bits": model.bits, "learning_rate": model.learning_rate, "explore": model.explore_rule}
    if model.explore_rule == "squarecb":
        settings["gamma_scale"] = model.gamma_scale
        settings["gamma"] = contents.gamma()
    settings["initial_accumulator"] = model.initial_accumulator
    report = {"state": args.state, "kind": "joint model", "settings": settings, "updates": model.updates}
    trained = contents.trained()
    weights = {index: contents.weights[index] for index in trained}
    nonzero = [w for w in weights.values() if w != 0.0]
    report["model"] = {"dim": 1 << model.bits, "trained_coordinates": len(trained), "nonzero_weights": len(nonzero),
                       "weight_range": [min(nonzero), max(nonzero)] if nonzero else None,
                       "weight_rms": math.sqrt(fsum([w * w for w in nonzero]) / len(nonzero)) if nonzero else None}
    if args.log is not None:
        _add_log(report, args, names.at(model.bits), contents.estimate)
    return _add_heaviest(report, args, trained, weights, names.at(model.bits))


def state_and_model_report(text, args, names):
    """The report on a file save_together wrote: the state's, then its joint model's."""
    state_text, _, model_text = text.partition("\n")
    state = bandit_report(state_text.strip(), args, names)
    model = joint_model_report(model_text.strip(), args, names)
    if state["configuration"]["bits"] != model["settings"]["bits"]:
        raise UsageError(f"{args.state} does not hold a state and its joint model: the state has "
                         f"{state['configuration']['bits']} bits, the model {model['settings']['bits']}")
    del state["state"], model["state"]
    return {"state": args.state, "kind": "bandit state and joint model (save_together)",
            "bandit_state": state, "joint_model": model}


def _add_log(report, args, names, estimate):
    report["log"] = {"path": args.log, "decisions": names.decisions, "unreadable_lines": names.skipped,
                     "decisions_at_other_bits": names.other_bits, "named_coordinates": len(names.pairs)}
    # What the model makes of the traffic the log shows: every candidate
    # of the log's distinct contexts and candidate sets.
    estimates = [estimate(names.hasher.vector(context, candidate_id, features))
                 for context, candidate_id, features in names.candidates(_ESTIMATED_INPUTS)]
    shown = min(len(names.inputs), _ESTIMATED_INPUTS)
    report["log_estimate_range"] = ({"of": f"the candidates of the log's {shown:,} distinct inputs"
                                            + (" (the first ones)" if shown < len(names.inputs) else ""),
                                     "min": min(estimates), "max": max(estimates)} if estimates else None)


def _add_heaviest(report, args, trained, weights, names):
    report["heaviest"] = [_coordinate(index, weights[index], names)
                          for index in heapq.nlargest(args.top, trained, key=lambda i: _heft(weights[i]))]
    return report


def _heft(weight):
    return math.inf if math.isnan(weight) else abs(weight)


def _pending(records, oldest):
    if not records:
        return {"count": 0, "oldest_t": None, "newest_t": None, "oldest": []}
    by_age = sorted(records, key=lambda record: record.t)  # stable: ledger order among equal times
    return {"count": len(records), "oldest_t": by_age[0].t, "newest_t": by_age[-1].t,
            "oldest": [record.decision_id for record in by_age[:oldest]]}


def _feature_map(args, bits):
    source = LogSource(args.log, MAX_LINE_BYTES)
    with Progress("reading the log", source.size(), wants_progress(args.quiet)) as bar:
        return FeatureMap(bits).read(source, bar.update)


def _coordinate(index, weight, names):
    out = {"coordinate": index, "weight": weight}
    if names is not None:
        pairs = names.pairs.get(index, [])
        out["pairs"] = [{"context": c, "candidate": a, "sign": int(sign), "effect": sign * weight}
                        for c, a, sign in pairs]
        out["collisions"] = max(len(pairs) - 1, 0)
    return out


def _term(text):
    return text if text else "bias"


def _text(report):
    config = report["configuration"]
    pending = report["pending"]
    model = report["model"]
    lines = [f"{report['state']}: {report['kind']}",
             f"configuration: bits {config['bits']}, horizon {config['horizon']!r}, default reward "
             f"{config['default_reward']!r}, epsilon {config['epsilon']!r}, forgetfulness {config['forgetfulness']!r}",
             f"decisions made: {report['decision_count']:,}; model version {report['model_version']:,} "
             f"(resolutions trained)"]
    if pending["count"]:
        lines.append(f"pending: {pending['count']:,} decisions, t from {pending['oldest_t']!r} to "
                     f"{pending['newest_t']!r}; oldest: {', '.join(pending['oldest'])}")
    else:
        lines.append("pending: none")
    lines.append(f"model: {model['dim']:,} coordinates, {model['trained_coordinates']:,} trained, "
                 f"{model['nonzero_weights']:,} nonzero weights; scale {model['scale']!r}, ridge {model['ridge']!r}")
    if model["weight_range"] is not None:
        lo, hi = model["weight_range"]
        lines.append(f"weights: from {number(lo)} to {number(hi)}")
    return "\n".join(lines + _named_lines(report))


def _joint_text(report):
    settings = report["settings"]
    model = report["model"]
    if settings["explore"] == "squarecb":
        rule = (f"squarecb, gamma_scale {settings['gamma_scale']!r} (gamma {number(settings['gamma'])} "
                f"at {report['updates']:,} updates)")
    else:
        rule = "epsilon-greedy at the state's epsilon"
    lines = [f"{report['state']}: {report['kind']}",
             f"settings: bits {settings['bits']}, learning rate {settings['learning_rate']!r}, "
             f"initial accumulator {settings['initial_accumulator']!r}; explore {rule}",
             f"updates: {report['updates']:,} (records trained on)",
             f"model: {model['dim']:,} coordinates, {model['trained_coordinates']:,} trained, "
             f"{model['nonzero_weights']:,} nonzero weights"]
    if model["weight_range"] is not None:
        lo, hi = model["weight_range"]
        lines.append(f"weights: from {number(lo)} to {number(hi)}, root mean square {number(model['weight_rms'])}")
    return "\n".join(lines + _named_lines(report))


def _state_and_model_text(report):
    # Each part's own first line (a path and a kind) gives way to a title.
    state = _text({"state": "", **report["bandit_state"]}).split("\n")[1:]
    model = _joint_text({"state": "", **report["joint_model"]}).split("\n")[1:]
    return "\n".join([f"{report['state']}: {report['kind']}", "", "the state:", *state, "", "its joint model:",
                       *model])


def _named_lines(report):
    """The estimate ranges, the log's names and the heaviest coordinates, as
    a state's report and a joint model's both show them."""
    lines = []
    for key in ("estimate_range", "log_estimate_range"):
        estimates = report.get(key)
        if estimates is not None:
            lines.append(f"estimates of {estimates['of']}: from {number(estimates['min'])} "
                         f"to {number(estimates['max'])}")
    log = report.get("log")
    if log is not None:
        note = f", {log['unreadable_lines']:,} unreadable lines skipped" if log["unreadable_lines"] else ""
        lines.append(f"names from {log['path']}: {log['decisions']:,} decisions, "
                     f"{log['named_coordinates']:,} coordinates named{note}")
        if log["decisions_at_other_bits"]:
            lines.append(f"  {log['decisions_at_other_bits']:,} of its decisions were made at other bits than the "
                         f"state's; their features are hashed at the state's")
    if report["heaviest"]:
        lines.append("heaviest coordinates (by |weight|):")
        for entry in report["heaviest"]:
            head = f"  {entry['coordinate']:>9}  weight {number(entry['weight']):>8}"
            if "pairs" not in entry:
                lines.append(head)
                continue
            if not entry["pairs"]:
                lines.append(head + "  (no pair of the log hashes here)")
                continue
            collide = f"  [{entry['collisions']} collisions]" if entry["collisions"] else ""
            for k, pair in enumerate(entry["pairs"]):
                named = (f"{_term(pair['context'])} x {_term(pair['candidate'])}  "
                         f"effect {number(pair['effect'])}")
                lines.append((head if k == 0 else " " * len(head)) + "  " + named + (collide if k == 0 else ""))
    return lines


# A saved text is read by the first entry that recognises it:
# (recognises(text), report(text, args, names), render(report) as text).
INSPECTORS = [
    (_is_state_and_model, state_and_model_report, _state_and_model_text),
    (_is_bandit_state, bandit_report, _text),
    (_is_joint_model, joint_model_report, _joint_text),
]

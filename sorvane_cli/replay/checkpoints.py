"""Checkpoint segments: the log proven in pieces that run side by side, each
from a state the host saved (`sorvane verify LOG --checkpoints DIR`).

A host that writes `serialize` snapshots now and then leaves checkpoints:
a state's decision count and model version count the decisions and
resolutions made before it, so the snapshot was taken where the log first
holds that many decision lines and that many resolution lines (counted
from the state the log continues from). Between two checkpoints the log is
replayed from the first, exactly as verify replays a whole log, and must
end in the second's exact state text; the last segment runs to the end of
the log. The segments are independent jobs (jobs.py), so they run on
--workers processes or a cluster.

A clean log reads the same as under plain verify. Where a segment goes
wrong, the next one still starts from its own checkpoint, so the problems
reported are those of each segment, plus the segment's end that does not
match.
"""
import os
import struct

import sorvane

from sorvane_cli.jobs import no_progress
from sorvane_cli.log import snapshot
from sorvane_cli.log.config import FLAGS, LogConfig
from sorvane_cli.log.lines import DECISION_PREFIX, RESOLUTION_PREFIX, DecisionLine, ResolutionLine, parse_in_full
from sorvane_cli.log.snapshot import state_fields
from sorvane_cli.log.source import TOO_LONG, LogSource
from sorvane_cli.log.values import same_float
from sorvane_cli.replay.replayer import replay_log
from sorvane_cli.report.findings import Finding, Findings
from sorvane_cli.status import LogError, UsageError


class Checkpoint:
    """One snapshot file, read as far as its counters and configuration."""

    def __init__(self, path, fields):
        self.path = path
        self.name = os.path.basename(path)
        self.fields = fields
        # Where the log reaches it: byte offset and lines before it.
        self.offset = None
        self.lines = None


def read_checkpoint(path):
    """The Checkpoint at `path`; UsageError naming the file when it cannot
    be a serialized state. Only the head and the counters are read: the job
    that starts from it reads it whole and checks its checksum."""
    try:
        size = os.path.getsize(path)
        with open(path, "rb") as f:
            head = bytes.fromhex(f.read(2 * snapshot.SUMS_OFFSET).decode("ascii"))
            if len(head) < snapshot.SUMS_OFFSET or snapshot.PREAMBLE.unpack_from(head)[0] != snapshot.MAGIC:
                raise ValueError
            dim, _, forgetting, _ = snapshot.MODEL_FIELDS.unpack_from(head, snapshot.MODEL_OFFSET)
            f.seek(2 * snapshot.state_fields_offset(dim))
            tail = bytes.fromhex(f.read(2 * snapshot.STATE_FIELDS.size).decode("ascii"))
    except OSError as exc:
        raise UsageError(f"cannot read checkpoint {path}: {exc.strerror or exc}") from None
    except (ValueError, UnicodeDecodeError, OverflowError):
        raise UsageError(f"checkpoint {path} is not a serialized state") from None
    if len(tail) < snapshot.STATE_FIELDS.size or size < 2 * snapshot.smallest_size(dim):
        raise UsageError(f"checkpoint {path} is not a serialized state: it is truncated")
    fields = {"dim": dim, "forgetfulness": forgetting}
    (fields["decision_count"], fields["model_version"], fields["horizon"], fields["default_reward"],
     fields["epsilon"], fields["pending"]) = snapshot.STATE_FIELDS.unpack(tail)
    return Checkpoint(path, fields)


def list_checkpoints(directory):
    """Every file in `directory` (hidden ones aside) as a Checkpoint."""
    try:
        names = sorted(name for name in os.listdir(directory) if not name.startswith("."))
    except OSError as exc:
        raise UsageError(f"cannot read --checkpoints {directory}: {exc.strerror or exc}") from None
    paths = [os.path.join(directory, name) for name in names]
    paths = [path for path in paths if os.path.isfile(path)]
    if not paths:
        raise UsageError(f"--checkpoints {directory} holds no checkpoint file")
    return [read_checkpoint(path) for path in paths]


def settle_configuration(checkpoints, config):
    """The configuration to verify with: a value nothing else gave (left at
    its default) is the first checkpoint's, since every checkpoint carries
    the whole configuration. A checkpoint of another configuration cannot
    be a state of this log: UsageError names it."""
    if config.state_text is None:
        first = checkpoints[0]
        values, sources = {}, dict(config.sources)
        for name in FLAGS:
            values[name] = getattr(config, name)
            if sources.get(name) == "default":
                values[name], sources[name] = first.fields[name], "checkpoint"
        config = LogConfig(values["horizon"], values["default_reward"], values["epsilon"], values["forgetfulness"],
                           sources=sources)
    for ck in checkpoints:
        for name, flag in FLAGS.items():
            if not same_float(ck.fields[name], getattr(config, name)):
                given = {"flag": flag, "header": "the log's header", "log": "the log's lines",
                         "state": "--from-state"}.get(config.sources.get(name), "the first checkpoint")
                raise UsageError(f"checkpoint {ck.path} holds {name} {ck.fields[name]!r}, but the log is verified "
                                 f"with {getattr(config, name)!r} (from {given})")
    return config


def _event(line):
    """'d', 'r' or None: which count a log line advances."""
    if line is TOO_LONG:
        return None
    if line.startswith(DECISION_PREFIX):
        return "d"
    if line.startswith(RESOLUTION_PREFIX):
        return "r"
    kind = type(parse_in_full(0, line))
    return "d" if kind is DecisionLine else "r" if kind is ResolutionLine else None


def locate(path, checkpoints, base, max_line_bytes=None):
    """Sets each checkpoint's offset and lines: the shortest prefix of the
    log with as many decision and resolution lines as the state had made
    since `base` (the counts of the state the log continues from). Returns
    the log's line count. UsageError names a checkpoint the log never
    reaches."""
    wanted = {}
    for ck in checkpoints:
        d = ck.fields["decision_count"] - base[0]
        r = ck.fields["model_version"] - base[1]
        if d < 0 or r < 0:
            raise UsageError(f"checkpoint {ck.path} is misplaced: it was taken before the state the log "
                             f"continues from ({ck.fields['decision_count']} decisions, "
                             f"{ck.fields['model_version']} resolutions)")
        wanted.setdefault((d, r), []).append(ck)
    found = {}
    d = r = lines = 0
    if (0, 0) in wanted:
        found[0, 0] = (0, 0)
    with LogSource(path, max_line_bytes) as source:
        for lines, line in source.lines():
            kind = _event(line)
            if kind == "d":
                d += 1
            elif kind == "r":
                r += 1
            else:
                continue
            # The shortest prefix: the first line that brings the counts there.
            if (d, r) in wanted and (d, r) not in found:
                found[d, r] = (source.offset(), lines)
    for key, cks in wanted.items():
        if key not in found:
            ck = cks[0]
            where = (f"the log holds only {d} decisions and {r} resolutions" if key[0] > d or key[1] > r else
                     f"the log never holds {key[0]} decision lines and {key[1]} resolution lines at once")
            raise UsageError(f"checkpoint {ck.path} is misplaced: it was taken after {key[0]} decisions and "
                             f"{key[1]} resolutions of this log, but {where}")
        for ck in cks:
            ck.offset, ck.lines = found[key]
    return lines


def _config_of(job):
    if job["state"] is not None:
        with open(job["state"], encoding="ascii", errors="replace") as f:
            return LogConfig(state_text=f.read().strip())
    return LogConfig(*job["config"], sources=job["sources"])


def _state_text(path):
    with open(path, encoding="ascii", errors="replace") as f:
        return f.read().strip()


def verify_segment(job):
    """One segment replayed (run by a worker): its summary and findings, as
    plain values, or what stopped it."""
    try:
        if job["start"] is None:
            config = _config_of(job)
        else:
            text = _state_text(job["start"])
            try:
                sorvane.deserialize(text)
            except ValueError as exc:
                return {"checkpoint": f"checkpoint {job['start']} is damaged: {exc}"}
            config = LogConfig(state_text=text)
        end = _state_text(job["end"]) if job["end"] is not None else None
    except OSError as exc:
        return {"checkpoint": f"cannot read {exc.filename}: {exc.strerror or exc}"}
    try:
        replayer = replay_log(job["log"], config, keep=job["keep"], progress=no_progress,
                              max_line_bytes=job["max_line_bytes"], span=job["span"])
    except LogError as exc:
        return {"usage": str(exc)}
    if end is not None:
        _check_end(replayer, config, end, job)
    return {"summary": replayer.summary(), "bits": replayer.bits, "counts": dict(replayer.findings.counts),
            "first": [f.as_dict() for f in replayer.findings.first]}


def _check_end(replayer, config, end, job):
    """A finding when the replayed state is not the checkpoint's, naming the
    counters that differ."""
    state = replayer.state
    if state is None:
        # No decision line in the segment made one: what create gives.
        try:
            bits = state_fields(end)["dim"].bit_length() - 1
            state = config.create(bits)
        except (ValueError, OverflowError, struct.error):
            state = None
    text = sorvane.serialize(state) if state is not None else ""
    if text == end.lower():
        return
    fields = []
    if state is not None:
        try:
            sorvane.deserialize(end)
            want, have = state_fields(end), state_fields(text)
            fields = [(key, want[key], have[key]) for key in ("dim", "decision_count", "model_version", "pending")
                      if want[key] != have[key]]
        except (ValueError, struct.error):
            pass
    offset, before, count = job["span"]
    name = os.path.basename(job["end"])
    detail = "" if fields else " (in the model or the pending decisions; the counters agree)"
    replayer.findings.add(Finding(max(before + count, 1), "checkpoint-mismatch",
                                  f"the state replayed to this line is not the one in checkpoint {name}{detail}; "
                                  "logged values are the checkpoint's", fields))


class Segments:
    """The segments' results merged, read by verify as one replayed log."""

    def __init__(self, results, keep, config):
        self.config = config
        self.findings = Findings(keep)
        self._summary = {key: sum(r["summary"][key] for r in results)
                         for key in ("lines", "decisions", "resolutions", "steered")}
        self._summary["pending"] = results[-1]["summary"]["pending"]
        self.steered = self._summary["steered"]
        # The bits the first decision (or the state the log continues from) gave.
        self.bits = next((r["bits"] for r in results if r["bits"] is not None), None)
        for r in results:
            for kind, count in r["counts"].items():
                self.findings.counts[kind] = self.findings.counts.get(kind, 0) + count
            for f in r["first"]:
                if len(self.findings.first) < keep:
                    fields = [(x["field"], x["logged"], x["replayed"]) for x in f["fields"]]
                    self.findings.first.append(Finding(f["line"], f["kind"], f["message"], fields,
                                                       f.get("follow_on")))
        if self._summary["lines"] == 0:
            self.findings.add(Finding(None, "empty-log", "the log holds no line"))

    def summary(self):
        return {key: self._summary[key] for key in ("lines", "decisions", "resolutions", "pending", "steered")}

    def configuration(self):
        """As Replayer.configuration gives it for the whole log."""
        return self.config.described(self.bits)


def plan_segments(path, checkpoints, total_lines, config, state_path, keep, max_line_bytes):
    """One job per segment: from the log's start state to the first
    checkpoint, from each to the next, from the last to the end."""
    ordered = sorted(checkpoints, key=lambda ck: (ck.lines, ck.name))
    bounds = [None] + ordered + [None]
    jobs = []
    for start, end in zip(bounds, bounds[1:]):
        first = start.lines if start is not None else 0
        offset = start.offset if start is not None else 0
        last = end.lines if end is not None else total_lines
        jobs.append({"log": path, "state": state_path, "max_line_bytes": max_line_bytes,
                     "config": (config.horizon, config.default_reward, config.epsilon, config.forgetfulness),
                     "sources": dict(config.sources),
                     "start": start.path if start is not None else None,
                     "end": end.path if end is not None else None,
                     "span": (offset, first, last - first), "keep": keep})
    return ordered, jobs


def describe_segment(job):
    offset, before, count = job["span"]
    start = os.path.basename(job["start"]) if job["start"] else "the log's start"
    return f"the segment of lines {before + 1}-{before + count} (from {start})"

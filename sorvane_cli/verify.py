"""`sorvane verify` and `sorvane replay`: prove the log, rebuild the state."""
import os
import sys

import sorvane

from .output import findings_text, to_json
from .replay import replay_log

# Exit statuses.
VERIFIED = 0
PROBLEMS = 1
USAGE = 2
HOST_POLICY_ONLY = 3


def _status(replayer):
    if not replayer.findings.counts:
        return VERIFIED
    return HOST_POLICY_ONLY if replayer.findings.only_host_policy() else PROBLEMS


def run_verify(args, config, progress, out=None, replayer=None):
    """`replayer`, when given, is the log already replayed (verify --checkpoints)."""
    out = out if out is not None else sys.stdout
    if replayer is None:
        replayer = replay_log(args.log, config, keep=args.show, progress=progress)
    status = _status(replayer)
    summary = replayer.summary()
    if args.json:
        report = {"log": args.log, "verified": status == VERIFIED}
        report.update(summary)
        report["problems"] = replayer.findings.total
        report["mismatches"] = dict(replayer.findings.counts)
        report["first"] = [f.as_dict() for f in replayer.findings.first]
        out.write(to_json(report) + "\n")
        return status
    lines = [f"{args.log}: {summary['lines']} lines, {summary['decisions']} decisions, "
             f"{summary['resolutions']} resolutions, {summary['pending']} pending at the end"]
    if replayer.steer:
        lines.append("decisions the built-in policy does not reproduce were replayed with the logged choices")
    lines += findings_text(replayer.findings)
    if "host-policy" in replayer.findings.counts:
        lines.append("(a log written without score/explore callables reproduces only with the state's own "
                     "--epsilon, --forgetfulness and --default-reward)")
    if status == VERIFIED:
        lines.append("verified: every record and resolution is reproduced")
    elif status == HOST_POLICY_ONLY:
        lines.append("not verified: the host's own score/explore made some decisions; the rest is reproduced")
    else:
        lines.append("NOT VERIFIED")
    out.write("\n".join(lines) + "\n")
    return status


def run_replay(args, config, progress, out=None):
    out = out if out is not None else sys.stdout
    replayer = replay_log(args.log, config, keep=args.show, progress=progress)
    status = _status(replayer)
    if replayer.state is None or (status == PROBLEMS and not args.force):
        lines = findings_text(replayer.findings)
        lines.append(f"the log does not replay cleanly; {args.output} was not written "
                     "(`sorvane verify` lists every problem; --force writes what the readable lines give)")
        sys.stderr.write("\n".join(lines) + "\n")
        return PROBLEMS
    if status == PROBLEMS:
        sys.stderr.write("\n".join(findings_text(replayer.findings)) + "\n")
    text = sorvane.serialize(replayer.state)
    if args.output == "-":
        # No newline: the text is exactly what `serialize` returns.
        out.write(text)
        out.flush()
    else:
        tmp = args.output + ".tmp"
        with open(tmp, "w", encoding="ascii") as f:
            f.write(text)
        os.replace(tmp, args.output)
    if not args.quiet:
        summary = replayer.summary()
        note = (f"; {replayer.steered} decisions replayed with the host's logged choices" if replayer.steered else "")
        sys.stderr.write(f"{args.log}: {summary['decisions']} decisions, {summary['resolutions']} resolutions, "
                         f"{summary['pending']} pending{note}\n")
    return PROBLEMS if status == PROBLEMS else VERIFIED

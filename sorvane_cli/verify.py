"""`sorvane verify` and `sorvane replay`: prove the log, rebuild the state."""
import sys

import sorvane

from .output import findings_text, to_json
from .outputs import write_text
from .replay import replay_log
from .status import Exit


def _status(replayer):
    if not replayer.findings.counts:
        return Exit.OK
    return Exit.HOST_POLICY if replayer.findings.only_host_policy() else Exit.PROBLEMS


def _configuration_note(config, findings):
    # The horizon plays no part in replaying; a divergence says this itself.
    guessed = [flag for flag in config.guessed() if flag != "--horizon"]
    if not guessed or "diverged" in findings.counts:
        return []
    return [f"(nothing in the log gives {', '.join(guessed)}: the defaults were used; "
            "a log written with other values reproduces only with them)"]


def run_verify(args, config, progress, out=None, source=None, replayer=None):
    """`replayer`, when given, is the log already replayed (verify --checkpoints)."""
    out = out if out is not None else sys.stdout
    if replayer is None:
        replayer = replay_log(source if source is not None else args.log, config, keep=args.show,
                              progress=progress, max_line_bytes=getattr(args, "max_line_bytes", None))
    status = _status(replayer)
    summary = replayer.summary()
    if args.json:
        report = {"log": args.log, "verified": status == Exit.OK}
        report.update(summary)
        report["configuration"] = replayer.configuration()
        report["problems"] = replayer.findings.total
        report["mismatches"] = dict(replayer.findings.counts)
        report["first"] = [f.as_dict() for f in replayer.findings.first]
        out.write(to_json(report) + "\n")
        return status
    lines = [f"{args.log}: {summary['lines']} lines, {summary['decisions']} decisions, "
             f"{summary['resolutions']} resolutions, {summary['pending']} pending at the end"]
    if replayer.steered:
        lines.append("decisions the built-in policy does not reproduce were replayed with the logged choices")
    lines += findings_text(replayer.findings)
    if status != Exit.OK:
        lines += _configuration_note(config, replayer.findings)
    if status == Exit.OK:
        lines.append("verified: every record and resolution is reproduced")
    elif status == Exit.HOST_POLICY:
        lines.append("not verified: the host's own score/explore made some decisions; the rest is reproduced")
    else:
        lines.append("NOT VERIFIED")
    out.write("\n".join(lines) + "\n")
    return status


def run_replay(args, config, progress, out=None, source=None):
    out = out if out is not None else sys.stdout
    # The report goes where the state does not.
    report = sys.stderr if args.output == "-" else out
    replayer = replay_log(source if source is not None else args.log, config, keep=args.show, progress=progress,
                          max_line_bytes=getattr(args, "max_line_bytes", None))
    status = _status(replayer)
    if replayer.state is None or (status == Exit.PROBLEMS and not args.force):
        lines = findings_text(replayer.findings) + _configuration_note(config, replayer.findings)
        lines.append(f"the log does not replay cleanly; {args.output} was not written "
                     "(`sorvane verify` lists every problem; --force writes what the readable lines give)")
        report.write("\n".join(lines) + "\n")
        return Exit.PROBLEMS
    if status == Exit.PROBLEMS:
        report.write("\n".join(findings_text(replayer.findings)) + "\n")
    text = sorvane.serialize(replayer.state)
    if args.output == "-":
        # No newline: the text is exactly what `serialize` returns.
        out.write(text)
        out.flush()
    else:
        write_text(args.output, text, "-o")
    if not args.quiet:
        summary = replayer.summary()
        note = (f"; {replayer.steered} decisions replayed with the host's logged choices" if replayer.steered else "")
        report.write(f"{args.log}: {summary['decisions']} decisions, {summary['resolutions']} resolutions, "
                     f"{summary['pending']} pending{note}; the state went to {args.output}\n")
    return Exit.PROBLEMS if status == Exit.PROBLEMS else Exit.OK

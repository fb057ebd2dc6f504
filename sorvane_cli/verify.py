"""`sorvane verify`: prove every record and resolution of the log."""
import sys

from .output import configuration_note, findings_text, to_json
from .replay import replay_log
from .status import Exit, replay_status


def run_verify(args, config, progress, out=None, source=None):
    out = out if out is not None else sys.stdout
    replayer = replay_log(source if source is not None else args.log, config, keep=args.show, progress=progress,
                          max_line_bytes=getattr(args, "max_line_bytes", None))
    status = replay_status(replayer.findings)
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
        lines += configuration_note(config, replayer.findings)
    if status == Exit.OK:
        lines.append("verified: every record and resolution is reproduced")
    elif status == Exit.HOST_POLICY:
        lines.append("not verified: the host's own score/explore made some decisions; the rest is reproduced")
    else:
        lines.append("NOT VERIFIED")
    out.write("\n".join(lines) + "\n")
    return status

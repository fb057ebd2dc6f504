"""`sorvane replay`: rebuild the state the log describes and write it.

A log written through a joint model rebuilds that model too: its text goes
beside the state's, to the state's path with ".model" added."""
import sys

import sorvane

from .config import UsageError
from .output import configuration_note, findings_text
from .output_files import write_text
from .replay import replay_log
from .status import Exit, replay_status


def run_replay(args, config, progress, out=None, source=None):
    out = out if out is not None else sys.stdout
    # The report goes where the state does not.
    report = sys.stderr if args.output == "-" else out
    model_path = None
    if config.learner is not None:
        if args.output == "-":
            raise UsageError("the log was written through a joint model, whose text goes beside the state's: "
                             "give -o PATH (the model goes to PATH.model)")
        model_path = args.output + ".model"
    replayer = replay_log(source if source is not None else args.log, config, keep=args.show, progress=progress,
                          max_line_bytes=getattr(args, "max_line_bytes", None))
    status = replay_status(replayer.findings)
    if replayer.state is None or (status == Exit.PROBLEMS and not args.force):
        lines = findings_text(replayer.findings) + configuration_note(config, replayer.findings)
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
        # The model first: a state beside an older model would not be the pair the log describes.
        if model_path is not None:
            write_text(model_path, replayer.model_text(), "-o")
        write_text(args.output, text, "-o")
    if not args.quiet:
        summary = replayer.summary()
        note = (f"; {replayer.steered} decisions replayed with the host's logged choices" if replayer.steered else "")
        report.write(f"{args.log}: {summary['decisions']} decisions, {summary['resolutions']} resolutions, "
                     f"{summary['pending']} pending{note}; the state went to {args.output}"
                     + (f", the joint model to {model_path}" if model_path is not None else "") + "\n")
    return Exit.PROBLEMS if status == Exit.PROBLEMS else Exit.OK

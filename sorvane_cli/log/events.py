"""One pass over a log's events, each handed to the handler of its kind:
the loop verify, replay and eval all run."""
import gc

from sorvane_cli.log.header import HeaderLine
from sorvane_cli.log.lines import DecisionLine, ResolutionLine, read_log


def each_event(log, progress, label, decision, resolution, bad, span=None):
    """Reads `log` (a path or LogSource) and calls `decision`, `resolution`
    or `bad` with each event, header lines aside; returns the number of
    lines. `progress` is a factory: called with `label`, it gives a context
    manager with an `update(bytes_read)` method. `span` reads only part of
    the log (see read_log)."""
    was_enabled = gc.isenabled()
    # Parsed lines make no reference cycles; the collector would only walk
    # them over and over.
    gc.disable()
    try:
        with progress(label) as bar:
            lines = 0
            for ev in read_log(log, bar.update, span=span):
                lines += 1
                kind = type(ev)
                if kind is DecisionLine:
                    decision(ev)
                elif kind is ResolutionLine:
                    resolution(ev)
                elif kind is not HeaderLine:
                    bad(ev)
            return lines
    finally:
        if was_enabled:
            gc.enable()

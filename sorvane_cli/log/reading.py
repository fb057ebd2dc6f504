"""Reading a whole log: every line as an event object, in order, and what
only the run of lines shows: a header written again by a restart, held to
the first one, and empty lines at the very end, which are no problem."""
import itertools

from sorvane_cli.log import lines as reader
from sorvane_cli.log.header import HeaderLine
from sorvane_cli.log.lines import DECISION_PREFIX, BadLine, ResolutionLine, event_of
from sorvane_cli.log.source import TOO_LONG, LogSource


def _first_header(source):
    """The HeaderLine of the log's first line, or None."""
    with LogSource(source.path, source.max_line_bytes) as again:
        first = again.peek(1, source.max_line_bytes)
    if not first or first[0][1] is TOO_LONG:
        return None
    event = event_of(1, first[0][1])
    return event if type(event) is HeaderLine else None


def _describe_config(config, names):
    return ", ".join(f"{name} {config.get(name)!r}" for name in names)


def restarted(first, header):
    """A header line past the first line as read_log gives it: itself (a
    restart wrote the same header again, and it is passed over), or the
    BadLine that says how it differs from the first."""
    if first is None:
        return BadLine(header.lineno, "malformed", "a header line belongs first in the log")
    if header.config == first.config:
        return header
    names = [name for name in first.config.keys() | header.config.keys()
             if first.config.get(name) != header.config.get(name)]
    names.sort(key=lambda name: list(first.config).index(name) if name in first.config else len(first.config))
    return BadLine(header.lineno, "malformed",
                   f"a header line unlike the first: line {first.lineno} gives {_describe_config(first.config, names)}"
                   f", line {header.lineno} gives {_describe_config(header.config, names)}; the log holds the "
                   "lines of two configurations")


def read_log(source, progress=None, max_line_bytes=None, span=None):
    """Every line of the log as an event object, in order.

    `source` is a LogSource or a path ('-' for standard input). `progress`,
    when given, is called now and then with the bytes read so far. `span`,
    when given, is (byte offset, lines before it, line count): only those
    lines are read, numbered as in the whole log.
    """
    if not isinstance(source, LogSource):
        source = LogSource(source, max_line_bytes)
    if span is None:
        lines = source.lines()
    else:
        offset, before, count = span
        source.skip_to(offset, before)
        lines = itertools.islice(source.lines(), count)
    # The fast paths are written out here rather than in a function of
    # their own: this loop runs once per line of the log. What they do not
    # take goes to parse_in_full.
    decision_prefix, fast_decision, resolution_line, kinds = (DECISION_PREFIX, reader._fast_decision,
                                                              reader._RESOLUTION_LINE, reader._KINDS)
    parse_in_full = reader.parse_in_full
    position = source.position
    # Empty lines wait for a line after them: at the end of the log they are
    # no problem (an editor's or a writer's last newline).
    empty = []
    # The log's header, to which a restart's header must be the same; a
    # span looks it up at the log's first line when it meets one.
    first = None
    with source:
        for lineno, line in lines:
            if empty and (line is TOO_LONG or line.strip()):
                yield from empty
                empty = []
            if progress is not None and not lineno & 511:
                progress(position())
            if line is TOO_LONG:
                yield reader._too_long(lineno, source.max_line_bytes)
                continue
            if line.startswith(decision_prefix):
                event = fast_decision(lineno, line)
                if event is not None:
                    yield event
                    continue
            else:
                match = resolution_line(line)
                if match is not None:
                    decision_id, kind, reward = match.groups()
                    yield ResolutionLine(lineno, decision_id.decode("ascii"), kinds[kind], float(reward))
                    continue
            event = parse_in_full(lineno, line)
            kind = type(event)
            if kind is BadLine and event.kind == "not-json" and not line.strip():
                empty.append(event)
                continue
            if kind is HeaderLine:
                if lineno == 1:
                    first = event
                else:
                    if first is None and span is not None:
                        first = _first_header(source)
                    event = restarted(first, event)
            yield event
        if progress is not None:
            progress(position())

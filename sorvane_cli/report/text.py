"""Text for people and JSON for machines."""
import json
import math

from sorvane_cli.report.findings import KINDS, split_field


def to_json(obj):
    """JSON text; non-finite numbers become the NaN and Infinity tokens the
    log itself uses."""
    return json.dumps(obj, indent=2)


def number(x, digits=4):
    if x is None:
        return "-"
    if isinstance(x, float) and not math.isfinite(x):
        return repr(x)
    return f"{x:.{digits}f}"


def interval(pair, digits=4):
    lo, hi = pair
    return f"[{number(lo, digits)}, {number(hi, digits)}]"


def table(rows, header):
    """Rows of strings laid out in columns; numbers right-aligned."""
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    lines = []
    for k, row in enumerate([header] + rows):
        cells = []
        for i, cell in enumerate(row):
            text = str(cell)
            numeric = k > 0 and i > 0 and text[:1] in "-0123456789[" and text != "-"
            cells.append(text.rjust(widths[i]) if numeric else text.ljust(widths[i]))
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def _value(v):
    return repr(v) if isinstance(v, (str, float)) else json.dumps(v)


def findings_text(findings, total_shown_label="problems"):
    """The mismatch counts by kind, then the first few in full."""
    out = []
    if not findings.counts:
        return out
    out.append(f"{total_shown_label}: {findings.total}")
    width = max(len(KINDS[k]) for k in findings.counts)
    for kind, count in sorted(findings.counts.items(), key=lambda kv: -kv[1]):
        out.append(f"  {KINDS[kind].ljust(width)}  {count}")
    for f in findings.first:
        where = "" if f.lineno is None else f"line {f.lineno}: "
        out.append(f"{where}{KINDS[f.kind]}: {f.message}")
        for name, logged, replayed in f.fields:
            field, builtin = split_field(name)
            if builtin:
                out.append(f"    {field}: logged {_value(logged)}, "
                           f"the built-in policy gives {_value(replayed)}")
            else:
                out.append(f"    {name}: logged {_value(logged)}, replayed {_value(replayed)}")
        if f.follows:
            out.append(f"    {f.follows} later decisions differ as a consequence (not counted as problems of "
                       "their own)")
    hidden = findings.total - len(findings.first)
    if hidden > 0:
        out.append(f"... and {hidden} more")
    return out


def configuration_note(config, findings):
    """A line naming the flags the defaults stood in for, when they may be why the log does not reproduce."""
    # The horizon plays no part in replaying; a divergence says this itself.
    guessed = [flag for flag in config.guessed() if flag != "--horizon"]
    if not guessed or "diverged" in findings.counts:
        return []
    return [f"(nothing in the log gives {', '.join(guessed)}: the defaults were used; "
            "a log written with other values reproduces only with them)"]

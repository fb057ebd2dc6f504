"""One row per measured figure, shared by every benchmark, so that each
script and the gathering command print and save the same table."""
import json
import os
import platform
from dataclasses import asdict, dataclass


@dataclass
class Figure:
    """A measurement beside the baseline it is judged against, from the same run."""

    name: str
    value: float
    unit: str
    baseline_name: str = ""
    baseline: float | None = None
    target: str = ""
    # Whether the target is met; None when the figure has no target.
    met: bool | None = None

    @property
    def ratio(self):
        if not self.baseline:
            return None
        return self.value / self.baseline


def number(value):
    """Large rates without decimals, small times with three."""
    return f"{value:11.0f}" if abs(value) >= 1000 else f"{value:11.3f}"


def print_table(figures, title=""):
    if title:
        print(title)
    print(f"{'figure':46} {'value':>11} {'unit':5} {'baseline':30} {'value':>11} {'ratio':>8}  target")
    for f in figures:
        baseline = number(f.baseline) if f.baseline is not None else " " * 11
        ratio = f"{f.ratio:7.2f}x" if f.ratio is not None else " " * 8
        verdict = "" if f.met is None else (" (met)" if f.met else " (MISSED)")
        print(f"{f.name:46} {number(f.value)} {f.unit:5} {f.baseline_name:30} {baseline} {ratio}  "
              f"{f.target}{verdict}")


def machine():
    """What the figures were measured on."""
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpu": model or platform.processor(),
        "cpus": os.cpu_count(),
        "python": platform.python_version(),
        "system": platform.platform(),
    }


def save_json(path, sections, extra=None):
    """Saves [(section name, figures)] with the machine they came from."""
    document = {"machine": machine(), **(extra or {}), "figures": [
        dict(section=name, **asdict(f), ratio=f.ratio) for name, figures in sections for f in figures
    ]}
    with open(path, "w") as out:
        json.dump(document, out, indent=2)
        out.write("\n")

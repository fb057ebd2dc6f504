"""The log's optional header line: the configuration the host created its
state with, written once, as the log's first line.

    {"event":"header","version":1,"bits":16,"horizon":300.0,"default_reward":0.0,"epsilon":0.05,"forgetfulness":0.999}

`sorvane verify`, `replay` and `eval` take the configuration from it, and
refuse a flag that contradicts it. Only the first line may be a header; the
keys are exactly these, in any order, and the values what `create` accepts.
"""
import json
import math
from typing import Any

import sorvane

VERSION = 1
# The configuration's keys, in the order of `create`'s parameters.
FIELDS = ("bits", "horizon", "default_reward", "epsilon", "forgetfulness")


def header_line(bits: int, horizon: float, default_reward: float = 0.0, epsilon: float = 0.05,
                forgetfulness: float = 0.999) -> str:
    """The header line (without a newline) for a log written by a state made
    with `sorvane.create(bits, horizon, default_reward, epsilon,
    forgetfulness)`; raises what `create` raises for the same arguments."""
    _check(bits, horizon, default_reward, epsilon, forgetfulness)
    return json.dumps({"event": "header", "version": VERSION, "bits": bits, "horizon": float(horizon),
                       "default_reward": float(default_reward), "epsilon": float(epsilon),
                       "forgetfulness": float(forgetfulness)}, separators=(",", ":"))


def _check(bits: int, horizon: float, default_reward: float, epsilon: float, forgetfulness: float) -> None:
    if type(bits) is not int:
        raise TypeError(f"bits must be an integer, not {type(bits).__name__}")
    if not 1 <= bits <= 24:
        raise ValueError("bits must be between 1 and 24")
    # A one-bit state checks the rest as create does, without the memory of the real one.
    sorvane.create(1, horizon, default_reward, epsilon, forgetfulness)


class HeaderLine:
    """The configuration a log's header declares."""

    __slots__ = ("lineno", "config")

    def __init__(self, lineno: int, config: dict[str, Any]) -> None:
        self.lineno = lineno
        # FIELDS -> value
        self.config = config


def header_problem(obj: dict[str, Any]) -> str | None:
    """Why a parsed header object is not a valid header, or None."""
    version = obj.get("version")
    if version != VERSION or type(version) is not int:
        return f"header: version must be {VERSION}, not {json.dumps(version)}"
    unknown = sorted(set(obj) - set(FIELDS) - {"event", "version"})
    if unknown:
        return "header: unknown key " + ", ".join(unknown)
    for name in FIELDS:
        if name not in obj:
            return f"header: it has no {name}"
        value = obj[name]
        wanted = (int,) if name == "bits" else (int, float)
        if type(value) not in wanted:
            return f"header: {name} must be {'an integer' if name == 'bits' else 'a number'}"
        if name != "bits" and type(value) is int and not _fits_float(value):
            return f"header: {name} is too large for a float"
    try:
        _check(obj["bits"], *(float(obj[name]) for name in FIELDS[1:]))
    except ValueError as exc:
        return f"header: {exc}"
    return None


def _fits_float(value: int) -> bool:
    try:
        return not math.isinf(float(value))
    except OverflowError:
        return False


def parse_header(lineno: int, obj: dict[str, Any]) -> HeaderLine | None:
    """The HeaderLine of a parsed header object, or None when it is not valid
    (`header_problem` says why)."""
    if header_problem(obj) is not None:
        return None
    return HeaderLine(lineno, {name: obj[name] if name == "bits" else float(obj[name]) for name in FIELDS})

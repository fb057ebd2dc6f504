"""The engine's floating-point operations in Python, exact to the bit for
NaN operands too: an addition, product or quotient with a NaN operand gives
the first NaN operand, quieted, as the engine's operations do on x86-64 (and
on AArch64 for quiet NaNs). Python's own `a + b` leaves the choice between
two NaNs to the compiler that built the interpreter."""
import math
import struct

QUIET = 1 << 51


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def _first_nan(a: float, b: float) -> float:
    return from_bits(bits(a if math.isnan(a) else b) | QUIET)


def add(a: float, b: float) -> float:
    return _first_nan(a, b) if math.isnan(a) or math.isnan(b) else a + b


def mul(a: float, b: float) -> float:
    return _first_nan(a, b) if math.isnan(a) or math.isnan(b) else a * b


def div(a: float, b: float) -> float:
    return _first_nan(a, b) if math.isnan(a) or math.isnan(b) else a / b

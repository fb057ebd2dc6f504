"""Shared timing for the benchmarks: median microseconds per call over
repeated batches, so one noisy batch on a shared machine moves nothing."""
import gc
import statistics
import time


CLOCKS = {
    # Elapsed time, what a caller waits.
    "wall": time.perf_counter_ns,
    # This thread's CPU time: on a shared machine, time spent descheduled
    # while other processes run does not count.
    "cpu": time.thread_time_ns,
}


def median_us(call, number, repeat, between=None, clock="wall"):
    """Median over `repeat` batches of the mean time of `number` calls.

    `between` runs after each batch, outside the timing (for instance to
    drain a ledger that the calls fill).
    """
    now = CLOCKS[clock]
    samples = []
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            start = now()
            for _ in range(number):
                call()
            samples.append((now() - start) / number / 1000.0)
            if between is not None:
                between()
    finally:
        if gc_was_enabled:
            gc.enable()
    return statistics.median(samples)

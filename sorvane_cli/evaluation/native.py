"""The evaluation of targets by the toolkit's extension module, where it applies.

The extension (`_native`) reads each line as `replay.native` does and asks
each target's learner through the engine itself, its explore step written
in C++, instead of through a Python callable per decision. Like the native
replay it declines any log the Python evaluation would stop on or might
read otherwise; `evaluate.py` then evaluates the log itself. The estimates
are bit for bit those of the Python evaluation: the terms are the same
numbers, the DR term summed as this interpreter's sum() sums.

`evaluate_natively` is the one entry point: a log and the built targets in,
a finished evaluation out (the surface of `evaluate.Evaluation` that the
report reads), or None when the native path does not apply.
"""
from array import array

from sorvane_cli import jobs
from sorvane_cli.evaluation.estimators import Terms
from sorvane_cli.log.source import LogSource
from sorvane_cli.replay import native as native_replay
from sorvane_cli.report.findings import Finding, Findings

# Whether sum() of floats compensates its rounding (3.12 and later).
_COMPENSATED_SUM = sum([0.1] * 10) == 1.0


class _Count:
    """Stands for the pending decisions, of which the report needs the number."""

    def __init__(self, n):
        self._n = n

    def __len__(self):
        return self._n


class NativeEvaluation:
    """A weighted evaluation the native path finished (the surface of
    evaluate.Evaluation that the report and the plot read)."""

    weighted = True
    bound = None
    runs = ()
    replays = 0
    left_out = None

    def __init__(self, evaluation, targets, config, keep):
        self.targets = targets
        self.config = config
        self.findings = Findings(keep)
        self.lines, self.decisions, self.resolved, self.excluded, pending = evaluation.counts()
        self.pending = _Count(pending)
        for k, target in enumerate(targets):
            bits, *packed = evaluation.terms(k)
            # The bits a target left open are the log's, as the Python evaluation sets them.
            target.bits = bits or None
            target.terms.extend(*(array(code, column) for code, column in zip("qdddd", packed)))
        # Every usable resolution reached every target: the baseline's rewards are the logged ones.
        base = targets[0].terms
        n = len(base)
        self.logged = Terms()
        self.logged.extend(base.seq, array("d", [1.0]) * n, base.r, array("d", [0.0]) * n, array("d", [0.0]) * n)


def _target_tuple(target, state_text):
    return (0 if target.bits is None else target.bits, target.horizon, target.default_reward, target.epsilon,
            target.forgetfulness, state_text if target.state is not None else None)


def evaluate_natively(source, config, targets, progress, keep=10):
    """The finished weighted evaluation of `targets` (targets.build_targets)
    on the log (a path or LogSource), or None when the native path does not
    apply or declines it; a LogSource given is then read up, and the caller
    reads the log again from its path."""
    native = native_replay._native
    if native is None or not native_replay.rereadable(source):
        return None
    evaluation = native.LogEvaluation([_target_tuple(t, config.state_text) for t in targets], _COMPENSATED_SUM,
                                      threads=jobs.threads)
    cut = feed(evaluation, source, progress)
    if cut is None:
        return None
    return leaving_out(NativeEvaluation(evaluation, targets, config, keep), cut)


def feed(native_pass, source, progress):
    """Feeds the log (a path or LogSource) to a native evaluation pass: the
    cut last lines it left out, or None when it declined the log."""
    log = source if isinstance(source, LogSource) else LogSource(source)
    cut = []
    with progress("evaluating") as bar:
        proved = native_replay.feed_log(native_pass, log, bar.update, cut)
    return cut if proved else None


def leaving_out(result, cut):
    """The finished evaluation, counting the cut last lines as left out, as
    the Python evaluation counts them."""
    for bad in cut:
        result.lines += 1
        result.left_out = Finding(bad.lineno, bad.kind, bad.message)
    return result

"""The long-run replay by the toolkit's extension module, where it applies.

The extension (`_native.LongRunPass`) reads and hashes each line once for
every target and replay, ahead of its turn on all threads; then the
(replay, target) runs go through each batch of lines side by side on those
threads, each through the engine in log order, its explore step (the
target's probabilities and the acceptance draw) written in C++. A joint
target's model goes as its settings (or the saved model's text), and each
run makes its own, as LongRun does. The reward model is fitted in Python
(numpy), on rows a first native pass gathers (`RewardRowsPass`); its
tables go to the extension, which predicts as `RewardModel.predict` does.
Every number is computed in the order longrun.py computes it, so the
estimates are bit for bit those of the Python replay.

Like the other native passes it declines any log the Python evaluation
would stop on or might read otherwise: `evaluate.py` then replays the log
itself.
"""
from array import array

import sorvane

from sorvane_cli import jobs
from sorvane_cli.evaluation.estimators import Terms
from sorvane_cli.evaluation.longrun import DEFAULT_REPEAT, LongRun
from sorvane_cli.evaluation.native import _Count, feed, leaving_out
from sorvane_cli.evaluation.reward_model import RewardModel
from sorvane_cli.log.source import LogSource
from sorvane_cli.replay import native as native_replay
from sorvane_cli.report.findings import Findings

# Lines a batch holds at most: the runs go through each batch side by side,
# so a larger batch makes their start and finish rarer.
LONGRUN_BATCH_LINES = 2048


def acceptance_prefix(seed, replay):
    """The bytes every acceptance key of one replay starts with (the
    decision's id follows them; rejection.acceptance_uniform)."""
    return f"{seed}\0{replay}\0".encode("utf-8", "surrogatepass")


class NativeLongRunEvaluation:
    """A long-run evaluation the native path finished (the surface of
    evaluate.Evaluation that the report, the sweep and the plot read)."""

    weighted = False
    bound = None
    runs = ()
    left_out = None
    repeat = False

    def __init__(self, native, targets, config, keep, reward_model, scale, replays):
        self.targets = targets
        self.config = config
        self.findings = Findings(keep)
        self.reward_model = reward_model
        self.scale = scale
        self.replays = replays
        self.lines, self.decisions, self.resolved, self.excluded, pending = native.counts()
        self.pending = _Count(pending)
        seq, rewards = native.logged()
        self.logged = Terms()
        n = len(rewards) // 8
        self.logged.extend(array("q", seq), array("d", [1.0]) * n, array("d", rewards), array("d", [0.0]) * n,
                           array("d", [0.0]) * n)
        self.long_runs = []
        if native.run(0, 0) is None:
            # No decision line: no replay started.
            return
        for replay in range(replays):
            runs = []
            for k, target in enumerate(targets):
                bits, count, total, total_sq, accepted, cut, terms, offered = native.run(replay, k)
                target.bits = bits
                runs.append(_finished_run(target, scale, count, total, total_sq, accepted, cut, terms, offered))
            self.long_runs.append(runs)


def _finished_run(target, scale, count, total, total_sq, accepted, cut, terms, offered):
    run = LongRun.__new__(LongRun)
    run.target, run.scale, run.repeat, run.state, run.model, run.train = target, scale, False, None, None, None
    run.count, run.total, run.total_sq, run.accepted, run.cut = count, total, total_sq, accepted, cut
    run.offered = offered
    run.pending = {}
    run.terms = array("d", terms)
    return run


def _joint_model(target):
    """The target's joint model as the extension takes it: None (the
    built-in model), the saved model's text, or the settings of a fresh one
    (log/learner.py new_model)."""
    learner = target.learner
    if learner is None:
        return None
    if target.model_text is not None:
        return target.model_text
    return (float(learner["learning_rate"]), learner["explore"], float(learner["gamma_scale"]),
            float(learner["initial_accumulator"]))


def longrun_natively(source, config, targets, progress, reward_model, seed, replays, scale, keep=10):
    """The finished long-run evaluation of `targets` (targets.build_targets)
    on the log (a path or LogSource), or None when the native path does not
    apply or declines it; a LogSource given is then read up, and the caller
    reads the log again from its path."""
    native = native_replay._native
    # The native replay learns an accepted decision once: learning it repeatedly past 1 is the Python path's.
    if (native is None or reward_model is None or replays < 1 or DEFAULT_REPEAT
            or not native_replay.rereadable(source)):
        return None
    baseline = targets[0].state
    native_targets = [(0 if t.bits is None else t.bits, t.horizon, t.default_reward, t.epsilon, t.forgetfulness,
                       t.state_text, _joint_model(t)) for t in targets]
    try:
        prefixes = [acceptance_prefix(seed, replay) for replay in range(replays)]
    except UnicodeError:
        return None
    longrun = native.LongRunPass(native_targets, None if baseline is None else sorvane.serialize(baseline),
                                 prefixes, scale, reward_model.tables(), threads=jobs.threads,
                                 batch_lines=LONGRUN_BATCH_LINES)
    cut = feed(longrun, source, progress)
    if cut is None:
        return None
    return leaving_out(NativeLongRunEvaluation(longrun, targets, config, keep, reward_model, scale, replays), cut)


def fit_natively(source, progress):
    """The reward model fitted on rows the native pass gathered, or None
    when it does not apply or declines the log (a LogSource given is then
    read up)."""
    native = native_replay._native
    if native is None or not native_replay.rereadable(source):
        return None
    rows = native.RewardRowsPass(threads=jobs.threads)
    log = source if isinstance(source, LogSource) else LogSource(source)
    with progress("fitting the reward model") as bar:
        # A last line cut short is left out, as the Python reading leaves it.
        proved = native_replay.feed_log(rows, log, bar.update, [])
    if not proved:
        return None
    model = RewardModel()
    model.fit_rows(*rows.result())
    return model

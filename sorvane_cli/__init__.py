"""Offline tools over the experience log that `sorvane.log_line` writes.

    sorvane verify LOG [...]            prove every record and resolution
    sorvane replay LOG -o STATE [...]   rebuild the state the log describes
    sorvane eval LOG [--target k=v,...] estimate what other configurations earn
    sorvane sweep LOG --grid k=v1,v2    a grid of configurations, best first
    sorvane inspect STATE [--log LOG]   what a saved state holds, its heaviest features
    sorvane export LOG -o FILE          the log as a table (.parquet or .csv)

`estimates(state, context, candidates)` reads the model's estimates and the
built-in rule's probabilities without deciding (to rank a slate);
`bandit_feedback(log)` gives a log as the dict off-policy evaluation
libraries take.

`header_line` makes the optional first line of a log: the configuration the
host created its state with, which the tools then read instead of flags.
`JointModel` is a learner a host decides and learns through instead of the
built-in model (its taps), with `save_together` and `load_together` for the
state and the model as one pair.

The package: `commands` (one module per command, and the table of them),
`log` (reading the log, its header and configuration, the snapshot layout,
the learner a header declares), `joint_model` (the joint model and its
pair file), `replay` (the log replayed through the module, natively where it can be, and
in checkpoint segments), `evaluation` (off-policy estimates), `report` (what
the commands write), `jobs` (work spread over processes or a Dask cluster,
and the CPUs each takes), `options` (shared flags), `policy` (the engine's
draw and built-in rule), `status` (exit statuses and the failures behind
them), `candidate_estimates` (estimates without a decision), `term_pairs`
(the engine's feature hashing written out).
"""

# The toolkit's extension module may sit in another copy of this package on
# the path (an installed wheel, or a build folder) than its Python files.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from sorvane_cli.candidate_estimates import Estimates, estimates  # noqa: E402
from sorvane_cli.evaluation.feedback import NotFixedActions, bandit_feedback  # noqa: E402
from sorvane_cli.joint_model import JointModel, load_together, save_together  # noqa: E402
from sorvane_cli.log.header import header_line  # noqa: E402

__all__ = ["Estimates", "JointModel", "NotFixedActions", "bandit_feedback", "estimates", "header_line", "load_together",
           "save_together"]

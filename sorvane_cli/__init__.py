"""Offline tools over the experience log that `sorvane.log_line` writes.

    sorvane verify LOG [...]            prove every record and resolution
    sorvane replay LOG -o STATE [...]   rebuild the state the log describes
    sorvane eval LOG [--target k=v,...] estimate what other configurations earn
    sorvane sweep LOG --grid k=v1,v2    a grid of configurations, best first

`header_line` makes the optional first line of a log: the configuration the
host created its state with, which the tools then read instead of flags.

Modules: `logsource` opens the log (standard input, compression, the line
bound), `logread` reads its lines into events, `dispatch` hands each event
to its handler, `header` is the header line, `infer` reads the
configuration off the log's head, `config` settles the configuration from
flags, header and log. `replay` replays the log through the module (the
loop verify and replay share), `scratch` and `nan_signs` help it where the
log leaves something out; `verify`, `rebuild` (the replay command) and
`evaluate` are the commands, `rejection`, `learners` and `estimators` the
evaluation's two methods; `policy` writes out the engine's draw and built-in
rule, `snapshot` reads a state's scalar fields; `findings`, `output` and
`progress` report, `output_files` writes files, `status` is the table of exit
statuses. `sweep` (a
grid of eval targets) and `checkpoints` (verify in segments between saved
states) split their work into jobs that `executor` runs in local processes
or on a Dask cluster.
"""

# The toolkit's extension module may sit in another copy of this package on
# the path (an installed wheel, or a build folder) than its Python files.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from .header import header_line
from .joint_model import JointModel, load_together, save_together

__all__ = ["JointModel", "header_line", "load_together", "save_together"]

"""Offline tools over the experience log that `sorvane.log_line` writes.

    sorvane verify LOG --horizon H [...]   prove every record and resolution
    sorvane replay LOG --horizon H -o F    rebuild the state the log describes
    sorvane eval LOG [--target k=v ...]    off-policy estimates of targets

Modules: `logread` reads the log, `replay` replays it through the module
(verify and replay share it), `verify` and `evaluate` are the commands,
`policy` writes out the engine's draw and built-in rule, `estimators` holds
IPS, SNIPS and DR with their intervals, `snapshot` reads a state's scalar
fields, `findings`, `output` and `progress` report.
"""

# The toolkit's extension module may sit in another copy of this package on
# the path (an installed wheel, or a build folder) than its Python files.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

"""Offline tools over the experience log that `sorvane.log_line` writes.

    sorvane verify LOG [...]            prove every record and resolution
    sorvane replay LOG -o STATE [...]   rebuild the state the log describes
    sorvane eval LOG [--target k=v,...] estimate what other configurations earn
    sorvane sweep LOG --grid k=v1,v2    a grid of configurations, best first

`header_line` makes the optional first line of a log: the configuration the
host created its state with, which the tools then read instead of flags.

The package: `commands` (one module per command, and the table of them),
`log` (reading the log, its header and configuration, the snapshot layout),
`replay` (the log replayed through the module, natively where it can be, and
in checkpoint segments), `evaluation` (off-policy estimates), `report` (what
the commands write), `jobs` (work spread over processes or a Dask cluster,
and the CPUs each takes), `options` (shared flags), `policy` (the engine's
draw and built-in rule), `status` (exit statuses and the failures behind
them).
"""

# The toolkit's extension module may sit in another copy of this package on
# the path (an installed wheel, or a build folder) than its Python files.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from sorvane_cli.log.header import header_line  # noqa: E402

__all__ = ["header_line"]

"""The commands of `sorvane`, one module each, and the table of them: each one's name,
module and summary."""
from typing import NamedTuple


class Command(NamedTuple):
    """A command; its module has `add_parser(sub, command)` and `run(args, stdout)`."""

    name: str
    module: str
    summary: str


COMMANDS = (
    Command("verify", "sorvane_cli.commands.verify", "replay the log and prove every record and resolution"),
    Command("replay", "sorvane_cli.commands.replay", "rebuild the state the log describes"),
    Command("eval", "sorvane_cli.commands.eval", "off-policy evaluation of target configurations"),
    Command("sweep", "sorvane_cli.commands.sweep", "evaluate a grid of target configurations, best first"),
)

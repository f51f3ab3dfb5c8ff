"""The command line's package: the contract every command module keeps, and
the layering (the library never imports the command line)."""

import argparse
import importlib
import subprocess
import sys
from importlib import metadata

import pytest

from tavro import cli


@pytest.mark.parametrize("name", cli.COMMANDS)
def test_command_module_contract(name):
    command = importlib.import_module("tavro.cli." + name)
    assert command.NAME == name and isinstance(command.HELP, str) and command.HELP
    parser = argparse.ArgumentParser(prog="tavro " + name)
    command.add_arguments(parser)
    assert callable(command.run)


def test_parser_lists_every_command_once_in_order():
    sub = next(a for a in cli.build_parser()._actions if isinstance(a, argparse._SubParsersAction))
    assert tuple(sub.choices) == cli.COMMANDS
    for name, parser in sub.choices.items():
        defaults = parser._defaults
        assert defaults["parser"] is parser and defaults["run"] is importlib.import_module("tavro.cli." + name).run


def test_library_does_not_import_the_command_line():
    code = ("import sys, tavro.pipeline, tavro.evaluation, tavro.solver, tavro._check, tavro._examples; "
            "print(sorted(m for m in sys.modules if m == 'tavro.cli' or m.startswith('tavro.cli.')))")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=60)
    assert proc.stdout.strip() == "[]"


def test_entry_points_run_the_same_main():
    from tavro import __main__

    assert __main__.main is cli.main
    (script,) = [e for e in metadata.entry_points(group="console_scripts") if e.name == "tavro"]
    assert script.load() is cli.main

"""The ferrolith command-line host: sub-parsers, exit statuses and error reporting."""

import argparse
import subprocess
import sys
import types

import pytest

import ferrolith
from ferrolith import cli


def fake_command(name, behaviour):
    """A subcommand module whose main runs `behaviour`."""

    def register_parser(subparsers):
        parser = subparsers.add_parser(
            name,
            help=f"{name} help",
            description=f"{name} help",
            formatter_class=cli.CombinedFormatter,
        )
        parser.add_argument("--value", type=float, default=1.5, help="A value.\nSecond line.")
        parser.set_defaults(command=name)

    def main(args):
        return behaviour(args)

    return types.SimpleNamespace(register_parser=register_parser, main=main)


@pytest.fixture
def commands(monkeypatch):
    table = {}
    monkeypatch.setattr(cli, "_load_commands", lambda: table)
    return table


class TestHost:
    def test_runs_the_chosen_command_with_its_namespace(self, commands):
        seen = []
        commands["demo"] = fake_command("demo", seen.append)
        assert cli.main(["demo", "--value", "2"]) == 0
        assert seen[0].command == "demo" and seen[0].value == 2.0

    def test_no_command_prints_help_and_fails(self, commands, capsys):
        commands["demo"] = fake_command("demo", lambda a: None)
        assert cli.main([]) != 0
        assert "usage: ferrolith" in capsys.readouterr().out

    def test_exception_becomes_one_error_line(self, commands, capsys):
        def fail(args):
            raise ValueError("A final box size is required.")

        commands["demo"] = fake_command("demo", fail)
        assert cli.main(["demo"]) == 1
        err = capsys.readouterr().err
        assert err == "ferrolith demo: error: A final box size is required.\n"

    def test_traceback_option_shows_the_trace(self, commands, capsys):
        def fail(args):
            raise RuntimeError("boom")

        commands["demo"] = fake_command("demo", fail)
        assert cli.main(["--traceback", "demo"]) == 1
        err = capsys.readouterr().err
        assert "Traceback (most recent call last)" in err and "RuntimeError: boom" in err

    def test_keyboard_interrupt_exits_130_without_trace(self, commands, capsys):
        def interrupt(args):
            raise KeyboardInterrupt

        commands["demo"] = fake_command("demo", interrupt)
        assert cli.main(["demo"]) == 130
        assert "Traceback" not in capsys.readouterr().err

    def test_command_status_is_passed_on(self, commands):
        commands["demo"] = fake_command("demo", lambda a: 3)
        assert cli.main(["demo"]) == 3

    def test_argument_errors_exit_2(self, commands, capsys):
        commands["demo"] = fake_command("demo", lambda a: None)
        with pytest.raises(SystemExit) as info:
            cli.main(["demo", "--value", "abc"])
        assert info.value.code == 2

    def test_version(self, capsys):
        with pytest.raises(SystemExit) as info:
            cli.main(["--version"])
        assert info.value.code == 0
        assert capsys.readouterr().out.strip() == f"ferrolith {ferrolith.__version__}"

    def test_missing_command_modules_are_left_out(self, monkeypatch):
        monkeypatch.setattr(cli, "COMMANDS", ("hardness", "not_built_yet"))
        assert list(cli._load_commands()) == ["hardness"]


class TestCombinedFormatter:
    def test_keeps_line_breaks_and_shows_defaults(self, commands, capsys):
        commands["demo"] = fake_command("demo", lambda a: None)
        with pytest.raises(SystemExit):
            cli.main(["demo", "--help"])
        out = capsys.readouterr().out
        assert "A value.\n" in out and "Second line. (default: 1.5)" in out

    def test_is_an_argparse_help_formatter(self):
        assert issubclass(cli.CombinedFormatter, argparse.HelpFormatter)


def test_module_and_console_entry_points():
    out = subprocess.run(
        [sys.executable, "-m", "ferrolith", "--version"], check=True, capture_output=True, text=True
    ).stdout
    assert out.strip() == f"ferrolith {ferrolith.__version__}"
    script = subprocess.run(
        [
            sys.executable,
            "-c",
            "from importlib.metadata import entry_points;"
            "print(entry_points(group='console_scripts')['ferrolith'].value)",
        ],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    assert script.strip() == "ferrolith.cli:main"

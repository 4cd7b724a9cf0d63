"""The ``vitrine`` command: its options and how it drives the application."""

import argparse
import subprocess
import sys

import pytest

import ferrolith.cli
from ferrolith.cli import vitrine

HELP = "A web application with database integration."


def parse(*argv):
    parser = argparse.ArgumentParser()
    vitrine.register_parser(parser.add_subparsers())
    return parser.parse_args(["vitrine", *argv])


class TestParser:
    def test_defaults(self):
        args = parse("structures.db")
        assert vars(args) == {
            "db": "structures.db",
            "host": "0.0.0.0",
            "port": 80,
            "templates": None,
            "static": None,
            "name": "default",
            "title": "Ferrolith",
            "columns": None,
            "debug": False,
            "command": "vitrine",
        }

    def test_every_option(self):
        args = parse(
            "a.db",
            "--host",
            "127.0.0.1",
            "--port",
            "8080",
            "--templates",
            "t",
            "--static",
            "s",
            "--name",
            "proj",
            "--title",
            "My DB",
            "--columns",
            "id",
            "energy",
            "--debug",
        )
        assert (args.host, args.port, args.templates, args.static) == ("127.0.0.1", 8080, "t", "s")
        assert (args.name, args.title, args.columns, args.debug) == (
            "proj",
            "My DB",
            ["id", "energy"],
            True,
        )

    def test_columns_without_values_is_an_empty_list(self):
        assert parse("a.db", "--columns").columns == []

    def test_port_must_be_an_integer(self, capsys):
        with pytest.raises(SystemExit):
            parse("a.db", "--port", "eighty")
        assert "invalid int value" in capsys.readouterr().err

    def test_sub_parser_texts_and_order(self):
        parser = argparse.ArgumentParser()
        subparsers = parser.add_subparsers()
        vitrine.register_parser(subparsers)
        sub = subparsers.choices["vitrine"]
        assert sub.description == HELP
        assert [a.help for a in subparsers._choices_actions] == [HELP]
        assert sub.formatter_class is ferrolith.cli.CombinedFormatter
        options = [a.option_strings or [a.dest] for a in sub._actions if a.dest != "help"]
        assert options == [
            ["db"],
            ["--host"],
            ["--port"],
            ["--templates"],
            ["--static"],
            ["--name"],
            ["--title"],
            ["--columns"],
            ["--debug"],
        ]
        helps = {a.dest: a.help for a in sub._actions}
        assert helps["db"] == "Path to the database file."
        assert helps["debug"] == "Enable debug mode, which uses the development server."

    def test_formatter_is_looked_up_when_called(self, monkeypatch):
        class Formatter(argparse.HelpFormatter):
            pass

        monkeypatch.setattr(vitrine, "CombinedFormatter", Formatter)
        parser = argparse.ArgumentParser()
        subparsers = parser.add_subparsers()
        vitrine.register_parser(subparsers)
        assert subparsers.choices["vitrine"].formatter_class is Formatter

    def test_host_lists_the_command(self):
        parser, modules = ferrolith.cli.build_parser()
        assert modules["vitrine"] is vitrine
        assert parser.parse_args(["vitrine", "x.db"]).command == "vitrine"

    def test_host_goes_on_without_the_web_extra(self):
        # A fresh interpreter in which Flask cannot be imported.
        code = (
            "import sys; sys.modules['flask'] = None\n"
            "from ferrolith.cli import build_parser\n"
            "parser, modules = build_parser()\n"
            "assert 'vitrine' not in modules, modules\n"
            "print('ok')\n"
        )
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert result.stdout == "ok\n", result.stderr


class Recorder:
    """Fake application classes that log every call with its arguments."""

    def __init__(self):
        self.calls = []
        log = self.calls

        class FakeApp:
            def __init__(self, *args, **kwargs):
                log.append(("ASEDBApp", args, list(kwargs.items())))

            def run(self, *args, **kwargs):
                log.append(("run", args, list(kwargs.items())))

            def run_server(self, *args, **kwargs):
                log.append(("run_server", args, list(kwargs.items())))

        def protect(app, *args, **kwargs):
            log.append(("create_protected_app", (type(app).__name__, *args), list(kwargs.items())))
            return "ignored"

        self.app_class = FakeApp
        self.protect = protect


@pytest.fixture
def recorder(monkeypatch):
    rec = Recorder()
    monkeypatch.setattr(vitrine, "ASEDBApp", rec.app_class)
    monkeypatch.setattr(vitrine, "create_protected_app", rec.protect)
    return rec


class TestMain:
    def test_defaults_serve_with_the_production_server(self, recorder, capsys):
        vitrine.main(parse("structures.db"))
        assert recorder.calls == [
            (
                "ASEDBApp",
                ("structures.db",),
                [
                    ("name", "default"),
                    ("templates", None),
                    ("static", None),
                    ("default_columns", None),
                    ("title", "Ferrolith"),
                ],
            ),
            ("create_protected_app", ("FakeApp",), []),
            ("run_server", (), [("host", "0.0.0.0"), ("port", 80)]),
        ]
        assert capsys.readouterr() == ("", "")

    def test_debug_uses_the_development_server(self, recorder):
        vitrine.main(
            parse(
                "a.db",
                "--debug",
                "--host",
                "127.0.0.1",
                "--port",
                "5000",
                "--columns",
                "--templates",
                "tpl",
                "--name",
                "n",
                "--title",
                "T",
            )
        )
        assert recorder.calls[0] == (
            "ASEDBApp",
            ("a.db",),
            [
                ("name", "n"),
                ("templates", "tpl"),
                ("static", None),
                ("default_columns", []),
                ("title", "T"),
            ],
        )
        assert recorder.calls[2] == (
            "run",
            (),
            [("host", "127.0.0.1"), ("port", 5000), ("debug", True)],
        )
        assert len(recorder.calls) == 3

    def test_failures_propagate(self, monkeypatch):
        def missing(*args, **kwargs):
            raise FileNotFoundError(2, "No such database file", "x.db")

        monkeypatch.setattr(vitrine, "ASEDBApp", missing)
        with pytest.raises(FileNotFoundError):
            vitrine.main(parse("x.db"))

    def test_the_real_classes_are_bound_at_import(self):
        from ferrolith.data.db import ASEDBApp
        from ferrolith.gui import create_protected_app

        assert vitrine.ASEDBApp is ASEDBApp
        assert vitrine.create_protected_app is create_protected_app

    def test_host_reports_a_missing_database(self, tmp_path, capsys):
        status = ferrolith.cli.main(["vitrine", str(tmp_path / "missing.db"), "--port", "1"])
        assert status == 1
        assert "No such database file" in capsys.readouterr().err


OPEN_WARNING = (
    "ferrolith vitrine: warning: no login is set and the server listens on {host}: the "
    "database is readable by anyone who can reach port {port} (set FERROLITH_VITRINE_USER "
    "and FERROLITH_VITRINE_PASSWORD_HASH to require a login, or serve on --host 127.0.0.1).\n"
)


class TestOpenServerWarning:
    @pytest.fixture
    def login(self, recorder, monkeypatch):
        """Whether the fake application gets a login, recorded as the real protection does."""
        setting = {"auth": False}

        def protect(app):
            app.extensions = {"ferrolith.protection": dict(setting)}

        monkeypatch.setattr(vitrine, "create_protected_app", protect)
        return setting

    @pytest.mark.parametrize("host", ["0.0.0.0", "::", "192.0.2.7", ""])
    def test_reachable_address_without_login_warns_once(self, login, capsys, host):
        vitrine.main(parse("a.db", "--host", host, "--port", "8080"))
        assert capsys.readouterr() == ("", OPEN_WARNING.format(host=host, port=8080))

    @pytest.mark.parametrize("host", ["127.0.0.1", "127.8.9.10", "::1", "[::1]", "LocalHost"])
    def test_loopback_is_quiet(self, login, capsys, host):
        vitrine.main(parse("a.db", "--host", host))
        assert capsys.readouterr() == ("", "")

    def test_a_login_is_quiet(self, login, capsys):
        login["auth"] = True
        vitrine.main(parse("a.db"))
        assert capsys.readouterr() == ("", "")

    @pytest.mark.parametrize("with_login", [False, True])
    def test_the_real_protection_says_whether_a_login_is_set(
        self, tmp_path, monkeypatch, capsys, with_login
    ):
        from ase.build import bulk
        from ase.db import connect

        from ferrolith.data.db import ASEDBApp
        from ferrolith.gui import hash_password

        db = tmp_path / "x.db"
        connect(db).write(bulk("C"))
        monkeypatch.delenv("FERROLITH_VITRINE_USER", raising=False)
        monkeypatch.delenv("FERROLITH_VITRINE_PASSWORD_HASH", raising=False)
        if with_login:
            monkeypatch.setenv("FERROLITH_VITRINE_USER", "ana")
            monkeypatch.setenv("FERROLITH_VITRINE_PASSWORD_HASH", hash_password("secret"))
        served = []
        monkeypatch.setattr(ASEDBApp, "run_server", lambda self, **kw: served.append(kw))
        vitrine.main(parse(str(db)))
        assert served == [{"host": "0.0.0.0", "port": 80}]
        expected = "" if with_login else OPEN_WARNING.format(host="0.0.0.0", port=80)
        assert capsys.readouterr().err == expected

"""The ``optimize`` command: options, the calls it makes, its output."""

import argparse
import errno
import json
import re
from fnmatch import fnmatch
from pathlib import Path

import numpy as np
import pytest
from ase.build import bulk, sort
from ase.filters import FrechetCellFilter
from ase.io import read, write

import ferrolith.cli
from ferrolith.cli import finite_float, optimize
from ferrolith.data import files
from ferrolith.optimization import get_calculator

DATA = Path(__file__).parent / "data"

POTENTIAL_HELP = (
    "The potential file of the calculator. There same default potentials.\n"
    "'pth':     pre-trained BCN ML potential.\n"
    "'tersoff': pre-trained BCN tersoff potential.\n"
)
OPTIONS = [  # flags, dest, type, default, help
    (
        ["-f", "--filename"],
        "filename",
        str,
        None,
        "Path to the input file for the bulk crystal structure (e.g., VASP POSCAR).",
    ),
    (
        ["-o", "--output"],
        "output",
        str,
        "optimized.vasp",
        "Path to save the optimized structure file.",
    ),
    (["--potential"], "potential", None, "tersoff", POTENTIAL_HELP),
    (["--method"], "method", None, "LBFGS", "Optimization algorithm (e.g., LBFGS, FIRE, BFGS)."),
    (["--fmax"], "fmax", finite_float, 0.05, "Convergence criterion for forces."),
    (["--steps"], "steps", int, 5000, "Maximum number of optimization steps."),
    (["--pressure"], "pressure", finite_float, 0.0, "Target pressure (GPa)."),
    (["--trajectory"], "trajectory", None, "opt.traj", "Path to save optimization trajectory."),
]
RULE = "-" * 60


def _parser():
    parser = argparse.ArgumentParser(prog="ferrolith")
    subparsers = parser.add_subparsers()
    optimize.register_parser(subparsers)
    return parser, subparsers.choices["optimize"]


class TestRegisterParser:
    def test_options_in_order(self):
        _, sub = _parser()
        actions = [a for a in sub._actions if a.dest != "help"]
        assert len(actions) == len(OPTIONS)
        for action, (flags, dest, type_, default, help_) in zip(actions, OPTIONS):
            assert action.option_strings == flags
            assert (action.dest, action.type, action.default, action.help) == (
                dest,
                type_,
                default,
                help_,
            )

    def test_sub_parser(self):
        calls = []

        class FakeParser:
            def add_argument(self, *args, **kwargs):
                calls.append(("add_argument", args[0]))

            def set_defaults(self, **kwargs):
                calls.append(("set_defaults", kwargs))

        class FakeSubparsers:
            def add_parser(self, name, **kwargs):
                calls.append(("add_parser", name, kwargs))
                return FakeParser()

        assert optimize.register_parser(FakeSubparsers()) is None
        assert calls[0] == (
            "add_parser",
            "optimize",
            {
                "help": "Optimize the atomic structure",
                "description": "Optimize the atomic structure",
                "formatter_class": ferrolith.cli.CombinedFormatter,
            },
        )
        assert [c[1] for c in calls[1:-1]] == [
            "-f",
            "-o",
            "--potential",
            "--method",
            "--fmax",
            "--steps",
            "--pressure",
            "--trajectory",
        ]
        assert calls[-1] == ("set_defaults", {"command": "optimize"})

    def test_parsed_defaults_and_values(self):
        parser, _ = _parser()
        args = parser.parse_args(["optimize"])
        assert args == _args(filename=None)
        args = parser.parse_args(
            [
                "optimize",
                "-f",
                "in.cif",
                "--fmax",
                "1e-3",
                "--steps",
                "7",
                "--pressure",
                "-2",
                "--method",
                "fire",
            ]
        )
        assert (args.filename, args.fmax, args.steps, args.pressure, args.method) == (
            "in.cif",
            0.001,
            7,
            -2.0,
            "fire",
        )

    def test_help_keeps_the_potential_lines(self, capsys):
        with pytest.raises(SystemExit):
            ferrolith.cli.main(["optimize", "--help"])
        out = capsys.readouterr().out
        assert "Optimize the atomic structure" in out
        assert "'pth':     pre-trained BCN ML potential.\n" in out
        assert "'tersoff': pre-trained BCN tersoff potential.\n" in out


class Recorder:
    """Fakes of the module's collaborators that log every call."""

    def __init__(self, fail_write=False):
        self.calls = []
        self.atoms = bulk("C", "diamond", a=3.6)
        self.optimized = bulk("C", "diamond", a=3.64)
        self.calc = object()
        self.fail_write = fail_write

    def read(self, *args, **kwargs):
        self.calls.append(("read", args, kwargs))
        return self.atoms

    def get_calculator(self, *args, **kwargs):
        self.calls.append(("get_calculator", args, kwargs))
        return self.calc

    def optimize_structure(self, *args, **kwargs):
        self.calls.append(("optimize_structure", args, kwargs, list(kwargs)))
        assert args[0].calc is self.calc
        return self.optimized

    def write(self, *args, **kwargs):
        self.calls.append(("write", args, kwargs))
        if self.fail_write:
            raise OSError("disk full")


@pytest.fixture
def recorder(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    rec = Recorder()
    for name in ("read", "write", "get_calculator", "optimize_structure"):
        monkeypatch.setattr(optimize, name, getattr(rec, name))
    return rec


def _args(**overrides):
    values = {
        "filename": "POSCAR",
        "output": "optimized.vasp",
        "potential": "tersoff",
        "method": "LBFGS",
        "fmax": 0.05,
        "steps": 5000,
        "pressure": 0.0,
        "trajectory": "opt.traj",
        "command": "optimize",
    }
    values.update(overrides)
    return argparse.Namespace(**values)


def temporary_for(temporary, target):
    """Whether ``temporary`` is a temporary file written beside ``target``."""
    t, g = Path(temporary), Path(target)
    return t.parent.resolve() == g.parent.resolve() and fnmatch(t.name, f".{g.stem}.*{g.suffix}")


class TestMain:
    def test_calls_in_order_with_their_keywords(self, recorder, capsys):
        optimize.main(
            _args(
                fmax=0.01,
                steps=12,
                pressure=3.0,
                method="FIRE",
                trajectory="run.traj",
                output="out.vasp",
            )
        )
        names = [c[0] for c in recorder.calls]
        assert names == ["read", "get_calculator", "optimize_structure", "write"]
        assert recorder.calls[0][1:] == (("POSCAR",), {})
        assert recorder.calls[1][1:] == ((str(Path(files.__file__).parent / "BNC.tersoff"),), {})
        _, args, kwargs, order = recorder.calls[2]
        assert args == (recorder.atoms,)
        assert order == ["fmax", "method", "steps", "pressure", "trajectory"]
        assert kwargs == {
            "fmax": 0.01,
            "method": "FIRE",
            "steps": 12,
            "pressure": 3.0,
            "trajectory": "run.traj",
        }
        (temporary, atoms), options = recorder.calls[3][1:]
        assert atoms is recorder.optimized and temporary_for(temporary, "out.vasp")
        assert options == {"vasp5": True, "direct": True, "format": "vasp"}
        assert capsys.readouterr().out == (
            "Reading initial structure from: POSCAR\n"
            f"{RULE}\nOptimization finished.\n"
            "Final optimized structure written to: out.vasp\n"
        )

    @pytest.mark.parametrize(
        "output, vasp",
        [
            ("optimized.vasp", True),
            ("poscar", True),
            ("contcar", True),
            ("run/x.vasp", True),
            ("POSCAR", False),
            ("CONTCAR", False),
            ("x.VASP", False),
            ("out.cif", False),
            ("run.vasp/poscar", True),
            ("dir/POSCAR", False),
        ],
    )
    def test_vasp_options_follow_the_output_name(self, recorder, output, vasp):
        optimize.main(_args(output=output))
        expected = {"vasp5": True, "direct": True} if vasp else {}
        expected["format"] = "cif" if output.endswith(".cif") else "vasp"
        assert recorder.calls[-1][2] == expected
        assert temporary_for(recorder.calls[-1][1][0], output) and Path(output).is_file()

    @pytest.mark.parametrize(
        "potential, expected",
        [("pth", "BCN-qz-v0.0.1.pth"), ("tersoff", "BNC.tersoff")],
    )
    def test_bundled_potentials_are_found_beside_the_files_module(
        self, recorder, monkeypatch, tmp_path, potential, expected
    ):
        class FakeFiles:
            __file__ = str(tmp_path / "pkg" / "__init__.py")

        monkeypatch.setattr(optimize, "files", FakeFiles)
        optimize.main(_args(potential=potential))
        assert recorder.calls[1][1] == (str(tmp_path / "pkg" / expected),)

    @pytest.mark.parametrize("potential", ["my.model", "TERSOFF", "./tersoff"])
    def test_other_potentials_pass_unchanged(self, recorder, potential):
        optimize.main(_args(potential=potential))
        assert recorder.calls[1][1] == (potential,)

    def test_path_is_looked_up_when_called(self, recorder, monkeypatch):
        seen = []

        def fake_path(value):
            seen.append(value)
            return Path(value)

        monkeypatch.setattr(optimize, "Path", fake_path)
        optimize.main(_args(output="a.vasp"))
        assert "a.vasp" in seen

    def test_failed_write_prints_no_closing_lines(self, monkeypatch, capsys):
        rec = Recorder(fail_write=True)
        for name in ("read", "write", "get_calculator", "optimize_structure"):
            monkeypatch.setattr(optimize, name, getattr(rec, name))
        with pytest.raises(OSError, match="disk full"):
            optimize.main(_args())
        assert capsys.readouterr().out == "Reading initial structure from: POSCAR\n"

    @pytest.mark.parametrize("output", ["contcar", "poscar", "run/contcar"])
    def test_contcar_and_poscar_are_written_as_vasp_files(self, recorder, monkeypatch, output):
        monkeypatch.setattr(optimize, "write", write)
        optimize.main(_args(output=output))
        back = read(output, format="vasp")
        assert np.allclose(back.cell, recorder.optimized.cell)
        assert Path(output).read_text().splitlines()[5].split() == ["C"]  # VASP 5

    @pytest.mark.parametrize(
        "output, error",
        [
            ("x.nope", ValueError),
            ("contcar.txt", ValueError),
            ("folder", ValueError),
            ("plain/x.vasp", OSError),
            ("x.castep", ValueError),
        ],
    )
    def test_unwritable_outputs_fail_before_the_relaxation(self, recorder, output, error, capsys):
        Path("folder").mkdir()
        Path("plain").write_text("a file, not a folder")
        with pytest.raises(error):
            optimize.main(_args(output=output))
        assert recorder.calls == [] and capsys.readouterr().out == ""

    def test_a_failed_write_leaves_the_old_output(self, recorder, monkeypatch):
        Path("optimized.vasp").write_text("old result")

        def full_disk(path, *args, **kwargs):
            Path(path).write_text("partial")
            raise OSError(errno.ENOSPC, "No space left on device")

        monkeypatch.setattr(optimize, "write", full_disk)
        with pytest.raises(OSError, match="No space left"):
            optimize.main(_args())
        assert [p.name for p in Path().iterdir()] == ["optimized.vasp"]
        assert Path("optimized.vasp").read_text() == "old result"

    @pytest.mark.parametrize("argv", [["--fmax", "nan"], ["--pressure", "inf"]])
    def test_non_finite_options_are_refused(self, argv, capsys):
        with pytest.raises(SystemExit):
            _parser()[0].parse_args(["optimize", *argv])
        assert "must be a finite number" in capsys.readouterr().err

    def test_without_a_file_the_parser_error_follows_the_first_line(self, recorder, capsys):
        with pytest.raises(SystemExit) as info:
            optimize.main(_args(filename=None))
        assert info.value.code == 2
        out, err = capsys.readouterr()
        assert out == "Reading initial structure from: None\n"
        assert err.startswith("usage: ferrolith optimize [-h] [-f FILENAME]")
        assert err.endswith(
            "ferrolith optimize: error: the following arguments are required: -f/--filename\n"
        )
        assert recorder.calls == []

    def test_unusable_potential_propagates(self, tmp_path, capsys):
        poscar = tmp_path / "POSCAR"
        write(poscar, bulk("C", "diamond", a=3.6), format="vasp")
        with pytest.raises(FileNotFoundError, match="Supported potentials"):
            optimize.main(_args(filename=str(poscar), potential=str(tmp_path / "none.tersoff")))


class TestEndToEnd:
    def test_defaults_write_vasp5_with_fractional_coordinates(self, tmp_path, monkeypatch, capsys):
        monkeypatch.chdir(tmp_path)
        start = sort(bulk("BN", "zincblende", a=3.55, cubic=True))
        start.rattle(0.03, seed=4)
        write("POSCAR", start, format="vasp")
        assert ferrolith.cli.main(["optimize", "-f", "POSCAR"]) == 0
        out, err = capsys.readouterr()
        assert err == ""
        assert out.startswith("Reading initial structure from: POSCAR\n")
        assert out.endswith(
            f"{RULE}\nOptimization finished.\n"
            "Final optimized structure written to: optimized.vasp\n"
        )
        lines = Path("optimized.vasp").read_text().splitlines()
        assert lines[5].split() == ["B", "N"]  # VASP 5: element symbols
        assert lines[6].split() == ["4", "4"]
        assert lines[7].strip() == "Direct"
        fractions = np.array([[float(x) for x in line.split()[:3]] for line in lines[8:16]])
        relaxed = read("optimized.vasp")
        np.testing.assert_allclose(fractions @ relaxed.cell.array, relaxed.positions, atol=1e-9)
        assert relaxed.cell.cellpar()[0] == pytest.approx(3.4938, abs=1e-3)
        assert len(read("opt.traj", ":")) > 1

    def test_step_limit_writes_the_result_warns_and_exits_2(self, tmp_path, monkeypatch, capsys):
        monkeypatch.chdir(tmp_path)
        start = bulk("BN", "zincblende", a=3.60, cubic=True)
        start.rattle(0.05, seed=2)
        write("POSCAR", start, format="vasp")
        argv = ["optimize", "-f", "POSCAR", "--steps", "3", "--fmax", "1e-4"]
        assert ferrolith.cli.main(argv) == 2
        out, err = capsys.readouterr()
        assert out.endswith(
            f"{RULE}\nOptimization finished.\n"
            "Final optimized structure written to: optimized.vasp\n"
        )
        match = re.fullmatch(
            r"ferrolith optimize: warning: the relaxation did not converge within 3 steps: "
            r"the largest force left is (\S+) eV/\u00c5, above --fmax 0\.0001; "
            r"the last structure was written to optimized\.vasp\.\n",
            err,
        )
        assert match, err
        # The figure is ASE's own measure of the written structure: the cell
        # filter's largest generalised force.
        result = read("optimized.vasp")
        result.calc = get_calculator("tersoff")
        forces = FrechetCellFilter(result).get_forces()
        assert float(match[1]) == pytest.approx(np.linalg.norm(forces, axis=1).max(), rel=1e-3)
        assert len(read("opt.traj", ":")) == 4  # the start and three steps

    @pytest.mark.parametrize(
        "name, start",
        [
            ("diamond", bulk("C", "diamond", a=3.50, cubic=True)),
            ("cbn", bulk("BN", "zincblende", a=3.70, cubic=True)),
        ],
    )
    def test_machine_learned_potential_relaxes_to_the_teachers_lattice(
        self, name, start, tmp_path, monkeypatch, capsys
    ):
        teacher = json.loads((DATA / "ml-teacher-lattice.json").read_text())[name]
        monkeypatch.chdir(tmp_path)
        write("POSCAR", start, format="vasp")
        argv = ["optimize", "--potential", "pth", "-f", "POSCAR", "--fmax", "0.001"]
        assert ferrolith.cli.main(argv) == 0
        a = read("optimized.vasp").cell.cellpar()[0]
        assert a == pytest.approx(teacher, rel=0.01)

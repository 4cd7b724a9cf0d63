"""The ``polycrystal`` command: options, parameter file, engine calls, output."""

import argparse
import builtins
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk
from ase.io import read

import ferrolith.cli
import ferrolith.cli.polycrystal as command
from ferrolith.cli import CombinedFormatter, finite_float, non_negative_int

RULE = "=" * 60
NO_BOX = "A final box size is required. Use --box or define it in --param-file."
NO_MODE = "A generation mode is required. Use --random, --lattice, or --node."


@pytest.fixture(autouse=True)
def _in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)


def make_parser():
    parser = argparse.ArgumentParser(prog="ferrolith")
    subparsers = parser.add_subparsers()
    assert command.register_parser(subparsers) is None
    return parser, subparsers.choices["polycrystal"]


def parse(*argv):
    return make_parser()[0].parse_args(["polycrystal", *argv])


class FakeEngine:
    """Records the calls main makes; generates a fixed small structure."""

    instances = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.calls = []
        FakeEngine.instances.append(self)

    def generate_polycrystal(self, **kwargs):
        self.calls.append(("generate_polycrystal", kwargs))
        return Atoms("CuAlOAlCu", positions=np.arange(15.0).reshape(5, 3), cell=[9, 9, 9], pbc=True)

    def write_final_files(self, atoms, **kwargs):
        self.calls.append(("write_final_files", atoms, kwargs))


@pytest.fixture
def fake(monkeypatch):
    FakeEngine.instances = []
    monkeypatch.setattr(command, "Polycrystal", FakeEngine)
    return FakeEngine.instances


def run(*argv):
    command.main(parse(*argv))
    return FakeEngine.instances[-1]


def params_of(*argv):
    return run(*argv).kwargs["params"]


class TestOptions:
    TABLE = [
        # option strings, dest, type, nargs, default, help
        (
            ["-f", "--filename"],
            "filename",
            str,
            None,
            None,
            "filename of the structure file (e.g., POSCAR, CONTCAR, cif).",
        ),
        (["--prefix"], "prefix", str, None, "polycrystal", "The prefix of the output files"),
        (
            ["-o", "--output"],
            "output",
            str,
            None,
            "polycrystal.cfg",
            "Path for the main output file (optional for default run).",
        ),
        (
            ["--param-file"],
            "param_file",
            None,
            None,
            None,
            "[Optional] Path to a text file with generation parameters.",
        ),
        (["--random"], "random", int, None, 8, "Generate N random grains."),
        (["--lattice"], "lattice", None, None, None, "Arrange grains on a crystal lattice."),
        (
            ["--node"],
            "node",
            None,
            "+",
            None,
            "Define a grain explicitly. Can be used multiple times.\nEx: --node 10 10 10 45 30 0",
        ),
        (
            ["--box"],
            "box",
            finite_float,
            3,
            [80.0, 80.0, 80.0],
            "Size of the final simulation box (x y z).",
        ),
        (
            ["--formats"],
            "formats",
            None,
            "*",
            [],
            "List of additional output formats (e.g., xyz cfg).",
        ),
        (
            ["--remove-doubles"],
            "remove_doubles",
            finite_float,
            None,
            None,
            "Remove atoms closer than R Angstroms.",
        ),
        (["--no-wrap"], "no_wrap", None, 0, False, "Do not wrap atoms into the box."),
        (
            ["--verbose"],
            "verbose",
            None,
            0,
            False,
            "Print debug messages and write intermediate files.",
        ),
        (["--no-sort"], "no_sort", None, 0, False, "Do not sort ordering of by symbols"),
        (
            ["--max-atoms"],
            "max_atoms",
            int,
            None,
            None,
            "Refuse a structure estimated (box volume times the seed's atoms per volume) to "
            "hold more than N atoms (default: 50,000,000).",
        ),
        (
            ["--twin-spacing"],
            "twin_spacing",
            finite_float,
            None,
            None,
            "Fill every grain with coherent twin lamellae of mean spacing L Angstroms.",
        ),
        (
            ["--twin-plane"],
            "twin_plane",
            int,
            3,
            None,
            "Miller indices of the twin planes (default: 1 1 1); each grain takes one of the "
            "equivalent planes at random.",
        ),
        (
            ["--twin-operation"],
            "twin_operation",
            None,
            None,
            None,
            "How a twin is made from its parent, as in the boundary command (default: auto).",
        ),
        (
            ["--twin-spread"],
            "twin_spread",
            finite_float,
            None,
            None,
            "Spread of the twin spacings: 0 for a fixed spacing (default), else the relative "
            "spread (standard deviation over mean) of a lognormal.",
        ),
        (
            ["--seed"],
            "seed",
            non_negative_int,
            None,
            None,
            "Seed of the random draws, for a structure that can be built again.",
        ),
    ]

    def test_options_in_order(self):
        _, sub = make_parser()
        actions = [a for a in sub._actions if a.option_strings and a.dest != "help"]
        assert len(actions) == len(self.TABLE)
        for action, (flags, dest, type_, nargs, default, help_) in zip(actions, self.TABLE):
            assert action.option_strings == flags
            assert action.dest == dest
            assert action.type is type_
            assert action.nargs == nargs
            assert action.default == default
            assert action.help == help_

    def test_kinds_of_options(self):
        _, sub = make_parser()
        by_dest = {a.dest: a for a in sub._actions}
        assert list(by_dest["lattice"].choices) == ["fcc", "bcc", "diamond", "hcp"]
        assert by_dest["remove_doubles"].metavar == "R"
        assert isinstance(by_dest["node"], argparse._AppendAction)
        for flag in ("no_wrap", "verbose", "no_sort"):
            assert isinstance(by_dest[flag], argparse._StoreTrueAction)
        (group,) = sub._mutually_exclusive_groups
        assert [a.dest for a in group._group_actions] == ["random", "lattice", "node"]
        assert group.required is False

    def test_sub_parser(self):
        parser, sub = make_parser()
        assert sub.description == "Generate Polycrystal."
        assert sub.formatter_class is CombinedFormatter
        help_entry = parser._subparsers._group_actions[0]._choices_actions[0]
        assert help_entry.help == "Generate Polycrystal."
        args = parse()
        assert args.command == "polycrystal"
        assert args.box == [80.0, 80.0, 80.0] and args.random == 8 and args.formats == []
        assert "Ex: --node 10 10 10 45 30 0" in sub.format_help()

    @pytest.mark.parametrize("extra", [["--random", "3"], ["--node", "1", "1", "1", "random"]])
    def test_lattice_excludes_the_other_modes(self, extra, capsys):
        with pytest.raises(SystemExit):
            parse("--lattice", "fcc", *extra)
        assert "not allowed with argument" in capsys.readouterr().err

    def test_typed_options_are_recorded(self):
        assert parse().typed_options == frozenset()
        args = parse(
            "--box",
            "1",
            "2",
            "3",
            "--node",
            "1",
            "2",
            "3",
            "random",
            "--node",
            "4",
            "5",
            "6",
            "0",
            "0",
            "0",
        )
        assert args.typed_options == {"box", "node"}
        assert args.node == [["1", "2", "3", "random"], ["4", "5", "6", "0", "0", "0"]]

    def test_two_parses_do_not_share_records(self):
        parser, _ = make_parser()
        parser.parse_args(["polycrystal", "--random", "3"])
        assert parser.parse_args(["polycrystal"]).typed_options == frozenset()


class TestEngineCalls:
    def test_defaults(self, fake, capsys):
        engine = run()
        kwargs = engine.kwargs
        assert kwargs["params"] == {"box": [80.0, 80.0, 80.0], "random": 8}
        assert kwargs["prefix"] == "polycrystal"
        assert kwargs["verbose"] is False
        seed = kwargs["seed"]
        assert seed.get_chemical_symbols() == ["Al"] * 4
        assert np.allclose(seed.cell.array, np.eye(3) * 4.046)
        assert engine.calls[0] == ("generate_polycrystal", {"wrap": True, "remove_doubles": None})
        name, _atoms, write_kwargs = engine.calls[1]
        assert name == "write_final_files"
        assert write_kwargs == {"output": "polycrystal.cfg", "formats": []}
        assert capsys.readouterr().out == (
            f"{RULE}\nSuccess: Polycrystal Generation\n{RULE}\n{RULE}\n"
        )

    def test_options_reach_the_engine(self, fake):
        engine = run(
            "-f",
            "POSCAR",
            "-o",
            "out/run1.cfg",
            "--formats",
            "xyz",
            "lmp",
            "--remove-doubles",
            "1.5",
            "--no-wrap",
            "--verbose",
            "--prefix",
            "ignored",
        )
        assert engine.kwargs["seed"] == "POSCAR"
        assert engine.kwargs["prefix"] == "run1"
        assert engine.kwargs["verbose"] is True
        assert engine.calls[0] == ("generate_polycrystal", {"wrap": False, "remove_doubles": 1.5})
        assert engine.calls[1][2] == {"output": "out/run1.cfg", "formats": ["xyz", "lmp"]}

    @pytest.mark.parametrize(
        "output, prefix", [("", "mine"), ("a/b/c.tar.gz", "c.tar"), ("x", "x")]
    )
    def test_prefix_rule(self, fake, output, prefix):
        assert run("-o", output, "--prefix", "mine").kwargs["prefix"] == prefix

    def test_atoms_sorted_by_symbol_unless_no_sort(self, fake):
        _, atoms, _ = run().calls[1]
        assert atoms.get_chemical_symbols() == ["Al", "Al", "Cu", "Cu", "O"]
        assert atoms.positions[-1].tolist() == [6.0, 7.0, 8.0]
        _, atoms, _ = run("--no-sort").calls[1]
        assert atoms.get_chemical_symbols() == ["Cu", "Al", "O", "Al", "Cu"]

    def test_engine_errors_propagate_after_the_banner(self, monkeypatch, capsys):
        class Failing(FakeEngine):
            def write_final_files(self, atoms, **kwargs):
                raise OSError("disk full")

        monkeypatch.setattr(command, "Polycrystal", Failing)
        with pytest.raises(OSError, match="disk full"):
            command.main(parse())
        assert capsys.readouterr().out == f"{RULE}\nSuccess: Polycrystal Generation\n{RULE}\n"

    def test_module_names_resolved_at_call_time(self, fake, monkeypatch):
        monkeypatch.setattr(command, "bulk", lambda *a, **k: ("bulk", a, k))
        assert run().kwargs["seed"] == ("bulk", ("Al", "fcc"), {"a": 4.046, "cubic": True})
        monkeypatch.setattr(command, "Path", lambda p: argparse.Namespace(stem="stem-" + p))
        assert run("-o", "z.cfg").kwargs["prefix"] == "stem-z.cfg"


def write_params(text):
    Path("params.txt").write_text(text)
    return "params.txt"


class TestParameterFile:
    def test_grammar(self, fake):
        path = write_params(
            "  # indented comment\n"
            "\n"
            "BOX 10 20 30\n"
            "Node 1 2 3 45 30 0\n"
            "node 4 5 6 [100] [010] [001] # trailing words are values\n"
            "box 11 12 13 14\n"
            "whatever 1 2 3\n"
            "Lattice FCC\n"
        )
        params = params_of("--param-file", path)
        assert params == {
            "param_file": "params.txt",
            "box": [11.0, 12.0, 13.0],
            "lattice": "fcc",
            "node": [
                {"pos": [1.0, 2.0, 3.0], "orient": ["45", "30", "0"]},
                {
                    "pos": [4.0, 5.0, 6.0],
                    "orient": [
                        "[100]",
                        "[010]",
                        "[001]",
                        "#",
                        "trailing",
                        "words",
                        "are",
                        "values",
                    ],
                },
            ],
        }

    def test_last_random_wins_and_lattice_is_not_checked(self, fake):
        path = write_params("random 3\nrandom 5\nbox 1\n")
        assert params_of("--param-file", path) == {"param_file": path, "random": 5, "box": [1.0]}
        path = write_params("box 5 5 5\nlattice Cubic\n")
        assert params_of("--param-file", path)["lattice"] == "cubic"

    @pytest.mark.parametrize(
        "text, error",
        [
            ("box 1 x 3\n", ValueError),
            ("random\n", IndexError),
            ("lattice\n", IndexError),
            ("random 2.5\n", ValueError),
            ("node 1 2 y 0 0 0\n", ValueError),
        ],
    )
    def test_bad_values_raise_and_close_the_file(self, fake, monkeypatch, text, error):
        opened = []

        def tracking_open(*args, **kwargs):
            opened.append(builtins.open(*args, **kwargs))
            return opened[-1]

        monkeypatch.setattr(command, "open", tracking_open, raising=False)
        with pytest.raises(error):
            run("--param-file", write_params(text))
        assert opened and all(f.closed for f in opened)
        assert not fake

    def test_missing_file(self, fake):
        with pytest.raises(FileNotFoundError):
            run("--param-file", "nowhere.txt")


class TestModeAndBox:
    """An option typed on the command line overrides the parameter file; an
    option left untyped falls back to the file, then to its default."""

    def test_untyped_options_fall_back_to_the_file(self, fake):
        path = write_params("box 30 40 50\nnode 1 2 3 0 0 0\n")
        params = params_of("--param-file", path)
        assert params["box"] == [30.0, 40.0, 50.0]
        assert params["node"] == [{"pos": [1.0, 2.0, 3.0], "orient": ["0", "0", "0"]}]
        assert "random" not in params

    def test_typed_options_override_the_file(self, fake):
        path = write_params("box 30 40 50\nnode 1 2 3 0 0 0\n")
        params = params_of("--param-file", path, "--box", "9", "9", "9", "--random", "8")
        assert params == {"param_file": path, "box": [9.0, 9.0, 9.0], "random": 8}
        params = params_of("--param-file", path, "--lattice", "bcc")
        assert params == {"param_file": path, "box": [30.0, 40.0, 50.0], "lattice": "bcc"}
        params = params_of(
            "--param-file", write_params("random 4\n"), "--node", "1", "1", "1", "random"
        )
        assert params["node"] == [{"pos": [1.0, 1.0, 1.0], "orient": ["random"]}]
        assert "random" not in params and params["box"] == [80.0, 80.0, 80.0]

    def test_file_mode_kept_and_default_box(self, fake):
        params = params_of("--param-file", write_params("lattice diamond\n"))
        assert params == {"param_file": "params.txt", "lattice": "diamond", "box": [80.0] * 3}

    def test_typed_zero_grains_is_no_mode(self, fake):
        with pytest.raises(ValueError, match=NO_MODE):
            run("--random", "0")
        assert not fake

    def test_node_records_from_the_command_line(self, fake):
        params = params_of("--node", "10", "10", "10", "45", "30", "0", "--node", "1", "2", "3")
        assert params["node"] == [
            {"pos": [10.0, 10.0, 10.0], "orient": ["45", "30", "0"]},
            {"pos": [1.0, 2.0, 3.0], "orient": []},
        ]
        assert "random" not in params

    def test_hand_built_namespace_counts_every_option_as_typed(self, fake):
        # Without a record of typed options, the box and the random count of the
        # namespace replace the file's box and mode.
        path = write_params("box 30 40 50\nnode 1 2 3 0 0 0\n")
        args = parse("--param-file", path)
        del args.typed_options
        command.main(args)
        assert fake[-1].kwargs["params"] == {
            "param_file": path,
            "box": [80.0, 80.0, 80.0],
            "random": 8,
        }

    @pytest.mark.parametrize(
        "changes, message",
        [
            ({"box": []}, NO_BOX),
            ({"box": None}, NO_BOX),
            ({"random": 0}, NO_MODE),
            ({"random": None}, NO_MODE),
        ],
    )
    def test_messages_with_a_hand_built_namespace(self, fake, changes, message, capsys):
        args = parse()
        del args.typed_options
        for key, value in changes.items():
            setattr(args, key, value)
        with pytest.raises(ValueError) as info:
            command.main(args)
        assert str(info.value) == message
        assert capsys.readouterr().out == "" and not fake

    def test_host_reports_the_error(self, fake, capsys):
        assert ferrolith.cli.main(["polycrystal", "--random", "0"]) == 1
        assert capsys.readouterr().err == f"ferrolith polycrystal: error: {NO_MODE}\n"

    @pytest.mark.parametrize(
        "argv",
        [["--box", "nan", "1", "1"], ["--remove-doubles", "inf"], ["--box", "1", "Infinity", "1"]],
    )
    def test_non_finite_options_are_refused_while_parsing(self, fake, argv, capsys):
        with pytest.raises(SystemExit):
            parse(*argv)
        assert "must be a finite number" in capsys.readouterr().err

    def test_size_limit_reaches_the_engine_only_when_typed(self, fake):
        assert "max_atoms" not in run().kwargs
        assert run("--max-atoms", "1000").kwargs["max_atoms"] == 1000


class TestEndToEnd:
    @pytest.mark.parametrize(
        "argv",
        [
            ["--box", "1e6", "1e6", "1e6"],
            ["--random", "1000000"],
            ["--param-file", "huge.txt"],
            ["--max-atoms", "1000"],
        ],
    )
    def test_runaway_sizes_fail_before_any_work(self, argv, capsys):
        Path("huge.txt").write_text("box 1e4 1e4 1e4\nrandom 3\n")
        assert ferrolith.cli.main(["polycrystal", *argv]) == 1
        captured = capsys.readouterr()
        assert captured.out == "" and "holds about" in captured.err
        assert sorted(p.name for p in Path().iterdir()) == ["huge.txt"]

    def test_small_run_with_the_real_engine(self, capsys):
        bulk("Cu", "fcc", a=3.615, cubic=True).write("Cu.vasp")
        code = ferrolith.cli.main(
            [
                "polycrystal",
                "-f",
                "Cu.vasp",
                "--box",
                "20",
                "22",
                "24",
                "--random",
                "3",
                "--remove-doubles",
                "1.2",
                "-o",
                "out/cu.cfg",
                "--formats",
                "xyz",
                "lmp",
            ]
        )
        assert code == 0
        atoms = read("out/cu.cfg")
        assert set(atoms.get_chemical_symbols()) == {"Cu"}
        assert np.allclose(atoms.cell.lengths(), [20, 22, 24])
        assert len(read("out/cu.xyz")) == len(atoms)
        assert Path("out/cu.lmp").exists() and Path("out/cu_grains.txt").exists()
        out = capsys.readouterr().out
        assert f"{RULE}\nSuccess: Polycrystal Generation\n{RULE}\n" in out
        assert out.endswith(f"{RULE}\n")

        # The drawn nodes, given back as the parameter file, repeat the structure.
        Path("first.cfg").write_bytes(Path("out/cu.cfg").read_bytes())
        assert (
            ferrolith.cli.main(
                [
                    "polycrystal",
                    "-f",
                    "Cu.vasp",
                    "--param-file",
                    "out/cu_params.txt",
                    "--remove-doubles",
                    "1.2",
                    "-o",
                    "out/cu.cfg",
                ]
            )
            == 0
        )
        assert Path("first.cfg").read_bytes() == Path("out/cu.cfg").read_bytes()

    def test_same_parameter_file_gives_the_same_structure(self):
        path = write_params("box 18 18 18\nnode 4 4 4 [110] [-110] [001]\nnode 12 12 12 10 20 30\n")
        for name in ("a.cfg", "b.cfg"):
            assert ferrolith.cli.main(["polycrystal", "--param-file", path, "-o", name]) == 0
        assert Path("a.cfg").read_bytes() == Path("b.cfg").read_bytes()


class TestTwinOptions:
    def test_twin_options_and_the_file_line_merge(self, fake):
        twin = params_of("--twin-spacing", "20", "--twin-plane", "1", "1", "0")["twin"]
        assert twin == {"spacing": 20.0, "plane": [1, 1, 0]}
        path = write_params("box 30 30 30\ntwin 15 0.4\ntwin_operation rotation\n")
        twin = params_of("--param-file", path, "--twin-spread", "0.2")["twin"]
        assert twin == {"spacing": 15.0, "spread": 0.2, "operation": "rotation"}
        assert "twin" not in params_of()
        assert run("--seed", "7").kwargs["rng"] == 7

    def test_twin_options_need_a_spacing(self, fake):
        with pytest.raises(ValueError, match="Twinned grains need a twin spacing"):
            run("--twin-operation", "mirror")

    def test_byte_order_mark_and_misspelt_keywords(self, fake, capsys):
        Path("bom.txt").write_bytes("\ufeffbox 12 13 14\nrandom 3\nrnadom 4\n".encode())
        params = params_of("--param-file", "bom.txt")
        assert params["box"] == [12.0, 13.0, 14.0]
        err = capsys.readouterr().err
        assert "bom.txt, line 3: unknown keyword 'rnadom' ignored" in err


def limited_run(argv, tmp_path):
    """The command in a fresh interpreter limited to 1 GiB of address space."""
    code = (
        "import resource, sys\n"
        "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
        "from ferrolith.cli import main\n"
        f"sys.exit(main(['polycrystal', *{argv!r}]))\n"
    )
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
    return subprocess.run(
        [sys.executable, "-c", code],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


class TestLimits:
    @pytest.mark.parametrize(
        "argv, named",
        [
            (["--remove-doubles", "25"], "a sphere of radius 25 Angstrom holds about 3,953 atoms"),
            (["--remove-doubles", "40"], "a sphere of radius 40 Angstrom holds about"),
            (["--box", "80", "80", "1e-2", "--random", "2"], "along z (0.01 Angstrom) is shorter"),
            (["--box", "1e-300", "1e-300", "1e-300", "--random", "1"], "nearest-neighbour"),
            (["--box", "900", "900", "900", "--random", "10000000"], "10,000,000 grains at about"),
        ],
    )
    def test_estimates_refuse_before_allocating(self, argv, named, tmp_path):
        done = limited_run(argv, tmp_path)
        assert done.returncode == 1, done.stderr
        assert named in done.stderr and "bad_alloc" not in done.stderr
        assert done.stdout == "" and list(tmp_path.iterdir()) == []


class TestTwinnedEndToEnd:
    def test_lammps_reads_the_data_and_a_tersoff_minimisation_converges(self, capsys):
        bulk("BN", "zincblende", a=3.615, cubic=True).write("cbn.vasp")
        argv = ["polycrystal", "-f", "cbn.vasp", "--box", "20", "20", "20", "--random", "2"]
        argv += ["--twin-spacing", "7", "--remove-doubles", "0.8", "--seed", "3"]
        assert ferrolith.cli.main([*argv, "-o", "cbn.lmp"]) == 0
        captured = capsys.readouterr()
        n_atoms = len(read("cbn.lmp", format="lammps-data", atom_style="atomic"))
        assert captured.err.endswith(f"polycrystal: {n_atoms:,} atoms\n")
        assert "Success: Polycrystal Generation" in captured.out
        assert len(np.loadtxt("cbn_per_atom.txt")) == n_atoms
        potentials = Path("/usr/share/lammps/potentials/BNC.tersoff")
        if shutil.which("lmp") is None or not potentials.exists():
            pytest.skip("LAMMPS with its Tersoff potentials is not installed")
        types = Path("cbn.lmp").read_text().split("Masses")[1]
        assert types.index("# B") < types.index("# N")
        Path("in.min").write_text(
            "units metal\natom_style atomic\nboundary p p p\nread_data cbn.lmp\n"
            f"pair_style tersoff\npair_coeff * * {potentials} B N\n"
            "thermo 50\nminimize 1e-6 1e-4 1000 10000\n"
        )
        done = subprocess.run(
            ["lmp", "-in", "in.min", "-log", "none"],
            capture_output=True,
            text=True,
            timeout=300,
            env={**os.environ, "OMP_NUM_THREADS": "1"},
        )
        assert done.returncode == 0, done.stdout[-2000:]
        assert f"{n_atoms} atoms" in done.stdout
        criterion = done.stdout.split("Stopping criterion = ")[1].splitlines()[0]
        assert criterion in ("energy tolerance", "force tolerance"), criterion


def mixed_structure(n, symbols, layout="random", seed=0):
    """n atoms of the given symbols with extra arrays of several kinds."""
    rng = np.random.default_rng(seed)
    picks = rng.integers(len(symbols), size=n)
    if layout == "descending":
        picks = np.sort(picks)[::-1]
    atoms = Atoms(
        [symbols[k] for k in picks], positions=rng.random((n, 3)) * 9, cell=[9, 9, 9], pbc=True
    )
    atoms.arrays["grain"] = rng.integers(0, 9, n)
    atoms.arrays["pair"] = rng.random((n, 2))
    atoms.arrays["flag"] = rng.random(n) < 0.5
    atoms.arrays["label"] = np.array(["x", "yz"])[rng.integers(0, 2, n)]
    return atoms


def sorted_by_command(monkeypatch, atoms):
    """The structure main hands to write_final_files for a generated `atoms`."""
    written = []

    class Engine(FakeEngine):
        def generate_polycrystal(self, **kwargs):
            return atoms

        def write_final_files(self, atoms, **kwargs):
            written.append(atoms)

    monkeypatch.setattr(command, "Polycrystal", Engine)
    command.main(parse())
    return written[0]


def assert_same_structure(a, b):
    assert sorted(a.arrays) == sorted(b.arrays)
    for name in a.arrays:
        assert np.array_equal(a.arrays[name], b.arrays[name]), name


class TestSortBySymbol:
    # numpy's argsort of the symbols is the reference, ties and all: atoms of
    # one symbol keep numpy's order, not the generated one.
    @pytest.mark.parametrize("n", [0, 1, 16, 17, 18, 40, 1000, 30_000])
    @pytest.mark.parametrize(
        "symbols, layout",
        [
            (["Al"], "random"),
            (["N", "B"], "random"),
            (["N", "B"], "descending"),
            (["C", "Ca", "Cu", "H", "Zr", "X"], "random"),
        ],
    )
    def test_order_is_numpys_argsort(self, monkeypatch, n, symbols, layout):
        atoms = mixed_structure(n, symbols, layout)
        expected = atoms.copy()[np.argsort(atoms.symbols)]
        positions = atoms.arrays["positions"]
        ours = sorted_by_command(monkeypatch, atoms)
        assert_same_structure(ours, expected)
        # Reordered in place: no second copy of the arrays.
        assert ours.arrays["positions"] is positions

    @pytest.mark.parametrize("kind", ["constraint", "view", "objects"])
    def test_structures_that_cannot_be_reordered_in_place(self, monkeypatch, kind):
        from ase.constraints import FixAtoms

        atoms = mixed_structure(500, ["N", "B", "C"])
        if kind == "constraint":
            atoms.set_constraint(FixAtoms(indices=[0, 3, 7]))
        elif kind == "view":
            atoms.arrays["pair"] = np.zeros((500, 4))[:, ::2]
        else:
            atoms.arrays["label"] = atoms.arrays["label"].astype(object)
        expected = atoms.copy()[np.argsort(atoms.symbols)]
        ours = sorted_by_command(monkeypatch, atoms)
        assert_same_structure(ours, expected)
        if kind == "constraint":
            assert ours.constraints[0].index.tolist() == expected.constraints[0].index.tolist()

"""The boundary subcommand: options, banners, files and the plane loop."""

import argparse
import os
from pathlib import Path

import numpy as np
import pytest
import spglib
from ase.build import bulk
from ase.io import read
from ase.utils import atoms_to_spglib_cell

import ferrolith.core
from ferrolith.build.twin import CoherentTwinBoundary
from ferrolith.cli import boundary, build_parser
from ferrolith.cli import main as ferrolith_main

RULE = "=" * 60
NO_MIRROR = "Failed to find any valid mirror plane by reflection."


def parse(*argv):
    parser, _ = build_parser()
    return parser.parse_args(["boundary", *argv])


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


class TestOptions:
    def test_defaults(self):
        args = parse()
        assert vars(args) == {
            "traceback": False,
            "command": "boundary",
            "filename": None,
            "output": "grain_gb.vasp",
            "plane": [1, 1, 1],
            "layers": [3],
            "hklmax": 0,
            "tol_surface": 0.02,
            "tol_layer": 0.1,
            "average_cutoff": 0.2,
            "delete_layers": [],
            "gap": 0.0,
            "symprec": 0,
            "vacuum": 0,
            "supercell": [1, 1, 1],
            "write_grains": False,
            "operation": "mirror",
            "max_atoms": 1000000,
        }
        assert type(args.symprec) is int and type(args.vacuum) is int

    def test_typed_values(self):
        args = parse(
            "-f",
            "POSCAR",
            "-o",
            "x.cif",
            "--plane",
            "1",
            "-1",
            "0",
            "--layers",
            "2",
            "5",
            "3",
            "--hklmax",
            "2",
            "--tol_surface",
            "0.1",
            "--tol_layer",
            "0.2",
            "--average_cutoff",
            "0",
            "--delete_layers",
            "-1",
            "0",
            "--gap",
            "1.5",
            "--symprec",
            "1e-3",
            "--vacuum",
            "10",
            "--supercell",
            "2",
            "1",
            "1",
            "--write_grains",
        )
        assert (args.filename, args.output, args.plane, args.layers) == (
            "POSCAR",
            "x.cif",
            [1, -1, 0],
            [2, 5, 3],
        )
        assert (args.hklmax, args.tol_surface, args.tol_layer, args.average_cutoff) == (
            2,
            0.1,
            0.2,
            0.0,
        )
        assert (args.delete_layers, args.gap, args.symprec, args.vacuum) == (
            [-1, 0],
            1.5,
            1e-3,
            10.0,
        )
        assert args.supercell == [2, 1, 1] and args.write_grains is True

    @pytest.mark.parametrize("argv", [["--plane", "1", "1"], ["--layers"], ["--gap", "x"]])
    def test_bad_values_are_refused_by_the_parser(self, argv):
        with pytest.raises(SystemExit):
            parse(*argv)

    def test_help_keeps_line_breaks(self, capsys):
        with pytest.raises(SystemExit):
            parse("--help")
        out = capsys.readouterr().out
        assert "Create a coherent grain boundary." in out
        assert "Number of layers for each grain.\n" in out and "is created. \n" in out.replace(
            " " * 24, ""
        )


class TestDefaultRun:
    def test_banner_and_file(self, in_tmp, capsys):
        boundary.main(parse())
        assert capsys.readouterr().out == (
            f"{RULE}\n Success: Grain boundary 1-1-1\n Written to file grain_gb.vasp.\n"
        )
        written = read(in_tmp / "grain_gb.vasp")
        expected = CoherentTwinBoundary(bulk("C", "diamond", a=3.56)).create()
        assert written.get_chemical_formula() == expected.get_chemical_formula()
        assert np.allclose(written.cell, expected.cell, atol=1e-6)
        assert written.pbc.all()

    def test_through_the_host(self, in_tmp, capsys):
        assert ferrolith_main(["boundary", "-o", "gb.xyz"]) == 0
        assert (in_tmp / "gb.xyz").is_file()

    def test_write_grains_before_the_banner(self, in_tmp, capsys, monkeypatch):
        events = []
        real_write = boundary.write

        def recording_write(name, atoms, **kwargs):
            events.append(("write", final_name(name), kwargs))
            real_write(name, atoms, **kwargs)

        monkeypatch.setattr(boundary, "write", recording_write)
        boundary.main(parse("--write_grains"))
        assert [e[1] for e in events] == [
            "grain_1-1-1_0.vasp",
            "grain_1-1-1_1.vasp",
            "grain_gb.vasp",
        ]
        # The output's format is the one ASE guesses from its final name.
        assert events[0][2] == {"format": "vasp"} and events[2][2] == {"format": "vasp"}
        assert len(read(in_tmp / "grain_1-1-1_1.vasp")) > 0

    def test_bulk_file_is_read_by_the_builder(self, in_tmp, capsys):
        bulk("Si", "diamond", a=5.431).write(in_tmp / "POSCAR", format="vasp")
        boundary.main(parse("-f", "POSCAR", "-o", "si.vasp"))
        assert set(read(in_tmp / "si.vasp").get_chemical_symbols()) == {"Si"}

    def test_unreadable_bulk_file_ends_the_command(self, in_tmp):
        with pytest.raises(FileNotFoundError):
            boundary.main(parse("-f", "missing.vasp"))


class FakeBuilder:
    """Records its arguments; planes listed in `failing` raise in create()."""

    failing = set()
    made = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.grains = ["grain-a", "grain-b"]
        kwargs["layers"].sort(reverse=True)
        FakeBuilder.made.append(self)

    def create(self, supercell):
        self.supercell = supercell
        if self.kwargs["plane"] in self.failing:
            raise ValueError(NO_MIRROR)
        return f"structure {self.kwargs['plane']}"


def final_name(temporary):
    """The target a temporary file ".<stem>.<random><suffix>" beside it replaces."""
    path = Path(temporary)
    stem, _, _ = path.name[1 : len(path.name) - len(path.suffix)].rpartition(".")
    name = Path(os.path.relpath(path.parent)) / (stem + path.suffix)
    return str(name)


@pytest.fixture
def fake(monkeypatch, tmp_path):
    # Files are written atomically: `write` gets a temporary file beside the
    # target, which then replaces the target.
    monkeypatch.chdir(tmp_path)
    written = []
    FakeBuilder.made = []
    FakeBuilder.failing = set()
    monkeypatch.setattr(boundary, "CoherentTwinBoundary", FakeBuilder)

    def record(name, atoms, **kw):
        written.append((final_name(name), atoms, kw))
        Path(name).write_text(str(atoms))

    monkeypatch.setattr(boundary, "write", record)
    return written


class TestPlaneLoop:
    def test_builder_arguments(self, fake):
        args = parse("--layers", "2", "5", "3", "--supercell", "2", "1", "1")
        boundary.main(args)
        (made,) = FakeBuilder.made
        assert list(made.kwargs) == [
            "bulk",
            "plane",
            "layers",
            "tol_surface",
            "tol_layer",
            "average_cutoff",
            "delete_layers",
            "gap",
            "vacuum",
            "symprec",
            "operation",
            "max_atoms",
        ]
        assert made.kwargs["plane"] == (1, 1, 1)
        assert made.kwargs["layers"] is args.layers and args.layers == [5, 3, 2]
        assert made.kwargs["bulk"].get_chemical_formula() == "C2"
        assert made.supercell == [2, 1, 1]

    def test_several_planes_named_after_the_plane(self, fake, capsys, monkeypatch):
        monkeypatch.setattr(
            ferrolith.core, "get_all_hkl", lambda n: [(1, 0, 0), (1, -1, 0), (1, 1, 1)]
        )
        FakeBuilder.failing = {(1, 0, 0)}
        boundary.main(parse("--hklmax", "1", "-o", "out/gb.vasp", "--plane", "9", "9", "9"))
        assert [w[0] for w in fake] == ["out/gb_1--1-0.vasp", "out/gb_1-1-1.vasp"]
        assert capsys.readouterr().out == (
            f"{RULE}\n Success: Grain boundary 1--1-0\n Written to file out/gb_1--1-0.vasp.\n"
            f"{RULE}\n Success: Grain boundary 1-1-1\n Written to file out/gb_1-1-1.vasp.\n"
        )

    def test_single_plane_from_hklmax_keeps_the_name(self, fake, capsys, monkeypatch):
        monkeypatch.setattr(ferrolith.core, "get_all_hkl", lambda n: [(1, 1, 1)])
        boundary.main(parse("--hklmax", "3", "-o", "out/gb.vasp"))
        assert [w[0] for w in fake] == ["out/gb.vasp"]

    def test_every_plane_failing_prints_nothing(self, fake, capsys):
        FakeBuilder.failing = {(1, 1, 1)}
        boundary.main(parse("--write_grains"))
        assert capsys.readouterr().out == "" and fake == []

    def test_keyboard_interrupt_is_not_swallowed(self, fake, monkeypatch):
        def interrupt(self, supercell):
            raise KeyboardInterrupt

        monkeypatch.setattr(FakeBuilder, "create", interrupt)
        with pytest.raises(KeyboardInterrupt):
            boundary.main(parse())

    @pytest.mark.filterwarnings("ignore:Set OLD_ERROR_HANDLING:DeprecationWarning")
    def test_diamond_up_to_two_one_file_per_distinct_twin(self, in_tmp, capsys):
        assert ferrolith_main(["boundary", "--hklmax", "2", "-o", "out.vasp"]) == 0
        out, err = capsys.readouterr()
        diamond = bulk("C", "diamond", a=3.56)
        rotations = spglib.get_symmetry_dataset(atoms_to_spglib_cell(diamond)).rotations
        planes = ferrolith.core.get_all_hkl(2)
        first_of_kind, repeats = [], 0
        for plane in planes:
            images = {tuple(s * np.array(plane) @ r) for r in rotations for s in (1, -1)}
            if any(tuple(p) in images for p in first_of_kind):
                repeats += 1
            else:
                first_of_kind.append(plane)
        expected, perfect = [], 0
        for plane in first_of_kind:
            try:
                twin = CoherentTwinBoundary(diamond, plane=tuple(plane)).create()
            except ValueError:
                continue
            if spglib.get_spacegroup(atoms_to_spglib_cell(twin), symprec=1e-3) == "Fd-3m (227)":
                perfect += 1
            else:
                expected.append("{}-{}-{}".format(*plane))
        assert len(first_of_kind) < len(planes) and expected and perfect
        assert sorted(p.name for p in in_tmp.iterdir()) == sorted(f"out_{h}.vasp" for h in expected)
        assert out == "".join(
            f"{RULE}\n Success: Grain boundary {h}\n Written to file out_{h}.vasp.\n"
            for h in expected
        )
        assert err.count("by the bulk crystal's symmetry.") == repeats
        assert err.count("the result has the bulk crystal's own space group Fd-3m (227)") == perfect
        for hkl in expected:
            assert len(read(in_tmp / f"out_{hkl}.vasp")) > 0

    def test_hand_built_namespace(self, fake):
        args = argparse.Namespace(
            filename="",
            output="o.vasp",
            plane=(1, 1, 0),
            layers=[3],
            hklmax=0,
            tol_surface=0.02,
            tol_layer=0.1,
            average_cutoff=0.2,
            delete_layers=[],
            gap=0.0,
            symprec=0,
            vacuum=0,
            supercell=[1, 1, 1],
            write_grains=False,
        )
        boundary.main(args)
        assert fake[0][0] == "o.vasp" and FakeBuilder.made[0].kwargs["plane"] == (1, 1, 0)


class Terminal:
    """A text stream that claims to be a terminal."""

    def __init__(self):
        self.text = []

    def write(self, s):
        self.text.append(s)
        return len(s)

    def flush(self):
        pass

    def isatty(self):
        return True


def test_progress_on_a_terminal_leaves_stdout_unchanged(fake, capsys, monkeypatch):
    monkeypatch.setattr(ferrolith.core, "get_all_hkl", lambda n: [(1, 1, 1), (1, 1, 0)])
    boundary.main(parse("--hklmax", "1"))
    plain = capsys.readouterr().out
    terminal = Terminal()
    monkeypatch.setattr("sys.stderr", terminal)
    boundary.main(parse("--hklmax", "1"))
    assert capsys.readouterr().out == plain
    assert "plane" in "".join(terminal.text)  # the bar was drawn on stderr


class TestFailuresAndFiles:
    def test_skipped_planes_are_reported_and_none_written_is_status_1(self, fake, capsys):
        FakeBuilder.failing = {(1, 1, 1)}
        assert ferrolith_main(["boundary"]) == 1
        captured = capsys.readouterr()
        assert captured.out == ""
        assert captured.err == f"ferrolith boundary: plane 1-1-1 skipped: {NO_MIRROR}\n"

    def test_some_planes_written_is_success(self, fake, capsys, monkeypatch):
        monkeypatch.setattr(ferrolith.core, "get_all_hkl", lambda n: [(1, 0, 0), (1, 1, 1)])
        FakeBuilder.failing = {(1, 0, 0)}
        assert ferrolith_main(["boundary", "--hklmax", "1"]) == 0
        assert capsys.readouterr().err.count("skipped") == 1

    @pytest.mark.parametrize(
        "argv, expected",
        [
            # The default bulk is the 2-atom cell: 2 atoms per spacing d(hkl).
            (["--layers", "10000000"], "about 40,000,000 atoms"),
            (["--supercell", "1000", "1000", "1"], "about 12,000,000 atoms"),
            (["--delete_layers", "99"], "--delete_layers index 99 is out of range"),
            (["--delete_layers", "-13"], "(indices -12 to 11)"),
        ],
    )
    def test_refused_planes_name_the_reason(self, in_tmp, capsys, argv, expected):
        assert ferrolith_main(["boundary", *argv]) == 1
        assert expected in capsys.readouterr().err
        assert list(in_tmp.iterdir()) == []

    def test_merging_cutoff_beyond_the_bond_is_refused(self, in_tmp, capsys):
        assert ferrolith_main(["boundary", "--average_cutoff", "1.6"]) == 1
        assert "nearest neighbours are 1.542 A apart" in capsys.readouterr().err

    @pytest.mark.parametrize(
        "argv",
        [
            ["--gap", "nan"],
            ["--symprec", "inf"],
            ["--vacuum", "-inf"],
            ["--supercell", "0", "1", "1"],
            ["--max_atoms", "0"],
            ["--operation", "twist"],
        ],
    )
    def test_bad_options_are_refused_while_parsing(self, argv):
        with pytest.raises(SystemExit):
            parse(*argv)

    def test_a_result_without_twin_is_not_written(self, in_tmp, capsys):
        bulk("Si", "diamond", a=5.431, cubic=True).write(in_tmp / "Si.vasp", format="vasp")
        argv = ["boundary", "-f", "Si.vasp", "-o", "a.vasp", "--plane"]
        # The supercell keeps the space group: judged before it is applied.
        assert ferrolith_main([*argv, "1", "1", "0", "--supercell", "20", "20", "1"]) == 1
        assert capsys.readouterr() == (
            "",
            "ferrolith boundary: plane 1-1-0 skipped: the result has the bulk crystal's own "
            "space group Fd-3m (227): no twin formed.\n",
        )
        assert not (in_tmp / "a.vasp").exists()
        assert ferrolith_main([*argv, "1", "1", "1"]) == 0
        assert capsys.readouterr().err == ""
        assert (in_tmp / "a.vasp").is_file()

    def test_a_large_result_is_written_unchecked(self, fake, capsys, monkeypatch):
        def create(self, supercell):
            self.grain_boundary = self.bulk.repeat((17, 17, 8))  # 4,624 atoms
            return self.grain_boundary

        monkeypatch.setattr(FakeBuilder, "bulk", bulk("C", "diamond", a=3.56), raising=False)
        monkeypatch.setattr(FakeBuilder, "create", create)
        assert boundary.main(parse()) is None
        assert [w[0] for w in fake] == ["grain_gb.vasp"]
        assert capsys.readouterr().err == (
            "ferrolith boundary: note: plane 1-1-1 not compared with the bulk's space group "
            "(4,624 atoms, more than 1,000).\n"
        )

    def test_output_folder_is_created(self, in_tmp, capsys):
        boundary.main(parse("-o", "out/deep/gb.vasp"))
        assert len(read(in_tmp / "out/deep/gb.vasp")) == 12

    def test_failed_write_keeps_the_old_file(self, in_tmp, capsys, monkeypatch):
        (in_tmp / "gb.vasp").write_text("previous result\n")

        def failing_write(name, atoms, **kwargs):
            Path(name).write_text("partial")
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(boundary, "write", failing_write)
        with pytest.raises(OSError):
            boundary.main(parse("-o", "gb.vasp"))
        assert [p.name for p in in_tmp.iterdir()] == ["gb.vasp"]
        assert (in_tmp / "gb.vasp").read_text() == "previous result\n"

    def test_poscar_name_keeps_its_format(self, in_tmp, capsys):
        boundary.main(parse("-o", "POSCAR"))
        assert len(read(in_tmp / "POSCAR", format="vasp")) == 12


class TestOperation:
    def test_rotation_builds_the_cbn_twin_the_mirror_cannot(self, in_tmp, capsys):
        bulk("BN", "zincblende", a=3.615, cubic=True).write(in_tmp / "cBN.vasp", format="vasp")
        assert ferrolith_main(["boundary", "-f", "cBN.vasp"]) == 1
        assert capsys.readouterr().err == (
            f"ferrolith boundary: plane 1-1-1 skipped: {NO_MIRROR} A rotation twin exists for "
            "this plane: try --operation rotation (or auto).\n"
        )
        assert ferrolith_main(["boundary", "-f", "cBN.vasp", "--operation", "rotation"]) == 0
        twin = read(in_tmp / "grain_gb.vasp")
        assert twin.get_chemical_formula() == "B24N24"

    def test_auto_over_all_planes_uses_whichever_works(self, in_tmp, capsys):
        bulk("BN", "zincblende", a=3.615, cubic=True).write(in_tmp / "cBN.vasp", format="vasp")
        argv = ["boundary", "-f", "cBN.vasp", "--hklmax", "1", "-o", "gb.vasp"]
        assert ferrolith_main([*argv, "--operation", "auto"]) == 0
        # {111} by the rotation; the mirror across {110} gives the crystal again.
        assert [p.name for p in in_tmp.glob("gb_*.vasp")] == ["gb_1-1-1.vasp"]
        err = capsys.readouterr().err
        assert "plane 1-1-0 skipped: the result has the bulk crystal's own space group" in err
        assert "plane 1-1--1 skipped: equivalent to plane 1-1-1" in err


def test_reasons_reach_stderr_beside_the_progress_bar(fake, capsys, monkeypatch):
    monkeypatch.setattr(ferrolith.core, "get_all_hkl", lambda n: [(1, 1, 1), (1, 1, 0)])
    FakeBuilder.failing = {(1, 1, 0)}
    terminal = Terminal()
    monkeypatch.setattr("sys.stderr", terminal)
    assert boundary.main(parse("--hklmax", "1")) is None
    assert f"plane 1-1-0 skipped: {NO_MIRROR}" in "".join(terminal.text)

"""The hardness subcommand on real structure files and on elastic moduli."""

import json

import pytest
from ase.build import bulk
from ase.io import write

from ferrolith.cli import main
from ferrolith.properties.bondvick import SimunekHardnessCalculator, first_shell_cutoff
from ferrolith.properties.hardness import calculate_hardness


@pytest.fixture
def structure_files(tmp_path):
    silicon = bulk("Si", "diamond", a=5.431, cubic=True)
    cbn = bulk("BN", "zincblende", a=3.615)
    write(tmp_path / "si.vasp", silicon, format="vasp")
    write(tmp_path / "bn.traj", cbn)
    (tmp_path / "broken.xyz").write_text("not a structure\n")
    return tmp_path, {"si.vasp": silicon, "bn.traj": cbn}


def test_one_row_per_file_and_failures_reported_in_their_row(structure_files, capsys):
    folder, structures = structure_files
    files = [str(folder / name) for name in ("si.vasp", "broken.xyz", "bn.traj")]
    assert main(["hardness", *files, "--rcut", "2.6", "--tolerance", "0.1"]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split() == [
        "file",
        "formula",
        "atoms",
        "rcut",
        "(A)",
        "H",
        "(GPa)",
        "ionicity",
        "bond",
        "types",
    ]
    si_row, broken_row, bn_row = lines[1:]
    expected = SimunekHardnessCalculator().calculate_hardness(structures["si.vasp"], 2.6, 0.1)
    assert si_row.split() == [files[0], "Si8", "8", "2.600", f"{expected:.3f}", "0.0000", "8"]
    assert broken_row.startswith(files[1]) and "error:" in broken_row
    assert bn_row.split()[:3] == [files[2], "BN", "2"]
    # Columns are aligned: every successful row has its hardness at the same offset.
    assert si_row.index(f"{expected:.3f}") == lines[0].index("H (GPa)")


def test_all_files_good_exits_zero_and_json(structure_files, capsys):
    folder, structures = structure_files
    path = str(folder / "bn.traj")
    assert main(["hardness", path, "--json"]) == 0
    (row,) = json.loads(capsys.readouterr().out)
    result = SimunekHardnessCalculator()._calculate_hardness(structures["bn.traj"])
    assert row == {
        "file": path,
        "formula": "BN",
        "natoms": 2,
        "rcut": first_shell_cutoff(structures["bn.traj"]),
        "hardness": result["hardness"],
        "ionicity_factor": result["ionicity_factor"],
        "bond_types": result["total_bonds_type"],
    }


def test_no_bonds_is_a_failed_row(structure_files, capsys):
    folder, _ = structure_files
    assert main(["hardness", str(folder / "si.vasp"), "--rcut", "1.0", "--json"]) == 1
    (row,) = json.loads(capsys.readouterr().out)
    assert row["error"] == "No bonds found within the given cutoff radius."


def test_moduli_single_and_all_methods(capsys):
    assert main(["hardness", "--shear", "409", "--bulk", "400", "--method", "Tian"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[1].split() == ["Tian", f"{calculate_hardness(409.0, 400.0, method='tian'):.3f}"]
    assert main(["hardness", "--shear", "409", "--bulk", "400", "--all-methods", "--json"]) == 0
    rows = json.loads(capsys.readouterr().out)
    assert [r["method"] for r in rows] == ["chen", "tian", "jiang", "mazhnik"]
    assert rows[3]["hardness"] == calculate_hardness(409.0, 400.0, method="mazhnik")


def test_moduli_failures_and_warnings_keep_json_clean(capsys):
    assert main(["hardness", "--young", "100", "--all-methods", "--json"]) == 1
    captured = capsys.readouterr()
    rows = json.loads(captured.out)
    assert rows[0]["error"] == "Missing required input: 'shear'"
    assert rows[2]["hardness"] == 100.0 / 16.48
    assert (
        main(["hardness", "--poisson", "0.7", "--young", "100", "--method", "mazhnik", "--json"])
        == 0
    )
    captured = capsys.readouterr()
    json.loads(captured.out)
    assert "Warning: Poisson's ratio (0.700)" in captured.err


@pytest.mark.parametrize("argv", [["hardness"], ["hardness", "x.vasp", "--shear", "1"]])
def test_needs_files_or_moduli_but_not_both(argv, capsys):
    assert main(argv) == 1
    assert capsys.readouterr().err.startswith("ferrolith hardness: error: Give structure files")


def test_mutually_exclusive_method_options():
    with pytest.raises(SystemExit):
        main(["hardness", "--shear", "1", "--method", "tian", "--all-methods"])


@pytest.mark.filterwarnings("ignore:Set OLD_ERROR_HANDLING:DeprecationWarning")
def test_bcs_files_are_read_through_the_extended_reader(tmp_path, capsys):
    from ferrolith.io.bcs import write_bcs

    path = tmp_path / "cbn.bcs"
    write_bcs(str(path), bulk("BN", "zincblende", a=3.615, cubic=True))
    assert main(["hardness", str(path), "--json"]) == 0
    (row,) = json.loads(capsys.readouterr().out)
    expected = SimunekHardnessCalculator().calculate_hardness(
        bulk("BN", "zincblende", a=3.615, cubic=True)
    )
    assert row["formula"] == "B4N4"
    assert row["hardness"] == pytest.approx(expected, rel=1e-5)


def test_auto_cutoff_gives_the_first_shell_hardness(tmp_path, capsys):
    # Oracle: an explicit cutoff 20 % beyond the shortest bond that ASE's
    # neighbour list finds (first shell in, second shell out, for all eight).
    from ase.neighborlist import neighbor_list
    from test_properties_bondvick import FIRST_SHELL_CRYSTALS

    files, expected = [], []
    for name, atoms in FIRST_SHELL_CRYSTALS.items():
        path = tmp_path / f"{name}.traj"
        write(path, atoms)
        files.append(str(path))
        rcut = 1.2 * neighbor_list("d", atoms, 4.0).min()
        expected.append(SimunekHardnessCalculator().calculate_hardness(atoms, rcut=rcut))
    assert main(["hardness", *files, "--json"]) == 0
    rows = json.loads(capsys.readouterr().out)
    assert [r["hardness"] for r in rows] == pytest.approx(expected, rel=1e-12)
    assert main(["hardness", files[0]]) == 0  # the table names the cutoff used
    row = capsys.readouterr().out.splitlines()[1].split()
    assert row[3] == f"{rows[0]['rcut']:.3f}"


@pytest.mark.parametrize(
    "option, value",
    [
        ("--shear", "-5"),
        ("--bulk", "0"),
        ("--young", "-1e3"),
        ("--poisson", "nan"),
        ("--rcut", "inf"),
        ("--rcut", "0"),
        ("--tolerance", "nan"),
    ],
)
def test_refuses_non_positive_moduli_and_non_finite_options(option, value, capsys):
    with pytest.raises(SystemExit) as exit_info:
        main(
            [
                "hardness",
                "x.vasp" if option in ("--rcut", "--tolerance") else "--all-methods",
                f"{option}={value}",
            ]
        )
    assert exit_info.value.code == 2
    assert option in capsys.readouterr().err


def test_unknown_format_and_progress_on_stderr(structure_files, capsys, monkeypatch):
    from ferrolith.cli import hardness

    folder, _ = structure_files
    unknown = folder / "notes.foo"
    unknown.write_text("hello\n")
    monkeypatch.setattr(hardness._Progress, "LARGE", 2)
    monkeypatch.setattr(hardness._Progress, "AFTER", 0.0)
    assert main(["hardness", str(unknown), str(folder / "bn.traj"), "--json"]) == 1
    captured = capsys.readouterr()
    rows = json.loads(captured.out)
    assert rows[0]["error"] == f"unknown file format: {unknown}"
    assert f"{folder / 'bn.traj'}: 2 atoms" in captured.err
    assert "2/2 files done" in captured.err

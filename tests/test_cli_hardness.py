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
        "flags": [],
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


class TestDomainFlags:
    def test_flags_in_json_table_marker_and_one_stderr_line(self, tmp_path, capsys):
        files = {"nacl.traj": bulk("NaCl", "rocksalt", a=5.64), "si.traj": bulk("Si", a=5.431)}
        for name, atoms in files.items():
            write(tmp_path / name, atoms)
        paths = [str(tmp_path / name) for name in files]
        assert main(["hardness", *paths, "--json"]) == 0
        captured = capsys.readouterr()
        assert [r["flags"] for r in json.loads(captured.out)] == [["ionic"], []]
        assert captured.err.splitlines() == [
            f"hardness: {paths[0]}: outside the model's domain: ionic"
        ]
        assert main(["hardness", *paths]) == 0
        nacl_row, si_row = capsys.readouterr().out.splitlines()[1:]
        assert nacl_row.endswith("  !") and not si_row.endswith("!")

    def test_element_without_radius_is_never_a_silent_zero(self, tmp_path, capsys):
        path = tmp_path / "lun.traj"
        write(path, bulk("LuN", "rocksalt", a=4.76))
        assert main(["hardness", str(path), "--json"]) == 0
        (row,) = json.loads(capsys.readouterr().out)
        assert "element without radius: Lu" in row["flags"]

    def test_moduli_rows_flag_the_chen_clamp(self, capsys):
        assert main(["hardness", "--shear", "2", "--bulk", "20", "--all-methods", "--json"]) == 0
        rows = json.loads(capsys.readouterr().out)
        assert rows[0]["hardness"] == 0.0 and "clamped at 0" in rows[0]["flags"]
        assert rows[2]["flags"] == []  # Jiang: G alone, no limit found


def test_failing_potential_keeps_the_simunek_value(structure_files, capsys, monkeypatch):
    from ferrolith.properties import elastic

    def broken(*args, **kwargs):
        raise ValueError("no such potential")

    monkeypatch.setattr(elastic, "elastic_tensor", broken)
    folder, structures = structure_files
    path = str(folder / "bn.traj")
    expected = SimunekHardnessCalculator().calculate_hardness(
        structures["bn.traj"], first_shell_cutoff(structures["bn.traj"])
    )
    assert main(["hardness", path, "--potential", "tersoff", "--json"]) == 1
    (row,) = json.loads(capsys.readouterr().out)
    assert row["hardness"] == expected and row["moduli_error"] == "no such potential"
    assert "error" not in row
    assert main(["hardness", path, "--potential", "tersoff"]) == 1
    line = capsys.readouterr().out.splitlines()[1]
    assert f"{expected:.3f}" in line and line.endswith("error: no such potential")


class TestTensorFile:
    @pytest.fixture
    def diamond(self, tmp_path):
        from test_properties_elastic import cubic
        from test_properties_tensor import VASP_ORDER, outcar_block

        outcar = tmp_path / "OUTCAR"
        outcar.write_text(outcar_block(cubic(1079.0, 124.0, 578.0), VASP_ORDER))
        structure = tmp_path / "diamond.traj"
        write(structure, bulk("C", "diamond", a=3.567))
        return str(outcar), str(structure)

    def test_hardness_prints_moduli_and_five_models(self, diamond, capsys):
        outcar, structure = diamond
        assert main(["hardness", "--cij", outcar, structure, "--json"]) == 0
        record = json.loads(capsys.readouterr().out)
        assert record["bulk_hill"] == pytest.approx(1327 / 3, rel=1e-12)
        assert record["stable"] is True and record["zener"] == pytest.approx(1156 / 955)
        models = {m["method"]: m for m in record["hardness"]}
        assert list(models) == ["simunek", "chen", "tian", "jiang", "mazhnik"]
        simunek = SimunekHardnessCalculator().calculate_hardness(
            bulk("C", "diamond", a=3.567), rcut=2.0
        )
        assert models["simunek"]["hardness"] == pytest.approx(simunek, rel=1e-12)
        for method in ("chen", "tian"):  # published: 79-102 GPa from measured constants
            expected = calculate_hardness(record["shear_hill"], record["bulk_hill"], method=method)
            assert models[method]["hardness"] == expected and 79 <= expected <= 102

    def test_elastic_report_and_unstable_tensor(self, tmp_path, diamond, capsys):
        outcar, _ = diamond
        assert main(["elastic", "--cij", outcar]) == 0
        out = capsys.readouterr().out
        assert "Born stability:        stable" in out and "Zener anisotropy:      1.210" in out
        unstable = tmp_path / "c.txt"
        unstable.write_text("\n".join(" ".join(map(str, r)) for r in
                                       [[100, 150, 150, 0, 0, 0], [150, 100, 150, 0, 0, 0],
                                        [150, 150, 100, 0, 0, 0], [0, 0, 0, 50, 0, 0],
                                        [0, 0, 0, 0, 50, 0], [0, 0, 0, 0, 0, 50]]))  # fmt: skip
        assert main(["elastic", "--cij", str(unstable), "--json"]) == 0  # a result, not a failure
        record = json.loads(capsys.readouterr().out)
        assert record["stable"] is False
        assert all("unstable tensor" in m.get("flags", ["unstable tensor"])
                   for m in record["hardness"])  # fmt: skip

    def test_outcar_without_block_names_the_file(self, tmp_path, capsys):
        path = tmp_path / "OUTCAR"
        path.write_text(" vasp.6.4.2\n")
        assert main(["hardness", "--cij", str(path)]) == 1
        assert str(path) in capsys.readouterr().err

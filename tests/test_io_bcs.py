"""BCS files: the written layout, Wyckoff labels, reading rules and round trips."""

import inspect
import io
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import spglib
from ase import Atoms
from ase.build import bulk
from ase.spacegroup import Spacegroup, crystal
from ase.spacegroup.spacegroup import SpacegroupNotFoundError
from ase.utils import atoms_to_spglib_cell

from ferrolith.io import bcs
from ferrolith.io.bcs import read_bcs, write_bcs
from ferrolith.io.ext import write as ext_write
from ferrolith.io.vesta import read_vesta

# spglib >= 2.5 warns on every call until its new error handling is switched on.
pytestmark = pytest.mark.filterwarnings("ignore:Set OLD_ERROR_HANDLING:DeprecationWarning")

VESTA = Path(__file__).parent / "data" / "vesta"
FAILED_LINE = "!!!ERROR: Symmetry analysis with spglib failed."
FAILED_MESSAGE = "Symmetry analysis with spglib failed."
SUPERCELL_LINE = "!WARN: The atoms is a supercell"

ROCK_SALT = (Path(__file__).parent / "data" / "bcs" / "rock_salt.bcs").read_text()
ROCK_SALT_HEAD = "".join(ROCK_SALT.splitlines(keepends=True)[:7])


def rock_salt():
    return bulk("NaCl", "rocksalt", a=5.64, cubic=True)


def bcs_text(atoms, **kwargs):
    buffer = io.StringIO()
    write_bcs(buffer, atoms, **kwargs)
    return buffer.getvalue()


def atom_lines(text):
    return text.splitlines()[7:]


def labels(text):
    return [line.split()[2] for line in atom_lines(text)]


def dataset(atoms, symprec=1e-3):
    return spglib.get_symmetry_dataset(atoms_to_spglib_cell(atoms), symprec=symprec)


def sites(atoms):
    """Symbols with fractional positions wrapped into [0, 1), order-free."""
    frac = np.round(atoms.get_scaled_positions(), 4) % 1.0
    return sorted((s, *np.round(p, 4) % 1.0) for s, p in zip(atoms.get_chemical_symbols(), frac))


class TestWrite:
    def test_rock_salt_layout(self, capsys):
        text = bcs_text(rock_salt())
        lines = text.splitlines()
        assert text.startswith(ROCK_SALT_HEAD)
        assert text.endswith("\n") and "\n\n" not in text
        assert [line.split()[:3] for line in lines[7:]] == [["Na", "1", "4a"], ["Cl", "2", "4b"]]
        assert len(lines) == 9
        assert capsys.readouterr().out == ""

    def test_supercell_warns_and_keeps_labels(self, capsys):
        text = bcs_text(rock_salt().repeat((2, 1, 1)))
        assert capsys.readouterr().out == SUPERCELL_LINE + "\n"
        assert text == bcs_text(rock_salt())

    @pytest.mark.parametrize(
        "atoms, expected",
        [
            (bulk("NaCl", "rocksalt", a=5.64), ["4a", "4b"]),  # primitive: 2 atoms of 8
            (bulk("Cu", "fcc", a=3.6), ["4a"]),
            (bulk("Cu", "fcc", a=3.6).repeat((3, 2, 1)), ["4a"]),  # 6 atoms, no multiple of 4
            (bulk("Fe", "bcc", a=2.87), ["2a"]),
        ],
        ids=["NaCl-primitive", "Cu-primitive", "Cu-6-cells", "Fe-primitive"],
    )
    def test_multiplicities_are_those_of_the_conventional_cell(self, atoms, expected, capsys):
        assert labels(bcs_text(atoms)) == expected
        assert SUPERCELL_LINE not in capsys.readouterr().out

    @pytest.mark.parametrize(
        "name, expected",
        [
            ("TiO2_rutile.vesta", ["2a", "4f"]),
            ("ZnO_wurtzite.vesta", ["2b", "2b"]),
            ("Al2O3_corundum.vesta", ["12c", "18e"]),
            ("NaCl_Fm-3m.vesta", ["4a", "4b"]),
        ],
    )
    def test_published_wyckoff_positions(self, name, expected):
        assert labels(bcs_text(read_vesta(VESTA / name))) == expected

    def test_anatase_in_origin_choice_one(self):
        anatase = crystal(
            ["Ti", "O"],
            basis=[[0, 0, 0], [0, 0, 0.208]],
            spacegroup=141,
            cellpar=[3.785, 3.785, 9.514, 90, 90, 90],
        )
        text = bcs_text(anatase)
        assert text.splitlines()[1] == "141"
        assert atom_lines(text) == [
            "Ti 1  4a   0.000000 0.000000 0.000000",
            "O  2  8e   0.000000 0.000000 0.208000",
        ]

    def test_positions_are_those_of_the_standardized_cell(self):
        # A rotated, shifted wurtzite: the file describes spglib's standard cell.
        atoms = read_vesta(VESTA / "ZnO_wurtzite.vesta")
        atoms.rotate(33, "z", rotate_cell=True)
        atoms.translate([0.3, -0.2, 0.1])
        atoms.wrap()
        data = dataset(atoms, symprec=0.01)
        for line in atom_lines(bcs_text(atoms)):
            position = np.array([float(x) for x in line.split()[3:]])
            distances = np.abs(data.std_positions - position)
            assert (np.minimum(distances, 1 - distances).max(axis=1) < 1e-6).any()
        assert text_cellpar(bcs_text(atoms)) == pytest.approx(
            [3.2496, 3.2496, 5.2042, 90, 90, 120], abs=1e-6
        )

    def test_symprec_is_passed_to_spglib(self, monkeypatch):
        seen = []
        original = spglib.get_symmetry_dataset

        def spy(cell, symprec=1e-5, **kwargs):
            seen.append(symprec)
            return original(cell, symprec=symprec, **kwargs)

        monkeypatch.setattr(spglib, "get_symmetry_dataset", spy)
        bcs_text(rock_salt())
        bcs_text(rock_salt(), symprec=1)
        assert seen == [0.01, 1.0]
        assert type(seen[1]) is float

    def test_symprec_decides_the_symmetry_found(self):
        atoms = rock_salt()
        atoms.positions[0] += [0.02, 0.0, 0.0]
        assert bcs_text(atoms, symprec=0.1).splitlines()[1] == "225"
        assert bcs_text(atoms, symprec=1e-4).splitlines()[1] != "225"

    def test_bad_symprec_type(self):
        with pytest.raises(TypeError, match="symprec"):
            bcs_text(rock_salt(), symprec="0.1")

    @pytest.mark.parametrize("symprec", [float("nan"), -1, 0, 0.0, float("inf"), -1e-3])
    def test_symprec_must_be_positive_and_finite(self, symprec):
        # spglib crashes on NaN and negative tolerances and spins on zero.
        with pytest.raises(ValueError, match="symprec must be a positive finite number"):
            bcs_text(rock_salt(), symprec=symprec)

    @pytest.mark.parametrize(
        "where, value, message",
        [
            ("positions", np.nan, "non-finite atomic positions"),
            ("positions", np.inf, "non-finite atomic positions"),
            ("cell", np.nan, "cell of the structure holds non-finite"),
            ("cell", -np.inf, "cell of the structure holds non-finite"),
        ],
    )
    def test_non_finite_structures_are_refused(self, where, value, message, tmp_path):
        atoms = rock_salt()
        array = atoms.positions if where == "positions" else atoms.cell.array
        array[1, 0] = value
        with pytest.raises(ValueError, match=message):
            bcs_text(atoms)
        # The same through the extended writer, which reaches write_bcs after ASE fails.
        with pytest.raises(ValueError, match=message):
            ext_write(str(tmp_path / "x.bcs"), atoms)
        assert not (tmp_path / "x.bcs").exists()

    def test_path_and_path_object(self, tmp_path):
        write_bcs(str(tmp_path / "a.bcs"), rock_salt())
        write_bcs(tmp_path / "b.bcs", rock_salt())
        assert (tmp_path / "a.bcs").read_bytes() == (tmp_path / "b.bcs").read_bytes()
        assert (tmp_path / "a.bcs").read_text().startswith(ROCK_SALT_HEAD)


def text_cellpar(text):
    return [float(x) for x in text.splitlines()[3].split()]


class TestFailedAnalysis:
    def overlapping(self):
        return Atoms("H2", positions=[[0, 0, 0], [0, 0, 0]], cell=[3, 3, 3], pbc=True)

    def test_real_failure_prints_and_raises(self, capsys):
        buffer = io.StringIO()
        with pytest.raises(ValueError, match=re.escape(FAILED_MESSAGE)):
            write_bcs(buffer, self.overlapping())
        assert capsys.readouterr().out == FAILED_LINE + "\n"
        assert buffer.getvalue() == ""

    @pytest.mark.parametrize("how", ["none", "raise"])
    def test_existing_file_is_untouched(self, how, tmp_path, monkeypatch, capsys):
        class SpglibError(Exception):
            pass

        def fail(cell, symprec=1e-5):
            if how == "raise":
                raise SpglibError("no symmetry")

        monkeypatch.setattr(spglib, "get_symmetry_dataset", fail)
        path = tmp_path / "kept.bcs"
        path.write_text("precious\n")
        with pytest.raises(ValueError, match=re.escape(FAILED_MESSAGE)) as info:
            write_bcs(path, rock_salt())
        assert path.read_text() == "precious\n"
        assert capsys.readouterr().out == FAILED_LINE + "\n"
        if how == "raise":
            assert isinstance(info.value.__cause__, SpglibError)
        missing = tmp_path / "never.bcs"
        with pytest.raises(ValueError):
            write_bcs(missing, rock_salt())
        assert not missing.exists()

    def test_interrupt_in_spglib_is_not_a_failed_analysis(self, monkeypatch, capsys):
        def interrupted(cell, symprec=1e-5):
            raise KeyboardInterrupt

        monkeypatch.setattr(spglib, "get_symmetry_dataset", interrupted)
        with pytest.raises(KeyboardInterrupt):
            bcs_text(rock_salt())
        assert capsys.readouterr().out == ""


class TestRead:
    def test_rock_salt(self):
        atoms = read_bcs(io.StringIO(ROCK_SALT))
        assert len(atoms) == 8
        assert atoms.get_chemical_formula() == "Cl4Na4"
        assert atoms.cell.cellpar() == pytest.approx([5.64] * 3 + [90] * 3)
        assert atoms.info["spacegroup"] == Spacegroup(225)
        assert dataset(atoms).number == 225
        assert sites(atoms) == sites(rock_salt())

    def test_comments_and_blank_lines(self):
        noisy = (
            "\n# header\n   225   # Fm-3m, trailing comment\n\n\t\n"
            "  5.64 5.64 5.64 90 90 90#angles\n# count\n2\n"
            "Na 1 4a 0 0 0   # sodium\n\n#\nCl 2 4b 0.5 0.5 0.5\n"
        )
        bare = "225\n5.64 5.64 5.64 90 90 90\n2\nNa 1 4a 0 0 0\nCl 2 4b 0.5 0.5 0.5\n"
        assert read_bcs(io.StringIO(noisy)) == read_bcs(io.StringIO(bare))

    def test_number_and_label_fields_are_ignored_and_extra_lines_too(self):
        text = (
            "225\n5.64 5.64 5.64 90 90 90\n2\n"
            "Na x ?? 0 0 0\nCl 99 4a-b 0.5 0.5 0.5 extra\nK 3 4a 0 0 0\n"
        )
        assert sites(read_bcs(io.StringIO(text))) == sites(rock_salt())

    @pytest.mark.parametrize(
        "text",
        [
            "2_25\n5.64 5.64 5.64 90 90 90\n+2\nNa 1 4a 0 0 0\nCl 2 4b .5 5e-1 0.5_0\n",
            "٢٢٥\n5.64 5.64 5.64 9_0 90 90\n2\nNa 1 4a 0 0 -0\nCl 2 4b 0.5 0.5 0.5\n",
        ],
    )
    def test_numbers_convert_as_python_does(self, text):
        assert sites(read_bcs(io.StringIO(text))) == sites(rock_salt())

    def test_path_and_open_file(self, tmp_path):
        path = tmp_path / "nacl.bcs"
        path.write_text(ROCK_SALT)
        with open(path) as fd:
            assert read_bcs(fd) == read_bcs(path) == read_bcs(str(path))


class TestReadErrors:
    @pytest.mark.parametrize(
        "text, message",
        [
            ("", "BCS file has no data lines: the space-group number is missing."),
            ("# only comments\n\n", "BCS file has no data lines"),
            ("225\n", "BCS file ends after line 1 without the lattice parameters."),
            (
                "225\n5.64 5.64 5.64 90 90 90\n# n\n",
                "BCS file ends after line 2 without the number of atom lines.",
            ),
            (
                "225\n5.64 5.64 5.64 90 90 90\n2\nNa 1 4a 0 0 0\n",  # one atom line short
                "BCS file: line 3 asks for 2 atom lines, but 1 follow.",
            ),
            (
                "225\n5.64 5.64 5.64 90 90 90\n99999999999999999999999\nNa 1 4a 0 0 0\n",
                "line 3 asks for 99999999999999999999999 atom lines, but 1 follow.",
            ),
            (
                "225\n5.64 5.64 5.64 90 90 90\n1\n\nNa 1 4a 0 0\n",  # five fields
                "BCS file: atom line 5 has only 5 of the 6 fields symbol, number, WP, x, y, z.",
            ),
            ("225\n5.64 5.64 5.64 90 90 90\n1\nNa\n", "atom line 4 has only 1 of the 6 fields"),
        ],
    )
    def test_too_few_lines_or_fields_are_named(self, text, message):
        with pytest.raises(ValueError, match=re.escape(message)):
            read_bcs(io.StringIO(text))

    @pytest.mark.parametrize("angles", ["10 10 170", "90 90 0", "120 120 120.5"])
    def test_angles_that_describe_no_cell(self, angles):
        text = f"225\n5.64 5.64 5.64 {angles}\n1\nNa 1 4a 0 0 0\n"
        with pytest.raises(AssertionError), np.errstate(all="ignore"):
            Atoms(cell=[5.64] * 3 + [float(x) for x in angles.split()])  # ASE: no message
        with pytest.raises(ValueError, match=r"BCS lattice parameters \(line 2\): the angles"):
            read_bcs(io.StringIO(text))

    def test_zero_lattice_parameter(self):
        text = "225\n5.64 0 5.64 90 90 90\n1\nNa 1 4a 0 0 0\n"
        with pytest.raises(ValueError, match=r"\(line 2\): a cell vector has zero length"):
            read_bcs(io.StringIO(text))

    def test_cell_too_large_to_represent(self):
        text = "1\n1.7e308 1.7e308 1.7e308 60 60 60\n1\nNa 1 1a 0.9 0.9 0.9\n"
        with pytest.raises(ValueError, match="give non-finite Cartesian positions"):
            read_bcs(io.StringIO(text))

    def test_byte_order_mark(self, tmp_path):
        path = tmp_path / "bom.bcs"
        path.write_bytes(b"\xef\xbb\xbf" + ROCK_SALT.encode())
        assert sites(read_bcs(path)) == sites(read_bcs(io.StringIO(ROCK_SALT)))
        path.write_bytes(b"\xef\xbb\xbf225\n5.64 5.64 5.64 90 90 90\n1\nNa 1 4a 0 0 0\n")
        assert len(read_bcs(path)) == 4

    @pytest.mark.parametrize(
        "text, pattern",
        [
            ("225.0\n5.64 5.64 5.64 90 90 90\n1\nNa 1 4a 0 0 0\n", "invalid literal for int"),
            ("Fm-3m\n5.64 5.64 5.64 90 90 90\n1\nNa 1 4a 0 0 0\n", "invalid literal for int"),
            ("225\n5.64 5.64 a 90 90 90\n1\nNa 1 4a 0 0 0\n", "could not convert"),
            ("225\n5.64 5.64 5.64 90 90 90\n1 2\nNa 1 4a 0 0 0\n", "invalid literal for int"),
            ("225\n5.64 5.64 5.64 90 90 90\n1\nNa 1 4a 0 1.5abc 0\n", "could not convert"),
            ("225\n5.64 5.64 5.64 90 90 90\n1\nNa 1 4a 0 0 x\n", "could not convert"),
            (
                "225\n5.64 5.64 5.64 90 90 nan\n1\nNa 1 4a 0 0 0\n",
                "Non-finite lattice parameter in BCS file: 'nan'",
            ),
            (
                "225\n5.64 5.64 5.64 90 90 90\n1\nNa 1 4a 0 inf 0\n",
                "Non-finite coordinate in BCS file: 'inf'",
            ),
        ],
    )
    def test_bad_numbers(self, text, pattern):
        with pytest.raises(ValueError, match=re.escape(pattern)):
            read_bcs(io.StringIO(text))

    def test_bad_number_before_a_missing_field(self):
        # Fields are converted in order: x fails before z is found missing.
        with pytest.raises(ValueError):
            read_bcs(io.StringIO("225\n5.64 5.64 5.64 90 90 90\n1\nNa 1 4a x 0\n"))

    @pytest.mark.parametrize(
        "text, error",
        [
            ("225\n5.64 5.64 5.64 90 90\n1\nNa 1 4a 0 0 0\n", ValueError),  # five parameters
            ("225\n5.64 5.64 5.64 90 90 90\n1\nXx 1 4a 0 0 0\n", KeyError),
            ("225\n5.64 5.64 5.64 90 90 90\n0\n", ValueError),  # nothing to expand
            ("225\n5.64 5.64 5.64 90 90 90\n-3\nNa 1 4a 0 0 0\n", ValueError),
        ],
    )
    def test_structure_errors_pass_through(self, text, error):
        with pytest.raises(error):
            read_bcs(io.StringIO(text))

    def test_unknown_space_group_is_a_value_error_not_ases(self):
        with pytest.raises(ValueError, match="line 1: the space-group number 231") as info:
            read_bcs(io.StringIO("231\n5.64 5.64 5.64 90 90 90\n1\nNa 1 4a 0 0 0\n"))
        assert not isinstance(info.value, SpacegroupNotFoundError)


def _low_symmetry_structures():
    return {
        "P-1": crystal(
            ["Si", "O", "O"],
            basis=[[0.1, 0.2, 0.3], [0.4, 0.15, 0.8], [0.7, 0.6, 0.05]],
            spacegroup=2,
            cellpar=[5.1, 6.2, 7.3, 80, 95, 101],
        ),
        "P2_1/c": crystal(
            ["Mg", "O"],
            basis=[[0.12, 0.23, 0.34], [0.41, 0.15, 0.27]],
            spacegroup=14,
            cellpar=[5.1, 6.2, 7.3, 90, 101, 90],
        ),
        "Pnma": crystal(
            ["Ca", "Ti", "O", "O"],
            basis=[[0.05, 0.25, 0.99], [0, 0, 0.5], [0.47, 0.25, 0.08], [0.29, 0.04, 0.71]],
            spacegroup=62,
            cellpar=[5.44, 7.64, 5.38, 90, 90, 90],
        ),
        "R-3m": crystal(
            ["Bi", "Te", "Te"],
            basis=[[0, 0, 0.4], [0, 0, 0], [0, 0, 0.21]],
            spacegroup=166,
            cellpar=[4.38, 4.38, 30.5, 90, 90, 120],
        ),
        "hcp": bulk("Mg"),
        "diamond": bulk("C"),
        "zincblende": bulk("GaAs", "zincblende", a=5.65),
        "NaCl-supercell": rock_salt().repeat((1, 2, 2)),
    }


class TestRoundTrip:
    @pytest.mark.parametrize("name", list(_low_symmetry_structures()))
    def test_same_space_group_lattice_and_sites(self, name, capsys):
        atoms = _low_symmetry_structures()[name]
        before = dataset(atoms, symprec=0.01)
        back = read_bcs(io.StringIO(bcs_text(atoms)))
        after = dataset(back, symprec=0.01)
        assert after.number == before.number
        assert len(back) == len(before.std_positions)
        lattice = Atoms(cell=before.std_lattice).cell.cellpar()
        assert back.cell.cellpar()[:3] == pytest.approx(lattice[:3], abs=1e-6)
        assert back.cell.cellpar()[3:] == pytest.approx(lattice[3:], abs=0.005)
        standard = Atoms(
            numbers=before.std_types,
            scaled_positions=before.std_positions,
            cell=before.std_lattice,
            pbc=True,
        )
        assert sites(back) == sites(standard)

    @pytest.mark.parametrize("name", ["NaCl_Fm-3m.vesta", "TiO2_rutile.vesta"])
    def test_files_read_back_to_the_same_text(self, name):
        first = bcs_text(read_vesta(VESTA / name))
        assert bcs_text(read_bcs(io.StringIO(first))) == first


def test_module_imports_and_reads_without_spglib(tmp_path):
    path = tmp_path / "nacl.bcs"
    path.write_text(ROCK_SALT)
    script = (
        "import sys\n"
        "sys.modules['spglib'] = None\n"
        "from ferrolith.io.bcs import read_bcs, write_bcs\n"
        f"print(len(read_bcs({str(path)!r})))\n"
        "from ase.build import bulk\n"
        "try:\n"
        "    write_bcs(sys.stdout, bulk('Cu'))\n"
        "except ImportError:\n"
        "    print('ImportError')\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    )
    assert result.stdout.split() == ["8", "ImportError"]


def test_module_names():
    assert bcs.np is np
    assert bcs.Spacegroup is Spacegroup
    assert bcs.crystal is crystal
    assert str(inspect.signature(write_bcs)) == "(fd, atoms, symprec=0.01)"
    assert write_bcs.__doc__.startswith(
        "Finds the symmetry-inequivalent atoms and writes them to a .bcs file."
    )
    assert read_bcs.__doc__.startswith(
        "Reads a crystal structure from a Bilbao Crystallographic Server .bcs file."
    )


def rock_salt_with(line, text):
    """The rock-salt file with its 1-based `line` replaced by `text`."""
    lines = ROCK_SALT.splitlines()
    lines[line - 1] = text
    return "\n".join(lines) + "\n"


class TestAbsurdNumbers:
    @pytest.mark.parametrize("group", ["0", "231", "2147483648", "-1"])
    def test_space_group_outside_the_230_names_its_line(self, group):
        message = f"BCS file: line 2: the space-group number {group} is not between 1 and 230."
        with pytest.raises(ValueError, match=re.escape(message)):
            read_bcs(io.StringIO(rock_salt_with(2, group)))

    @pytest.mark.parametrize("count", ["0", "-3"])
    def test_no_atom_lines_names_its_line(self, count):
        message = f"BCS file: line 6: the number of atom lines must be positive, not {count}."
        with pytest.raises(ValueError, match=re.escape(message)):
            read_bcs(io.StringIO(rock_salt_with(6, count)))

    @pytest.mark.parametrize("x", ["1e300", "-1e308", "1000000.5"])
    def test_fractional_coordinates_of_absurd_magnitude(self, x):
        # Wrapped into the cell, 1e300 is 0: Cl would fall onto Na and vanish.
        text = rock_salt_with(9, f"Cl 2  4b   {x} 0.500000 0.500000")
        message = f"BCS file: line 9: the fractional coordinate '{x}' is beyond +-1e6"
        with pytest.raises(ValueError, match=re.escape(message)):
            read_bcs(io.StringIO(text))

    def test_large_but_meaningful_coordinates_still_read(self):
        shifted = read_bcs(io.StringIO(rock_salt_with(9, "Cl 2  4b   99999.5 0.5 -7.5")))
        assert shifted.get_chemical_formula() == "Cl4Na4"
        assert spglib.get_symmetry_dataset(atoms_to_spglib_cell(shifted)).number == 225

    @pytest.mark.parametrize(
        "cell, what",
        [
            ("1e200 1e200 1e200 90 90 90", "the cell volume is infinite."),
            ("1e-200 1e-200 1e-200 90 90 90", "the cell volume is zero."),
            ("5 5 5 120 120 120", "the angles describe a flat cell of zero volume."),
        ],
    )
    def test_cells_of_zero_or_infinite_volume(self, cell, what):
        message = f"BCS lattice parameters (line 4): {what}"
        with pytest.raises(ValueError, match=re.escape(message)):
            read_bcs(io.StringIO(rock_salt_with(4, cell)))

    def test_write_refuses_an_atom_whose_position_would_be_lost(self, tmp_path):
        atoms = rock_salt()
        atoms.positions[3, 0] = 1e308
        path = tmp_path / "nacl.bcs"
        path.write_text("old")
        with pytest.raises(ValueError, match=re.escape("Atom 3 lies beyond +-1e6 cell lengths")):
            write_bcs(path, atoms)
        assert path.read_text() == "old"

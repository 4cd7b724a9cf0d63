"""VESTA files: blocks, the structure they describe, and write-back."""

import copy
import io
import pickle
import re
from importlib.metadata import entry_points
from pathlib import Path

import ase.io
import numpy as np
import pytest
import spglib
from ase import Atoms
from ase.build import bulk
from ase.io.formats import ioformats
from ase.spacegroup import crystal
from ase.utils import atoms_to_spglib_cell

from ferrolith.io import vesta
from ferrolith.io.vesta import VestaData, read_vesta, write_vesta

DATA = Path(__file__).parent / "data" / "vesta"
FROM_VESTA = ["hBN.vesta", "CBaMnBr4_sq.vesta", "Cu_primitive_plain.vesta"]
WITH_SPACE_GROUP = [
    "NaCl_Fm-3m.vesta",
    "TiO2_rutile.vesta",
    "ZnO_wurtzite.vesta",
    "Al2O3_corundum.vesta",
]

# spglib >= 2.5 warns on every call until its new error handling is switched on.
pytestmark = pytest.mark.filterwarnings("ignore:Set OLD_ERROR_HANDLING:DeprecationWarning")

NO_CELLP = "CELLP block not found in VESTA file."
NO_STRUC = "STRUC block not found in VESTA file."
NO_DATA = "Atoms object does not contain valid VestaData in its info dictionary."
TWO_PHASES = (
    "VESTA file holds 2 phases; only the first becomes the structure "
    "(all are kept in vesta_data and written back)."
)


def minimal(group=None, cell="5.64 5.64 5.64 90 90 90", sites=("1 Na Na1 1.0 0 0 0 4a",)):
    """A small VESTA text with the three interpreted blocks."""
    text = "#VESTA_FORMAT_VERSION 3.5.4\n\nCRYSTAL\n\n"
    if group is not None:
        text += f"GROUP\n{group}\n"
    text += f"CELLP\n{cell}\n  0 0 0 0 0 0\nSTRUC\n"
    for site in sites:
        text += f"  {site}\n                0.0 0.0 0.0 0.00\n"
    return text + "  0 0 0 0 0 0 0\nTHERI 0\n  0 0 0\n"


def read_text(text):
    return read_vesta(io.StringIO(text))


def spglib_number(atoms):
    return spglib.get_symmetry_dataset(atoms_to_spglib_cell(atoms), symprec=1e-3).number


class TestRealFiles:
    @pytest.mark.parametrize("name", FROM_VESTA + WITH_SPACE_GROUP)
    def test_write_back_is_byte_for_byte(self, name, tmp_path):
        atoms = read_vesta(DATA / name)
        out = tmp_path / name
        write_vesta(out, atoms)
        assert out.read_bytes() == (DATA / name).read_bytes()

    @pytest.mark.parametrize("name", FROM_VESTA)
    def test_open_files_and_paths_read_alike(self, name):
        from_path = read_vesta(str(DATA / name))
        with open(DATA / name) as fd:
            from_file = read_vesta(fd)
        assert from_file == from_path
        buffer = io.StringIO()
        write_vesta(buffer, from_file)
        assert buffer.getvalue() == (DATA / name).read_text()

    def test_hbn(self):
        atoms = read_vesta(DATA / "hBN.vesta")
        assert atoms.get_chemical_symbols() == ["B", "N"]
        assert atoms.cell.cellpar() == pytest.approx([2.510267, 2.510267, 15.0, 90, 90, 120])
        assert atoms.get_scaled_positions() == pytest.approx(
            np.array([[0.333333, 0.666667, 0.5], [0.666667, 0.333333, 0.5]])
        )
        assert atoms.pbc.all()
        # A B-N bond of the honeycomb: a / sqrt(3).
        assert atoms.get_distance(0, 1, mic=True) == pytest.approx(2.510267 / np.sqrt(3), 1e-5)

    def test_molecular_crystal(self):
        atoms = read_vesta(DATA / "CBaMnBr4_sq.vesta")
        assert len(atoms) == 48
        assert atoms.get_chemical_formula() == "C12H24BaBr4MnO6"
        assert atoms.cell.cellpar() == pytest.approx([8.757541] * 3 + [106.80423] * 3)
        assert atoms.get_chemical_symbols()[:3] == ["Ba", "Mn", "H"]

    def test_primitive_copper_is_fcc(self):
        atoms = read_vesta(DATA / "Cu_primitive_plain.vesta")
        assert atoms.get_chemical_symbols() == ["Cu"]
        assert spglib_number(atoms) == 225
        # Primitive fcc cell volume a_conv^3 / 4 with a_conv = sqrt(2) * 2.53.
        assert atoms.get_volume() == pytest.approx((np.sqrt(2) * 2.53) ** 3 / 4, 1e-6)

    def test_blocks_in_order_of_appearance(self):
        data = read_vesta(DATA / "hBN.vesta").info["vesta_data"]
        keys = list(data.raw_blocks)
        assert keys[:5] == ["#VESTA_FORMAT_VERSION", "CRYSTAL", "TITLE", "GROUP", "SYMOP"]
        assert "LIGHT" in keys and not any(k.startswith("LIGHT0") for k in keys)
        assert data.raw_blocks["TITLE"] == ["TITLE\n", '"B1 N1"\n', "\n"]
        assert data.raw_blocks["#VESTA_FORMAT_VERSION"] == [
            "#VESTA_FORMAT_VERSION 3.5.4\n",
            "\n",
            "\n",
        ]
        every_line = [line for lines in data.raw_blocks.values() for line in lines]
        assert "".join(every_line) == (DATA / "hBN.vesta").read_text()

    def test_two_phases_share_their_blocks(self):
        text = (DATA / "two_phase.vesta").read_text()
        with pytest.warns(UserWarning, match=re.escape(TWO_PHASES)):
            atoms = read_vesta(DATA / "two_phase.vesta")
        # The first phase's cell and sites.
        assert atoms.get_chemical_symbols() == ["Cu"]
        assert atoms.cell.cellpar() == pytest.approx([2.53, 2.53, 2.53, 60, 60, 60])
        blocks = atoms.info["vesta_data"].raw_blocks
        assert blocks["TITLE"] == [
            "TITLE\n",
            "New structure\n",
            "\n",
            "TITLE\n",
            "Phase Two\n",
            "\n",
        ]
        assert (
            blocks["CELLP"][4]
            == "  1.000000   1.000000   1.000000  90.000000  90.000000  90.000000\n"
        )
        # Written back, the phases keep their own blocks, as in the file.
        buffer = io.StringIO()
        write_vesta(buffer, atoms)
        assert buffer.getvalue() == text
        # Copies keep the file's order too.
        for clone in (atoms.copy(), pickle.loads(pickle.dumps(atoms))):
            buffer = io.StringIO()
            write_vesta(buffer, clone)
            assert buffer.getvalue() == text

    def test_only_the_first_phase_becomes_the_structure(self):
        # A second phase with a cell, group and sites of its own.
        second = minimal("221 1 P m -3 m", "3 3 3 90 90 90", ["1 Cs Cs1 1.0 0.5 0.5 0.5 1b"])
        text = minimal(sites=["1 Na Na1 1.0 0.1 0.2 0.3 1a"]) + second.split("\n", 2)[2]
        with pytest.warns(UserWarning, match="holds 2 phases"):
            atoms = read_text(text)
        assert atoms.get_chemical_symbols() == ["Na"]
        assert atoms.cell.cellpar() == pytest.approx([5.64, 5.64, 5.64, 90, 90, 90])
        buffer = io.StringIO()
        write_vesta(buffer, atoms)
        assert buffer.getvalue() == text

    @pytest.mark.parametrize(
        "change",
        [
            lambda blocks: blocks["TITLE"].append("More\n"),
            lambda blocks: blocks.pop("SBOND"),
            lambda blocks: blocks.update(NEWBL=["NEWBL\n"]),
            lambda blocks: blocks.update(TITLE=blocks.pop("TITLE")),  # moved to the end
        ],
        ids=["line-added", "block-removed", "block-added", "reordered"],
    )
    def test_changed_blocks_are_written_key_by_key(self, change):
        with pytest.warns(UserWarning):
            atoms = read_vesta(DATA / "two_phase.vesta")
        blocks = atoms.info["vesta_data"].raw_blocks
        change(blocks)
        buffer = io.StringIO()
        write_vesta(buffer, atoms)
        assert buffer.getvalue() == "".join(line for lines in blocks.values() for line in lines)

    def test_a_line_edited_in_place_stays_where_it_was(self):
        with pytest.warns(UserWarning):
            atoms = read_vesta(DATA / "two_phase.vesta")
        atoms.info["vesta_data"].raw_blocks["TITLE"][4] = "Renamed\n"
        buffer = io.StringIO()
        write_vesta(buffer, atoms)
        expected = (DATA / "two_phase.vesta").read_text().replace("Phase Two\n", "Renamed\n")
        assert buffer.getvalue() == expected


class TestSpaceGroups:
    @pytest.mark.parametrize(
        "name, number, n_atoms, formula",
        [
            ("NaCl_Fm-3m.vesta", 225, 8, "Cl4Na4"),
            ("TiO2_rutile.vesta", 136, 6, "O4Ti2"),
            ("ZnO_wurtzite.vesta", 186, 4, "O2Zn2"),
            ("Al2O3_corundum.vesta", 167, 30, "Al12O18"),
        ],
    )
    def test_sites_expand_to_the_conventional_cell(self, name, number, n_atoms, formula):
        atoms = read_vesta(DATA / name)
        assert len(atoms) == n_atoms
        assert atoms.get_chemical_formula() == formula
        assert spglib_number(atoms) == number
        assert isinstance(atoms.info["vesta_data"], VestaData)

    def test_rock_salt_matches_ase(self):
        atoms = read_vesta(DATA / "NaCl_Fm-3m.vesta")
        reference = bulk("NaCl", "rocksalt", a=5.64, cubic=True)
        assert atoms.cell.cellpar() == pytest.approx(reference.cell.cellpar())

        def sites(a):
            return sorted(
                (s, *np.round(p, 6) % 1.0) for s, p in zip(a.symbols, a.get_scaled_positions())
            )

        assert sites(atoms) == sites(reference)

    def test_two_sites_give_what_crystal_gives(self):
        atoms = read_text(
            minimal(
                "225 1 F m -3 m", sites=["1 Na Na1 1.0 0 0 0 4a", "2 Cl Cl1 1.0 0.5 0.5 0.5 4b"]
            )
        )
        expected = crystal(
            ["Na", "Cl"],
            basis=[[0, 0, 0], [0.5, 0.5, 0.5]],
            spacegroup=225,
            cellpar=[5.64, 5.64, 5.64, 90, 90, 90],
        )
        assert atoms.get_chemical_symbols() == expected.get_chemical_symbols()
        assert atoms.positions == pytest.approx(expected.positions)

    def test_setting_field_is_ignored(self):
        first = read_text(minimal("225 1 F m -3 m"))
        second = read_text(minimal("225 2 whatever"))
        assert first.positions == pytest.approx(second.positions)

    @pytest.mark.parametrize("group", [None, "1 1 P 1"])
    def test_group_one_keeps_sites_as_they_are(self, group):
        atoms = read_text(
            minimal(group, sites=["1 Na Na1 1.0 0.1 0.2 0.3 1a", "2 Cl Cl1 1.0 0.6 0.7 0.8 1a"])
        )
        assert atoms.get_chemical_symbols() == ["Na", "Cl"]
        assert atoms.get_scaled_positions() == pytest.approx(
            np.array([[0.1, 0.2, 0.3], [0.6, 0.7, 0.8]])
        )
        assert atoms.pbc.all()
        assert "spacegroup" not in atoms.info


class TestAbsurdNumbers:
    # With a GROUP block, minimal() has it on line 6 and the second site on line 13.
    @pytest.mark.parametrize("group", ["0", "-4 1 P 1", "231 1 P 1", "4294967296"])
    def test_group_outside_the_230_is_refused(self, group):
        number = group.split()[0]
        message = f"GROUP block: line 6: the space-group number {number} is not between 1 and 230."
        with pytest.raises(ValueError, match=re.escape(message)):
            read_text(minimal(group))

    @pytest.mark.parametrize("x", ["1e300", "-1e308", "2e6"])
    def test_fractional_coordinates_of_absurd_magnitude(self, x):
        sites = ["1 Na Na1 1.0 0 0 0 4a", f"2 Cl Cl1 1.0 {x} 0.5 0.5 4b"]
        message = f"STRUC block: line 13: the fractional coordinate '{x}' is beyond +-1e6"
        with pytest.raises(ValueError, match=re.escape(message)):
            read_text(minimal("225 1 F m -3 m", sites=sites))

    def test_large_but_meaningful_coordinates_still_read(self):
        sites = ["1 Na Na1 1.0 0 0 0 4a", "2 Cl Cl1 1.0 99999.5 0.5 -7.5 4b"]
        atoms = read_text(minimal("225 1 F m -3 m", sites=sites))
        assert atoms.get_chemical_formula() == "Cl4Na4" and spglib_number(atoms) == 225

    @pytest.mark.parametrize(
        "cell, what",
        [
            ("1e200 1e200 1e200 90 90 90", "the cell volume is infinite."),
            ("1e-200 1e-200 1e-200 90 90 90", "the cell volume is zero."),
            ("5 5 5 120 120 120", "the angles describe a flat cell of zero volume."),
        ],
    )
    def test_cells_of_zero_or_infinite_volume(self, cell, what):
        with pytest.raises(ValueError, match=re.escape(f"CELLP block (line 6): {what}")):
            read_text(minimal(cell=cell))


class TestBlockRules:
    def test_light_blocks_merge_and_write_back_unchanged(self):
        text = minimal() + "LIGHT0 1\n 1.0\nLIGHT1\n 2.0\nLIGHT2\nLIGHT3\n 4.0\nSECCL 0\n"
        atoms = read_text(text)
        blocks = atoms.info["vesta_data"].raw_blocks
        assert blocks["LIGHT"] == [
            "LIGHT0 1\n",
            " 1.0\n",
            "LIGHT1\n",
            " 2.0\n",
            "LIGHT2\n",
            "LIGHT3\n",
            " 4.0\n",
        ]
        buffer = io.StringIO()
        write_vesta(buffer, atoms)
        assert buffer.getvalue() == text

    def test_a_reappearing_key_is_written_back_in_place(self):
        text = minimal() + "ABCD 1\nx\nEFGH\ny\nABCD 2\nz\n"
        atoms = read_text(text)
        buffer = io.StringIO()
        write_vesta(buffer, atoms)
        assert buffer.getvalue() == text
        # Once the blocks change, its later lines are moved up behind the first ones.
        atoms.info["vesta_data"].raw_blocks["EFGH"].append("w\n")
        buffer = io.StringIO()
        write_vesta(buffer, atoms)
        assert buffer.getvalue() == minimal() + "ABCD 1\nx\nABCD 2\nz\nEFGH\ny\nw\n"

    @pytest.mark.parametrize(
        "line, opens",
        [
            ("TRANM 0\n", "TRANM"),
            ("LTRANSL\n", "LTRANSL"),
            ("ABCD\n", "ABCD"),
            ("ABC\n", None),
            ("  CELLP\n", None),
            ("cellp\n", None),
            ("Cellp\n", None),
            ("ÄBCDE\n", None),
        ],
    )
    def test_keyword_lines(self, line, opens):
        blocks = read_text(minimal() + line + "tail\n").info["vesta_data"].raw_blocks
        if opens:
            assert blocks[opens] == [line, "tail\n"]
        else:
            assert blocks["THERI"][-2:] == [line, "tail\n"]

    def test_file_opening_with_a_keyword_has_an_empty_initial_block(self):
        text = "CELLP\n1 1 1 90 90 90\nSTRUC\n 1 H H1 1.0 0 0 0 1a\n"
        blocks = read_text(text).info["vesta_data"].raw_blocks
        assert list(blocks) == ["#VESTA_FORMAT_VERSION", "CELLP", "STRUC"]
        assert blocks["#VESTA_FORMAT_VERSION"] == []

    def test_cell_line_extra_numbers_and_lines_are_ignored(self):
        atoms = read_text(minimal(cell="3 4 5 90 90 90 7 8\n 9 9 9"))
        assert atoms.cell.cellpar() == pytest.approx([3, 4, 5, 90, 90, 90])

    def test_site_lines_need_eight_fields(self):
        atoms = read_text(
            minimal(
                sites=[
                    "1 Na Na1 1.0 0.1 0.1 0.1 1a",
                    "2 Cl Cl1 1.0 0.5 0.5 0.5",
                    "3 K K1 1.0 0.2 0.2 0.2 1a x y",
                ]
            )
        )
        assert atoms.get_chemical_symbols() == ["Na", "K"]

    @pytest.mark.parametrize(
        "field, value",
        [("1_0.5", 10.5), ("+.5", 0.5), ("5.", 5.0), ("1e1", 10.0), ("٣", 3.0), ("0x", None)],
    )
    def test_numbers_convert_as_python_float(self, field, value):
        text = minimal(cell=f"{field} 5 5 90 90 90")
        if value is None:
            with pytest.raises(
                ValueError, match=re.escape(f"could not convert string to float: '{field}'")
            ):
                read_text(text)
        else:
            assert read_text(text).cell.cellpar()[0] == value

    @pytest.mark.parametrize("group, number", [("2_25 1", 225), ("+225", 225), ("٢٢٥", 225)])
    def test_group_number_converts_as_python_int(self, group, number):
        atoms = read_text(minimal(group))
        assert atoms.info["spacegroup"].no == number

    def test_unicode_whitespace_separates_fields(self):
        atoms = read_text(
            minimal(cell="5\u00a05\u20035 90\x1c90 90", sites=["1\u3000Na Na1 1.0 0 0 0 4a"])
        )
        assert atoms.cell.cellpar() == pytest.approx([5, 5, 5, 90, 90, 90])
        assert atoms.get_chemical_symbols() == ["Na"]

    def test_non_ascii_lines_survive_write_back(self, tmp_path):
        text = minimal().replace("CRYSTAL\n", "CRYSTAL\nTITLE\nÅngström – ü ✓\n")
        path = tmp_path / "u.vesta"
        path.write_text(text, encoding="utf-8")
        out = tmp_path / "out.vesta"
        write_vesta(out, read_vesta(path))
        assert out.read_bytes() == path.read_bytes()

    def test_crlf_file_reads_and_writes_with_line_feeds(self, tmp_path):
        path = tmp_path / "crlf.vesta"
        path.write_bytes(minimal().replace("\n", "\r\n").encode())
        atoms = read_vesta(path)
        assert atoms.get_chemical_symbols() == ["Na"]
        assert atoms.info["vesta_data"].raw_blocks["CELLP"][1] == "5.64 5.64 5.64 90 90 90\n"
        out = tmp_path / "out.vesta"
        write_vesta(out, atoms)
        assert out.read_bytes() == minimal().encode()


class TestVestaData:
    def test_fresh_instance(self):
        data = VestaData()
        assert data.raw_blocks == {}
        assert repr(data) == "VestaData with blocks: []"
        assert VestaData.__bases__ == (object,)
        assert VestaData.__doc__.startswith("Holds the data of a VESTA file")

    def test_repr_lists_keys(self):
        data = VestaData()
        data.raw_blocks["CELLP"] = []
        data.raw_blocks["#VESTA_FORMAT_VERSION"] = []
        assert repr(data) == "VestaData with blocks: ['CELLP', '#VESTA_FORMAT_VERSION']"

    def test_constructor_takes_no_arguments(self):
        with pytest.raises(TypeError):
            VestaData({})

    def test_subclass_and_copies(self):
        class Tagged(VestaData):
            def __init__(self):
                super().__init__()
                self.tag = 1

        assert Tagged().raw_blocks == {} and Tagged().tag == 1
        atoms = read_vesta(DATA / "hBN.vesta")
        for clone in (atoms.copy(), copy.deepcopy(atoms), pickle.loads(pickle.dumps(atoms))):
            data = clone.info["vesta_data"]
            assert type(data) is VestaData
            assert data.raw_blocks == atoms.info["vesta_data"].raw_blocks

    def test_writer_uses_the_stored_lines_not_the_structure(self):
        atoms = read_vesta(DATA / "hBN.vesta")
        atoms.positions += 1.0
        atoms.set_chemical_symbols(["C", "C"])
        buffer = io.StringIO()
        write_vesta(buffer, atoms)
        assert buffer.getvalue() == (DATA / "hBN.vesta").read_text()

    def test_module_class_is_looked_up_at_call_time(self, monkeypatch):
        class Other:
            def __init__(self):
                self.raw_blocks = {"X": ["x\n"]}

        monkeypatch.setattr(vesta, "VestaData", Other)
        buffer = io.StringIO()
        write_vesta(buffer, Atoms("H", info={"vesta_data": Other()}))
        assert buffer.getvalue() == "x\n"


class TestErrors:
    @pytest.mark.parametrize(
        "text, message",
        [
            ("", NO_CELLP),
            ("STRUC\n 1 H H1 1.0 0 0 0 1a\n", NO_CELLP),
            ("GROUP\n1\n", NO_CELLP),
            ("CELLP\n1 1 1 90 90 90\n", NO_STRUC),
            ("cellp\n1 1 1 90 90 90\nSTRUC\n", NO_CELLP),
        ],
    )
    def test_missing_blocks(self, text, message):
        with pytest.raises(ValueError, match=re.escape(message)):
            read_text(text)

    @pytest.mark.parametrize(
        "text, message",
        [
            ("CELLP\nSTRUC\n 1 H H1 1.0 0 0 0 1a\n", "CELLP block (line 1) has no data line."),
            (
                "CELLP\n1 1 1 90 90 90\nSTRUC\n 1 H H1 1.0 0 0 0 1a\nGROUP\n",
                "GROUP block (line 5) has no data line.",
            ),
            (
                "GROUP\n   \nCELLP\n1 1 1 90 90 90\nSTRUC\n 1 H H1 1.0 0 0 0 1a\n",
                "GROUP block: line 2 holds no space-group number.",
            ),
        ],
    )
    def test_missing_data_lines_are_named(self, text, message):
        with pytest.raises(ValueError, match=re.escape(message)):
            read_text(text)

    @pytest.mark.parametrize("group, line", [(None, 6), ("225", 8)])
    @pytest.mark.parametrize(
        "cell", ["5 5 5 10 10 170", "5 5 5 90 90 0", "5 5 5 120 120 120.5", "5 5 5 0 0 0"]
    )
    def test_angles_that_describe_no_cell(self, group, line, cell):
        cellpar = [float(x) for x in cell.split()]
        with pytest.raises(AssertionError), np.errstate(all="ignore"):
            Atoms(cell=cellpar)  # ASE's own verdict, without a message
        message = rf"CELLP block \(line {line}\): the angles alpha, beta and gamma describe no"
        with pytest.raises(ValueError, match=message):
            read_text(minimal(group, cell=cell))

    @pytest.mark.parametrize("cell", ["0 5 5 90 90 90", "5 -0.0 5 60 60 60", "5 5 0 100 80 70"])
    def test_zero_cell_vectors(self, cell):
        cellpar = [float(x) for x in cell.split()]
        with pytest.raises(AssertionError):
            Atoms("H", scaled_positions=[[0, 0, 0]], cell=cellpar)  # ASE: no message
        with pytest.raises(ValueError, match=r"\(line 6\): a cell vector has zero length\."):
            read_text(minimal(cell=cell))

    @pytest.mark.parametrize(
        "angles", [(30, 60, 90), (60, 60, 120), (90, 90, 180), (100, 100, 160), (10, 10, 20)]
    )
    def test_flat_cells_follow_ase_to_the_last_bit(self, angles):
        # On the boundary (alpha + beta = gamma and the like) rounding decides
        # whether ASE's cell construction refuses them; the reader refuses
        # what it refuses in the same words, and the flat cells it builds as
        # cells of zero volume.
        cellpar = [5, 5, 5, *angles]
        try:
            with np.errstate(all="ignore"):
                volume = Atoms(cell=cellpar).cell.volume
        except AssertionError:
            volume = None
        text = minimal(cell=" ".join(map(str, cellpar)))
        expected = "describe no cell" if volume is None else "flat cell of zero volume"
        assert volume is None or volume < 1e-6 * 5**3
        with pytest.raises(ValueError, match=expected):
            read_text(text)

    @pytest.mark.parametrize(
        "cell, site",
        [
            ("1e303 5 5 90 90 90", "1 Na Na1 1.0 1e6 0 0 1a"),
            ("1e308 1e308 1e308 60 60 60", "1 Na Na1 1.0 0.9 0.9 0.9 1a"),
        ],
    )
    def test_positions_too_large_to_represent(self, cell, site):
        with pytest.raises(ValueError, match="give non-finite Cartesian positions"):
            read_text(minimal(cell=cell, sites=[site]))

    def test_byte_order_mark(self, tmp_path):
        text = "CELLP\n1 1 1 90 90 90\nSTRUC\n 1 H H1 1.0 0 0 0 1a\n"
        path = tmp_path / "bom.vesta"
        path.write_bytes(b"\xef\xbb\xbf" + text.encode())
        assert read_vesta(path).get_chemical_symbols() == ["H"]
        path.write_bytes(b"\xef\xbb\xbf" + minimal().encode())
        out = tmp_path / "out.vesta"
        write_vesta(out, read_vesta(path))
        assert out.read_bytes() == path.read_bytes()

    @pytest.mark.parametrize(
        "text",
        [
            minimal(cell="5.64 5.64 a 90 90 90"),
            minimal(cell="5.64 5.64 5.64 90 90 90 extra"),  # converted although unused
            minimal(group="225.0 1"),
            minimal(group="P 1"),
            minimal(sites=["1 Na Na1 1.0 0.0 1.5abc 0.0 4a"]),
        ],
    )
    def test_bad_numbers_raise_value_error(self, text):
        with pytest.raises(ValueError, match=r"could not convert|invalid literal"):
            read_text(text)

    @pytest.mark.parametrize(
        "text, message",
        [
            (minimal(cell="5.64 5.64 nan 90 90 90"), "Non-finite number in the CELLP block: 'nan'"),
            (
                minimal(sites=["1 Na Na1 1.0 0 -Infinity 0 4a"]),
                "Non-finite number in the STRUC block: '-Infinity'",
            ),
            (
                minimal("225", sites=["1 Na Na1 1.0 0 0 1e999 4a"]),
                "Non-finite number in the STRUC block: '1e999'",
            ),
        ],
    )
    def test_non_finite_numbers_are_refused(self, text, message):
        with pytest.raises(ValueError, match=re.escape(message)):
            read_text(text)

    def test_structure_errors_pass_through(self):
        with pytest.raises(KeyError):
            read_text(minimal(sites=["1 Xx Xx1 1.0 0 0 0 1a"]))
        with pytest.raises(ValueError):
            read_text(minimal(sites=[]))  # no sites at all
        with pytest.raises(ValueError):
            read_text(minimal(cell="5 5 5 90"))

    def test_binary_mode_file_is_refused(self):
        with pytest.raises(TypeError, match="expected str lines"):
            read_vesta(io.BytesIO(minimal().encode()))

    @pytest.mark.parametrize("info", [{}, {"vesta_data": None}, {"vesta_data": {"CELLP": []}}])
    def test_write_without_vesta_data(self, info, tmp_path):
        buffer = io.StringIO()
        with pytest.raises(ValueError, match=re.escape(NO_DATA)):
            write_vesta(buffer, Atoms("H", info=info))
        assert buffer.getvalue() == ""

    def test_refused_write_leaves_an_existing_file_alone(self, tmp_path):
        path = tmp_path / "kept.vesta"
        path.write_text("precious\n")
        with pytest.raises(ValueError, match=re.escape(NO_DATA)):
            write_vesta(path, bulk("Cu"))
        assert path.read_text() == "precious\n"
        missing = tmp_path / "never.vesta"
        with pytest.raises(ValueError):
            write_vesta(str(missing), bulk("Cu"))
        assert not missing.exists()


class TestAsePlugin:
    def test_entry_point_is_installed(self):
        points = {p.name: p for p in entry_points(group="ase.ioformats")}
        assert points["vesta"].value == "ferrolith.io.ase_plugin:VESTA_FORMAT"
        assert "bcs" not in points
        assert "bcs" not in ioformats

    def test_ase_reads_vesta_files(self):
        fmt = ioformats["vesta"]
        assert fmt.can_read and not fmt.can_write
        for name in FROM_VESTA + WITH_SPACE_GROUP:
            through_ase = ase.io.read(DATA / name)
            direct = read_vesta(DATA / name)
            assert through_ase == direct
            assert isinstance(through_ase.info["vesta_data"], VestaData)

    def test_upper_case_and_compressed_names(self, tmp_path):
        import gzip

        for name in ("HBN.VESTA", "hBN.Vesta"):
            path = tmp_path / name
            path.write_bytes((DATA / "hBN.vesta").read_bytes())
            assert ase.io.read(path).get_chemical_symbols() == ["B", "N"]
        packed = tmp_path / "hBN.vesta.gz"
        packed.write_bytes(gzip.compress((DATA / "hBN.vesta").read_bytes()))
        assert ase.io.read(packed).get_chemical_symbols() == ["B", "N"]

    def test_ase_does_not_write_vesta(self, tmp_path):
        with pytest.raises(ValueError, match="Can't write to vesta-format"):
            ase.io.write(tmp_path / "x.vesta", read_vesta(DATA / "hBN.vesta"))

"""Bad structure files: truncated, empty, binary and randomly mutated input.

The compiled readers are compared with plain-Python readers written from the
format rules with Python's own re, str.split, float and int: on every input
both must raise the same exception or build the same structure. Whatever the
input, the outcome is an ordinary exception, never a crash or a hang.
"""

import io
import math
import random
import re
from pathlib import Path

import numpy as np
import pytest
from ase import Atoms
from ase.geometry.cell import cellpar_to_cell
from ase.spacegroup import Spacegroup, crystal
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ferrolith.io.bcs import read_bcs
from ferrolith.io.vesta import read_vesta

# Degenerate cells from mutated numbers make ASE's cell code warn.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

DATA = Path(__file__).parent / "data"
VESTA = DATA / "vesta"

# Space group 2: ASE expands it quickly, unlike the cubic groups.
SMALL_VESTA = (
    "#VESTA_FORMAT_VERSION 3.5.4\n\nCRYSTAL\n\nTITLE\nNaCl\n\nGROUP\n2 1 P -1\n"
    "CELLP\n  5.640000   5.640000   5.640000  90.000000  90.000000  90.000000\n"
    "  0.000000   0.000000   0.000000   0.000000   0.000000   0.000000\n"
    "STRUC\n  1 Na        Na1  1.0000   0.000000   0.000000   0.000000    4a       m-3m\n"
    "                            0.000000   0.000000   0.000000  0.00\n"
    "  2 Cl        Cl1  1.0000   0.500000   0.500000   0.500000    4b       m-3m\n"
    "                            0.000000   0.000000   0.000000  0.00\n"
    "  0 0 0 0 0 0 0\nTHERI 0\n  1        Na1  0.000000\n  0 0 0\nLIGHT0 1\n 1.0\nLIGHT1\n"
)
ROCK_SALT_BCS = (DATA / "bcs" / "rock_salt.bcs").read_text()
TRICLINIC_BCS = (
    "# Space Group ITA number\n2\n# Lattice parameters\n"
    "5.100000 6.200000 7.300000 80.00 95.00 101.00\n# n\n3\n# atoms\n"
    "Si 1  2i   0.100000 0.800000 0.700000\nO  2  2i   0.400000 0.850000 0.200000\n"
    "O  3  2i   0.700000 0.400000 0.950000\n"
)


# ---------------------------------------------------------------------------
# Plain-Python readers, straight from the format rules
# ---------------------------------------------------------------------------


def finite(text, message):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"{message} {text!r}")
    return value


def fractional(text, message, where):
    value = finite(text, message)
    if abs(value) > 1e6:  # wrapped into the cell, no digit of its fraction is left
        raise ValueError(
            f"{where}: the fractional coordinate {text!r} is beyond +-1e6, "
            "which places no atom in the cell."
        )
    return value


def check_space_group(number, where):
    if not 1 <= number <= 230:
        raise ValueError(f"{where}: the space-group number {number} is not between 1 and 230.")


def check_cell(cellpar, where):
    """ASE's cell construction is the judge of which lattice parameters describe a cell;
    a cell it builds must span a volume (not flat, not underflowing)."""
    if len(cellpar) in (1, 3, 6):
        try:
            with np.errstate(all="ignore"):
                cell = cellpar_to_cell(cellpar)
                unit = cellpar_to_cell([1, 1, 1, *cellpar[3:]])
        except AssertionError as error:
            message = f"{where}: the angles alpha, beta and gamma describe no cell."
            raise ValueError(message) from error
        if not cell.any(1).all():
            raise ValueError(f"{where}: a cell vector has zero length.")
        relative = abs(np.linalg.det(unit))
        if not relative >= 1e-6:
            raise ValueError(f"{where}: the angles describe a flat cell of zero volume.")
        lengths = [cellpar[0]] * 3 if len(cellpar) == 1 else cellpar[:3]
        if not math.prod(abs(x) for x in lengths) * relative >= 1e-30:
            raise ValueError(f"{where}: the cell volume is zero.")


def check_finite_volume(atoms, where):
    with np.errstate(all="ignore"):
        if not np.isfinite(np.linalg.det(atoms.cell.array)):
            raise ValueError(f"{where}: the cell volume is infinite.")


def finite_structure(build, message):
    with np.errstate(all="ignore"):
        atoms = build()
    if not (np.isfinite(atoms.cell.array).all() and np.isfinite(atoms.positions).all()):
        raise ValueError(message)
    return atoms


def python_read_vesta(text):
    lines = io.StringIO(text).readlines()
    blocks = {"#VESTA_FORMAT_VERSION": []}
    where = {}
    key = "#VESTA_FORMAT_VERSION"
    phases = []
    for i, line in enumerate(lines):
        match = re.match(r"^[A-Z]{4,}", line.removeprefix("\ufeff") if i == 0 else line)
        if match:
            key = match.group(0).strip()
            blocks.setdefault(key, [])
            if key == "CRYSTAL":
                phases.append(i)
        blocks[key].append(line)
        where.setdefault(key, []).append(i)
    # Only the first phase describes the structure.
    end = phases[1] if len(phases) > 1 else len(lines)

    def first_phase(key):
        return [i for i in where.get(key, []) if i < end]

    def data_line(key, indices):
        if len(indices) < 2:
            raise ValueError(f"{key} block (line {indices[0] + 1}) has no data line.")
        return lines[indices[1]]

    cellp = first_phase("CELLP")
    if not cellp:
        raise ValueError("CELLP block not found in VESTA file.")
    fields = data_line("CELLP", cellp).split()
    numbers = [float(x) for x in fields]
    cell = [finite(x, "Non-finite number in the CELLP block:") for x in fields[:6]]
    assert numbers[:6] == cell
    struc = first_phase("STRUC")
    if not struc:
        raise ValueError("STRUC block not found in VESTA file.")
    group = first_phase("GROUP")
    if group:
        group_fields = data_line("GROUP", group).split()
        if not group_fields:
            raise ValueError(f"GROUP block: line {group[1] + 1} holds no space-group number.")
        number = int(group_fields[0])
        check_space_group(number, f"GROUP block: line {group[1] + 1}")
    else:
        number = 1
    symbols, positions = [], []
    for i in struc[1:]:
        f = lines[i].split()
        if len(f) >= 8:
            symbols.append(f[1])
            where_site = f"STRUC block: line {i + 1}"
            message = "Non-finite number in the STRUC block:"
            positions.append([fractional(x, message, where_site) for x in f[4:7]])
    check_cell(cell, f"CELLP block (line {cellp[1] + 1})")

    def build():
        if number > 1:
            return crystal(symbols, basis=positions, spacegroup=number, cell=cell)
        return Atoms(symbols=symbols, scaled_positions=positions, cell=cell, pbc=True)

    atoms = finite_structure(
        build,
        "The CELLP and STRUC blocks give non-finite Cartesian positions: "
        "a cell length or coordinate is too large.",
    )
    check_finite_volume(atoms, f"CELLP block (line {cellp[1] + 1})")
    return atoms, blocks


def python_read_bcs(text):
    data = []
    for i, line in enumerate(io.StringIO(text).readlines()):
        line = (line.removeprefix("\ufeff") if i == 0 else line).split("#")[0].strip()
        if line:
            data.append((line, i + 1))

    def header(k):
        if k < len(data):
            return data[k]
        if not data:
            raise ValueError("BCS file has no data lines: the space-group number is missing.")
        what = ["space-group number", "lattice parameters", "number of atom lines"][k]
        raise ValueError(f"BCS file ends after line {data[-1][1]} without the {what}.")

    number_text, number_line = header(0)
    number = int(number_text)
    check_space_group(number, f"BCS file: line {number_line}")
    cell_text, cell_line = header(1)
    cellpar = [finite(x, "Non-finite lattice parameter in BCS file:") for x in cell_text.split()]
    count_text, count_line = header(2)
    if int(count_text) <= 0:
        raise ValueError(
            f"BCS file: line {count_line}: the number of atom lines must be positive, "
            f"not {int(count_text)}."
        )
    count = int(count_text)
    if count > len(data) - 3:
        raise ValueError(
            f"BCS file: line {count_line} asks for {count_text} atom lines, "
            f"but {len(data) - 3} follow."
        )
    atom_fields = []
    for text_line, line in data[3 : 3 + count]:
        f = text_line.split()
        if len(f) < 6:
            raise ValueError(
                f"BCS file: atom line {line} has only {len(f)} of the 6 fields "
                "symbol, number, WP, x, y, z."
            )
        atom_fields.append(f)
    symbols = [f[0] for f in atom_fields]
    positions = [
        [
            fractional(f[k], "Non-finite coordinate in BCS file:", f"BCS file: line {line}")
            for k in (3, 4, 5)
        ]
        for f, (_, line) in zip(atom_fields, data[3 : 3 + count])
    ]
    check_cell(cellpar, f"BCS lattice parameters (line {cell_line})")
    atoms = finite_structure(
        lambda: crystal(symbols=symbols, basis=positions, cellpar=cellpar, spacegroup=number),
        "The lattice parameters and atom lines of the BCS file give non-finite Cartesian "
        "positions: a cell length is too large.",
    )
    check_finite_volume(atoms, f"BCS lattice parameters (line {cell_line})")
    atoms.info["spacegroup"] = Spacegroup(number)
    return atoms


def outcome(function, *args):
    try:
        return function(*args), None
    except Exception as error:  # every kind is compared between the readers
        return None, error


def same_structure(a, b):
    return (
        a.get_chemical_symbols() == b.get_chemical_symbols()
        and np.array_equal(a.cell.array, b.cell.array)
        and np.array_equal(a.positions, b.positions)
        and a.pbc.tolist() == b.pbc.tolist()
    )


def compare(reader, reference, text):
    """Both readers' results, or (None, None) when both raised alike."""
    ours, our_error = outcome(reader, io.StringIO(text))
    theirs, their_error = outcome(reference, text)
    if our_error is not None or their_error is not None:
        assert type(our_error) is type(their_error), (our_error, their_error)
        assert str(our_error) == str(their_error)
        return None, None
    return ours, theirs


def check_vesta(text):
    ours, theirs = compare(read_vesta, python_read_vesta, text)
    if ours is not None:
        atoms, blocks = theirs
        assert same_structure(ours, atoms)
        assert ours.info["vesta_data"].raw_blocks == blocks
    return ours


def check_bcs(text):
    ours, theirs = compare(read_bcs, python_read_bcs, text)
    if ours is not None:
        assert same_structure(ours, theirs)
        assert ours.info["spacegroup"] == theirs.info["spacegroup"]
    return ours


# ---------------------------------------------------------------------------
# Truncated, empty and binary files
# ---------------------------------------------------------------------------


class TestTruncated:
    @pytest.mark.parametrize("name", ["hBN.vesta", "NaCl_Fm-3m.vesta"])
    def test_vesta_cut_anywhere(self, name):
        text = (VESTA / name).read_text()
        full = read_vesta(VESTA / name)
        # Every cut from the cell to the end of the sites (every 13th for
        # space group 225, whose expansion is slow in ASE), a sample elsewhere.
        start, end = text.index("CELLP") - 3, text.index("THERI") + 1
        step = 1 if name == "hBN.vesta" else 13
        after = np.linspace(end, len(text), 12).astype(int).tolist()
        offsets = sorted(set(range(0, start, 47)) | set(range(start, end, step)) | set(after))
        for cut in offsets:
            atoms = check_vesta(text[:cut])
            if atoms is None:
                continue
            # A cut never yields a misread site: the sites read are the
            # complete site lines before the cut.
            n = len(atoms)
            assert atoms.get_chemical_symbols() == full.get_chemical_symbols()[:n]
            assert np.allclose(atoms.positions, full.positions[:n])
            assert cut > text.index("STRUC")

    def test_bcs_cut_anywhere(self):
        for cut in range(len(ROCK_SALT_BCS) + 1):
            check_bcs(ROCK_SALT_BCS[:cut])

    def test_bcs_cut_before_the_last_atom_line_is_refused(self):
        last_line = ROCK_SALT_BCS.index("Cl 2")
        for cut in range(last_line + 1):
            with pytest.raises((IndexError, ValueError)):
                read_bcs(io.StringIO(ROCK_SALT_BCS[:cut]))


class TestEmptyAndBinary:
    def test_empty_files(self, tmp_path):
        path = tmp_path / "empty"
        path.write_bytes(b"")
        with pytest.raises(ValueError, match=re.escape("CELLP block not found in VESTA file.")):
            read_vesta(path)
        with pytest.raises(ValueError, match="BCS file has no data lines"):
            read_bcs(path)

    @pytest.mark.parametrize(
        "head",
        [
            b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR",
            b"\x1f\x8b\x08\x00\x00\x00\x00\x00",
            b"\x7fELF\x02\x01\x01\x00",
            b"\x00" * 64,
            b"\xff\xfe" + "CELLP\n".encode("utf-16-le"),
        ],
    )
    def test_binary_headers(self, head, tmp_path):
        path = tmp_path / "binary"
        path.write_bytes(head + bytes(range(256)))
        for reader in (read_vesta, read_bcs):
            with pytest.raises((ValueError, IndexError)):
                reader(path)

    def test_random_bytes(self, tmp_path):
        rng = random.Random(20240601)
        path = tmp_path / "noise"
        for _ in range(60):
            path.write_bytes(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 600))))
            for reader in (read_vesta, read_bcs):
                with pytest.raises((ValueError, IndexError)):
                    reader(path)

    def test_random_text_agrees_with_python(self):
        rng = random.Random(7)
        alphabet = "CELLPSTRUCGROUP 0123456789.-e\n\t#_NaCl"
        for _ in range(200):
            text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 200)))
            check_vesta(text)
            check_bcs(text)

    def test_undecodable_bytes_in_other_blocks_survive(self, tmp_path):
        # A file opened with errors="surrogateescape" keeps its stray bytes.
        raw = SMALL_VESTA.encode().replace(b"NaCl\n", b"Na\xffCl \xe9t\xe9\n")
        path = tmp_path / "latin.vesta"
        path.write_bytes(raw)
        with open(path, errors="surrogateescape") as fd:
            atoms = read_vesta(fd)
        assert len(atoms) == 2
        out = tmp_path / "out.vesta"
        from ferrolith.io.vesta import write_vesta

        with open(out, "w", errors="surrogateescape") as fd:
            write_vesta(fd, atoms)
        assert out.read_bytes() == raw

    def test_undecodable_byte_in_a_number(self, tmp_path):
        path = tmp_path / "bad.vesta"
        path.write_bytes(SMALL_VESTA.encode().replace(b"5.640000", b"5.64\xff", 1))
        with open(path, errors="surrogateescape") as fd, pytest.raises(ValueError):
            read_vesta(fd)


# ---------------------------------------------------------------------------
# Randomly mutated files
# ---------------------------------------------------------------------------

PIECES = st.sampled_from(
    [
        *"0123456789.-+eE_ #\n\t\rxX",
        "\xa0",
        "\u2028",
        "\u3000",
        "\x1c",
        "\x00",
        "\x85",
        "٣",
        "nan",
        "inf",
        "CELLP\n",
        "STRUC\n",
        "GROUP\n",
        "ABCD",
        "LIGHT2",
        "Na",
        "Xx",
        "H",
        "1_0",
        "230",
        "-1",
        "  0 0 0 0 0 0 0\n",
    ]
)
EDITS = st.lists(
    st.tuples(
        st.sampled_from(["insert", "delete", "replace"]),
        st.floats(0, 1),
        st.lists(PIECES, min_size=1, max_size=3),
    ),
    min_size=1,
    max_size=6,
)


def mutate(text, edits):
    for kind, where, pieces in edits:
        at = int(where * len(text))
        piece = "".join(pieces)
        if kind == "insert":
            text = text[:at] + piece + text[at:]
        elif kind == "delete":
            text = text[:at] + text[at + len(piece) :]
        else:
            text = text[:at] + piece + text[at + len(piece) :]
    return text


FUZZ = settings(
    max_examples=100, deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow]
)


class TestMutated:
    @FUZZ
    @given(EDITS)
    def test_vesta(self, edits):
        check_vesta(mutate(SMALL_VESTA, edits))

    @FUZZ
    @given(EDITS)
    def test_bcs(self, edits):
        check_bcs(mutate(TRICLINIC_BCS, edits))

    @FUZZ
    @given(st.text(max_size=300))
    def test_any_text(self, text):
        check_vesta(text)
        check_bcs(text)

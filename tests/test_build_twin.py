"""The coherent twin builder: acceptance on real crystals and its fixed rules."""

import json
import re
import warnings
from collections import Counter
from pathlib import Path

import numpy as np
import pytest
import spglib
from ase import Atoms
from ase.build import bulk
from ase.geometry import find_mic, get_distances
from ase.neighborlist import neighbor_list
from ase.utils import atoms_to_spglib_cell

from ferrolith.build import twin
from ferrolith.build.twin import CoherentTwinBoundary
from ferrolith.cli import main as cli_main
from ferrolith.core import average_atoms, compute_d_hkl, get_layers
from ferrolith.data import files
from ferrolith.optimization import get_calculator, optimize_structure

NO_MIRROR = "Failed to find any valid mirror plane by reflection."
ONLY_Z = "Only support z direction, where 'direction=2'"
DIAMONDS = [("C", 3.567), ("Si", 5.431), ("Ge", 5.658)]


def diamond(symbol="C", a=3.567):
    return bulk(symbol, "diamond", a=a, cubic=True)


def layered_slab(zs, symbols=None, xy=(0.0, 0.0)):
    """One atom per layer at the given heights in a 3 x 3 in-plane cell."""
    symbols = symbols or ["Cu"] * len(zs)
    positions = [(xy[0], xy[1], z) for z in zs]
    return Atoms(symbols, positions=positions, cell=[3.0, 3.0, 40.0], pbc=(True, True, False))


def space_group(atoms):
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "Set OLD_ERROR_HANDLING", DeprecationWarning)
        return spglib.get_spacegroup(atoms_to_spglib_cell(atoms), symprec=1e-3)


@pytest.fixture
def builder():
    """A builder on a cubic cell with a = 2, so d(001) = 2."""
    return CoherentTwinBoundary(Atoms("Cu", cell=[2.0, 2.0, 2.0], pbc=True), plane=(0, 0, 1))


class TestAcceptance:
    @pytest.mark.parametrize("symbol, a", DIAMONDS)
    @pytest.mark.parametrize("layers", [[3], [5, 3]])
    def test_diamond_111_twins_keep_bulk_bonding(self, symbol, a, layers):
        crystal = diamond(symbol, a)
        result = CoherentTwinBoundary(crystal, (1, 1, 1), layers=list(layers)).create()
        bond = a * 3**0.5 / 4
        assert result.pbc.all()
        centres = neighbor_list("i", result, 1.15 * bond)
        assert np.bincount(centres, minlength=len(result)).tolist() == [4] * len(result)
        assert len(neighbor_list("d", result, 0.9 * bond)) == 0
        spacings = result.cell.cellpar()[2] / compute_d_hkl(crystal, (1, 1, 1))
        assert spacings == pytest.approx(2 * sum(layers), abs=1e-9)
        # A twin, not the bulk again: the cubic symmetry is gone.
        assert space_group(result) != space_group(crystal)

    @pytest.mark.parametrize(
        "crystal",
        [bulk("Cu", "fcc", a=3.615, cubic=True), bulk("ZnS", "zincblende", a=5.41, cubic=True)],
        ids=["fcc", "zincblende"],
    )
    def test_no_mirror_plane_in_abc_stacking(self, crystal):
        tb = CoherentTwinBoundary(crystal, (1, 1, 1))
        previous = tb.grains = [crystal]
        with pytest.raises(ValueError, match=re.escape(NO_MIRROR)):
            tb.create()
        assert tb.grains is previous and tb.grains == [crystal]

    def test_gap_zero_merges_across_the_periodic_face(self, monkeypatch):
        # fcc (100): the last grain's top layer meets the first grain's bottom
        # layer through the periodic boundary and must merge with it.
        crystal = bulk("Cu", "fcc", a=3.615, cubic=True)
        nn = 3.615 / 2**0.5
        result = CoherentTwinBoundary(crystal, (1, 0, 0)).create()
        assert len(result) == 24 and len(neighbor_list("d", result, 0.9 * nn)) == 0

        def merge_ignoring_periodicity(atoms, cutoff):
            flat = atoms.copy()
            flat.pbc = False
            merged = average_atoms(flat, cutoff)
            merged.pbc = True
            return merged

        monkeypatch.setattr(twin, "average_atoms", merge_ignoring_periodicity)
        unmerged = CoherentTwinBoundary(crystal, (1, 0, 0)).create()
        assert len(neighbor_list("d", unmerged, 0.9 * nn)) > 0

    def test_primitive_reduction_stays_periodic(self):
        tb = CoherentTwinBoundary(diamond(), (1, 1, 1), symprec=1e-3)
        result = tb.create()
        assert result.pbc.tolist() == [True, True, True]
        assert len(result) == 12  # a quarter of the 48-atom stacked cell
        assert space_group(result) == space_group(CoherentTwinBoundary(diamond()).create())


class TestConstructor:
    def test_layers_sorted_in_place_and_floats_stored(self):
        layers = [2, 5, 3]
        tb = CoherentTwinBoundary(diamond(), layers=layers, tol_surface=1, gap=2)
        assert tb.layers is layers and layers == [5, 3, 2]
        assert type(tb.tol_surface) is float and type(tb.gap) is float
        assert tb.grains == [] and tb.grain_boundary is None

    def test_default_lists_are_not_shared(self):
        first = CoherentTwinBoundary(diamond())
        first.layers.append(9)
        first.delete_layers.append(1)
        second = CoherentTwinBoundary(diamond())
        assert second.layers == [3] and second.delete_layers == []

    class ListSub(list):
        pass

    class TupleSub(tuple):
        pass

    @pytest.mark.parametrize(
        "kwargs",
        [
            {"plane": [1, 1, 1]},
            {"plane": TupleSub((1, 1, 1))},
            {"layers": (3,)},
            {"layers": ListSub([3])},
            {"delete_layers": ()},
            {"direction": 2.0},
            {"direction": True},
            {"tol_layer": "0.1"},
            {"vacuum": None},
        ],
    )
    def test_wrong_types(self, kwargs, monkeypatch):
        monkeypatch.setattr(twin, "read", pytest.fail)  # nothing is read before the checks
        with pytest.raises(TypeError):
            CoherentTwinBoundary("bulk.cif", **kwargs)

    def test_bulk_path_is_read_before_the_axis_test(self, monkeypatch):
        calls = []
        monkeypatch.setattr(twin, "read", lambda path: calls.append(path) or diamond())
        with pytest.raises(ValueError, match=re.escape(ONLY_Z)):
            CoherentTwinBoundary("bulk.cif", direction=1)
        assert calls == ["bulk.cif"]
        assert len(CoherentTwinBoundary("bulk.cif").bulk) == 8

    def test_missing_bulk_file(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            CoherentTwinBoundary(str(tmp_path / "missing.cif"), direction=1)

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"plane": (0, 0, 0)}, "at least one Miller index"),
            ({"plane": (1, 1)}, "three Miller indices"),
            ({"layers": []}, "at least one grain"),
            ({"layers": [3, 0]}, "positive grain thicknesses"),
            ({"layers": [-2]}, "positive grain thicknesses"),
            ({"tol_layer": 0}, "tol_layer must be a positive number"),
            ({"tol_layer": -0.1}, "tol_layer must be a positive number"),
            ({"tol_surface": 0.0}, "tol_surface must be a positive number"),
            ({"vacuum": -1.0}, "vacuum must be zero or positive"),
            ({"bulk": Atoms("Cu")}, "no unit cell"),
            ({"bulk": Atoms(cell=[3, 3, 3])}, "no atoms"),
        ],
    )
    def test_bad_values(self, kwargs, message):
        kwargs.setdefault("bulk", diamond())
        with pytest.raises(ValueError, match=message):
            CoherentTwinBoundary(**kwargs)


class TestFindMirrorPlane:
    @pytest.mark.parametrize("n, expected", [(1, (None, 0.0)), (2, (None, 0)), (3, (None, 0))])
    def test_too_few_layers(self, builder, n, expected):
        result = builder.find_mirror_plane(layered_slab(range(n)), 2, tol=0.1)
        assert result == expected and type(result[1]) is type(expected[1])

    def test_plane_through_a_layer_beats_one_between(self, builder):
        # Identical, evenly spaced layers: every candidate is a mirror plane.
        assert builder.find_mirror_plane(layered_slab([0, 2, 4, 6, 8, 10]), 2, tol=0.1) == (4, 0.0)

    def test_the_highest_of_two_planes_wins(self, builder):
        # Layers 3, 5, 7 are copper, the rest distinct: mirrors through 4 and 6.
        symbols = ["H", "He", "Li", "Cu", "Be", "Cu", "B", "Cu"]
        slab = layered_slab([0, 2, 4, 6, 8, 10, 12, 14], symbols)
        assert builder.find_mirror_plane(slab, 2, tol=0.1) == (6, 0.0)

    def test_plane_between_two_layers(self, builder):
        symbols = ["H", "He", "Li", "Be", "B", "Cu", "Cu", "N"]
        slab = layered_slab([0, 2, 4, 6, 8, 10.0, 12.2, 14], symbols)
        index, gap = builder.find_mirror_plane(slab, 2, tol=0.1)
        assert index == 5 and gap == pytest.approx(2.2, abs=1e-12)

    def test_candidates_and_the_layers_compared(self, builder, monkeypatch):
        calls = []

        def record(plane, direction, tol, lower, upper):
            calls.append((plane, lower.positions[0, 2], upper.positions[0, 2]))
            return False

        monkeypatch.setattr(twin, "check_reflection_symmetry", record)
        result = builder.find_mirror_plane(layered_slab([0, 2, 4, 6, 8, 10]), 2, tol=0.1)
        assert result == (None, 0)
        assert calls == [(8, 6, 10), (6, 4, 8), (4, 2, 6), (9, 8, 10), (7, 6, 8), (5, 4, 6)]

    @pytest.mark.parametrize("plane", [(1, 1, 1), (1, 1, 0), (1, 0, 0), (2, 1, 1)])
    @pytest.mark.parametrize("name", ["C", "Cu", "NaCl", "ZnS"])
    def test_same_result_through_the_python_function(self, name, plane, monkeypatch):
        # The builder evaluates ferrolith.core's test without per-layer Atoms;
        # a replaced function gets Atoms. Both must agree.
        crystal = {
            "C": diamond(),
            "Cu": bulk("Cu", "fcc", a=3.615, cubic=True),
            "NaCl": bulk("NaCl", "rocksalt", a=5.64, cubic=True),
            "ZnS": bulk("ZnS", "zincblende", a=5.41, cubic=True),
        }[name]
        tb = CoherentTwinBoundary(crystal, plane)
        slab = twin.surface(crystal, plane, 6, vacuum=10.0, tol=0.02)
        direct = tb.find_mirror_plane(slab, 2, tol=0.1)
        real = twin.check_reflection_symmetry
        monkeypatch.setattr(twin, "check_reflection_symmetry", lambda *args: real(*args))
        assert tb.find_mirror_plane(slab, 2, tol=0.1) == direct

    def test_direction_must_be_an_int(self, builder):
        with pytest.raises(TypeError):
            builder.find_mirror_plane(layered_slab([0, 1]), 2.0)


class TestMirrorGrain:
    def test_reflects_a_copy(self, builder):
        grain = layered_slab([1.0, 5.0, 13.0], ["H", "He", "Li"], xy=(0.5, 1.0))
        before = grain.copy()
        mirrored = builder.mirror_grain(grain)
        assert grain == before
        assert mirrored.get_chemical_symbols() == ["H", "He", "Li"]
        assert np.array_equal(mirrored.cell, grain.cell)
        s = grain.get_scaled_positions()
        assert np.allclose(mirrored.get_scaled_positions()[:, 2], np.mod(1 - s[:, 2], 1))
        assert np.allclose(mirrored.positions[:, :2], grain.positions[:, :2])


class TestGuessDeleteLayers:
    SLAB = staticmethod(lambda: layered_slab(range(10)))

    def test_layers_above_the_mirror_then_below_the_threshold(self, builder):
        # threshold = 7 - 2 * 2 + 0 - 0.05 = 2.95
        assert builder._guess_delete_layers(self.SLAB(), 2, index=7) == [8, 9, 0, 1, 2]
        builder.gap = 1.0  # lifts the threshold to 3.45
        assert builder._guess_delete_layers(self.SLAB(), 2, index=7) == [8, 9, 0, 1, 2, 3]

    def test_searches_the_plane_when_no_index_is_given(self, builder):
        # The search finds the plane through layer 8; threshold 8 - 4 - 0.05.
        assert builder._guess_delete_layers(self.SLAB(), 2) == [9, 0, 1, 2, 3]

    def test_explicit_list_is_returned_unchanged(self, builder):
        builder.delete_layers = [-1]
        assert builder._guess_delete_layers(self.SLAB(), 2, index=7) is builder.delete_layers

    @pytest.mark.parametrize("index", [None, 0])
    def test_no_mirror_raises(self, builder, index):
        slab = layered_slab(range(6), ["H", "He", "Li", "Be", "B", "C"])
        with pytest.raises(ValueError, match=re.escape(NO_MIRROR)):
            builder._guess_delete_layers(slab, 1, index=index)

    @pytest.mark.parametrize("configured, expected", [(0.0, 2.2), (1.5, 1.5)])
    def test_gap_taken_from_the_search_only_when_zero(self, builder, configured, expected):
        builder.gap = configured
        symbols = ["H", "He", "Li", "Be", "B", "Cu", "Cu", "N"]
        builder._guess_delete_layers(layered_slab([0, 2, 4, 6, 8, 10.0, 12.2, 14], symbols), 1)
        assert builder.gap == pytest.approx(expected)


class TestGrains:
    def layer_count(self, atoms):
        return len(get_layers(atoms.positions, direction=2, tol=0.1))

    def test_grain_order_and_trimming(self):
        tb = CoherentTwinBoundary(diamond(), (1, 1, 1), layers=[3, 5])
        grains = tb.generate_grains()
        assert grains is tb.grains and [len(g) for g in grains] == [40, 24, 24, 40]

        def same(a, b):
            return np.allclose(a.positions, b.positions)

        assert same(grains[2], tb.mirror_grain(grains[1]))
        assert same(grains[3], tb.mirror_grain(grains[0]))
        # Grain 1 is the mirror of grain 0 without its top 4 layers (2 per d(111)).
        flipped = tb.mirror_grain(grains[0])
        layers = get_layers(flipped.positions, direction=2, tol=0.1)
        assert same(grains[1], flipped[np.concatenate(layers[:-4])])

    def test_explicit_deletion_needs_no_mirror_and_mirrors_plainly(self):
        fcc = bulk("Cu", "fcc", a=3.615, cubic=True)
        tb = CoherentTwinBoundary(fcc, (1, 1, 1), layers=[3, 2], delete_layers=[-1, 99, -99])
        grains = tb.generate_grains()
        # A slab of 3 + 3 = 6 layers of 4 atoms, less its top layer.
        assert [len(g) for g in grains] == [20, 20, 20, 20]
        assert self.layer_count(grains[0]) == 5

    def test_each_generation_starts_afresh(self):
        tb = CoherentTwinBoundary(diamond(), (1, 1, 1))
        first = tb.generate_grains()
        second = tb.generate_grains()
        assert first is not second and len(second) == 2


class TestStacking:
    def grains(self):
        return [layered_slab([1.0, 3.0]), layered_slab([-2.0, 0.0], ["Ag", "Ag"])]

    def test_grains_end_to_end_with_one_gap_each(self, builder):
        builder.average_cutoff = 0.0
        result = builder.stack_grains(self.grains(), gap=0.5)
        assert result is builder.grain_boundary and result.pbc.all()
        assert result.cell.cellpar()[2] == pytest.approx(4.0 + 2 * 0.5)
        assert result.positions[:, 2].tolist() == [0.0, 2.0, 2.5, 4.5]
        single = builder.stack_grains(self.grains()[:1], gap=0.5)
        assert single.cell.cellpar()[2] == pytest.approx(2.0)

    def test_vacuum_centres_and_drops_the_trailing_gap(self, builder):
        builder.average_cutoff = 0.0
        builder.vacuum = 3.0
        result = builder.stack_grains(self.grains(), gap=0.5)
        assert result.cell.cellpar()[2] == pytest.approx(4.5 + 3.0)
        assert result.positions[:, 2].min() == pytest.approx(1.5)

    def test_touching_grains_merge(self, builder):
        result = builder.stack_grains(self.grains(), gap=0.0)
        # Grain 0 spans z = 0..2 and grain 1 z = 2..4 in a cell 4 long: the
        # contact at z = 2 merges, and so does z = 4 with the image of z = 0.
        assert sorted(result.positions[:, 2].round(9).tolist()) == [0.0, 2.0]

    @pytest.mark.parametrize(
        "grains, error", [((), TypeError), ([Atoms("H"), "H"], TypeError), ([], IndexError)]
    )
    def test_bad_grain_lists(self, builder, grains, error):
        with pytest.raises(error):
            builder.stack_grains(grains)


class TestCreate:
    def test_supercell_and_sorting(self):
        salt = bulk("NaCl", "rocksalt", a=5.64, cubic=True)
        tb = CoherentTwinBoundary(salt, (1, 0, 0))
        plain = tb.create()
        assert plain.get_chemical_symbols() == sorted(plain.get_chemical_symbols())
        assert len(tb.grain_boundary) == len(plain)
        double = tb.create(supercell=[2, 1, 1])
        assert len(double) == 2 * len(plain)
        assert double.cell.lengths()[0] == pytest.approx(2 * plain.cell.lengths()[0])
        assert len(tb.grain_boundary) == len(plain)  # kept before the supercell
        assert len(tb.create(supercell=[2, 1, 0])) == len(plain)

    def test_gap_found_or_kept(self):
        tb = CoherentTwinBoundary(diamond(), (1, 1, 1))
        found = tb.create()
        assert tb.gap == pytest.approx(3.567 * 3**0.5 / 4)
        kept = CoherentTwinBoundary(diamond(), (1, 1, 1), gap=1.5)
        result = kept.create()
        assert kept.gap == 1.5
        # Two grains of 6 layers each: their extent plus one gap per grain.
        assert result.cell.cellpar()[2] == pytest.approx(
            found.cell.cellpar()[2] - 2 * tb.gap + 2 * 1.5
        )

    def test_module_names_and_methods_are_looked_up_at_call_time(self, monkeypatch):
        used = []
        real_surface = twin.surface
        monkeypatch.setattr(
            twin, "surface", lambda *a, **k: used.append("surface") or real_surface(*a, **k)
        )
        monkeypatch.setattr(twin, "sort", lambda atoms: used.append("sort") or atoms)

        class NoMirror(CoherentTwinBoundary):
            def find_mirror_plane(self, grain, direction=2, tol=0.1):
                used.append("find")
                return None, 0

        CoherentTwinBoundary(diamond()).create()
        assert used == ["surface", "sort"]
        with pytest.raises(ValueError, match=re.escape(NO_MIRROR)):
            NoMirror(diamond()).create()
        assert used[-1] == "find"

    def test_bad_supercell(self):
        with pytest.raises(ValueError, match="three integers"):
            CoherentTwinBoundary(diamond()).create(supercell=[2, 2])


# --- Two-fold rotation twins -------------------------------------------------

ZINCBLENDES = [("BN", 3.615), ("SiC", 4.36), ("GaAs", 5.653), ("AlP", 5.463)]
FCC_METALS = [("Cu", 3.615), ("Al", 4.05), ("Ni", 3.524)]
TO_MJ_PER_M2 = 16021.766  # eV/A^2


def zincblende(formula="BN", a=3.615):
    return bulk(formula, "zincblende", a=a, cubic=True)


def rotation_twin(crystal, layers, **kwargs):
    return CoherentTwinBoundary(
        crystal, (1, 1, 1), layers=list(layers), operation="rotation", **kwargs
    ).create()


def stacking_classes(atoms):
    """Per close-packed layer along z: 'h' where the layers below and above sit
    on the same in-plane site (a twin plane), 'c' where they do not (fcc)."""
    z = atoms.positions[:, 2]
    heights = np.unique(z.round(3))
    layers = [np.flatnonzero(np.abs(z - h) < 1e-2) for h in heights]
    classes = []
    for k in range(len(layers)):
        below, above = (
            atoms.positions[layers[k - 1]],
            atoms.positions[layers[(k + 1) % len(layers)]],
        )
        flat = np.c_[above[:, :2] - below[0, :2], np.zeros(len(above))]
        _, d = find_mic(flat, atoms.cell, pbc=[True, True, False])
        classes.append("h" if d.min() < 1e-3 else "c")
    return "".join(classes)


def same_up_to_translation(a, b):
    for j in np.flatnonzero(b.numbers == a.numbers[0]):
        moved = a.positions + (b.positions[j] - a.positions[0])
        _, d = get_distances(moved, b.positions, cell=b.cell, pbc=True)
        if (d.min(axis=1) < 1e-6).all():
            return True
    return False


def bonded_pairs(atoms, cutoff):
    i, j = neighbor_list("ij", atoms, cutoff)
    symbols = np.array(atoms.get_chemical_symbols())
    return Counter(tuple(sorted(pair)) for pair in zip(symbols[i], symbols[j]))


class TestRotationTwins:
    @pytest.mark.parametrize("formula, a", ZINCBLENDES)
    @pytest.mark.parametrize("layers", [[3], [5, 3]])
    def test_zincblende_111_keeps_heteropolar_bulk_bonds(self, formula, a, layers):
        crystal = zincblende(formula, a)
        result = rotation_twin(crystal, layers)
        bond = a * 3**0.5 / 4
        assert result.pbc.all() and result.info["twin_operation"] == "rotation"
        i, j = neighbor_list("ij", result, 1.15 * bond)
        assert np.bincount(i, minlength=len(result)).tolist() == [4] * len(result)
        assert (result.numbers[i] != result.numbers[j]).all()
        assert len(neighbor_list("d", result, 0.9 * bond)) == 0
        spacings = result.cell.cellpar()[2] / compute_d_hkl(crystal, (1, 1, 1))
        assert spacings == pytest.approx(2 * sum(layers), abs=1e-9)
        assert space_group(result) != space_group(crystal)

    @pytest.mark.parametrize("symbol, a", FCC_METALS)
    @pytest.mark.parametrize("layers", [[3], [5, 3]])
    def test_fcc_111_stacking_reverses_at_each_boundary(self, symbol, a, layers):
        result = rotation_twin(bulk(symbol, "fcc", a=a, cubic=True), layers)
        nn = a / 2**0.5
        centres = neighbor_list("i", result, 1.1 * nn)
        assert np.bincount(centres, minlength=len(result)).tolist() == [12] * len(result)
        assert len(neighbor_list("d", result, 0.9 * nn)) == 0
        # ...ABCACBA...: one twin plane per boundary (2 per grain pair), fcc elsewhere.
        classes = stacking_classes(result)
        assert classes.count("h") == 2 * len(layers) and len(classes) == 2 * sum(layers)

    def test_diamond_rotation_is_the_mirror_twin_shifted(self):
        mirror = CoherentTwinBoundary(diamond(), (1, 1, 1)).create()
        turned = CoherentTwinBoundary(diamond(), (1, 1, 1), operation="rotation").create()
        assert np.allclose(mirror.cell, turned.cell)
        assert same_up_to_translation(mirror, turned)

    @pytest.mark.parametrize("crystal, used", [(diamond(), "mirror"), (zincblende(), "rotation")])
    def test_auto_takes_the_mirror_where_there_is_one(self, crystal, used):
        tb = CoherentTwinBoundary(crystal, (1, 1, 1), operation="auto")
        assert tb.create().info["twin_operation"] == used and tb.operation == "auto"

    @pytest.mark.parametrize("layers", [[3], [5, 3]])
    def test_cbn_twin_boundary_energy_with_tersoff(self, layers, capsys):
        calc = get_calculator(Path(files.__file__).with_name("BNC.tersoff"))
        crystal = zincblende()
        crystal.calc = calc
        relaxed = optimize_structure(crystal, fmax=1e-4, trajectory=None)
        e_bulk = relaxed.get_potential_energy() / len(relaxed)

        def boundary_energy(atoms):
            area = np.linalg.norm(np.cross(atoms.cell[0], atoms.cell[1]))
            return (atoms.get_potential_energy() - len(atoms) * e_bulk) / (2 * area) * TO_MJ_PER_M2

        twin_cell = rotation_twin(relaxed, layers)
        twin_cell.calc = calc
        assert abs(boundary_energy(optimize_structure(twin_cell, fmax=1e-3, trajectory=None))) < 20
        # The measure has teeth: the mirror builder forced through c-BN (a
        # deleted layer) leaves homopolar bonds and costs J/m^2.
        homopolar = CoherentTwinBoundary(relaxed, (1, 1, 1), delete_layers=[-1]).create()
        homopolar.calc = calc
        assert boundary_energy(homopolar) > 1000

    def test_hardness_command_gives_the_bulk_value(self, tmp_path, capsys):
        crystal = zincblende()
        crystal.write(tmp_path / "bulk.vasp", format="vasp")
        rotation_twin(crystal, [5, 3]).write(tmp_path / "twin.vasp", format="vasp")
        capsys.readouterr()
        assert (
            cli_main(
                ["hardness", "--json", str(tmp_path / "bulk.vasp"), str(tmp_path / "twin.vasp")]
            )
            == 0
        )
        bulk_row, twin_row = json.loads(capsys.readouterr().out)
        assert twin_row["hardness"] == pytest.approx(bulk_row["hardness"], rel=0.01)


class TestRotationBadInput:
    @pytest.mark.parametrize(
        "operation, error, message",
        [
            ("twist", ValueError, "operation must be 'mirror', 'rotation' or 'auto', not 'twist'"),
            ("Mirror", ValueError, "'mirror', 'rotation' or 'auto'"),
            (None, TypeError, "operation must be"),
            (b"rotation", TypeError, "operation must be"),
        ],
    )
    def test_unknown_operation_refused_before_any_work(
        self, operation, error, message, monkeypatch
    ):
        monkeypatch.setattr(twin, "read", pytest.fail)
        with pytest.raises(error, match=re.escape(message)):
            CoherentTwinBoundary("bulk.cif", operation=operation)
        tb = CoherentTwinBoundary(diamond())
        tb.operation = "twist"
        with pytest.raises(ValueError, match="'mirror', 'rotation' or 'auto'"):
            tb.create()

    def test_operation_is_keyword_only(self):
        with pytest.raises(TypeError):
            CoherentTwinBoundary(
                diamond(), (1, 1, 1), [3], 0.02, 0.1, 0.2, [], 0.0, 0.0, 2, 0.0, "rotation"
            )

    @pytest.mark.parametrize(
        "crystal, plane",
        [
            (bulk("Mg", "hcp", a=3.21, c=5.21), (0, 0, 1)),
            (bulk("ZnO", "wurtzite", a=3.25, c=5.21), (0, 0, 1)),
            (bulk("Cu", "fcc", a=3.615, cubic=True), (1, 0, 0)),
            (zincblende(), (1, 1, 0)),
        ],
        ids=["hcp", "wurtzite", "fcc-100", "zincblende-110"],
    )
    def test_no_two_fold_twin_is_a_clear_error(self, crystal, plane):
        tb = CoherentTwinBoundary(crystal, plane, operation="rotation")
        previous = tb.grains = [crystal]
        label = "plane ({}, {}, {})".format(*plane)
        with pytest.raises(ValueError, match=re.escape(label) + ".*two-fold rotation"):
            tb.create()
        assert tb.grains is previous

    def test_auto_names_both_operations(self):
        with pytest.raises(ValueError, match="neither a mirror plane nor a two-fold rotation"):
            CoherentTwinBoundary(
                bulk("ZnO", "wurtzite", a=3.25, c=5.21), (0, 0, 1), operation="auto"
            ).create()

    def random_alloy(self):
        crystal = zincblende("GaAs", 5.653).repeat((2, 1, 1))
        symbols = crystal.get_chemical_symbols()
        for k in np.random.default_rng(7).choice(np.flatnonzero(crystal.numbers == 31), 3, False):
            symbols[k] = "In"
        crystal.set_chemical_symbols(symbols)
        return crystal

    def antisite(self):
        crystal = zincblende("GaAs", 5.653)
        crystal[1].symbol = "Ga"
        return crystal

    @pytest.mark.parametrize("make", ["random_alloy", "antisite"])
    def test_disordered_cells_give_a_sound_twin_or_the_clear_error(self, make):
        crystal = getattr(self, make)()
        bond = 5.653 * 3**0.5 / 4
        try:
            result = rotation_twin(crystal, [3])
        except ValueError as error:
            assert "two-fold rotation" in str(error)
            return
        centres = neighbor_list("i", result, 1.15 * bond)
        assert np.bincount(centres, minlength=len(result)).tolist() == [4] * len(result)
        scale = len(result) / len(crystal)
        expected = {k: v * scale for k, v in bonded_pairs(crystal, 1.15 * bond).items()}
        assert bonded_pairs(result, 1.15 * bond) == expected

    def test_explicit_deletion_must_leave_one_block(self):
        tb = CoherentTwinBoundary(
            zincblende(), (1, 1, 1), delete_layers=[0, 5], operation="rotation"
        )
        with pytest.raises(ValueError, match="one unbroken block"):
            tb.create()


class TestLimitsAndFiniteNumbers:
    def test_atom_estimate_is_exact_for_whole_cells_and_checked_first(self, monkeypatch):
        # 8 atoms per spacing d(111) of the cubic cell x 2 x 3 spacings = 48.
        assert len(CoherentTwinBoundary(diamond(), max_atoms=48).create()) == 48
        monkeypatch.setattr(twin, "surface", pytest.fail)
        with pytest.raises(ValueError, match=re.escape("about 48 atoms")):
            CoherentTwinBoundary(diamond(), max_atoms=47).create()
        with pytest.raises(ValueError, match=re.escape("about 48,000,000 atoms")):
            CoherentTwinBoundary(diamond()).create(supercell=[1000, 1000, 1])
        with pytest.raises(ValueError, match=re.escape("about 160,000,000 atoms")):
            CoherentTwinBoundary(diamond(), layers=[10_000_000]).generate_grains()

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"symprec": float("inf")}, "symprec must be a finite number"),
            ({"gap": float("nan")}, "gap must be a finite number"),
            ({"vacuum": 1e308}, "vacuum must be at most"),
            ({"average_cutoff": float("-inf")}, "average_cutoff must be a finite number"),
        ],
    )
    def test_non_finite_or_absurd_floats(self, kwargs, message):
        with pytest.raises(ValueError, match=message):
            CoherentTwinBoundary(diamond(), **kwargs)

    @pytest.mark.parametrize("where", ["positions", "cell"])
    def test_non_finite_bulk_is_refused(self, where):
        crystal = diamond()
        if where == "positions":
            crystal.positions[3, 1] = np.nan
        else:
            crystal.cell[2, 2] = np.inf
        with pytest.raises(ValueError, match="non-finite"):
            CoherentTwinBoundary(crystal)

    @pytest.mark.parametrize("symprec", [float("nan"), float("inf")])
    def test_primitive_reduction_checks_before_spglib(self, symprec):
        tb = CoherentTwinBoundary(diamond(), symprec=1e-3)
        tb.symprec = symprec  # set after construction, so only the reduction sees it
        if np.isnan(symprec):
            assert len(tb.create()) == 48  # nan > 1e-20 is false: no reduction
            return
        with pytest.raises(ValueError, match="symprec must be a positive finite number"):
            tb.create()

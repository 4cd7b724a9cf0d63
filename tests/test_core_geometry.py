"""Geometry functions of ferrolith.core against ASE and brute-force references."""

import math

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk, surface
from ase.geometry import find_mic
from ase.neighborlist import neighbor_list

from ferrolith import core
from ferrolith.core import (
    average_atoms,
    check_reflection_symmetry,
    compute_d_hkl,
    get_all_hkl,
    get_layers,
    mirror_array,
)


def diamond_slab(symbols="C", a=3.567, layers=4):
    crystal = bulk(symbols, "zincblende" if len(symbols) > 1 else "diamond", a=a, cubic=True)
    return surface(crystal, (1, 1, 1), layers, vacuum=10.0, tol=0.02)


def reference_merge(atoms, cutoff):
    """All pairs by ASE's neighbour list, clusters by union-find, centroids by mic."""
    parent = list(range(len(atoms)))

    def find(i):
        while parent[i] != i:
            i = parent[i]
        return i

    for i, j in zip(*neighbor_list("ij", atoms, cutoff)):
        # neighbor_list keeps d <= cutoff; merging is strictly closer than it.
        if atoms.get_distance(i, j, mic=True) < cutoff:
            ri, rj = find(i), find(j)
            parent[max(ri, rj)] = min(ri, rj)
    roots = sorted({find(i) for i in range(len(atoms))})
    positions = []
    for r in roots:
        members = [i for i in range(len(atoms)) if find(i) == r]
        shifts, _ = find_mic(atoms.positions[members] - atoms.positions[r], atoms.cell, atoms.pbc)
        positions.append(atoms.positions[r] + shifts.mean(axis=0))
    return roots, np.array(positions)


class TestPackage:
    def test_functions_are_reexported(self):
        from ferrolith.core import _geometry

        for name in core.__all__:
            assert getattr(core, name) is getattr(_geometry, name)


class TestGetLayers:
    def test_diamond_111_slab_has_bilayers(self):
        slab = diamond_slab(layers=3)
        layers = get_layers(slab.positions, direction=2, tol=0.1)
        assert len(layers) == 6
        assert sorted(np.concatenate(layers).tolist()) == list(range(len(slab)))
        z = [slab.positions[layer, 2].mean() for layer in layers]
        spacings = np.round(np.diff(z), 3).tolist()
        assert spacings == [1.545, 0.515, 1.545, 0.515, 1.545]

    def test_results_serve_as_numpy_index_atoms_index_and_list(self):
        slab = diamond_slab(layers=2)
        layer = get_layers(slab.positions, direction=2, tol=0.1)[1]
        assert np.ptp(slab.positions[layer, 2]) < 0.1
        assert len(slab[layer]) == len(layer)
        kept = []
        kept.extend(layer)
        assert len(slab[kept]) == len(layer)

    def test_grouping_is_single_linkage_and_order_free(self):
        z = np.array([0.0, 0.08, 0.16, 0.24, 0.5, 0.55])
        positions = np.zeros((6, 3))
        positions[:, 0] = z  # along x this time
        layers = get_layers(positions, direction=0, tol=0.1)
        assert [layer.tolist() for layer in layers] == [[0, 1, 2, 3], [4, 5]]
        perm = np.random.default_rng(1).permutation(6)
        shuffled = get_layers(positions[perm], direction=0, tol=0.1)
        assert [sorted(perm[layer].tolist()) for layer in shuffled] == [[0, 1, 2, 3], [4, 5]]

    @pytest.mark.parametrize("tol", [0.0, -0.1, float("nan")])
    def test_tolerance_must_be_positive(self, tol):
        with pytest.raises(ValueError, match="tol must be a positive number"):
            get_layers(np.zeros((2, 3)), direction=2, tol=tol)

    @pytest.mark.parametrize(
        "positions, direction, error",
        [
            (np.zeros((2, 2)), 2, ValueError),
            (np.zeros((2, 3)), 3, ValueError),
            (np.zeros((2, 3)), 1.0, TypeError),
            ("abc", 2, TypeError),
        ],
    )
    def test_bad_arguments(self, positions, direction, error):
        with pytest.raises(error):
            get_layers(positions, direction=direction, tol=0.1)

    def test_empty(self):
        assert get_layers(np.zeros((0, 3)), direction=2, tol=0.1) == []


class TestReflection:
    def pairs_of(self, slab):
        """Layers, their heights, a pair joined by the bond along z and a bilayer pair."""
        layers = get_layers(slab.positions, direction=2, tol=0.1)
        z = [slab.positions[layer, 2].mean() for layer in layers]
        bonded = next(k for k in range(len(z) - 1) if z[k + 1] - z[k] > 1.0)
        bilayer = next(k for k in range(len(z) - 1) if z[k + 1] - z[k] < 1.0)
        return layers, z, bonded, bilayer

    def test_diamond_layers_joined_by_the_vertical_bond_mirror(self):
        slab = diamond_slab()
        layers, z, k, b = self.pairs_of(slab)
        assert check_reflection_symmetry(
            (z[k] + z[k + 1]) / 2, 2, 0.1, slab[layers[k]], slab[layers[k + 1]]
        )
        assert not check_reflection_symmetry(
            (z[b] + z[b + 1]) / 2, 2, 0.1, slab[layers[b]], slab[layers[b + 1]]
        )
        assert not check_reflection_symmetry(z[2], 2, 0.1, slab[layers[1]], slab[layers[3]])

    def test_zincblende_bonded_layers_differ_in_element(self):
        slab = diamond_slab("ZnS", a=5.41)
        layers, z, k, _ = self.pairs_of(slab)
        assert not check_reflection_symmetry(
            (z[k] + z[k + 1]) / 2, 2, 0.1, slab[layers[k]], slab[layers[k + 1]]
        )

    def test_in_plane_comparison_is_periodic_for_a_skewed_cell(self):
        slab = diamond_slab()
        layers, z, k, _ = self.pairs_of(slab)
        plane = (z[k] + z[k + 1]) / 2
        upper = slab[layers[k + 1]]
        # Move atoms by whole in-plane cell vectors (far outside the cell).
        upper.positions += 3 * slab.cell[0] - 2 * slab.cell[1]
        assert check_reflection_symmetry(plane, 2, 0.1, slab[layers[k]], upper)
        upper.positions[0, 0] += 0.3
        assert not check_reflection_symmetry(plane, 2, 0.1, slab[layers[k]], upper)

    def test_tolerance_must_be_positive(self):
        slab = diamond_slab()
        with pytest.raises(ValueError, match="tol"):
            check_reflection_symmetry(0.0, 2, 0.0, slab, slab)


class TestDhkl:
    @pytest.mark.parametrize("plane", [(1, 0, 0), (1, 1, 0), (1, 1, 1), (2, 1, 0), (1, -2, 3)])
    def test_matches_the_height_of_ases_periodic_surface_cell(self, plane):
        # One layer of ASE's surface cell spans exactly one spacing of a primitive plane.
        rng = np.random.default_rng(3)
        cell = np.diag([3.0, 3.7, 4.4]) + rng.uniform(-0.6, 0.6, (3, 3))
        crystal = Atoms("Cu", cell=cell, pbc=True)
        slab = surface(crystal, plane, 1, periodic=True)
        assert compute_d_hkl(crystal, plane) == pytest.approx(slab.cell[2, 2], rel=1e-10)

    def test_accepts_cells_and_scales_with_a_common_factor(self):
        crystal = bulk("Cu", "fcc", a=3.6, cubic=True)
        assert compute_d_hkl(crystal.cell, (2, 2, 2)) == pytest.approx(3.6 / 3**0.5 / 2)

    @pytest.mark.parametrize("cell, plane", [(np.eye(3), (0, 0, 0)), (np.zeros((3, 3)), (1, 1, 1))])
    def test_undefined_spacings_raise(self, cell, plane):
        with pytest.raises(ValueError):
            compute_d_hkl(Atoms(cell=cell), plane)


class TestMirrorArray:
    def test_reflects_one_column_into_a_new_array(self):
        s = np.array([[0.1, 0.2, 0.0], [0.4, 0.5, 0.75]])
        before = s.copy()
        m = mirror_array(s, direction=2)
        assert np.array_equal(s, before)
        assert np.allclose(np.mod(m, 1), [[0.1, 0.2, 0.0], [0.4, 0.5, 0.25]])
        assert np.allclose(mirror_array(s, direction=0)[:, 0], [0.9, 0.6])


class TestAverageAtoms:
    @pytest.mark.parametrize("cutoff, n", [(0.3, 200), (0.9, 30)])
    @pytest.mark.parametrize("pbc", [True, False, (True, False, True)])
    def test_matches_neighbour_list_reference(self, cutoff, n, pbc):
        # Sparse enough that clusters stay far smaller than half the cell,
        # where the minimum image of the reference is the image the chain picks.
        rng = np.random.default_rng(11)
        cell = np.array([[5.0, 0, 0], [2.5, 4.0, 0], [-1.5, 1.0, 4.5]])
        atoms = Atoms(f"C{n}", cell=cell, pbc=pbc, scaled_positions=rng.uniform(-0.1, 1.1, (n, 3)))
        roots, positions = reference_merge(atoms, cutoff)
        merged = average_atoms(atoms, cutoff)
        assert len(merged) == len(roots) < len(atoms)
        assert np.allclose(merged.positions, positions, atol=1e-9)

    def test_twin_like_duplicates_across_the_periodic_face(self):
        # A layer at z = 0 and its periodic copy at z = c meet across the face.
        atoms = Atoms(
            "Cu4",
            positions=[[0, 0, 0], [1.8, 1.8, 0], [0, 0, 7.2], [1.8, 1.8, 7.2]],
            cell=[3.6, 3.6, 7.2],
            pbc=True,
        )
        merged = average_atoms(atoms, 0.2)
        assert len(merged) == 2
        assert np.allclose(merged.positions, [[0, 0, 0], [1.8, 1.8, 0]])

    def test_merged_atom_is_the_lowest_index_member(self):
        atoms = Atoms(
            "HeCuAr", positions=[[0, 0, 5], [0, 0, 0], [0, 0, 0.1]], cell=[6, 6, 6], pbc=True
        )
        atoms.set_tags([7, 8, 9])
        atoms.info["note"] = "kept"
        merged = average_atoms(atoms, 0.2)
        assert merged.get_chemical_symbols() == ["He", "Cu"]
        assert merged.get_tags().tolist() == [7, 8]
        assert merged.info["note"] == "kept"
        assert merged.positions[1, 2] == pytest.approx(0.05)
        assert len(atoms) == 3 and atoms.positions[1, 2] == 0.0

    def test_zero_cutoff_copies_and_negative_raises(self):
        atoms = Atoms("H2", positions=[[0, 0, 0], [0, 0, 0]])
        copy = average_atoms(atoms, 0)
        assert len(copy) == 2 and copy is not atoms
        with pytest.raises(ValueError):
            average_atoms(atoms, -0.1)

    def test_periodic_axis_without_cell_vector_raises(self):
        with pytest.raises(ValueError, match="periodic"):
            average_atoms(Atoms("H2", positions=[[0, 0, 0], [1, 0, 0]], pbc=True), 0.2)


class TestGetAllHkl:
    def test_planes_up_to_one(self):
        planes = get_all_hkl(1)
        assert planes[:7] == [
            (1, 0, 0),
            (0, 1, 0),
            (0, 0, 1),
            (1, 1, 0),
            (1, 0, 1),
            (1, 0, -1),
            (1, -1, 0),
        ]
        assert len(planes) == 13
        assert all(type(i) is int for p in planes for i in p)

    def test_each_plane_once_and_primitive(self):
        planes = get_all_hkl(3)
        canonical = {
            tuple(p) if next(i for i in p if i) > 0 else tuple(-i for i in p) for p in planes
        }
        assert len(canonical) == len(planes)
        assert all(math.gcd(*map(abs, p)) == 1 and max(map(abs, p)) <= 3 for p in planes)
        # 7^3 - 1 vectors, minus those with a common factor 2 or 3, halved.
        assert len(planes) == (342 - 26 - 26 + 0) // 2

    @pytest.mark.parametrize(
        "bad, error",
        [(0, ValueError), (-2, ValueError), (101, ValueError), (1.0, TypeError), (True, TypeError)],
    )
    def test_bad_bounds(self, bad, error):
        with pytest.raises(error):
            get_all_hkl(bad)

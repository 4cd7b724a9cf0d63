"""The polycrystal engine: Voronoi grains filled with a rotated seed crystal."""

import errno
import itertools
import re
from fnmatch import fnmatch
from pathlib import Path

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk
from ase.io import read, write
from ase.lattice.cubic import FaceCenteredCubic
from ase.neighborlist import neighbor_list

import ferrolith.build.polycrystal as engine
from ferrolith.build.polycrystal import Polycrystal


@pytest.fixture(autouse=True)
def _in_tmp(tmp_path, monkeypatch):
    # The engine writes files under its prefix; keep them out of the tree.
    monkeypatch.chdir(tmp_path)


def rocksalt():
    return bulk("NaCl", "rocksalt", a=5.64, cubic=True)


# name: (seed factory, nearest-neighbour distance, cutoff between the first and
# second neighbour shells)
SEEDS = {
    "Al": (lambda: bulk("Al", "fcc", a=4.046, cubic=True), 4.046 / 2**0.5, 3.5),
    "Fe": (lambda: bulk("Fe", "bcc", a=2.8665, cubic=True), 2.8665 * 3**0.5 / 2, 2.7),
    "Si": (lambda: bulk("Si", "diamond", a=5.431, cubic=True), 5.431 * 3**0.5 / 4, 3.0),
    "NaCl": (rocksalt, 5.64 / 2, 3.4),
}


def generate(seed, params, rng=0, **kwargs):
    return Polycrystal(seed=seed, params=params, rng=rng).generate_polycrystal(**kwargs)


def node_images(nodes, box):
    shifts = np.array(list(itertools.product((-1, 0, 1), repeat=3)), float) * box
    return (nodes[None, :, :] + shifts[:, None, :]).reshape(-1, 3)


def boundary_distance(atoms, nodes):
    """Distance of each atom from the nearest face of its grain's Voronoi cell."""
    box = atoms.cell.lengths()
    grain = atoms.arrays["grain"]
    own = nodes[grain]
    d = atoms.positions - own
    x = own + d - box * np.round(d / box)
    others = node_images(nodes, box)
    gap = np.linalg.norm(others[None, :, :] - own[:, None, :], axis=2)
    excess = (
        np.sum((x[:, None, :] - others[None, :, :]) ** 2, axis=2)
        - np.sum((x - own) ** 2, axis=1)[:, None]
    )
    with np.errstate(divide="ignore", invalid="ignore"):
        dist = np.where(gap > 1e-9, excess / (2 * gap), np.inf)
    return dist.min(axis=1)


def coordination(atoms, cutoff):
    return np.bincount(neighbor_list("i", atoms, cutoff), minlength=len(atoms))


class TestAcceptance:
    @pytest.mark.parametrize("name", SEEDS)
    def test_density_after_removing_doubles_at_half_the_neighbour_distance(self, name):
        make, nn, _ = SEEDS[name]
        seed = make()
        box = 90.0
        atoms = generate(seed, {"box": [box] * 3, "lattice": "bcc"}, remove_doubles=nn / 2)
        bulk_density = len(seed) / seed.get_volume()
        assert len(atoms) / box**3 == pytest.approx(bulk_density, rel=0.01)

    @pytest.mark.parametrize("name", SEEDS)
    def test_no_pair_closer_than_the_radius_and_no_atom_removed_needlessly(self, name):
        make, nn, _ = SEEDS[name]
        params = {"box": [30.0, 34.0, 28.0], "random": 4}
        full = generate(make(), params, rng=3)
        radius = 0.6 * nn
        kept = generate(make(), params, rng=3, remove_doubles=radius)
        assert neighbor_list("i", kept, radius).size == 0
        # The kept atoms are the full set minus the removed ones, in order, and
        # each removed atom had a kept one within the radius.
        key = {tuple(p): k for k, p in enumerate(np.round(full.positions, 9))}
        kept_index = np.array([key[tuple(p)] for p in np.round(kept.positions, 9)])
        assert np.all(np.diff(kept_index) > 0)
        removed = np.setdiff1d(np.arange(len(full)), kept_index)
        assert removed.size > 0
        both = kept + full[removed]
        i, j = neighbor_list("ij", both, radius)
        near_kept = np.zeros(len(both), bool)
        near_kept[i[j < len(kept)]] = True
        assert near_kept[len(kept) :].all()

    @pytest.mark.parametrize("name", SEEDS)
    def test_every_atom_lies_in_the_voronoi_cell_of_its_grain(self, name):
        make, _, _ = SEEDS[name]
        poly = Polycrystal(seed=make(), params={"box": [35.0, 30.0, 40.0], "random": 5}, rng=1)
        atoms = poly.generate_polycrystal()
        box = atoms.cell.lengths()
        nodes = poly.nodes
        d = atoms.positions[:, None, :] - nodes[None, :, :]
        d -= box * np.round(d / box)
        dist = np.linalg.norm(d, axis=2)
        own = dist[np.arange(len(atoms)), atoms.arrays["grain"]]
        assert np.all(own <= dist.min(axis=1) + 1e-6)
        assert np.bincount(atoms.arrays["grain"]).size == 5

    @pytest.mark.parametrize("name", SEEDS)
    def test_atoms_away_from_boundaries_keep_bulk_coordination(self, name):
        make, _, cutoff = SEEDS[name]
        seed = make()
        bulk_cn = set(coordination(seed, cutoff))
        assert len(bulk_cn) == 1
        poly = Polycrystal(seed=seed, params={"box": [36.0] * 3, "random": 3}, rng=2)
        atoms = poly.generate_polycrystal(remove_doubles=0.5)
        interior = boundary_distance(atoms, poly.nodes) > cutoff + 0.5
        assert interior.sum() > 0.2 * len(atoms)
        assert set(coordination(atoms, cutoff)[interior]) == bulk_cn

    def test_grain_across_a_periodic_face_is_continuous(self):
        seed = bulk("Al", "fcc", a=4.046, cubic=True)
        nodes = [
            {"pos": [0.5, 20.0, 20.0], "orient": ["20", "35", "-10"]},
            {"pos": [20.0, 8.0, 30.0], "orient": ["0", "0", "0"]},
        ]
        poly = Polycrystal(seed=seed, params={"box": [40.0] * 3, "node": nodes})
        atoms = poly.generate_polycrystal()
        mine = atoms.arrays["grain"] == 0
        x = atoms.positions[:, 0]
        assert (mine & (x > 38)).any() and (mine & (x < 2)).any()
        # Near the face and inside the grain: a perfect crystal across the face.
        interior = boundary_distance(atoms, poly.nodes) > 3.6
        near_face = mine & interior & ((x < 3) | (x > 37))
        assert near_face.sum() > 50
        assert set(coordination(atoms, 3.5)[near_face]) == {12}
        # Unwrapped, the grain is one piece around its node: no atom of it sits
        # more than half a box from the node along x.
        raw = poly.generate_polycrystal(wrap=False)
        grain0 = raw.positions[raw.arrays["grain"] == 0]
        assert (grain0[:, 0] < 0).any()
        assert np.all(np.abs(grain0[:, 0] - 0.5) <= 20.0 + 1e-6)

    def test_same_parameters_give_the_same_structure(self):
        seed = bulk("Fe", "bcc", a=2.8665, cubic=True)
        nodes = [
            {"pos": [5.0, 5.0, 5.0], "orient": ["10", "20", "30"]},
            {"pos": [15.0, 12.0, 9.0], "orient": ["[110]", "[-110]", "[001]"]},
        ]
        params = {"box": [20.0, 24.0, 18.0], "node": nodes}
        a = generate(seed, params, remove_doubles=1.0)
        b = generate(seed, params, remove_doubles=1.0)
        assert np.array_equal(a.positions, b.positions)
        assert np.array_equal(a.numbers, b.numbers)

    def test_drawn_nodes_written_to_the_parameter_file_repeat_the_run_exactly(self):
        seed = rocksalt()
        poly = Polycrystal(seed=seed, params={"box": [30.0, 25.0, 20.0], "random": 4}, prefix="run")
        first = poly.generate_polycrystal(remove_doubles=1.2)
        poly.write_final_files(first, output="out/run.cfg")
        params = read_param_file(Path("out/run_params.txt"))
        assert params["box"] == [30.0, 25.0, 20.0]
        assert len(params["node"]) == 4
        again = Polycrystal(seed=seed, params=params).generate_polycrystal(remove_doubles=1.2)
        assert np.array_equal(first.positions, again.positions)
        assert np.array_equal(first.arrays["grain"], again.arrays["grain"])

    def test_orientations_recovered_from_grain_interiors(self):
        a = 4.046
        seed = bulk("Al", "fcc", a=a, cubic=True)
        nodes = [
            {"pos": [10.0, 10.0, 10.0], "orient": ["[1-10]", "[11-2]", "[111]"]},
            {"pos": [30.0, 30.0, 30.0], "orient": ["45", "30", "10"]},
        ]
        poly = Polycrystal(seed=seed, params={"box": [40.0] * 3, "node": nodes})
        atoms = poly.generate_polycrystal()
        # References built by ASE: a crystal cut along those directions, and the
        # seed turned by 45 degrees about x, then 30 about y, then 10 about z.
        by_directions = FaceCenteredCubic(
            directions=[[1, -1, 0], [1, 1, -2], [1, 1, 1]], symbol="Al", latticeconstant=a
        )
        by_angles = seed.copy()
        for angle, axis in ((45, "x"), (30, "y"), (10, "z")):
            by_angles.rotate(angle, axis, rotate_cell=True)
        interior = boundary_distance(atoms, poly.nodes) > 3.5
        i, vectors = neighbor_list("iD", atoms, 3.5)
        for grain, reference in enumerate((by_directions, by_angles)):
            ideal = neighbor_list("D", reference, 3.5)
            chosen = interior[i] & (atoms.arrays["grain"][i] == grain)
            observed = vectors[chosen]
            assert len(observed) > 1000
            match = ideal[np.argmin(np.linalg.norm(observed[:, None] - ideal[None], axis=2), 1)]
            assert np.abs(observed - match).max() < 1e-6
            assert misorientation_degrees(observed, match) < 0.5


def temporary_for(temporary, target):
    """1 when ``temporary`` is a temporary file written beside ``target``."""
    t, g = Path(temporary), Path(target)
    return int(
        t.parent.resolve() == g.parent.resolve() and fnmatch(t.name, f".{g.stem}.*{g.suffix}")
    )


def read_param_file(path):
    """The node file's lines as engine parameters."""
    params = {"node": []}
    for line in path.read_text().splitlines():
        tokens = line.split()
        if not tokens or tokens[0].startswith("#"):
            continue
        if tokens[0] == "box":
            params["box"] = [float(t) for t in tokens[1:]]
        elif tokens[0] == "node":
            params["node"].append({"pos": [float(t) for t in tokens[1:4]], "orient": tokens[4:]})
    return params


def misorientation_degrees(observed, ideal):
    """Angle of the rotation that best takes `ideal` onto `observed` (Kabsch)."""
    u, _, vt = np.linalg.svd(ideal.T @ observed)
    r = (u @ vt).T
    return np.degrees(np.arccos(np.clip((np.trace(r) - 1) / 2, -1, 1)))


class TestSeeds:
    def test_seed_of_any_cell_shape_gives_the_same_crystal(self):
        # The primitive fcc cell and the cubic cell span the same lattice: the
        # grains hold the same atoms, whatever cell the seed came in.
        params = {"box": [24.0, 26.0, 22.0], "random": 3}
        cubic = generate(bulk("Cu", "fcc", a=3.6, cubic=True), params, rng=5)
        primitive = generate(bulk("Cu", "fcc", a=3.6), params, rng=5)
        assert len(cubic) == len(primitive)
        order = np.lexsort(np.round(cubic.positions, 6).T)
        other = np.lexsort(np.round(primitive.positions, 6).T)
        assert np.allclose(cubic.positions[order], primitive.positions[other], atol=1e-6)

    def test_hexagonal_seed(self):
        seed = bulk("Mg", "hcp", a=3.21, c=5.21)
        poly = Polycrystal(seed=seed, params={"box": [30.0] * 3, "random": 2}, rng=4)
        density = len(seed) / seed.get_volume()
        assert len(poly.generate_polycrystal()) / 30.0**3 == pytest.approx(density, rel=0.03)
        atoms = poly.generate_polycrystal(remove_doubles=1.5)
        # Neighbours of these atoms lie farther from the boundary than the radius.
        interior = boundary_distance(atoms, poly.nodes) > 3.5 + 1.5
        assert set(coordination(atoms, 3.5)[interior]) == {12}

    def test_two_element_seed_keeps_its_composition(self):
        atoms = generate(rocksalt(), {"box": [28.0] * 3, "random": 3})
        counts = np.bincount(atoms.numbers)
        assert counts[11] == pytest.approx(counts[17], rel=0.06)

    def test_seed_read_from_a_file(self):
        bulk("Al", "fcc", a=4.046, cubic=True).write("seed.vasp")
        a = generate("seed.vasp", {"box": [20.0] * 3, "random": 2}, rng=1)
        b = generate(Path("seed.vasp"), {"box": [20.0] * 3, "random": 2}, rng=1)
        assert len(a) == len(b) > 0
        assert set(a.get_chemical_symbols()) == {"Al"}

    def test_read_is_resolved_at_call_time(self, monkeypatch):
        calls = []

        def fake_read(path):
            calls.append(path)
            return bulk("Ni", "fcc", a=3.52, cubic=True)

        monkeypatch.setattr(engine, "read", fake_read)
        atoms = generate("anything.cif", {"box": [15.0] * 3, "random": 1})
        assert calls == ["anything.cif"]
        assert set(atoms.get_chemical_symbols()) == {"Ni"}


class TestModes:
    @pytest.mark.parametrize(
        "lattice, count", [("fcc", 4), ("bcc", 2), ("diamond", 8), ("hcp", 4), ("FCC", 4)]
    )
    def test_lattice_nodes(self, lattice, count):
        poly = Polycrystal(
            seed=bulk("Al", cubic=True), params={"box": [40.0] * 3, "lattice": lattice}
        )
        assert poly.nodes.shape == (count, 3)
        assert poly.grain_volumes == pytest.approx(np.full(count, 40.0**3 / count))

    def test_random_nodes_lie_in_the_box_and_depend_on_the_rng(self):
        params = {"box": [50.0, 20.0, 30.0], "random": 6}
        a = Polycrystal(seed=bulk("Al", cubic=True), params=params, rng=1)
        b = Polycrystal(seed=bulk("Al", cubic=True), params=params, rng=1)
        c = Polycrystal(seed=bulk("Al", cubic=True), params=params, rng=2)
        assert np.array_equal(a.nodes, b.nodes)
        assert not np.array_equal(a.nodes, c.nodes)
        assert np.all((a.nodes >= 0) & (a.nodes < [50.0, 20.0, 30.0]))
        assert a.grain_volumes.sum() == pytest.approx(50.0 * 20.0 * 30.0)

    def test_node_orientations_by_angles_directions_and_random(self):
        nodes = [
            {"pos": [1.0, 1.0, 1.0], "orient": ["90", "0", "0"]},
            {"pos": [5.0, 5.0, 5.0], "orient": ["[001]", "[100]", "[010]"]},
            {"pos": [8.0, 2.0, 6.0], "orient": ["random"]},
        ]
        poly = Polycrystal(seed=bulk("Al", cubic=True), params={"box": [10.0] * 3, "node": nodes})
        r = poly.rotations
        assert r[0] @ [0, 1, 0] == pytest.approx([0, 0, 1])
        # [001] along x, [100] along y, [010] along z.
        assert r[1] @ [0, 0, 1] == pytest.approx([1, 0, 0])
        assert r[1] @ [1, 0, 0] == pytest.approx([0, 1, 0])
        assert r[2] @ r[2].T == pytest.approx(np.eye(3))
        assert np.linalg.det(r[2]) == pytest.approx(1.0)
        assert poly.euler_angles[0] == pytest.approx([90.0, 0.0, 0.0])
        assert Path("polycrystal_params.txt").exists() is False  # written when generating

    def test_box_of_one_length_is_a_cube(self):
        poly = Polycrystal(seed=bulk("Al", cubic=True), params={"box": [12.0], "random": 1})
        assert list(poly.box) == [12.0, 12.0, 12.0]


def error(params, seed=None):
    seed = bulk("Al", "fcc", a=4.046, cubic=True) if seed is None else seed
    with pytest.raises(ValueError) as info:
        Polycrystal(seed=seed, params=params)
    return str(info.value)


BOX = {"box": [20.0, 20.0, 20.0]}


class TestErrors:
    @pytest.mark.parametrize(
        "orient",
        [
            ["45", "abc", "0"],
            ["45", "30"],
            ["[100]", "[010]"],
            ["45", "[010]", "0"],
            ["nan", "0", "0"],
            [],
        ],
    )
    def test_bad_orientation_names_the_record(self, orient):
        nodes = [
            {"pos": [1.0, 1.0, 1.0], "orient": ["0", "0", "0"]},
            {"pos": [10.0, 10.0, 10.0], "orient": orient},
        ]
        message = error({**BOX, "node": nodes})
        name = "node 2 (10.0 10.0 10.0" + "".join(" " + t for t in orient) + "): "
        assert message.startswith(name)
        assert "three angles in degrees" in message and "[100] [010] [001]" in message

    def test_node_outside_the_box(self):
        nodes = [{"pos": [10.0, 25.0, 10.0], "orient": ["random"]}]
        assert error({**BOX, "node": nodes}) == (
            "node 1 (10.0 25.0 10.0 random): the position lies outside the box 20 x 20 x 20"
        )

    def test_coincident_nodes_across_a_periodic_face(self):
        nodes = [
            {"pos": [0.0, 5.0, 5.0], "orient": ["0", "0", "0"]},
            {"pos": [3.0, 3.0, 3.0], "orient": ["0", "0", "0"]},
            {"pos": [20.0, 5.0, 5.0], "orient": ["10", "0", "0"]},
        ]
        assert error({**BOX, "node": nodes}) == (
            "node 3 (20.0 5.0 5.0 10 0 0) coincides with node 1 (0.0 5.0 5.0 0 0 0)"
        )

    @pytest.mark.parametrize(
        "orient, reason",
        [
            (["[100]", "[110]", "[001]"], "directions [100] and [110] are not orthogonal"),
            (["[100]", "[010]", "[00-1]"], "form a left-handed set"),
            (["[000]", "[010]", "[001]"], "direction [000] is zero"),
        ],
    )
    def test_bad_miller_triples(self, orient, reason):
        nodes = [{"pos": [1.0, 2.0, 3.0], "orient": orient}]
        message = error({**BOX, "node": nodes})
        assert message.startswith("node 1 (1.0 2.0 3.0 " + " ".join(orient) + "): ")
        assert reason in message

    def test_miller_directions_are_read_in_the_seed_cell(self):
        # [100] and [010] are 120 degrees apart in a hexagonal cell.
        nodes = [{"pos": [1.0, 2.0, 3.0], "orient": ["[100]", "[010]", "[001]"]}]
        seed = bulk("Mg", "hcp", a=3.21, c=5.21)
        assert "are not orthogonal" in error({**BOX, "node": nodes}, seed)
        nodes[0]["orient"] = ["[100]", "[120]", "[001]"]
        Polycrystal(seed=seed, params={**BOX, "node": nodes})

    @pytest.mark.parametrize("pos", [[1.0, 2.0], [1.0, 2.0, 3.0, 4.0], "1 2 3"])
    def test_node_position_needs_three_numbers(self, pos):
        message = error({**BOX, "node": [{"pos": pos, "orient": ["0", "0", "0"]}]})
        assert "a node needs a position x y z followed by its orientation" in message

    @pytest.mark.parametrize(
        "params, message",
        [
            ({"random": 2}, "params need a 'box': the box lengths x y z in Angstroms"),
            ({**BOX}, "params need a generation mode: 'random', 'lattice' or 'node'"),
            (
                {**BOX, "random": 2, "lattice": "fcc"},
                "params give more than one generation mode (random, lattice); give only one",
            ),
            ({**BOX, "random": 0}, "random must be a positive number of grains, got 0"),
            ({**BOX, "random": 2.0}, "random must be a positive number of grains, got 2.0"),
            ({**BOX, "random": True}, "random must be a positive number of grains, got True"),
            ({**BOX, "lattice": "sc"}, "lattice must be one of fcc, bcc, diamond, hcp, got 'sc'"),
            (
                {"box": [10.0, 10.0], "random": 1},
                "box must be three positive lengths x y z in Angstroms (or one for a cube), "
                "got [10.0, 10.0]",
            ),
            ({"box": [10.0, -1.0, 10.0], "random": 1}, "box must be three positive lengths"),
            (
                {**BOX, "nodes": []},
                "unknown parameter 'nodes'; the parameters are box, random, "
                "lattice, node, twin and param_file",
            ),
            ({**BOX, "node": []}, "node needs at least one grain record"),
        ],
    )
    def test_bad_parameters(self, params, message):
        assert error(params).startswith(message)

    def test_bad_seeds(self):
        with pytest.raises(TypeError, match="seed must be an ASE Atoms or the path"):
            Polycrystal(seed=42, params={**BOX, "random": 1})
        with pytest.raises(ValueError, match="the seed structure has no atoms"):
            Polycrystal(seed=Atoms(cell=[3, 3, 3]), params={**BOX, "random": 1})
        with pytest.raises(ValueError, match="its cell volume is zero"):
            Polycrystal(seed=Atoms("Al"), params={**BOX, "random": 1})
        with pytest.raises(TypeError, match="params must be a dict, not list"):
            Polycrystal(seed=bulk("Al"), params=[("box", [1, 1, 1])])

    @pytest.mark.parametrize("radius", [-1.0, 10.5])
    def test_remove_doubles_range(self, radius):
        poly = Polycrystal(seed=bulk("Al", cubic=True), params={**BOX, "random": 1})
        with pytest.raises(
            ValueError,
            match=re.escape(
                "remove_doubles must lie between 0 and half the smallest box length (10 Angstrom)"
            ),
        ):
            poly.generate_polycrystal(remove_doubles=radius)


class TestGeneratedStructure:
    def test_arrays_cell_and_wrap(self):
        poly = Polycrystal(
            seed=bulk("Al", cubic=True), params={"box": [21.0, 23.0, 25.0], "random": 3}, rng=7
        )
        atoms = poly.generate_polycrystal()
        assert atoms.pbc.all()
        assert np.allclose(atoms.cell.array, np.diag([21.0, 23.0, 25.0]))
        assert atoms.arrays["grain"].dtype.kind == "i"
        assert np.all((atoms.positions >= 0) & (atoms.positions < [21.0, 23.0, 25.0]))
        raw = poly.generate_polycrystal(wrap=False)
        assert (raw.positions < 0).any() or (raw.positions >= [21.0, 23.0, 25.0]).any()
        wrapped = raw.copy()
        wrapped.wrap()
        box = [21.0, 23.0, 25.0]
        assert np.allclose(wrapped.positions % box, atoms.positions % box)

    def test_grain_volumes_tile_the_box(self):
        poly = Polycrystal(
            seed=bulk("Al", cubic=True), params={"box": [30.0, 40.0, 50.0], "random": 17}, rng=3
        )
        assert poly.grain_volumes.sum() == pytest.approx(60000.0, rel=1e-9)

    def test_verbose_prints_progress_statistics_and_writes_the_nodes(self, capsys):
        poly = Polycrystal(
            seed=bulk("Al", cubic=True),
            params={**BOX, "random": 2},
            prefix="v",
            verbose=True,
            rng=1,
        )
        atoms = poly.generate_polycrystal(remove_doubles=1.0)
        out = capsys.readouterr().out
        assert "Polycrystal: 2 grains (random) in a box of 20 x 20 x 20 Angstrom" in out
        assert "Generating grains: 100% (2 of 2 grains" in out
        assert "Grain volume (Angstrom^3): mean 4000.0" in out
        assert re.search(r"Removed \d+ atoms closer than 1 Angstrom", out)
        assert f"Generated {len(atoms):,} atoms" in out
        nodes = read("v_nodes.xyz")
        assert np.allclose(nodes.positions, poly.nodes)

    def test_quiet_run_prints_only_the_node_file(self, capsys):
        poly = Polycrystal(seed=bulk("Al", cubic=True), params={**BOX, "random": 2}, prefix="q")
        atoms = poly.generate_polycrystal()
        assert capsys.readouterr().out == ""
        poly.write_final_files(atoms, output="o/q.xyz")
        assert capsys.readouterr().out.splitlines()[-1] == (
            "Grain nodes and orientations written to o/q_params.txt"
        )
        nodes = [{"pos": [1.0, 1.0, 1.0], "orient": ["0", "0", "0"]}]
        poly = Polycrystal(seed=bulk("Al", cubic=True), params={**BOX, "node": nodes})
        poly.generate_polycrystal()
        assert capsys.readouterr().out == ""

    def test_node_file_never_replaces_the_parameter_file_read(self):
        Path("p_params.txt").write_text("random 2\n")
        params = {**BOX, "random": 2, "param_file": "p_params.txt"}
        poly = Polycrystal(seed=bulk("Al", cubic=True), params=params, prefix="p")
        poly.write_final_files(poly.generate_polycrystal(), output="p.cfg")
        assert Path("p_params.txt").read_text() == "random 2\n"
        assert "node" in Path("p_params_1.txt").read_text()


class TestWriteFinalFiles:
    @pytest.fixture
    def made(self):
        poly = Polycrystal(
            seed=rocksalt(), params={"box": [17.0, 18.0, 19.0], "random": 3}, prefix="run", rng=4
        )
        return poly, poly.generate_polycrystal(remove_doubles=1.4)

    def test_main_output_extra_formats_and_grain_table(self, made, capsys):
        poly, atoms = made
        poly.write_final_files(atoms, output="out/run.cfg", formats=["xyz", "lmp", "vasp", "cfg"])
        for name, fmt in [("run.cfg", "cfg"), ("run.xyz", "extxyz"), ("run.vasp", "vasp")]:
            back = read(Path("out") / name, format=fmt)
            assert back.get_chemical_symbols() == atoms.get_chemical_symbols()
            assert np.allclose(back.positions, atoms.positions, atol=1e-4)
        assert np.array_equal(read("out/run.xyz").arrays["grain"], atoms.arrays["grain"])
        lmp = read("out/run.lmp", format="lammps-data", atom_style="atomic")
        assert np.allclose(lmp.positions, atoms.positions, atol=1e-4)
        table = np.loadtxt("out/run_grains.txt")
        assert table.shape == (3, 10)
        assert table[:, 7].sum() == len(atoms)
        assert table[:, 8].sum() == pytest.approx(17.0 * 18.0 * 19.0, rel=1e-4)
        assert np.allclose(table[:, 1:4], poly.nodes, atol=1e-4)
        assert np.allclose(table[:, 4:7], poly.euler_angles, atol=1e-4)
        out = capsys.readouterr().out.splitlines()
        assert out == [
            "Written to file out/run.cfg",
            "Written to file out/run.xyz",
            "Written to file out/run.lmp",
            "Written to file out/run.vasp",
            "Grain table written to out/run_grains.txt",
            "Grain nodes and orientations written to out/run_params.txt",
        ]

    def test_unknown_formats_are_refused_before_anything_is_written(self, made):
        poly, atoms = made
        with pytest.raises(ValueError, match="unknown output format 'nope'"):
            poly.write_final_files(atoms, output="a.cfg", formats=["xyz", "nope"])
        with pytest.raises(ValueError, match=r"cannot tell the format of a\.nope"):
            poly.write_final_files(atoms, output="a.nope")
        assert list(Path().iterdir()) == []

    def test_empty_output_uses_the_prefix_and_no_suffix_means_cfg(self, made):
        poly, atoms = made
        poly.write_final_files(atoms, output="")
        assert read("run.cfg").get_chemical_symbols() == atoms.get_chemical_symbols()
        poly.write_final_files(atoms, output="plain")
        assert len(read("plain", format="cfg")) == len(atoms)

    def test_ase_format_names_and_extensions(self, made):
        poly, atoms = made
        poly.write_final_files(atoms, output="x.cfg", formats=["xsf", "proteindatabank"])
        assert len(read("run.xsf")) == len(atoms)
        assert len(read("run.proteindatabank", format="proteindatabank")) == len(atoms)

    def test_write_is_resolved_at_call_time(self, made, monkeypatch):
        poly, atoms = made
        calls = []
        monkeypatch.setattr(engine, "write", lambda path, a, **kw: calls.append((str(path), kw)))
        poly.write_final_files(atoms, output="w.xsf", formats=["vasp", "cfg"])
        assert [kw for _, kw in calls] == [{"format": "xsf"}, {"format": "vasp"}]
        assert [temporary_for(c[0], t) for c, t in zip(calls, ["w.xsf", "run.vasp"])] == [1, 1]
        assert Path("run.cfg").exists()

    def test_cfg_and_lammps_text_match_ases_writers(self, made):
        # The engine writes these two formats itself; ASE's writers are the
        # reference, extra arrays and velocities included.
        poly, atoms = made
        rng = np.random.default_rng(0)
        atoms.arrays["vector"] = rng.random((len(atoms), 3))
        atoms.arrays["pair"] = rng.random((len(atoms), 2)) * 1e6
        atoms.arrays["flag"] = np.arange(len(atoms)) % 3 == 0
        for momenta in (False, True):
            if momenta:
                atoms.set_momenta(rng.normal(size=(len(atoms), 3)))
            poly.write_final_files(atoms, output="ours.cfg", formats=["lmp"])
            write("ase.cfg", atoms, format="cfg")
            assert Path("ours.cfg").read_text() == Path("ase.cfg").read_text()
        write("ase.lmp", atoms, format="lammps-data", atom_style="atomic", masses=True)
        ours = Path("run.lmp").read_text().split("\n", 1)
        assert ours[0] == "(written by ferrolith)"
        assert ours[1] == Path("ase.lmp").read_text().split("\n", 1)[1]
        # Velocities are momenta over the atoms' own masses where they have them.
        atoms.set_masses(rng.random(len(atoms)) + 0.5)
        poly.write_final_files(atoms, output="ours.cfg")
        write("ase.cfg", atoms, format="cfg")
        assert Path("ours.cfg").read_text() == Path("ase.cfg").read_text()

    def test_structures_ase_must_write_go_to_ase(self, made, monkeypatch):
        poly, atoms = made
        atoms.cell[0, 1] = 1.0  # a tilted box
        atoms.arrays["label"] = np.array(["x"] * len(atoms))
        calls = []
        monkeypatch.setattr(engine, "write", lambda path, a, **kw: calls.append((str(path), kw)))
        poly.write_final_files(atoms, output="t.cfg", formats=["lmp", "xyz"])
        names = ["t.cfg", "run.lmp", "run.xyz"]
        assert [temporary_for(c[0], t) for c, t in zip(calls, names)] == [1, 1, 1]

    @pytest.mark.parametrize("fast", ["cfg", "lmp", "xyz", "grains", "params"])
    def test_a_failed_write_leaves_every_existing_file_as_it_was(self, made, monkeypatch, fast):
        # A full disk part-way through one of the files: that file keeps its
        # old content and no temporary file is left behind.
        poly, atoms = made
        names = ["run.cfg", "run.lmp", "run.xyz", "run_grains.txt", "run_params.txt"]
        for name in names:
            Path(name).write_text("old " + name)
        failing = {"cfg": "run.cfg", "lmp": "run.lmp", "xyz": "run.xyz"}.get(
            fast, f"run_{fast}.txt"
        )

        class FullDisk:
            def __init__(self, path, mode):
                self.file = open(path, mode)
                self.full = fnmatch(Path(path).name, f".{Path(failing).stem}.*")

            def write(self, text):
                if self.full:
                    self.file.write(text[:10])
                    raise OSError(errno.ENOSPC, "No space left on device")
                return self.file.write(text)

            def close(self):
                self.file.close()

        def full_ase_write(path, *args, **kwargs):
            Path(path).write_text("partial")
            raise OSError(errno.ENOSPC, "No space left on device")

        monkeypatch.setattr(engine, "open", FullDisk, raising=False)
        if fast == "xyz":
            monkeypatch.setattr(engine, "write", full_ase_write)
        with pytest.raises(OSError, match="No space left"):
            poly.write_final_files(atoms, output="run.cfg", formats=["lmp", "xyz"])
        assert sorted(p.name for p in Path().iterdir()) == sorted(names)
        assert Path(failing).read_text() == "old " + failing


class TestSizeAndParameterFile:
    @pytest.mark.parametrize(
        "params, kwargs, named",
        [
            ({"box": [1e6] * 3, "random": 8}, {}, r"about 6e\+16 atoms .* \(50,000,000\)"),
            ({"box": [1e4] * 3, "lattice": "fcc"}, {}, r"about 60,2\d\d,\d{3},\d{3} atoms"),
            ({"box": [80.0] * 3, "random": 1_000_000}, {}, r"^1,000,000 grains .* 30,8\d\d"),
            ({"box": [80.0] * 3, "random": 8}, {"max_atoms": 30_000}, r"than max_atoms \(30,000"),
            ({"box": [float("inf")] * 3, "random": 8}, {}, "box must be three positive"),
        ],
    )
    def test_runaway_sizes_are_refused_up_front_naming_the_estimate(self, params, kwargs, named):
        with pytest.raises(ValueError, match=named):
            Polycrystal(seed=bulk("Al", cubic=True), params=params, **kwargs)

    @pytest.mark.parametrize(
        "change, message",
        [
            (lambda a: a.positions.__setitem__((0, 0), np.nan), "non-finite atomic positions"),
            (lambda a: a.cell.__setitem__((1, 1), np.inf), "cell of the structure"),
        ],
    )
    def test_non_finite_seeds_are_refused(self, change, message):
        seed = bulk("Al", cubic=True)
        change(seed)
        with pytest.raises(ValueError, match=message):
            Polycrystal(seed=seed, params={**BOX, "random": 2})
        nodes = [{"pos": [5.0, 5.0, 5.0], "orient": ["0", "0", "1e400"]}]
        with pytest.raises(ValueError, match="orientation must be three angles"):
            Polycrystal(seed=bulk("Al", cubic=True), params={**BOX, "node": nodes})

    TOKENS = ["1", "-2.5", "+.5e-3", "5.", "1_000.5", "1e400", "1e-400", "inf", "-Infinity"]
    TOKENS += ["nan", "0x10", "1__0", "_1", "1_", "1e", "e5", "--1", "1.2.3", "1_e3", "1e_3"]
    INTS = ["7", "+7", "-3", "0_7", "007", "2.5", "1e3", "7_", "", "x"]

    @staticmethod
    def python_reading(text):
        """The parameter file as Python's own str and number functions read it."""
        params = {}
        for line in text.split("\n"):
            tokens = line.split()
            if not tokens or tokens[0].startswith("#"):
                continue
            key = tokens[0].lower()
            if key == "box":
                params["box"] = [float(t) for t in tokens[1:4]]
            elif key == "random":
                params["random"] = int(tokens[1])
            elif key == "lattice":
                params["lattice"] = tokens[1].lower()
            elif key == "node":
                record = {"pos": [float(t) for t in tokens[1:4]], "orient": tokens[4:]}
                params.setdefault("node", []).append(record)
        return params

    @pytest.mark.parametrize("token", TOKENS + INTS)
    def test_read_params_reads_numbers_and_blanks_as_python_does(self, token):
        for text in (
            f"box {token} 2\u00a03\u2003# x\n  # c\nBOX\t{token}\x0c\n",
            f"node 1 {token} 3 [100] \u3000 [010] [001]\nNode\nrandom {token}\nrandom 4\n",
            f"\x1crandom {token} 9\nLattice FCC x\n",
        ):
            Path("p.txt").write_text(text)
            try:
                expected = self.python_reading(text)
            except ValueError:
                with pytest.raises(ValueError, match=r"^p\.txt, line [1-3]: "):
                    engine.read_params("p.txt")
                continue
            got = engine.read_params(Path("p.txt"))
            assert repr(got) == repr(expected)  # nan included
            with open("p.txt") as file:
                assert repr(engine.read_params(file)) == repr(expected)

    def test_read_params_refusals(self):
        Path("p.txt").write_text("box 1 2 3\n\nrandom\n")
        with pytest.raises(IndexError, match=r"^p\.txt, line 3: random needs a value$"):
            engine.read_params("p.txt")
        Path("p.txt").write_bytes(b"box 1 2 \xff\n")
        with pytest.raises(UnicodeDecodeError):
            engine.read_params("p.txt")
        with pytest.raises(FileNotFoundError):
            engine.read_params("missing.txt")


# name: (seed, bond cutoff, coordination, nearest-neighbour distance)
TWIN_SEEDS = {
    "c-BN": (lambda: bulk("BN", "zincblende", a=3.615), 1.8, 4, 3.615 * 3**0.5 / 4),
    "diamond": (lambda: bulk("C", "diamond", a=3.567, cubic=True), 1.8, 4, 3.567 * 3**0.5 / 4),
    "Cu": (lambda: bulk("Cu", "fcc", a=3.615, cubic=True), 3.0, 12, 3.615 / 2**0.5),
}


def twinned(name, spread=0.3, rng=5, **twin):
    make, *_ = TWIN_SEEDS[name]
    seed = make()
    params = {"box": [48.0] * 3, "random": 2, "twin": {"spacing": 12.0, "spread": spread, **twin}}
    poly = Polycrystal(seed=seed, params=params, rng=rng, prefix="nt")
    return seed, poly


class TestTwinnedGrains:
    @pytest.mark.parametrize(
        "name, operation, made",
        [
            ("c-BN", "auto", "rotation"),
            ("diamond", "auto", "mirror"),
            ("diamond", "rotation", "rotation"),
            ("Cu", "auto", "rotation"),
        ],
    )
    def test_lamellae_are_bulk_crystal_joined_by_coherent_twins(self, name, operation, made):
        _, poly = twinned(name, operation=operation)
        _, cutoff, coordination, bond = TWIN_SEEDS[name]
        # Two thirds of the bond length, as the documentation advises.
        atoms = poly.generate_polycrystal(remove_doubles=2 / 3 * bond)
        inner = boundary_distance(atoms, poly.nodes) > 6.0
        i, j, d = neighbor_list("ijd", atoms, cutoff)
        cn = np.bincount(i, minlength=len(atoms))
        at_inner = inner[i]
        assert np.all(cn[inner] == coordination)
        assert np.allclose(d[at_inner], bond, rtol=0.02)
        assert np.all(atoms.numbers[i[at_inner]] != atoms.numbers[j[at_inner]]) or name != "c-BN"
        lamella = atoms.arrays["lamella"]
        # Bonds inside grains cross twin boundaries: the lamellae are there.
        assert np.count_nonzero(lamella[i[at_inner]] != lamella[j[at_inner]]) > 500
        assert {g["operation"] for g in poly.lamellae} == {made}

    @pytest.mark.parametrize("name", sorted(TWIN_SEEDS))
    def test_density_of_a_150_angstrom_box_of_8_twinned_grains(self, name):
        make, _, _, bond = TWIN_SEEDS[name]
        seed = make()
        params = {"box": [150.0] * 3, "random": 8, "twin": {"spacing": 20.0}}
        atoms = generate(seed, params, rng=1, remove_doubles=2 / 3 * bond)
        density = len(atoms) / atoms.get_volume() / (len(seed) / seed.get_volume())
        assert density == pytest.approx(1.0, abs=0.02)

    def test_twin_planes_lie_where_lamella_ids_change_at_the_drawn_spacings(self):
        _, poly = twinned("c-BN")
        atoms = poly.generate_polycrystal()
        box = atoms.cell.lengths()
        lamella = atoms.arrays["lamella"]
        checked = 0
        for node, grain in zip(poly.nodes, poly.lamellae):
            d = grain["spacing"]
            assert d == pytest.approx(3.615 / 3**0.5)  # a {111} plane of the cubic crystal
            x = atoms.positions - node
            height = (x - box * np.round(x / box)) @ grain["normal"]
            bounds, layers = grain["bounds"], grain["layers"]
            assert np.allclose(bounds[1:-1, 1] - bounds[1:-1, 0], layers[1:-1] * d)
            for k in range(1, len(bounds) - 1):
                h = height[lamella == grain["first_id"] + k]
                if len(h) > 100:
                    # Each lamella fills its layers: no atom beyond its planes,
                    # its outer layers within one layer spacing of them.
                    assert bounds[k, 0] < h.min() < bounds[k, 0] + d / 2
                    assert bounds[k, 1] - d / 2 < h.max() < bounds[k, 1]
                    checked += 1
        assert checked >= 4
        # Lognormal spacings, mean 12 Angstrom.
        drawn = np.concatenate([g["layers"] * g["spacing"] for g in poly.lamellae])
        assert len(set(drawn)) > 2 and 6 < drawn.mean() < 20

    def test_fixed_spacing_and_grain_table(self):
        _, poly = twinned("c-BN", spread=0.0)
        atoms = poly.generate_polycrystal()
        for grain in poly.lamellae:
            assert set(grain["layers"]) == {round(12.0 / grain["spacing"])}
        poly.write_final_files(atoms, output="nt.cfg", formats=["lmp", "xyz"])
        table = np.loadtxt("nt_grains.txt")
        assert table.shape == (2, 12)
        assert list(table[:, 10]) == [len(g["bounds"]) - 1 for g in poly.lamellae]
        assert np.allclose(table[:, 11], 6 * poly.lamellae[0]["spacing"], atol=1e-3)
        assert np.array_equal(read("nt.xyz").arrays["lamella"], atoms.arrays["lamella"])
        assert np.array_equal(read("nt.cfg").arrays["lamella"], atoms.arrays["lamella"])
        side = np.loadtxt("nt_per_atom.txt", dtype=np.int64)
        assert Path("nt_per_atom.txt").read_text().startswith("# id grain lamella\n")
        assert np.array_equal(side[:, 0], np.arange(1, len(atoms) + 1))
        assert np.array_equal(side[:, 1], atoms.arrays["grain"])
        assert np.array_equal(side[:, 2], atoms.arrays["lamella"])

    def test_a_fixed_seed_and_the_written_parameter_file_give_the_same_bytes(self):
        for run in ("a", "b"):
            _, poly = twinned("c-BN", rng=11)
            poly.write_final_files(poly.generate_polycrystal(), output=f"{run}.cfg")
        assert Path("a.cfg").read_bytes() == Path("b.cfg").read_bytes()
        params = engine.read_params("nt_params.txt")
        assert params["twin"]["spacing"] == 12.0 and params["twin"]["spread"] == 0.3
        again = Polycrystal(seed=TWIN_SEEDS["c-BN"][0](), params=params, prefix="c")
        again.write_final_files(again.generate_polycrystal(), output="c.cfg")
        assert Path("c.cfg").read_bytes() == Path("a.cfg").read_bytes()
        _, other = twinned("c-BN", rng=12)
        other.write_final_files(other.generate_polycrystal(), output="d.cfg")
        assert Path("d.cfg").read_bytes() != Path("a.cfg").read_bytes()

    @pytest.mark.parametrize(
        "name, twin, message",
        [
            ("c-BN", {"operation": "mirror"}, "Failed to find any valid mirror plane"),
            ("c-BN", {"spacing": 1.0}, "smaller than the spacing of the twin planes"),
            ("c-BN", {"plane": [0, 0, 0]}, "the twin plane must be three Miller indices"),
            ("c-BN", {"operation": "turn"}, "the twin operation must be 'auto'"),
            ("c-BN", {"spread": -1.0}, "the twin spread must be 0"),
            ("c-BN", {"size": 3}, "unknown twin parameter 'size'"),
        ],
    )
    def test_bad_twin_parameters(self, name, twin, message):
        with pytest.raises(ValueError, match=re.escape(message)):
            twinned(name, **twin)


class TestChunkedWriters:
    def test_text_written_on_two_threads_is_ases_byte_for_byte(self, monkeypatch):
        # More than one chunk of atoms, so several formatters run and their
        # chunks must land in order; ASE's writers are the reference.
        atoms = bulk("Al", cubic=True).repeat((26, 26, 26))
        atoms.rattle(0.05, seed=1)
        # Scaled positions on and just off the faces, where wrapping is delicate.
        length = atoms.cell[0, 0]
        atoms.positions[:4] = [[-1e-20, length, -0.0], [length * 3, -length, 1e-300]] * 2
        atoms.arrays["grain"] = np.arange(len(atoms)) % 3
        atoms.arrays["lamella"] = np.arange(len(atoms)) // 1000
        atoms.arrays["charge"] = np.linspace(-1e6, 1e6, len(atoms))
        atoms.info.update(note="nt-Cu, λ = 2 nm", steps=3)
        poly = Polycrystal(seed=bulk("Al", cubic=True), params={**BOX, "random": 3}, prefix="w")

        def ase_writes(*args, **kwargs):
            raise AssertionError("written by ASE")

        with monkeypatch.context() as patched:
            patched.setattr(engine, "write", ase_writes)
            poly.write_final_files(atoms, output="w.cfg", formats=["lmp", "xyz"])
        write("ase.cfg", atoms, format="cfg")
        assert Path("w.cfg").read_bytes() == Path("ase.cfg").read_bytes()
        write("ase.xyz", atoms, format="extxyz")
        assert Path("w.xyz").read_bytes() == Path("ase.xyz").read_bytes()
        # ASE's LAMMPS writer turns positions through a rotation that may move
        # their last bits; Python's printf formatting is the reference there.
        write("ase.lmp", atoms, format="lammps-data", atom_style="atomic", masses=True)
        head, body = Path("w.lmp").read_text().split("Atoms # atomic\n\n")
        assert (
            head.split("\n", 1)[1]
            == Path("ase.lmp").read_text().split("\n", 1)[1].split("Atoms # atomic")[0]
        )
        rows = [(k + 1, 1, *p) for k, p in enumerate(atoms.positions)]
        line = "%6d %3d %23.17g %23.17g %23.17g\n"  # printf's spelling is the point
        assert body == "".join(line % row for row in rows)

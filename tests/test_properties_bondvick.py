"""Bond analysis and the Šimůnek hardness model of ferrolith.properties.bondvick."""

import dataclasses
import math
import re

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk, graphene
from ase.io import write
from ase.neighborlist import neighbor_list

from ferrolith.data.elements import ELEMENTS
from ferrolith.properties import bondvick
from ferrolith.properties.bondvick import ELEMENT_PARAMS, BondType, SimunekHardnessCalculator

NO_BONDS = "No bonds found within the given cutoff radius."
ZERO_VOLUME = "Unit cell volume is zero."


# ---------------------------------------------------------------------------
# A plain-Python statement of the model, used as the oracle for the compiled
# module on structures where the two must agree to the last bits.
# ---------------------------------------------------------------------------
def reference_groups(atoms, rcut, tolerance, closest=False):
    symbols = atoms.get_chemical_symbols()
    i, j, d = neighbor_list("ijd", atoms, rcut)
    cn = np.bincount(i, minlength=len(atoms))
    groups = [[] for _ in atoms]
    for a, b, dist in zip(i, j, d):
        types = groups[a]
        for pos, t in enumerate(types):
            if t[0] != symbols[b]:
                continue
            if closest:
                if abs(dist - t[1]) < tolerance:
                    t[1], t[2] = (t[1] * t[2] + dist) / (t[2] + 1), t[2] + 1
                elif dist < t[1]:
                    del types[pos]
                    types.append([symbols[b], dist, 1])
                break
            if abs(t[1] - dist) < tolerance:
                t[1], t[2] = (t[1] * t[2] + dist) / (t[2] + 1), t[2] + 1
                break
        else:
            types.append([symbols[b], dist, 1])
    if closest:
        for k, types in enumerate(groups):
            if types:
                low = min(t[1] for t in types)
                groups[k] = [t for t in types if not t[1] - low > tolerance]
            cn[k] = sum(t[2] for t in groups[k])
    return groups, cn


def reference_hardness(
    atoms, rcut=2.0, tolerance=0.2, params=ELEMENT_PARAMS, lowcn=True, C=1450.0, sigma=2.8
):
    def e(sym):
        z, r = params[sym]["Z"], params[sym]["R"]
        return abs(z) / r if r > 0 else 0.0

    def corrected(cn):
        return 8 * (4 - cn) if lowcn and cn < 4 else cn

    symbols = np.array(atoms.get_chemical_symbols())
    groups, cn = reference_groups(atoms, rcut, tolerance)
    n = sum(len(g) for g in groups)
    if n == 0:
        return {"error": NO_BONDS}
    product = 1.0
    for k, types in enumerate(groups):
        if cn[k] == 0:
            continue
        e_i, cn_i = e(symbols[k]), corrected(cn[k])
        for sym_j, dist, count in types:
            cn_j = corrected(int(np.rint(np.mean(cn[symbols == sym_j]))))
            if cn_j == 0 or dist < 1e-6:
                continue
            term = np.sqrt(e_i * e(sym_j)) / (cn_i * cn_j * dist)
            product *= (term * count) ** (1.0 / n)
    unique = sorted(set(symbols))
    es = [e(s) for s in unique]
    k = len(es)
    f = 1.0 - (k * np.prod(es) ** (1.0 / k) / sum(es)) ** 2.0 if sum(es) > 0 else 1.0
    b = product * n / 2.0
    return {
        "ionicity_factor": f,
        "bond_contribution": b,
        "total_bonds_type": n,
        "hardness": C / atoms.get_volume() * b * np.exp(-sigma * f),
    }


def records(groups):
    return [[(t.neighbor_sym, t.representative_distance, t.count) for t in g] for g in groups]


def rattled(atoms, seed, amount=0.05):
    atoms = atoms.copy()
    atoms.rattle(amount, seed=seed)
    return atoms


STRUCTURES = {
    "diamond": bulk("C", "diamond", a=3.567, cubic=True),
    "silicon": bulk("Si", "diamond", a=5.431, cubic=True),
    "rocksalt": rattled(bulk("NaCl", "rocksalt", a=5.64, cubic=True), 1),
    "cBN": rattled(bulk("BN", "zincblende", a=3.615, cubic=True).repeat(2), 2),
    "SiC": rattled(bulk("SiC", "zincblende", a=4.36).repeat((2, 2, 2)), 3),
    "graphene": graphene(vacuum=5.0).repeat((2, 2, 1)),
}


def fake_neighbors(monkeypatch, i, j, d):
    """Makes the module's neighbour list return exactly these pairs."""
    calls = []

    def neighbor_list_stub(quantities, atoms, cutoff):
        calls.append((quantities, cutoff))
        return np.array(i, dtype=int), np.array(j, dtype=int), np.array(d, dtype=float)

    monkeypatch.setattr(bondvick, "neighbor_list", neighbor_list_stub)
    return calls


class TestBondType:
    def test_record_semantics(self):
        bond = BondType("O", 1.61)
        assert bond.count == 1
        assert bond == BondType(neighbor_sym="O", representative_distance=1.61, count=1)
        assert repr(BondType("O", 1.61, 4)) == (
            "BondType(neighbor_sym='O', representative_distance=1.61, count=4)"
        )
        assert [f.name for f in dataclasses.fields(BondType)] == [
            "neighbor_sym",
            "representative_distance",
            "count",
        ]
        assert BondType.__doc__ == "Represents a unique type of bond for a central atom."
        assert BondType.__module__ == "ferrolith.properties.bondvick"
        with pytest.raises(TypeError):
            hash(bond)


class TestBondAnalysis:
    @pytest.mark.parametrize("method", ["_analyze_bonds", "_analyze_bonds_closest"])
    def test_diamond_silicon(self, method):
        groups, cn = getattr(SimunekHardnessCalculator(), method)(STRUCTURES["silicon"], 2.6, 0.2)
        assert cn.tolist() == [4] * 8 and cn.dtype.kind == "i"
        assert all(len(g) == 1 and g[0].neighbor_sym == "Si" and g[0].count == 4 for g in groups)
        assert groups[0][0].representative_distance == pytest.approx(5.431 * math.sqrt(3) / 4)

    @pytest.mark.parametrize("name", STRUCTURES)
    @pytest.mark.parametrize("closest", [False, True])
    def test_matches_reference_grouping(self, name, closest):
        atoms = STRUCTURES[name]
        method = "_analyze_bonds_closest" if closest else "_analyze_bonds"
        for rcut, tol in [(2.0, 0.2), (3.2, 0.05), (3.2, 0.0)]:
            groups, cn = getattr(SimunekHardnessCalculator(), method)(atoms, rcut, tol)
            want_groups, want_cn = reference_groups(atoms, rcut, tol, closest)
            assert records(groups) == [[tuple(t) for t in g] for g in want_groups]
            assert cn.tolist() == list(want_cn)

    def test_running_mean_drifts(self, monkeypatch):
        atoms = Atoms("SiOOOO", positions=np.zeros((5, 3)))
        fake_neighbors(monkeypatch, [0, 0, 0], [1, 2, 3], [1.60, 1.75, 1.85])
        groups, _ = SimunekHardnessCalculator()._analyze_bonds(atoms, 2.0, 0.2)
        assert groups[0] == [BondType("O", 5.2 / 3, 3)]
        fake_neighbors(monkeypatch, [0, 0, 0], [1, 2, 3], [1.60, 1.75, 1.90])
        groups, _ = SimunekHardnessCalculator()._analyze_bonds(atoms, 2.0, 0.2)
        assert groups[0] == [BondType("O", 1.675, 2), BondType("O", 1.90, 1)]

    def test_zero_tolerance(self, monkeypatch):
        atoms = Atoms("SiOO", positions=np.zeros((3, 3)))
        fake_neighbors(monkeypatch, [0, 0, 0], [1, 2, 1], [1.6, 1.6, 1.5])
        calc = SimunekHardnessCalculator()
        groups, cn = calc._analyze_bonds(atoms, 2.0, 0)
        assert [b.count for b in groups[0]] == [1, 1, 1] and cn[0] == 3
        groups, cn = calc._analyze_bonds_closest(atoms, 2.0, 0)
        assert groups[0] == [BondType("O", 1.5, 1)] and cn[0] == 1

    def test_closest_keeps_nearest_element_and_moves_replacements_last(self, monkeypatch):
        atoms = Atoms("SiONC", positions=np.zeros((4, 3)))
        fake_neighbors(monkeypatch, [0, 0, 0, 0], [1, 2, 3, 1], [1.6, 2.0, 1.7, 1.1])
        groups, cn = SimunekHardnessCalculator()._analyze_bonds_closest(atoms, 3.0, 0.2)
        # O at 1.6 is replaced by O at 1.1 (now last); N and C are too far.
        assert groups[0] == [BondType("O", 1.1, 1)]
        assert cn.tolist() == [1, 0, 0, 0]

    def test_isolated_atom(self):
        atoms = Atoms("Si", cell=[10, 10, 10], pbc=True)
        groups, cn = SimunekHardnessCalculator()._analyze_bonds(atoms, 2.0, 0.2)
        assert groups == [[]] and cn.tolist() == [0]

    @pytest.mark.parametrize("bad", ["2.0", None, [2.0]])
    def test_non_numeric_arguments_rejected_before_work(self, monkeypatch, capsys, bad):
        calls = fake_neighbors(monkeypatch, [], [], [])
        calc = SimunekHardnessCalculator(verbose=True)
        with pytest.raises(TypeError):
            calc._analyze_bonds(STRUCTURES["silicon"], bad, 0.2)
        with pytest.raises(TypeError):
            calc._analyze_bonds_closest(STRUCTURES["silicon"], 2.0, bad)
        assert calls == [] and capsys.readouterr().out == ""

    def test_integer_arguments_converted(self, monkeypatch):
        calls = fake_neighbors(monkeypatch, [], [], [])
        SimunekHardnessCalculator()._analyze_bonds(Atoms("H"), 3, 0)
        assert calls == [("ijd", 3.0)] and type(calls[0][1]) is float


class TestVerboseReport:
    ATOMS = Atoms("SiOH", positions=np.zeros((3, 3)))
    PAIRS = ([0, 0, 0, 0, 1], [1, 1, 1, 1, 0], [1.61, 1.61, 1.61, 1.61, 1.61])

    def test_plain_order(self, monkeypatch, capsys):
        fake_neighbors(monkeypatch, *self.PAIRS)
        SimunekHardnessCalculator(verbose=True)._analyze_bonds(self.ATOMS, 2.0, 0.2)
        assert capsys.readouterr().out == (
            "\n--- Bond Analysis Verbose Info ---\n"
            "Atom 0 (Si): Total CN = 4\n"
            "  - Bond to O: count (nsij) = 4, dist ≈ 1.610 Å\n"
            "Atom 1 (O): Total CN = 1\n"
            "  - Bond to Si: count (nsij) = 1, dist ≈ 1.610 Å\n"
            "Atom 2 (H): Total CN = 0\n"
            "  No bonds found within cutoff.\n"
            "----------------------------------\n\n"
        )

    def test_closest_order_puts_empty_line_first(self, monkeypatch, capsys):
        fake_neighbors(monkeypatch, *self.PAIRS)
        SimunekHardnessCalculator(verbose=1)._analyze_bonds_closest(self.ATOMS, 2.0, 0.2)
        assert "  No bonds found within cutoff.\nAtom 2 (H): Total CN = 0\n" in (
            capsys.readouterr().out
        )

    def test_silent_by_default(self, capsys):
        SimunekHardnessCalculator()._analyze_bonds(STRUCTURES["silicon"], 2.6, 0.2)
        assert capsys.readouterr().out == ""


class TestConstructor:
    def test_defaults_and_conversion(self):
        calc = SimunekHardnessCalculator()
        assert (calc.C, calc.sigma, calc.verbose) == (1450.0, 2.8, False)
        calc = SimunekHardnessCalculator(1000, 3, "yes")
        assert (type(calc.C), calc.C, type(calc.sigma)) == (float, 1000.0, float)
        assert calc.verbose == "yes"

    @pytest.mark.parametrize("kwargs", [{"C": "1450"}, {"sigma": None}])
    def test_non_numbers_rejected(self, kwargs):
        with pytest.raises(TypeError):
            SimunekHardnessCalculator(**kwargs)


class TestHardness:
    def test_diamond_silicon_closed_form(self):
        atoms = STRUCTURES["silicon"]
        result = SimunekHardnessCalculator()._calculate_hardness(atoms, rcut=2.6)
        d = SimunekHardnessCalculator()._analyze_bonds(atoms, 2.6, 0.2)[0][0][0]
        e = 4.0 / 1.32
        expected = 1450.0 * e / (atoms.get_volume() * d.representative_distance)
        assert list(result) == [
            "ionicity_factor",
            "bond_contribution",
            "total_bonds_type",
            "hardness",
        ]
        assert result["ionicity_factor"] == 0.0 and result["total_bonds_type"] == 8
        assert result["hardness"] == pytest.approx(expected, rel=1e-13)

    @pytest.mark.parametrize("name", STRUCTURES)
    @pytest.mark.parametrize("lowcn", [True, False])
    def test_matches_reference_model(self, name, lowcn):
        atoms = STRUCTURES[name]
        for rcut in (2.0, 2.9, 3.3):
            got = SimunekHardnessCalculator()._calculate_hardness(atoms, rcut=rcut, lowcn=lowcn)
            want = reference_hardness(atoms, rcut=rcut, lowcn=lowcn)
            if "error" in want:
                assert got == want
                continue
            assert got["total_bonds_type"] == want["total_bonds_type"]
            for key in ("ionicity_factor", "bond_contribution", "hardness"):
                assert got[key] == pytest.approx(want[key], rel=1e-13, abs=1e-300), key

    def test_low_coordination_correction_on_graphene(self):
        atoms = STRUCTURES["graphene"]
        calc = SimunekHardnessCalculator()
        corrected = calc.calculate_hardness(atoms, rcut=1.6)
        plain = calc.calculate_hardness(atoms, rcut=1.6, lowcn=False)
        # Three-fold carbon enters as 8 instead of 3 on both sides of each bond.
        assert plain / corrected == pytest.approx((8 * 8) / (3 * 3))

    def test_noble_gas_and_missing_radius_give_zero(self):
        for sym in ("Ar", "Lu"):
            atoms = bulk(sym, "fcc", a=3.0)
            result = SimunekHardnessCalculator()._calculate_hardness(atoms, rcut=2.5)
            assert result["hardness"] == 0.0 and result["bond_contribution"] == 0.0

    def test_public_method_returns_hardness(self):
        atoms = STRUCTURES["cBN"]
        calc = SimunekHardnessCalculator()
        assert calc.calculate_hardness(atoms) == calc._calculate_hardness(atoms)["hardness"]

    def test_path_is_read(self, tmp_path):
        path = tmp_path / "cbn.traj"  # lossless
        write(path, STRUCTURES["cBN"])
        calc = SimunekHardnessCalculator()
        assert calc.calculate_hardness(str(path)) == calc.calculate_hardness(STRUCTURES["cBN"])

    def test_element_params(self):
        atoms = STRUCTURES["cBN"]
        calc = SimunekHardnessCalculator()
        assert calc.calculate_hardness(atoms, element_params={}) == calc.calculate_hardness(atoms)
        custom = {"B": {"Z": 3.0, "R": 0.98}, "N": {"Z": 5.0, "R": 0.5}}
        assert calc.calculate_hardness(atoms, element_params=custom) == pytest.approx(
            reference_hardness(atoms, params=custom)["hardness"], rel=1e-13
        )
        with pytest.raises(KeyError) as info:
            calc.calculate_hardness(atoms, element_params={"B": {"Z": 3.0, "R": 0.98}})
        assert info.value.args == ("N",)

    def test_element_params_must_be_a_plain_dict(self):
        class Params(dict):
            pass

        for method in ("calculate_hardness", "_calculate_hardness"):
            with pytest.raises(TypeError):
                getattr(SimunekHardnessCalculator(), method)(
                    STRUCTURES["cBN"], element_params=Params(ELEMENT_PARAMS)
                )
            with pytest.raises(TypeError):
                getattr(SimunekHardnessCalculator(), method)(
                    STRUCTURES["cBN"], element_params=list(ELEMENT_PARAMS)
                )

    def test_keywords_pass_through_to_the_model(self):
        calc = SimunekHardnessCalculator()
        atoms = STRUCTURES["graphene"]
        assert (
            calc.calculate_hardness(atoms, 1.6, 0.2, None, lowcn=False)
            == (calc._calculate_hardness(atoms, rcut=1.6, lowcn=False)["hardness"])
        )
        with pytest.raises(TypeError):
            calc.calculate_hardness(atoms, foo=1)
        with pytest.raises(TypeError):
            calc.calculate_hardness(atoms, 1.6, 0.2, None, True)

    def test_mean_neighbor_coordination_rounds_half_to_even(self, monkeypatch):
        # Atoms 1 and 2 are O with coordination 2 and 3: mean 2.5 -> 2 (-> 16).
        atoms = Atoms("SiOO", cell=[5, 5, 5], pbc=True)
        fake_neighbors(
            monkeypatch, [0, 1, 1, 2, 2, 2], [1, 0, 0, 0, 0, 0], [1.6, 1.6, 1.6, 1.6, 1.6, 1.6]
        )
        got = SimunekHardnessCalculator()._calculate_hardness(atoms, lowcn=False)
        e_si, e_o = 4.0 / 1.32, 6.0 / 0.66
        # Bond Si->O: cn_i 1, cn_j rint(2.5) = 2; O->Si: cn_i 2 or 3, cn_j 1.
        terms = [
            math.sqrt(e_si * e_o) / (1 * 2 * 1.6),
            2 * math.sqrt(e_o * e_si) / (2 * 1 * 1.6),
            3 * math.sqrt(e_o * e_si) / (3 * 1 * 1.6),
        ]
        assert got["bond_contribution"] == pytest.approx(
            math.prod(t ** (1 / 3) for t in terms) * 3 / 2, rel=1e-13
        )
        fake_neighbors(monkeypatch, [0, 1, 1, 1, 2, 2, 2, 2], [1, 0, 0, 0, 0, 0, 0, 0], [1.6] * 8)
        got = SimunekHardnessCalculator()._calculate_hardness(atoms, lowcn=False)
        terms = [
            math.sqrt(e_si * e_o) / (1 * 4 * 1.6),  # mean 3.5 -> 4
            3 * math.sqrt(e_o * e_si) / (3 * 1 * 1.6),
            4 * math.sqrt(e_o * e_si) / (4 * 1 * 1.6),
        ]
        assert got["bond_contribution"] == pytest.approx(
            math.prod(t ** (1 / 3) for t in terms) * 3 / 2, rel=1e-13
        )


class TestFailures:
    def test_no_bonds(self):
        atoms = Atoms("Si2", positions=[[0, 0, 0], [5, 0, 0]], cell=[20, 20, 20], pbc=True)
        calc = SimunekHardnessCalculator()
        assert calc._calculate_hardness(atoms) == {"error": NO_BONDS}
        with pytest.raises(ValueError, match=re.escape(NO_BONDS)):
            calc.calculate_hardness(atoms)

    def test_empty_structure_has_no_bonds(self):
        with pytest.raises(ValueError, match=re.escape(NO_BONDS)):
            SimunekHardnessCalculator().calculate_hardness(Atoms())

    def test_zero_volume_with_bonds(self):
        atoms = Atoms("Si2", positions=[[0, 0, 0], [2.3, 0, 0]])  # no cell at all
        for method in ("calculate_hardness", "_calculate_hardness"):
            with pytest.raises(ValueError, match=re.escape(ZERO_VOLUME)):
                getattr(SimunekHardnessCalculator(), method)(atoms, rcut=2.6)

    def test_nearly_coplanar_cell(self):
        atoms = bulk("Si", "diamond", a=5.431)
        atoms.set_cell([[1, 0, 0], [0, 1, 0], [1, 1, 1e-9]], scale_atoms=False)
        atoms.pbc = False
        with pytest.raises(ValueError, match=re.escape(ZERO_VOLUME)):
            SimunekHardnessCalculator().calculate_hardness(atoms, rcut=2.6)

    def test_no_bonds_is_reported_before_zero_volume(self):
        with pytest.raises(ValueError, match=re.escape(NO_BONDS)):
            SimunekHardnessCalculator().calculate_hardness(Atoms("Si", positions=[[0, 0, 0]]))

    def test_dummy_label_raises_key_error(self):
        atoms = bulk("Si", "diamond", a=5.431, cubic=True)
        atoms.symbols[0] = "X"
        with pytest.raises(KeyError) as info:
            SimunekHardnessCalculator().calculate_hardness(atoms, rcut=2.6)
        assert info.value.args == ("X",)

    def test_isotope_label_raises_key_error(self):
        class Deuterated(Atoms):
            def get_chemical_symbols(self):
                return ["D" if s == "H" else s for s in super().get_chemical_symbols()]

        atoms = Deuterated(
            "OH2", positions=[[0, 0, 0], [0.96, 0, 0], [-0.24, 0.93, 0]], cell=[8, 8, 8], pbc=True
        )
        with pytest.raises(KeyError) as info:
            SimunekHardnessCalculator().calculate_hardness(atoms, rcut=1.2)
        assert info.value.args == ("D",)

    @pytest.mark.parametrize("kwargs", [{"rcut": "2"}, {"tolerance": None}, {"rcut": [1.0]}])
    def test_non_numeric_arguments(self, kwargs):
        with pytest.raises(TypeError):
            SimunekHardnessCalculator().calculate_hardness(STRUCTURES["cBN"], **kwargs)

    def test_unreadable_path_raises_readers_error(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            SimunekHardnessCalculator().calculate_hardness(str(tmp_path / "missing.xyz"))


class TestLateBinding:
    def test_subclass_analysis_changes_the_result(self, monkeypatch):
        class Closest(SimunekHardnessCalculator):
            def _analyze_bonds(self, atoms, rcut, tolerance):
                return self._analyze_bonds_closest(atoms, rcut, tolerance)

        atoms = STRUCTURES["rocksalt"]
        plain = SimunekHardnessCalculator()._calculate_hardness(atoms, rcut=4.2)
        closest = Closest()._calculate_hardness(atoms, rcut=4.2)
        assert closest["total_bonds_type"] < plain["total_bonds_type"]
        # Same value as the model evaluated on the closest-shell grouping.
        groups, _cn = reference_groups(atoms, 4.2, 0.2, closest=True)
        assert closest["total_bonds_type"] == sum(map(len, groups))

    def test_subclass_calculation_is_used_by_the_public_method(self):
        class Fixed(SimunekHardnessCalculator):
            def _calculate_hardness(self, **kwargs):
                assert list(kwargs) == ["atoms", "rcut", "tolerance", "element_params", "x"]
                return {"hardness": 42.0} if kwargs["x"] else {"error": "custom failure"}

        assert Fixed().calculate_hardness(Atoms(), x=1) == 42.0
        with pytest.raises(ValueError, match="custom failure"):
            Fixed().calculate_hardness(Atoms(), x=0)

    def test_module_names_are_read_at_call_time(self, monkeypatch, tmp_path):
        atoms = STRUCTURES["silicon"]
        monkeypatch.setattr(bondvick, "ase_read", lambda path: atoms)
        doubled = {s: {"Z": 2 * p["Z"], "R": p["R"]} for s, p in ELEMENT_PARAMS.items()}
        base = SimunekHardnessCalculator().calculate_hardness("anything", rcut=2.6)
        monkeypatch.setattr(bondvick, "ELEMENT_PARAMS", doubled)
        assert SimunekHardnessCalculator().calculate_hardness("x", rcut=2.6) == (
            pytest.approx(2 * base, rel=1e-13)
        )

    def test_element_params_is_an_import_time_snapshot(self, monkeypatch):
        assert list(ELEMENT_PARAMS) == list(ELEMENTS)
        assert ELEMENT_PARAMS["Fe"] == {"Z": 3.0, "R": 1.27}
        assert list(ELEMENT_PARAMS["Fe"]) == ["Z", "R"]
        monkeypatch.setattr(ELEMENTS["Fe"], "valence", 9.0)
        assert ELEMENT_PARAMS["Fe"]["Z"] == 3.0


# ---------------------------------------------------------------------------
# first_shell_cutoff
# ---------------------------------------------------------------------------
FIRST_SHELL_CRYSTALS = {
    "C": bulk("C", "diamond", a=3.567),
    "Si": bulk("Si", "diamond", a=5.431),
    "Ge": bulk("Ge", "diamond", a=5.658),
    "SiC": bulk("SiC", "zincblende", a=4.36),
    "c-BN": bulk("BN", "zincblende", a=3.615),
    "AlN": bulk("AlN", "wurtzite", a=3.112, c=4.982),
    "GaAs": bulk("GaAs", "zincblende", a=5.653),
    "NaCl": bulk("NaCl", "rocksalt", a=5.64),
}


def _shells(atoms):
    """Longest first-shell and shortest second-shell distance, from ASE's neighbour list."""
    i, d = neighbor_list("id", atoms, 6.0)
    first, second = 0.0, np.inf
    for a in range(len(atoms)):
        mine = np.sort(d[i == a])
        nearest = mine[0]
        first = max(first, mine[mine < 1.2 * nearest].max())
        second = min(second, mine[mine >= 1.2 * nearest].min())
    return first, second


class TestFirstShellCutoff:
    @pytest.mark.parametrize("name", FIRST_SHELL_CRYSTALS)
    def test_lies_between_first_and_second_shells(self, name):
        atoms = FIRST_SHELL_CRYSTALS[name]
        first, second = _shells(atoms)
        rcut = bondvick.first_shell_cutoff(atoms)
        assert first < rcut < second
        # The same neighbour list in a supercell, rotated and with atoms reordered.
        big = (atoms * (2, 2, 2))[::-1]
        big.rotate(30, "z", rotate_cell=True)
        assert bondvick.first_shell_cutoff(big) == pytest.approx(rcut, rel=1e-12)

    def test_distorted_and_molecular_structures(self):
        # Thermal noise keeps the shells apart; a molecule needs no cell.
        rattled = bulk("Si", "diamond", a=5.431, cubic=True) * (2, 2, 2)
        rattled.rattle(0.02, seed=1)
        first, second = _shells(rattled)
        assert first < bondvick.first_shell_cutoff(rattled) < second
        from ase.build import molecule

        methane = molecule("CH4")
        assert 1.09 < bondvick.first_shell_cutoff(methane) < 1.78

    @pytest.mark.parametrize(
        "atoms, coordination",
        [
            (bulk("Cs", "bcc", a=6.14), 8),  # the longest metallic bonds
            (bulk("K", "bcc", a=5.23), 8),
            (bulk("Cu", "fcc", a=3.61), 12),
            (bulk("CsCl", "cesiumchloride", a=4.12), 8),
            (bulk("C", "sc", a=1.8), 6),  # a lone atom in a cell small enough to bond
        ],
        ids=["Cs", "K", "Cu", "CsCl", "sc-C"],
    )
    def test_metallic_and_ionic_first_shells_count_as_bonded(self, atoms, coordination):
        rcut = bondvick.first_shell_cutoff(atoms)
        assert np.bincount(neighbor_list("i", atoms, rcut)).tolist() == [coordination] * len(atoms)

    @pytest.mark.parametrize(
        "atoms",
        [
            Atoms("C", cell=[20] * 3, pbc=True),  # a lone atom in a box
            Atoms("C2", [(0, 0, 0), (10, 0, 0)], cell=[20] * 3, pbc=True),  # two far apart
            Atoms("C8", np.random.default_rng(2).random((8, 3)) * 300, cell=[300] * 3, pbc=True),
        ],
        ids=["lone-atom", "far-apart", "gas"],
    )
    def test_structures_without_a_bonded_first_shell_are_refused(self, atoms):
        # The nearest images or atoms lie far beyond any bond: no shell to cut.
        with pytest.raises(ValueError, match="has no bonded neighbour: the nearest lies"):
            bondvick.first_shell_cutoff(atoms)

    @pytest.mark.parametrize(
        "atoms, error",
        [
            ("not atoms", TypeError),
            (Atoms(), ValueError),
            (Atoms("C", positions=[[0, 0, 0]]), ValueError),  # no neighbour at all
            (Atoms("C2", positions=[[0, 0, 0], [np.nan, 0, 0]]), ValueError),
        ],
    )
    def test_bad_input(self, atoms, error):
        with pytest.raises(error):
            bondvick.first_shell_cutoff(atoms)

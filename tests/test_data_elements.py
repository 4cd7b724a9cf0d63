"""The element property table: its records and the patterns the hardness model relies on."""

import dataclasses

import pytest

from ferrolith.data.elements import ELEMENTS, ElementData

NOBLE_GASES = {"He", "Ne", "Ar", "Kr", "Xe", "Rn"}
NO_HARDNESS_RADIUS = {"Lu", "At", "Rn"} | {
    "Cm",
    "Bk",
    "Cf",
    "Es",
    "Fm",
    "Md",
    "No",
    "Lr",
    "Rf",
    "Db",
    "Sg",
    "Hs",
    "Mt",
    "Ds",
}
FIELDS = (
    "atomic_num",
    "atomic_sym",
    "atomic_rad",
    "ionic_rad",
    "covalent_rad",
    "vdw_rad",
    "crystal_rad",
    "valence",
    "hard_rad",
    "amass",
)


def by_number():
    return {rec.atomic_num: rec for rec in ELEMENTS.values()}


class TestTableShape:
    def test_109_entries_in_atomic_number_order(self):
        numbers = [rec.atomic_num for rec in ELEMENTS.values()]
        assert len(ELEMENTS) == 109
        assert numbers == [*list(range(1, 107)), 108, 109, 110]
        assert next(iter(ELEMENTS)) == "H" and list(ELEMENTS)[-1] == "Ds"

    def test_keys_are_the_records_symbols(self):
        assert all(key == rec.atomic_sym for key, rec in ELEMENTS.items())

    @pytest.mark.parametrize("label", ["fe", "FE", "D", "X", "Bh", "Rg", ""])
    def test_missing_symbols_raise_key_error_with_the_key(self, label):
        with pytest.raises(KeyError) as info:
            ELEMENTS[label]
        assert info.value.args == (label,)

    def test_field_types(self):
        for rec in ELEMENTS.values():
            assert type(rec.atomic_num) is int and type(rec.atomic_sym) is str
            for name in FIELDS[2:]:
                assert type(getattr(rec, name)) is float, (rec.atomic_sym, name)


class TestPublishedRows:
    @pytest.mark.parametrize(
        "row",
        [
            (1, "H", 0.53, 0.25, 0.37, 1.20, 0.10, 1.0, 2.08, 1.007),
            (6, "C", 0.67, 0.70, 0.77, 1.70, 0.29, 4.0, 0.92, 12.011),
            (8, "O", 0.48, 0.60, 0.73, 1.52, 1.21, 6.0, 0.66, 15.999),
            (14, "Si", 1.11, 1.10, 1.11, 2.10, 0.40, 4.0, 1.32, 28.085),
            (26, "Fe", 1.56, 1.40, 1.25, 2.75, 0.69, 3.0, 1.27, 55.845),
            (29, "Cu", 1.45, 1.35, 1.38, 1.40, 0.71, 2.0, 1.28, 63.546),
            (71, "Lu", 2.17, 1.75, 1.60, 2.16, 1.00, 3.0, 0.00, 174.967),
            (92, "U", 1.75, 1.75, 1.45, 1.86, 0.87, 3.0, 1.56, 238.028),
            (110, "Ds", 1.75, 1.75, 1.45, 1.86, 1.12, 2.0, 0.00, 283.1918),
        ],
        ids=lambda row: row[1],
    )
    def test_full_rows(self, row):
        assert ELEMENTS[row[1]] == ElementData(*row)

    @pytest.mark.parametrize(
        "symbol, valence, hard_rad",
        [
            ("Br", 7.0, 1.11),
            ("Mn", 4.0, 1.26),
            ("W", 3.0, 1.41),
            ("Ir", 2.0, 1.357),
            ("Re", 4.0, 1.375),
            ("Os", 3.0, 1.353),
            ("Pt", 2.0, 1.387),
            ("Fr", 1.0, 1.75),
        ],
    )
    def test_hardness_parameters(self, symbol, valence, hard_rad):
        assert (ELEMENTS[symbol].valence, ELEMENTS[symbol].hard_rad) == (valence, hard_rad)


class TestColumnPatterns:
    def test_valence_zero_exactly_for_noble_gases(self):
        zero = {s for s, rec in ELEMENTS.items() if rec.valence == 0.0}
        assert zero == NOBLE_GASES
        assert all(
            rec.valence == int(rec.valence) > 0
            for s, rec in ELEMENTS.items()
            if s not in NOBLE_GASES
        )

    def test_hard_rad_zero_exactly_for_seventeen_elements(self):
        assert {s for s, rec in ELEMENTS.items() if rec.hard_rad == 0.0} == NO_HARDNESS_RADIUS

    def test_radii_carry_two_decimals_except_four_metals(self):
        three = {s for s, rec in ELEMENTS.items() if round(rec.hard_rad, 2) != rec.hard_rad}
        assert three == {"Re", "Os", "Ir", "Pt"}

    def test_actinides_from_uranium_share_radii(self):
        table = by_number()
        for z in [z for z in table if z >= 92]:
            rec = table[z]
            assert (rec.atomic_rad, rec.ionic_rad, rec.covalent_rad, rec.vdw_rad) == (
                1.75,
                1.75,
                1.45,
                1.86,
            )
            expected = 0.87 if z in (92, 93) else 1.00 if z == 94 else 1.12
            assert rec.crystal_rad == expected

    def test_shared_covalent_and_van_der_waals_radii(self):
        table = by_number()
        assert {table[z].covalent_rad for z in range(57, 71)} == {1.69}
        assert {table[z].vdw_rad for z in range(54, 78)} == {2.16}
        assert {table[z].vdw_rad for z in list(range(36, 46)) + list(range(82, 92))} == {2.02}

    def test_atomic_equals_ionic_radius_exactly_where_expected(self):
        equal = {s for s, rec in ELEMENTS.items() if rec.atomic_rad == rec.ionic_rad}
        expected = (
            NOBLE_GASES
            | {"Ge", "Sn", "La", "Ce", "At", "Fr", "Ac"}
            | {rec.atomic_sym for rec in ELEMENTS.values() if rec.atomic_num >= 90}
        )
        assert equal == expected


class TestRecord:
    def test_is_a_dataclass_of_this_module(self):
        assert dataclasses.is_dataclass(ElementData)
        assert ElementData.__module__ == "ferrolith.data.elements"
        assert [f.name for f in dataclasses.fields(ElementData)] == list(FIELDS)

    def test_equality_repr_and_no_hash(self):
        h = ELEMENTS["H"]
        copy = ElementData(**dataclasses.asdict(h))
        assert copy == h and copy is not h
        copy.amass = 2.014
        assert copy != h
        assert repr(h).startswith("ElementData(atomic_num=1, atomic_sym='H', atomic_rad=0.53,")
        with pytest.raises(TypeError):
            hash(h)

    def test_all_fields_required(self):
        with pytest.raises(TypeError):
            ElementData(1, "H")

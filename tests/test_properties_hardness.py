"""Hardness from elastic moduli: dispatch, validation and the four models."""

import math
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ferrolith.properties import bondvick, hardness
from ferrolith.properties.hardness import (
    HARDNESS_METHODS,
    _calculate_chen,
    _calculate_jiang,
    _calculate_mazhnik,
    _calculate_tian,
    _validate_inputs_number,
    calculate_hardness,
)

KEYS = ["chen", "chen2011", "tian", "tian2012", "jiang", "jiang2011", "mazhnik", "mazhnik2019"]
NO_POISSON = (
    "Mazhnik's method requires 'poisson' ratio or enough moduli (shear/bulk, "
    "young/shear, or young/bulk) to calculate it."
)
NO_YOUNG = (
    "Mazhnik's method requires 'young' modulus or 'shear'/'bulk' to calculate it "
    "alongside Poisson's ratio."
)


# Python's own arithmetic is the oracle: the compiled models must agree with
# the formulas evaluated by the interpreter, complex powers included.
def py_chen(g, b):
    k = g / b
    h = 2 * (k * k * g) ** 0.585 - 3
    return max(h.real if isinstance(h, complex) else h, 0.0)


def py_tian(g, b):
    k = g / b
    h = 0.92 * k**1.137 * g**0.708
    return h.real if isinstance(h, complex) and h.imag == 0 else h


def py_mazhnik(nu, young):
    xu = (1 - 8.5 * nu + 19.5 * nu**2) / (1 - 7.5 * nu + 12.2 * nu**2 + 19.6 * nu**3)
    return 0.096 * xu * young


class TestRegistry:
    def test_keys_and_shared_functions(self):
        assert list(HARDNESS_METHODS) == KEYS
        for short, dated in zip(KEYS[::2], KEYS[1::2]):
            assert HARDNESS_METHODS[short] is HARDNESS_METHODS[dated]
        assert HARDNESS_METHODS["tian"] is _calculate_tian

    def test_reexports_the_structure_calculator(self):
        assert hardness.SimunekHardnessCalculator is bondvick.SimunekHardnessCalculator
        assert all(v is not hardness.SimunekHardnessCalculator for v in HARDNESS_METHODS.values())

    def test_entries_added_later_are_dispatched(self, monkeypatch):
        seen = {}

        def custom(**kwargs):
            seen.update(kwargs)
            return 1.5

        monkeypatch.setitem(HARDNESS_METHODS, "mine", custom)
        assert calculate_hardness(1.0, method="MINE") == 1.5
        assert list(seen.items()) == [
            ("shear", 1.0),
            ("bulk", None),
            ("young", None),
            ("poisson", None),
        ]

    def test_registry_read_at_call_time(self, monkeypatch):
        monkeypatch.setattr(hardness, "HARDNESS_METHODS", {"only": lambda **kw: 7.0})
        assert calculate_hardness(method="only") == 7.0
        with pytest.raises(ValueError, match=re.escape("Available methods are: ['only']")):
            calculate_hardness(method="chen")


class TestDispatcher:
    def test_default_is_chen(self):
        assert calculate_hardness(409.0, 400.0) == pytest.approx(66.214, abs=5e-4)

    @pytest.mark.parametrize("name", ["CHEN", "Chen2011", "chen"])
    def test_method_names_ignore_case(self, name):
        assert calculate_hardness(409.0, 400.0, method=name) == _calculate_chen(409.0, 400.0)

    @pytest.mark.parametrize("name", ["chen ", "", "simunek"])
    def test_unsupported_methods_quoted_as_written(self, name):
        message = f"Method '{name}' is not supported. Available methods are: {KEYS!r}"
        with pytest.raises(ValueError, match=re.escape(message) + "$"):
            calculate_hardness(409.0, 400.0, method=name)

    @pytest.mark.parametrize("arg", ["shear", "bulk", "young", "poisson"])
    @pytest.mark.parametrize("value", [400, True, np.float64(400.0), "400.0"])
    def test_moduli_must_be_exact_floats(self, arg, value):
        with pytest.raises(TypeError, match=arg):
            calculate_hardness(**{arg: value})

    def test_method_must_be_a_str(self):
        class Name(str):
            pass

        for bad in (None, 1, Name("chen")):
            with pytest.raises(TypeError):
                calculate_hardness(409.0, 400.0, method=bad)

    def test_model_errors_pass_through(self):
        with pytest.raises(ZeroDivisionError):
            calculate_hardness(409.0, 0.0)
        with pytest.raises(ValueError, match=re.escape("Missing required input: 'bulk'")):
            calculate_hardness(409.0, method="tian")


class TestWorkedValues:
    @pytest.mark.parametrize(
        "method, kwargs, expected",
        [
            ("chen", {}, 66.214),
            ("tian", {}, 66.662),
            ("jiang", {}, 60.324),
            ("mazhnik", {"poisson": 0.15}, 68.573),
            ("mazhnik", {}, 74.263),
        ],
    )
    def test_shear_409_bulk_400(self, method, kwargs, expected):
        result = calculate_hardness(409.0, 400.0, method=method, **kwargs)
        assert type(result) is float
        assert result == pytest.approx(expected, abs=5e-4)

    def test_jiang(self):
        assert calculate_hardness(young=1000.0, method="jiang") == pytest.approx(60.680, abs=5e-4)
        assert calculate_hardness(409.0, 1.0, young=1000.0, method="jiang") == 409.0 / 6.78
        with pytest.raises(
            ValueError,
            match=re.escape("Jiang's method requires either 'shear' or 'young' modulus."),
        ):
            calculate_hardness(bulk=1.0, method="jiang")

    def test_negative_shear(self):
        assert _calculate_chen(-10.0, 100.0) == 0.0
        tian = _calculate_tian(-10.0, 100.0)
        assert type(tian) is complex and tian == py_tian(-10.0, 100.0)

    def test_zero_shear_clamps_chen(self):
        assert _calculate_chen(0.0, 100.0) == 0.0


class TestModelInputs:
    @pytest.mark.parametrize("model", [_calculate_chen, _calculate_tian])
    def test_chen_tian_missing_and_zero(self, model):
        with pytest.raises(ZeroDivisionError):
            model(1.0, 0.0)
        with pytest.raises(ValueError, match=re.escape("Missing required input: 'bulk'")):
            model(1.0, None)
        with pytest.raises(ValueError, match=re.escape("Missing required input: 'shear'")):
            model(None, None)
        with pytest.raises(TypeError):
            model(1.0)  # both are required
        with pytest.raises(TypeError):
            model("1.0", 2.0)

    @pytest.mark.parametrize("model", [_calculate_chen, _calculate_tian])
    def test_chen_tian_convert_numbers(self, model):
        assert model(409, np.float32(400.0)) == model(409.0, 400.0)
        assert model(409.0, 400.0, young=1.0, poisson=None, anything="ignored") == (
            model(409.0, 400.0)
        )

    @pytest.mark.parametrize(
        "model, arg",
        [
            (_calculate_jiang, "shear"),
            (_calculate_jiang, "young"),
            (_calculate_mazhnik, "bulk"),
            (_calculate_mazhnik, "poisson"),
        ],
    )
    def test_jiang_mazhnik_need_exact_floats(self, model, arg):
        with pytest.raises(TypeError, match=arg):
            model(**{arg: 1})

    def test_mazhnik_derivations(self):
        g, b, e = 409.0, 400.0, 900.0
        nu_gb = (3 * b - 2 * g) / (2 * (3 * b + g))
        assert _calculate_mazhnik(g, b, e) == py_mazhnik(nu_gb, e)
        assert _calculate_mazhnik(shear=g, young=e) == py_mazhnik(e / (2 * g) - 1, e)
        nu_eb = (3 * b - e) / (6 * b)
        assert _calculate_mazhnik(bulk=b, young=e) == py_mazhnik(nu_eb, e)
        assert _calculate_mazhnik(bulk=b, poisson=0.2) == py_mazhnik(0.2, 3 * b * (1 - 2 * 0.2))

    def test_mazhnik_missing_inputs(self):
        with pytest.raises(ValueError, match=re.escape(NO_YOUNG)):
            _calculate_mazhnik(poisson=0.2)
        with pytest.raises(ValueError, match=re.escape(NO_POISSON)):
            _calculate_mazhnik(young=100.0)
        with pytest.raises(ZeroDivisionError):
            _calculate_mazhnik(shear=0.0, young=100.0)

    def test_mazhnik_range_warning(self, capsys):
        assert _calculate_mazhnik(poisson=0.5, young=100.0) == pytest.approx(5.673, abs=5e-4)
        assert capsys.readouterr().out == (
            "Warning: Poisson's ratio (0.500) is outside the typical physical range [-1.0, 0.5].\n"
        )
        _calculate_mazhnik(poisson=0.4999, young=100.0)
        _calculate_mazhnik(poisson=-0.9999, young=100.0)
        assert capsys.readouterr().out == ""
        _calculate_mazhnik(poisson=-1.0, young=100.0)
        assert "(-1.000)" in capsys.readouterr().out

    def test_warning_precedes_missing_young(self, capsys):
        with pytest.raises(ValueError, match=re.escape(NO_YOUNG)):
            _calculate_mazhnik(poisson=0.7)
        assert capsys.readouterr().out.startswith("Warning: Poisson's ratio (0.700)")


class TestValidator:
    def test_first_failure_decides(self):
        with pytest.raises(ValueError, match=re.escape("Missing required input: 'shear'")):
            _validate_inputs_number({"shear": None, "bulk": "x"})
        with pytest.raises(TypeError, match=re.escape("Input 'young' must be a number, not str")):
            _validate_inputs_number({"shear": 1, "young": "1", "bulk": None})

    def test_accepts_ints_bools_and_float_subclasses(self):
        assert _validate_inputs_number({"a": 1, "b": True, "c": np.float64(2.0)}) is None
        assert _validate_inputs_number({}) is None

    @pytest.mark.parametrize("bad", [[("a", 1.0)], None, type("D", (dict,), {})(a=1.0)])
    def test_argument_must_be_a_dict(self, bad):
        with pytest.raises(TypeError):
            _validate_inputs_number(bad)

    def test_models_use_the_current_validator(self, monkeypatch):
        seen = []
        monkeypatch.setattr(hardness, "_validate_inputs_number", lambda d: seen.append(dict(d)))
        _calculate_chen(409.0, 400.0)
        assert seen == [{"shear": 409.0, "bulk": 400.0}]


moduli = st.floats(min_value=-1e4, max_value=1e4, allow_nan=False)


def outcome(func, *args, **kwargs):
    """The value, or the exception type and text, of one call."""
    try:
        value = func(*args, **kwargs)
    except (ArithmeticError, ValueError) as exc:
        return type(exc), str(exc)
    if isinstance(value, complex) and (math.isnan(value.real) or math.isnan(value.imag)):
        return "complex nan"
    return type(value), value


class TestAgreesWithPythonArithmetic:
    @settings(max_examples=300, deadline=None)
    @given(g=moduli, b=moduli)
    def test_chen_and_tian(self, g, b):
        assert outcome(_calculate_chen, g, b) == outcome(py_chen, g, b)
        assert outcome(_calculate_tian, g, b) == outcome(py_tian, g, b)

    @settings(max_examples=300, deadline=None)
    @given(nu=st.floats(min_value=-0.99, max_value=0.49), e=moduli)
    def test_mazhnik(self, nu, e):
        assert outcome(_calculate_mazhnik, young=e, poisson=nu) == outcome(py_mazhnik, nu, e)

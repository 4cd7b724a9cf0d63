"""Elastic tensors the user already has: ferrolith.properties.tensor and `--cij`."""

import io
import json
import re

import numpy as np
import pytest
from ase.build import bulk
from test_properties_elastic import LinearElastic, cubic, isotropic

from ferrolith.properties.elastic import elastic_tensor
from ferrolith.properties.tensor import read_cij, tensor_moduli

VASP_ORDER = ("XX", "YY", "ZZ", "XY", "YZ", "ZX")
VOIGT_ORDER = ("XX", "YY", "ZZ", "YZ", "ZX", "XY")
VOIGT_INDEX = {"XX": 0, "YY": 1, "ZZ": 2, "YZ": 3, "ZX": 4, "XY": 5}


def triclinic_tensor(seed=3):
    """A symmetric positive-definite tensor with no zero entry (GPa)."""
    a = np.random.default_rng(seed).uniform(-40, 40, (6, 6))
    return a @ a.T + np.diag([400, 380, 360, 150, 140, 130.0])


def outcar_block(cij, order):
    """The OUTCAR block VASP writes for `cij` (GPa, Voigt), with rows and columns in `order`."""
    rule = " " + "-" * 80
    lines = [" TOTAL ELASTIC MODULI (kBar)", " Direction    " + "".join(f"{o:>12}" for o in order)]
    lines.append(rule)
    for r in order:
        values = [10 * cij[VOIGT_INDEX[r], VOIGT_INDEX[c]] for c in order]
        lines.append(f" {r:<10}" + "".join(f"{v:12.4f}" for v in values))
    lines.append(rule)
    return "\n".join(lines) + "\n"


@pytest.fixture
def cij():
    return np.round(triclinic_tensor(), 3)


class TestReading:
    @pytest.mark.parametrize("order", [VASP_ORDER, VOIGT_ORDER], ids=["vasp-order", "voigt-order"])
    def test_outcar_block_in_either_order(self, tmp_path, cij, order):
        path = tmp_path / "OUTCAR"
        older = outcar_block(2 * cij, VASP_ORDER)  # an earlier block: the last one counts
        path.write_text(" vasp.6.4.2 18Apr23\n" + older + " some text\n" + outcar_block(cij, order))
        assert read_cij(path) == pytest.approx(cij, abs=1e-12)

    def test_text_and_json_layouts_agree(self, tmp_path, cij):
        text = tmp_path / "cij.txt"
        text.write_text(
            "# C_ij, GPa\n" + "\n".join(",  ".join(repr(float(x)) for x in r) for r in cij) + "\n"
        )
        listed = tmp_path / "cij.json"
        listed.write_text(json.dumps(cij.tolist()))
        record = tmp_path / "elastic.json"
        record.write_text(json.dumps({"file": "x", "cij": cij.tolist(), "stable": True}))
        for source in (text, listed, record, io.StringIO(text.read_text()), str(text)):
            assert np.array_equal(read_cij(source), cij)

    @pytest.mark.parametrize(
        "name, content, message",
        [
            ("OUTCAR", " vasp.6.4.2\n FREE ENERGIE\n", 'no "TOTAL ELASTIC MODULI" block'),
            ("run.out", " vasp.5.4.4\n", 'no "TOTAL ELASTIC MODULI" block'),
            ("c.txt", "1 2 3 4 5 6\n1 2 3 4 5\n", "line 2: expected 6 numbers in a row, found 5"),
            ("c.txt", "1 2 3 4 5 6\n" * 5, "expected 6 rows of 6 numbers, found 5 rows"),
            ("c.txt", "1 2 3 4 5 x6\n" * 6, "line 1: not a number: 'x6'"),
            ("c.json", "[[1, 2]]", "cij must be a 6x6 matrix"),
            ("c.json", '{"moduli": 1}', 'needs a "cij" entry'),
        ],
    )
    def test_bad_files_name_file_and_line(self, tmp_path, name, content, message):
        path = tmp_path / name
        path.write_text(content)
        with pytest.raises(ValueError, match=re.escape(f"{path}") + ".*" + re.escape(message)):
            read_cij(path)

    def test_truncated_block_and_asymmetric_matrix(self, tmp_path, cij):
        path = tmp_path / "OUTCAR"
        path.write_text("\n".join(outcar_block(cij, VASP_ORDER).splitlines()[:6]) + "\n")
        with pytest.raises(ValueError, match="ends after 3 of 6 rows"):
            read_cij(path)
        bad = cij.copy()
        bad[0, 1] += 50
        with pytest.raises(ValueError, match="not symmetric"):
            tensor_moduli(bad)


class TestModuli:
    def test_same_moduli_as_elastic_tensor(self, cij):
        atoms = bulk("Cu", "fcc", a=3.6, cubic=True)
        fitted = elastic_tensor(atoms, calculator=LinearElastic(cij, atoms.cell), relax=False)
        given = tensor_moduli(fitted.cij)
        for name in ("bulk_voigt", "bulk_reuss", "bulk_hill", "shear_voigt", "shear_reuss",
                     "shear_hill", "young", "poisson", "stable"):  # fmt: skip
            assert getattr(given, name) == getattr(fitted, name), name
        assert np.isnan(given.zener)

    @pytest.mark.parametrize("c11, c12, c44", [(1079, 124, 578), (165.7, 63.9, 79.6), (49, 13, 13)])
    def test_cubic_anisotropy_closed_forms(self, c11, c12, c44):
        # For cubic crystals A^U = 6/5 (sqrt(A) - 1/sqrt(A))^2 with Zener's A
        # (Ranganathan & Ostoja-Starzewski 2008).
        result = tensor_moduli(cubic(c11, c12, c44))
        zener = 2 * c44 / (c11 - c12)
        assert result.zener == pytest.approx(zener, rel=1e-12)
        expected = 1.2 * (np.sqrt(zener) - 1 / np.sqrt(zener)) ** 2
        assert result.universal_anisotropy == pytest.approx(expected, rel=1e-9, abs=1e-12)
        assert result.bulk_hill == pytest.approx((c11 + 2 * c12) / 3, rel=1e-12)

    def test_isotropic_and_unstable_tensors(self):
        iso = tensor_moduli(isotropic(100.0, 60.0))
        assert iso.zener == pytest.approx(1) and iso.universal_anisotropy == pytest.approx(0)
        # C12 > C11: a result, not a refusal.
        assert tensor_moduli(cubic(100, 150, 50)).stable is False

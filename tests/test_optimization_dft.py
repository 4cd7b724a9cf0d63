"""DFT with GPAW: ferrolith.optimization.dft and `--potential gpaw`."""

import json
import re
import sys

import numpy as np
import pytest
from ase.build import bulk
from ase.calculators.calculator import kptdensity2monkhorstpack
from ase.io import write

from ferrolith.cli import main
from ferrolith.optimization import dft, get_calculator
from ferrolith.properties.elastic import elastic_tensor

# Si at a tiny setting: a few seconds per cell, yet a covalent crystal's
# elastic constants.
TINY = {"ecut": 250.0, "kpoint_density": 2.0, "density": 1e-5}


class TestWithoutGPAW:
    def test_missing_gpaw_names_the_extra(self, monkeypatch, tmp_path, capsys):
        monkeypatch.setitem(sys.modules, "gpaw", None)  # import gpaw now fails
        for attempt in (
            lambda: get_calculator("gpaw"),
            lambda: elastic_tensor(bulk("Si"), potential="gpaw"),
        ):
            with pytest.raises(ImportError, match=re.escape("pip install 'ferrolith[dft]'")):
                attempt()
        path = tmp_path / "si.vasp"
        write(path, bulk("Si"), format="vasp")
        assert main(["elastic", "-f", str(path), "--potential", "gpaw"]) == 1
        assert "pip install 'ferrolith[dft]'" in capsys.readouterr().err

    @pytest.mark.parametrize(
        "content, text",
        [
            ({"ecutt": 300}, "Unknown GPAW setting 'ecutt'"),
            ({"ecut": -1}, "ecut must be a positive number"),
            ({"kpoint_density": True}, "kpoint_density must be a positive number"),
            ([1, 2], "must be a JSON object"),
        ],
    )
    def test_bad_settings_file_named(self, tmp_path, content, text):
        path = tmp_path / "dft.json"
        path.write_text(json.dumps(content))
        with pytest.raises(ValueError, match=re.escape(f"{path}: ") + ".*" + re.escape(text)):
            get_calculator(str(path))


def test_bundled_settings_are_the_defaults_and_a_file_overrides_them(tmp_path):
    pytest.importorskip("gpaw")
    assert get_calculator("gpaw").settings == dft.DEFAULTS
    path = tmp_path / "mine.json"
    path.write_text('{"ecut": 400, "txt": null}')
    assert get_calculator(path).settings == {**dft.DEFAULTS, "ecut": 400.0, "txt": None}


@pytest.fixture(scope="module")
def tiny_si(tmp_path_factory):
    pytest.importorskip("gpaw")
    log = tmp_path_factory.mktemp("gpaw") / "si.txt"
    calc = dft.gpaw_calculator(txt=str(log), **TINY)
    return calc, log


def test_si_elastic_constants_at_a_tiny_setting(tiny_si, capfd):
    calc, log = tiny_si
    atoms = bulk("Si", "diamond", a=5.47)
    result = elastic_tensor(atoms, calculator=calc, strains=(0.01,), relax=False, fmax=0.02)
    # One k-point mesh for every strained cell: the reference cell's.
    assert calc.kpts == tuple(kptdensity2monkhorstpack(atoms, TINY["kpoint_density"], even=False))
    assert "strained cell 3/3" in capfd.readouterr().err
    assert "Converged" in log.read_text() or "converged" in log.read_text()
    c = result.cij
    # Covalent Si (PBE, converged: C11 153, C12 57, C44 75 GPa) within what
    # 250 eV and a 4x4x4 mesh allow.
    assert c[0, 0] == pytest.approx(153, rel=0.2)
    assert c[0, 1] == pytest.approx(57, rel=0.3)
    assert c[3, 3] == pytest.approx(75, rel=0.2)
    assert result.stable
    # The bulk modulus from stress agrees with GPAW's own energies over volume.
    volumes, energies = [], []
    for scale in (0.99, 1.0, 1.01):
        strained = atoms.copy()
        strained.set_cell(atoms.cell * scale, scale_atoms=True)
        strained.calc = calc
        volumes.append(strained.get_volume())
        energies.append(strained.get_potential_energy())
    curvature = np.polyfit(volumes, energies, 2)[0] * 2
    eos_bulk = curvature * volumes[1] / 1e9 * 1.602176634e-19 * 1e30
    assert result.bulk_voigt == pytest.approx(eos_bulk, rel=0.1)

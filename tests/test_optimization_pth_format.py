"""Model files read without PyTorch: the values torch.load gives, only plain data
accepted, and the potential used end to end in a process where torch cannot
be imported.

Files torch itself writes are the oracle where torch is installed; where it is
not, `write_torch_file` writes the same format with the standard library (it
also reaches what this machine's torch never writes: big-endian storages and
zip64 records)."""

import io
import json
import os
import pickle
import re
import subprocess
import sys
import textwrap
import types
import zipfile
from collections import OrderedDict
from pathlib import Path

import numpy as np
import pytest

from ferrolith.optimization import _mlp

DATA = Path(__file__).parent / "data"
SHIPPED = Path(_mlp.__file__).parents[1] / "data" / "files" / "BCN-qz-v0.0.1.pth"
NOT_A_MODEL = " is not a ferrolith machine-learned potential file: "
STORAGES = {"float64": "DoubleStorage", "float32": "FloatStorage", "int64": "LongStorage"}


def write_torch_file(path, obj, byteorder="little", protocol=2):
    """torch.save's zip format of `obj`, numpy arrays standing for tensors,
    pickled against stand-ins of torch's globals."""
    fake, utils = types.ModuleType("torch"), types.ModuleType("torch._utils")

    def _rebuild_tensor_v2(*args):
        raise AssertionError("a stand-in, never called")

    _rebuild_tensor_v2.__module__ = "torch._utils"
    _rebuild_tensor_v2.__qualname__ = "_rebuild_tensor_v2"
    utils._rebuild_tensor_v2 = _rebuild_tensor_v2
    for name in STORAGES.values():
        setattr(fake, name, type(name, (), {"__module__": "torch"}))
    storages = []

    class Pickler(pickle.Pickler):
        def persistent_id(self, obj):
            if isinstance(obj, tuple) and obj[:1] == ("storage-of",):
                array = obj[1]
                kind = getattr(fake, STORAGES[array.dtype.name])
                return ("storage", kind, str(obj[2]), "cpu", array.size)
            return None

        def reducer_override(self, obj):
            if not isinstance(obj, np.ndarray):
                return NotImplemented
            storages.append(np.ascontiguousarray(obj).ravel())
            pid = ("storage-of", storages[-1], len(storages) - 1)
            strides = tuple(s // obj.itemsize for s in np.ascontiguousarray(obj).strides)
            return _rebuild_tensor_v2, (pid, 0, obj.shape, strides, False, OrderedDict())

    buffer = io.BytesIO()
    saved = {name: sys.modules.get(name) for name in ("torch", "torch._utils")}
    sys.modules.update({"torch": fake, "torch._utils": utils})
    try:
        Pickler(buffer, protocol=protocol).dump(obj)
    finally:
        for name, module in saved.items():
            if module is None:
                sys.modules.pop(name)
            else:
                sys.modules[name] = module
    order = "<" if byteorder == "little" else ">"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        z.writestr("archive/data.pkl", buffer.getvalue())
        z.writestr("archive/byteorder", byteorder)
        for key, array in enumerate(storages):
            data = array.astype(array.dtype.newbyteorder(order)).tobytes()
            z.writestr(f"archive/data/{key}", data)
        z.writestr("archive/version", "3\n")


def assert_same(ours, theirs, torch=None):
    """Equal trees: torch's tensors against our arrays (dtype, shape, values)."""
    if torch is not None and isinstance(theirs, torch.Tensor):
        expected = theirs.detach()
        expected = (expected.float() if expected.dtype == torch.bfloat16 else expected).numpy()
        assert isinstance(ours, np.ndarray) and ours.dtype == expected.dtype
        np.testing.assert_array_equal(ours, expected, strict=True)
    elif isinstance(theirs, np.ndarray):
        assert ours.dtype == theirs.dtype
        np.testing.assert_array_equal(ours, theirs, strict=True)
    elif isinstance(theirs, dict):
        assert type(ours) is dict and list(ours) == list(theirs)
        for key in theirs:
            assert_same(ours[key], theirs[key], torch)
    elif isinstance(theirs, (list, tuple)):
        assert type(ours) is type(theirs) and len(ours) == len(theirs)
        for a, b in zip(ours, theirs):
            assert_same(a, b, torch)
    else:
        assert type(ours) is type(theirs) and (ours == theirs or ours != ours)


def plain_values():
    return {
        "format": "ferrolith-mlp",
        "ints": [0, -1, 255, 65536, -(2**31), 2**40, -(2**63)],
        "floats": (0.5, -0.0, 1e-300, float("inf")),
        "flags": [True, False, None],
        "text": "B–C–N, ångström",
        "nested": {"a": {"b": [[], ()]}, 3: "int key", (1, "x"): "tuple key"},
    }


class TestSameAsTorch:
    @pytest.mark.parametrize("protocol, zipped", [(2, True), (4, True), (2, False)])
    def test_tensors_views_and_containers(self, tmp_path, protocol, zipped):
        torch = pytest.importorskip("torch")
        base = torch.arange(24, dtype=torch.float64).reshape(4, 6)
        data = plain_values() | {
            "float64": base,
            "transposed-float32": base.float().T,
            "offset-view": base[2:, 1:4],  # shares base's storage
            "strided": base[:, ::3],
            "expanded": torch.tensor([1.5]).expand(3, 2),
            "scalar": torch.tensor(2.5),
            "empty": torch.zeros(0, 3),
            "ints": [torch.tensor([-3, 2**40]), torch.tensor([7], dtype=torch.int32)],
            "small": [torch.tensor([1, -2], dtype=t) for t in (torch.int16, torch.int8)],
            "bytes-and-bools": [torch.tensor([0, 255], dtype=torch.uint8), torch.tensor([True])],
            "halves": [
                torch.tensor([1.5, -2.25], dtype=t) for t in (torch.float16, torch.bfloat16)
            ],
            "parameter": torch.nn.Parameter(torch.ones(2, 2)),
            "state": torch.nn.Linear(3, 2).state_dict(),  # an OrderedDict with attributes
        }
        path = tmp_path / "values.pth"
        torch.save(data, path, pickle_protocol=protocol, _use_new_zipfile_serialization=zipped)
        # torch's own restricted reader knows protocol 2 only; this file is ours
        theirs = torch.load(path, weights_only=protocol == 2)
        assert_same(_mlp.read_model_file(path), theirs, torch)

    def test_shipped_file_reads_as_torch_reads_it(self):
        torch = pytest.importorskip("torch")
        theirs = torch.load(SHIPPED, weights_only=True)
        assert_same(_mlp.read_model_file(SHIPPED), theirs, torch)


class TestWithoutTorch:
    def test_shipped_file_equals_its_numpy_copy(self):
        read = _mlp.read_model_file(SHIPPED)
        arrays = np.load(DATA / "ml-model-weights.npz")
        header = json.loads(str(arrays["header"]))
        assert read["metadata"] == header["metadata"]
        for key, value in header.items():
            if not isinstance(value, dict):
                assert read[key] == value, key
        for key in arrays.files:
            if key == "header":
                continue
            node = read
            for part in key.split("/"):
                node = node[int(part)] if isinstance(node, list) else node[part]
            np.testing.assert_array_equal(node, arrays[key], strict=True)

    def test_a_file_of_the_legacy_format(self):
        read = _mlp.read_model_file(DATA / "torch-legacy-format.pth")
        base = np.arange(12.0).reshape(3, 4)
        assert_same(read["w"], base)
        assert_same(read["view"], base[1:, ::2])
        assert_same(read["i"], np.array([-1, 2**40]))
        assert read["meta"] == {"name": "legacy", "n": [1, 2.5, None, True]}

    @pytest.mark.parametrize("byteorder", ["little", "big"])
    def test_byte_order_and_zip64_records(self, tmp_path, monkeypatch, byteorder):
        rng = np.random.default_rng(0)
        data = plain_values() | {
            "w": rng.normal(size=(3, 4)),
            "f": rng.normal(size=5).astype(np.float32),
            "i": np.array([[1, -2], [3, 2**50]]),
        }
        data["same"] = data["w"]  # one object twice: one storage, read as one array
        write_torch_file(tmp_path / "plain.pth", data, byteorder)
        # every size and offset in zip64 records, as archives beyond 4 GiB have
        monkeypatch.setattr(zipfile, "ZIP64_LIMIT", 1)
        write_torch_file(tmp_path / "zip64.pth", data, byteorder)
        assert b"PK\x06\x06" in (tmp_path / "zip64.pth").read_bytes()  # the zip64 end record
        for name in ("plain.pth", "zip64.pth"):
            read = _mlp.read_model_file(tmp_path / name)
            assert_same(read, data)
            assert read["same"] is read["w"]


class Payload:
    """What a hostile file would run on loading: it leaves a file behind."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return os.system, (f"touch {self.marker}",)


class TestRefusals:
    @pytest.mark.parametrize(
        "payload, name",
        [
            (lambda marker: Payload(marker), os.system.__module__ + ".system"),
            (lambda marker: Path("x"), type(Path("x")).__module__ + "." + type(Path("x")).__name__),
            (lambda marker: {"numpy": np.ones(2)}, None),
            (lambda marker: {1, 2}, "builtins.set"),
        ],
        ids=["code", "class", "numpy", "set"],
    )
    def test_other_globals_are_named_and_never_run(self, tmp_path, payload, name):
        marker = tmp_path / "ran"
        path = tmp_path / "hostile.pth"
        data = {"format": "ferrolith-mlp", "payload": payload(marker)}
        with zipfile.ZipFile(path, "w") as z:  # numpy arrays pickled by numpy, not as tensors
            z.writestr("archive/data.pkl", pickle.dumps(data, protocol=2))
        with pytest.raises(ValueError) as raised:
            _mlp.load_model(path)
        message = str(raised.value)
        if name is None:  # numpy's reconstruction function, whichever module holds it
            assert re.fullmatch(
                re.escape(f"{path}{NOT_A_MODEL}it refers to 'numpy.") + r"[\w.]+', which a model "
                "file never holds",
                message,
            ), message
        else:
            assert (
                message
                == f"{path}{NOT_A_MODEL}it refers to '{name}', which a model file never holds"
            )
        assert not marker.exists()

    @pytest.mark.parametrize(
        "content, reason",
        [
            (b"", "it cannot be read as a PyTorch file (it is too short for a zip archive)"),
            (
                b"C C C 3.0 1.0 0.0 ...\n" * 4,
                "it cannot be read as a PyTorch file (it is not a zip archive)",
            ),
            ("deflated", "is compressed; torch.save stores entries uncompressed"),
            ("no-pickle", "it cannot be read as a PyTorch file (the archive has no data.pkl)"),
            ("truncated", "it cannot be read as a PyTorch file (data.pkl ends early)"),
        ],
    )
    def test_other_files_are_refused(self, tmp_path, content, reason):
        path = tmp_path / "model.pth"
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            method = zipfile.ZIP_DEFLATED if content == "deflated" else zipfile.ZIP_STORED
            name = "archive/other" if content == "no-pickle" else "archive/data.pkl"
            with zipfile.ZipFile(path, "w", method) as z:
                z.writestr(name, pickle.dumps({"format": "ferrolith-mlp"}, protocol=2)[:-3])
        with pytest.raises(
            ValueError, match=re.escape(f"{path}{NOT_A_MODEL}") + ".*" + re.escape(reason)
        ):
            _mlp.read_model_file(path)
        with pytest.raises(FileNotFoundError):
            _mlp.read_model_file(tmp_path / "absent.pth")


NO_TORCH = """
import sys

class NoTorch:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] == "torch":
            raise ImportError("torch is not installed here")

sys.meta_path.insert(0, NoTorch())

import ferrolith.cli
from ase.build import bulk
from ase.io import write
from ferrolith.optimization import get_calculator

atoms = bulk("BN", "zincblende", a=3.66, cubic=True)
atoms.calc = get_calculator("pth")
energy = atoms.get_potential_energy()
write("POSCAR", atoms, format="vasp")
assert ferrolith.cli.main(["optimize", "--potential", "pth", "-f", "POSCAR", "--steps", "3"]) == 0
assert ferrolith.cli.main(["hardness", "POSCAR", "--potential", "pth"]) == 0
assert ferrolith.cli.main(["elastic", "-f", "POSCAR", "--potential", "pth", "--no-relax"]) == 0
assert "torch" not in sys.modules
print("energy", repr(energy))
"""


def test_the_potential_runs_where_torch_cannot_be_imported(tmp_path):
    # a blocked import proves what a second virtual environment without torch
    # would, at the cost of one process
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(NO_TORCH)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    from ase.build import bulk

    atoms = bulk("BN", "zincblende", a=3.66, cubic=True)
    atoms.calc = _mlp.load_ml_calculator(SHIPPED)
    assert float(done.stdout.split("energy")[-1]) == atoms.get_potential_energy()

"""The machine-learned potential as a KIM portable model.

A KIM portable model is a shared library that LAMMPS (``kim init`` /
``kim interactions``), ASE (``ase.calculators.kim`` through kimpy) and other
simulators load. Ours is a parameterized model: the model driver
``Ferrolith_MLP_driver`` (C++, compiled from the same kernel sources as the
Python calculator) and one parameter file written from a model file.

``export(model, directory, name)`` writes the sources of both items;
``install(model, name, collection)`` builds them with the KIM API's CMake
helpers and installs them into a KIM collection. ``load_potential`` reads a
potential the way ``ferrolith optimize --potential`` names it and returns the
model with the KIM name it is installed under.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, TextIO

__all__ = [
    "COLLECTIONS",
    "DRIVER_NAME",
    "PARAMETER_FILE",
    "export",
    "install",
    "load_potential",
    "model_name",
]

#: The KIM name of the model driver (as in driver/CMakeLists.txt).
DRIVER_NAME = "Ferrolith_MLP_driver"
#: The name of the portable model's one parameter file.
PARAMETER_FILE = "ferrolith_mlp.params"
#: Collections ``install`` writes to, by the names KIM's CMake helpers take.
COLLECTIONS = {"user": "USER", "system": "SYSTEM"}

_DRIVER_SOURCES = Path(__file__).parent / "driver"
_BUNDLED = {"pth": "BCN-qz-v0.0.1.pth"}

_MODEL_CMAKE = """\
# KIM portable model {name}: ferrolith's machine-learned potential, exported
# by ferrolith {version}. Needs the model driver {driver}.
cmake_minimum_required(VERSION 3.10)

list(APPEND CMAKE_PREFIX_PATH $ENV{{KIM_API_CMAKE_PREFIX_DIR}})
find_package(KIM-API-ITEMS 2.2 REQUIRED CONFIG)
kim_api_items_setup_before_project(ITEM_TYPE "portableModel")
project({name})
kim_api_items_setup_after_project(ITEM_TYPE "portableModel")

add_kim_api_model_library(
  NAME ${{PROJECT_NAME}}
  DRIVER_NAME "{driver}"
  PARAMETER_FILES "{parameters}"
)
"""


def model_name(path: str | os.PathLike[str]) -> str:
    """The KIM name of the portable model of the model file ``path``.

    ``Ferrolith_MLP_`` and the file's stem with every character that a KIM
    name (a C identifier) cannot hold replaced by ``_``.
    """
    return "Ferrolith_MLP_" + re.sub(r"[^A-Za-z0-9_]", "_", Path(path).stem)


def load_potential(potential: str | os.PathLike[str]) -> tuple[Any, str]:
    """The ``MLModel`` of ``potential`` and its KIM name.

    ``potential`` is "pth" (the bundled model) or the path of a model file.
    A potential of another kind (a Tersoff file, say) cannot be exported and
    is a ValueError; unreadable files fail as ``load_model`` does.
    """
    from ferrolith.data import files
    from ferrolith.optimization import _mlp
    from ferrolith.optimization.relax import potential_kind

    if isinstance(potential, str) and potential in _BUNDLED:
        potential = Path(files.__file__).parent / _BUNDLED[potential]
    if not Path(potential).exists():
        # a clear message before the potential's kind is guessed from the name
        raise FileNotFoundError(f"No potential file at '{os.fspath(potential)}'.")
    kind = potential_kind(potential)
    if kind != "pth":
        raise ValueError(
            f"{os.fspath(potential)} is a {kind} potential; only machine-learned potentials "
            "(.pth model files) can be exported as KIM models (LAMMPS runs Tersoff files "
            "natively with pair_style tersoff)."
        )
    return _mlp.load_model(potential), model_name(potential)


def _check_name(name: str) -> None:
    if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", name):
        raise ValueError(
            f"{name!r} is not a valid KIM model name (letters, digits and '_', "
            "not starting with a digit)"
        )


def export(model: Any, directory: str | os.PathLike[str], name: str) -> tuple[Path, Path]:
    """Writes the sources of the model driver and of the portable model ``name``.

    ``directory``/DRIVER_NAME gets the driver's CMake project (its source and
    the kernel sources it compiles); ``directory``/``name`` the portable
    model's CMake project and its parameter file from ``model`` (an MLModel).
    Both can be built with ``kim-api-collections-management install``, the
    driver first. Returns the two directories (driver, model).
    """
    from ase.data import chemical_symbols

    _check_name(name)
    for element in model.elements:
        # KIM knows the chemical elements by symbol, but not ASE's "X"
        if element not in chemical_symbols[1:]:
            raise ValueError(
                f"this model cannot be exported as a KIM model: element {element!r} is not a "
                "KIM species"
            )
    if name == DRIVER_NAME:
        raise ValueError(f"the portable model cannot share the driver's name {DRIVER_NAME}")
    out = Path(directory)
    driver_dir = out / DRIVER_NAME
    shutil.copytree(_DRIVER_SOURCES, driver_dir, dirs_exist_ok=True)
    model_dir = out / name
    model_dir.mkdir(parents=True, exist_ok=True)
    model.write_parameter_file(model_dir / PARAMETER_FILE)
    from ferrolith import __version__

    (model_dir / "CMakeLists.txt").write_text(
        _MODEL_CMAKE.format(
            name=name, driver=DRIVER_NAME, parameters=PARAMETER_FILE, version=__version__
        )
    )
    return driver_dir, model_dir


def _tool(name: str) -> str | None:
    """A build tool on PATH, or else pip's copy in this Python's environment."""
    beside = Path(sys.executable).parent / name
    return shutil.which(name) or (str(beside) if beside.exists() else None)


def _cmake() -> list[str]:
    """The CMake command line that configures a KIM item with our generator."""
    cmake = _tool("cmake")
    if cmake is None:
        raise RuntimeError(
            "CMake is needed to build KIM models: install it (apt-get install cmake, or "
            "pip install cmake)"
        )
    ninja = _tool("ninja")
    return [cmake, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja else [cmake]


def _run(command: list[str], what: str, log: TextIO | None) -> None:
    result = subprocess.run(command, capture_output=True, text=True)
    if log is not None:
        log.write(result.stdout + result.stderr)
        log.flush()
    if result.returncode != 0:
        tail = "\n".join((result.stdout + result.stderr).strip().splitlines()[-15:])
        raise RuntimeError(f"{what} failed:\n{tail}")


def _build(source: Path, build: Path, collection: str, log: TextIO | None) -> None:
    configure = _cmake()
    cmake = configure[0]
    options = ["-S", str(source), "-B", str(build), f"-DKIM_API_INSTALL_COLLECTION={collection}"]
    _run([*configure, *options], f"configuring {source.name}", log)
    jobs = str(os.cpu_count() or 1)
    _run([cmake, "--build", str(build), "-j", jobs], f"building {source.name}", log)
    _run([cmake, "--install", str(build)], f"installing {source.name}", log)


def install(model: Any, name: str, collection: str = "user", log: TextIO | None = None) -> str:
    """Builds the driver and the portable model ``name`` of ``model`` and
    installs both into the KIM ``collection`` ("user" or "system"); returns
    ``name``. Build output goes to ``log`` if given; a failed step is a
    RuntimeError ending with its last lines of output. Progress lines go to
    standard error.
    """
    if collection not in COLLECTIONS:
        raise ValueError(f"collection must be 'user' or 'system', not {collection!r}")
    with tempfile.TemporaryDirectory(prefix="ferrolith-kim-") as tmp:
        root = Path(tmp)
        driver_dir, model_dir = export(model, root / "src", name)
        for item in (driver_dir, model_dir):
            print(f"kim: building and installing {item.name}", file=sys.stderr, flush=True)
            _build(item, root / "build" / item.name, COLLECTIONS[collection], log)
    return name

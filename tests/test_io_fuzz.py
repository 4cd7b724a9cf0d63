"""Mutation fuzzing of the file readers: hostile input ends in a Python exception.

The extended writer is fuzzed through them: what a mutated BCS file gives is
written with ``ferrolith.io.ext.write`` over old files, which a failed write
must leave as they were.

Each reader runs in a child process under a 1 GiB address-space cap and gets an
equal share of one time budget, fed mutations of real files (bit flips,
truncations, deleted spans, hostile numbers such as 1e308, nan and huge counts).
A crash (signal), a hang (no end in time), runaway memory (MemoryError) or a
very slow input fails the test and names the input. Another reader is one more
entry in READERS: the callable that reads a file path, and its seed files.
"""

import json
import os
import shutil
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

import ferrolith

TESTS = Path(__file__).parent
PACKAGE = Path(ferrolith.__file__).parent
TOTAL_SECONDS = 20.0
GRACE_SECONDS = 30.0  # start-up and the last input, beyond the budget

READERS = {
    "vesta": ("ferrolith.io.vesta:read_vesta", sorted((TESTS / "data" / "vesta").glob("*.vesta"))),
    "bcs": ("ferrolith.io.bcs:read_bcs", sorted((TESTS / "data" / "bcs").glob("*.bcs"))),
    "tersoff": (
        "ferrolith.optimization.tersoff:TersoffPotential",
        [PACKAGE / "data" / "files" / "BNC.tersoff"],
    ),
    "pth": (
        "ferrolith.optimization._mlp:read_model_file",
        [
            PACKAGE / "data" / "files" / "BCN-qz-v0.0.1.pth",
            TESTS / "data" / "torch-legacy-format.pth",
        ],
    ),
    "ext-write": ("_fuzz_worker:write_through_ext", sorted((TESTS / "data" / "bcs").glob("*.bcs"))),
    "polycrystal-params": (
        "ferrolith.build.polycrystal:read_params",
        sorted((TESTS / "data" / "polycrystal").glob("*.txt")),
    ),
}


@pytest.mark.parametrize("name", list(READERS))
def test_hostile_files_end_in_python_exceptions(name, tmp_path):
    target, seeds = READERS[name]
    assert seeds, f"no seed files for {name}"
    seconds = TOTAL_SECONDS / len(READERS)
    command = [
        sys.executable,
        str(TESTS / "_fuzz_worker.py"),
        target,
        str(seconds),
        str(zlib.crc32(name.encode())),  # the same sequence of inputs on every run
        str(tmp_path),
        *map(str, seeds),
    ]
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    try:
        done = subprocess.run(
            command, capture_output=True, text=True, timeout=seconds + GRACE_SECONDS, env=env
        )
        outcome = f"exit status {done.returncode}"
        if done.returncode < 0:
            outcome = f"killed by signal {-done.returncode}"
    except subprocess.TimeoutExpired as expired:
        done, outcome = expired, f"no end after {seconds + GRACE_SECONDS:.0f} s"
    if getattr(done, "returncode", None) == 0:
        summary = json.loads(done.stdout)
        assert summary["tried"] > 10, summary  # the run did test something
        return
    kept = tmp_path / "failing-input"
    if (tmp_path / "input").exists():
        shutil.copy(tmp_path / "input", kept)
    data = kept.read_bytes() if kept.exists() else b""
    stdout = done.stdout or ""
    stderr = done.stderr or ""
    if isinstance(stderr, bytes):
        stdout, stderr = stdout.decode(errors="replace"), stderr.decode(errors="replace")
    pytest.fail(
        f"{target}: {outcome} on the input kept in {kept}:\n{data[:400]!r}\n"
        f"{stdout[-500:]}\n{stderr[-2000:]}"
    )

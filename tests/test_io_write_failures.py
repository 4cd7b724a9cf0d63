"""A write that fails part-way leaves the target file as it was, and no stray file."""

import errno
import io
import os
import subprocess
import threading
from pathlib import Path

import pytest
from ase.build import bulk

from ferrolith.io import bcs, ext, vesta
from ferrolith.io.bcs import write_bcs
from ferrolith.io.ext import write as ext_write
from ferrolith.io.vesta import read_vesta, write_vesta

pytestmark = pytest.mark.filterwarnings("ignore:Set OLD_ERROR_HANDLING:DeprecationWarning")

DATA = Path(__file__).parent / "data" / "vesta"
OLD = "the file that was there before\n"


def unwritable_vesta(kind):
    """A structure read from a real file whose stored lines can no longer be written."""
    atoms = read_vesta(DATA / "CBaMnBr4_sq.vesta")
    data = atoms.info["vesta_data"]
    blocks = data.raw_blocks
    if kind == "non-str line":
        blocks["SITET"].insert(1, 42)
    elif kind == "block not a list":
        blocks["SITET"] = None
    elif kind == "raw_blocks not a dict":
        data.raw_blocks = list(blocks.values())
    elif kind == "surrogate":  # a stray byte kept by errors="surrogateescape"
        blocks["SITET"][1] = "Ba\udcff\n"
    return atoms


KINDS = {
    "non-str line": (TypeError, r"raw_blocks\['SITET'\]\[1\] must be a str, not int"),
    "block not a list": (TypeError, "not iterable"),
    "raw_blocks not a dict": (AttributeError, "keys"),
    "surrogate": (UnicodeEncodeError, "surrogates not allowed"),
}


@pytest.mark.parametrize("kind", list(KINDS))
def test_refused_vesta_lines_leave_the_target_alone(kind, tmp_path):
    error, message = KINDS[kind]
    target = tmp_path / "model.vesta"
    target.write_text(OLD)
    with pytest.raises(error, match=message):
        write_vesta(target, unwritable_vesta(kind))
    assert target.read_text() == OLD
    assert os.listdir(tmp_path) == ["model.vesta"]
    # An open file is written in one piece: a refused line leaves it empty.
    with open(tmp_path / "open.vesta", "w", encoding="utf-8") as fd:
        with pytest.raises(error, match=message):
            write_vesta(fd, unwritable_vesta(kind))
    assert (tmp_path / "open.vesta").read_text() == ""


@pytest.fixture(params=["small tmpfs", "simulated"])
def full_disk(request, tmp_path, monkeypatch):
    """A folder on which writing runs out of space, and the write to try there."""
    folder = tmp_path / "disk"
    folder.mkdir()
    if request.param == "small tmpfs":
        mount = ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(folder)]
        if os.geteuid() != 0 or subprocess.run(mount, capture_output=True).returncode != 0:
            pytest.skip("mounting a tmpfs needs root")
        request.addfinalizer(lambda: subprocess.run(["umount", str(folder)], check=True))
        (folder / "model.out").write_text(OLD)
        with open(folder / "filler", "wb", buffering=0) as filler:
            with pytest.raises(OSError) as info:
                while True:
                    filler.write(b"\0" * 4096)
            assert info.value.errno == errno.ENOSPC
    else:
        # The module's own text writer, looked up at call time, fails half-way.
        def out_of_space(real):
            def write(fd, *args):
                buffer = io.StringIO()
                real(buffer, *args)
                Path(fd).write_text(buffer.getvalue()[: len(buffer.getvalue()) // 2])
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

            return write

        def ase_out_of_space(real):
            def write(filename, images, *args, **kwargs):
                real(filename, images, *args, **kwargs)
                text = Path(filename).read_bytes()
                Path(filename).write_bytes(text[: len(text) // 2])
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

            return write

        monkeypatch.setattr(ext, "ase_write", ase_out_of_space(ext.ase_write))
        monkeypatch.setattr(vesta, "_write_blocks", out_of_space(vesta._write_blocks))
        monkeypatch.setattr(bcs, "_write_text", out_of_space(bcs._write_text))
        (folder / "model.out").write_text(OLD)
    return folder


@pytest.mark.parametrize(
    "write",
    [
        lambda path: write_vesta(path, read_vesta(DATA / "CBaMnBr4_sq.vesta")),
        lambda path: write_bcs(str(path), bulk("NaCl", "rocksalt", a=5.64)),
        lambda path: ext_write(str(path), bulk("NaCl", "rocksalt", a=5.64) * (4, 4, 4), "extxyz"),
    ],
    ids=["vesta", "bcs", "ase-format"],
)
def test_full_disk_leaves_the_target_alone(write, full_disk):
    before = sorted(os.listdir(full_disk))
    with pytest.raises(OSError) as info:
        write(full_disk / "model.out")
    assert info.value.errno == errno.ENOSPC
    assert (full_disk / "model.out").read_text() == OLD
    assert sorted(os.listdir(full_disk)) == before


def test_links_are_followed_and_pipes_written_in_place(tmp_path):
    real = tmp_path / "real.vesta"
    real.write_text(OLD)
    link = tmp_path / "link.vesta"
    link.symlink_to(real.name)
    write_vesta(link, read_vesta(DATA / "hBN.vesta"))
    assert link.is_symlink()
    assert real.read_bytes() == (DATA / "hBN.vesta").read_bytes()
    # A named pipe (like /dev/stdout) cannot be renamed over: it is written to.
    pipe = tmp_path / "pipe.bcs"
    os.mkfifo(pipe)
    received = []
    reader = threading.Thread(target=lambda: received.append(pipe.read_text()), daemon=True)
    reader.start()
    write_bcs(pipe, bulk("Cu"))
    reader.join(timeout=30)
    assert received[0].startswith("# Space Group ITA number\n225\n")
    assert sorted(os.listdir(tmp_path)) == ["link.vesta", "pipe.bcs", "real.vesta"]

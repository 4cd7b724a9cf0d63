"""Child process of the reader fuzz test: mutates seed files and feeds them to one reader.

    python tests/_fuzz_worker.py MODULE:CALLABLE SECONDS RNG_SEED WORKDIR SEED_FILE...

The reader is called with the path of each mutated file. Under an address-space
cap, any Python exception except MemoryError counts as a clean refusal. Before
each call the input is written to WORKDIR/input, so that the parent can name the
input that crashed or hung this process. Exit status: 0 when every input ended
cleanly, 3 for a MemoryError (runaway memory), 4 for an input slower than
SLOW_INPUT_S, with a one-line JSON summary on stdout either way.
"""

import faulthandler
import importlib
import json
import random
import re
import resource
import sys
import time
import warnings
from pathlib import Path

MEMORY_CAP = 1 << 30  # bytes of address space
SLOW_INPUT_S = 5.0

# Numbers that break naive parsers: overflow, non-finite, zero and negative
# counts, counts beyond 32 and 64 bits, Python-only literals.
NUMBERS = [
    b"1e308",
    b"-1e308",
    b"1e-308",
    b"nan",
    b"inf",
    b"-inf",
    b"0",
    b"-0",
    b"-1",
    b"1e6",
    b"1000000",
    b"2147483648",
    b"18446744073709551617",
    b"99999999999999999999999",
    b"1_0",
    b"0x10",
    b"",
]
# Space-group numbers outside 1-230 and at the edges, for the first number of
# a file (the space group of a BCS file).
SPACE_GROUPS = [b"0", b"231", b"2147483648", b"-1", b"1", b"230", b"99999999999999999999"]
NUMBER = re.compile(rb"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?")
NOISE = [b"\x00", b"\xef\xbb\xbf", b"\xff", b"\r", b"\n", b"#", b"\t", b"\xc2\xa0", b" "]


def substitute_number(data, rng):
    numbers = list(NUMBER.finditer(data))
    if not numbers:
        return data
    match = rng.choice(numbers)
    return data[: match.start()] + rng.choice(NUMBERS) + data[match.end() :]


def substitute_space_group(data, rng):
    # The first number that stands alone on a line: a BCS file's space group.
    match = re.search(rb"(?m)^\s*([-+]?\d+)\s*$", data)
    if not match:
        return data
    return data[: match.start(1)] + rng.choice(SPACE_GROUPS) + data[match.end(1) :]


def mutate(data, rng):
    kind = rng.randrange(9)
    if kind <= 1:  # the common case: one number replaced by a hostile one
        return substitute_number(data, rng)
    if kind == 8:
        return substitute_space_group(data, rng)
    if not data:
        return rng.choice(NOISE)
    at = rng.randrange(len(data))
    if kind == 2:  # flip bits
        byte = data[at] ^ (1 << rng.randrange(8))
        return data[:at] + bytes([byte]) + data[at + 1 :]
    if kind == 3:  # truncate
        return data[:at]
    if kind == 4:  # delete a span
        return data[:at] + data[at + rng.randrange(1, 64) :]
    if kind == 5:  # insert noise
        return data[:at] + rng.choice(NOISE) + data[at:]
    lines = data.splitlines(keepends=True)
    i, j = rng.randrange(len(lines)), rng.randrange(len(lines))
    if kind == 6:  # duplicate a line
        lines.insert(j, lines[i])
    else:  # swap two lines
        lines[i], lines[j] = lines[j], lines[i]
    return b"".join(lines)


class LostFile(BaseException):
    """A failed write changed the file it replaces (not a clean refusal)."""


WRITE_NAMES = ("out.cif", "out.xyz", "out.bcs", "out.vasp", "out.extxyz")


def write_through_ext(path):
    """Reads a (mutated) BCS file and writes what it gives with the extended writer.

    Every target holds an old file first; a write that fails must leave it as
    it was, byte for byte, and a write that succeeds must give a file that
    ASE's or the BCS reader reads back with the same number of atoms (for the
    formats that keep them all).
    """
    import contextlib
    import io

    from ferrolith.io.bcs import read_bcs
    from ferrolith.io.ext import read, write

    atoms = read_bcs(path)
    with contextlib.redirect_stdout(io.StringIO()):  # write_bcs's notes; stdout is the summary
        write_all(atoms, Path(path).parent, read, write)


def write_all(atoms, folder, read, write):
    for name in WRITE_NAMES:
        target = folder / name
        target.write_bytes(b"old contents\n")
        try:
            write(str(target), atoms)
        except Exception:
            if target.read_bytes() != b"old contents\n":
                raise LostFile(f"a failed write of {name} changed the old file") from None
            continue
        if name != "out.bcs" and len(read(str(target))) != len(atoms):
            raise LostFile(f"{name} read back with another number of atoms")


def main():
    target, seconds, rng_seed, workdir, *seed_files = sys.argv[1:]
    module_name, _, name = target.partition(":")
    reader = importlib.import_module(module_name)
    for part in name.split("."):
        reader = getattr(reader, part)
    seeds = [Path(path).read_bytes() for path in seed_files]
    rng = random.Random(int(rng_seed))
    path = Path(workdir) / "input"
    faulthandler.enable()  # a crash prints where it happened on stderr
    warnings.simplefilter("ignore")  # overflow in numpy, several phases, ...
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_CAP, MEMORY_CAP))

    refusals = {}
    tried = 0
    deadline = time.monotonic() + float(seconds)
    status, problem = 0, None
    while time.monotonic() < deadline:
        data = rng.choice(seeds)
        for _ in range(rng.randrange(1, 4)):
            data = mutate(data, rng)
        path.write_bytes(data)
        start = time.monotonic()
        try:
            reader(str(path))
        except MemoryError:
            status, problem = 3, "MemoryError under the address-space cap"
        except Exception as error:  # a clean refusal, whatever its kind
            refusals[type(error).__name__] = refusals.get(type(error).__name__, 0) + 1
        tried += 1
        elapsed = time.monotonic() - start
        if status == 0 and elapsed > SLOW_INPUT_S:
            status, problem = 4, f"one input took {elapsed:.1f} s"
        if status:
            break
    print(json.dumps({"tried": tried, "refusals": refusals, "problem": problem}))
    sys.exit(status)


if __name__ == "__main__":
    main()

"""Shared helpers of the web viewer's tests: databases, ports and a live server."""

import hashlib
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

import numpy as np
from ase.build import bulk, molecule
from ase.calculators.singlepoint import SinglePointCalculator
from ase.db import connect


def structures():
    """A small, varied set: periodic and molecular, with and without results."""
    si = bulk("Si", "diamond", a=5.43, cubic=True)
    si.calc = SinglePointCalculator(si, energy=-43.4, forces=np.full((8, 3), 0.01))
    nacl = bulk("NaCl", "rocksalt", a=5.64)
    nacl.calc = SinglePointCalculator(nacl, energy=-6.8)
    cu = bulk("Cu", "fcc", a=3.61).repeat((2, 1, 1))
    water = molecule("H2O")
    sio = bulk("Si", "fcc", a=5.0)
    sio += bulk("O", "sc", a=5.0)
    return [
        (si, {"band_gap": 1.12, "label": "silicon"}, {"dos": np.linspace(0.0, 1.0, 30)}),
        (nacl, {"band_gap": 5.0, "label": "salt"}, {}),
        (cu, {"label": "copper"}, {}),
        (water, {}, {"note": "gas phase"}),
        (sio, {"band_gap": 0.5}, {}),
    ]


def write_structures(db, extra_rows=0, seed=0):
    """Writes structures() and `extra_rows` random Al/Ge cells to `db`."""
    rng = np.random.default_rng(seed)
    with db:
        for atoms, pairs, data in structures():
            db.write(atoms, data=data, **pairs)
        for i in range(extra_rows):
            atoms = bulk("Al" if i % 2 else "Ge", "fcc", a=3.9 + 0.2 * rng.random())
            atoms.calc = SinglePointCalculator(atoms, energy=float(rng.normal()))
            pairs = {"band_gap": round(float(rng.random()), 4)} if rng.random() < 0.6 else {}
            db.write(atoms, series=i, **pairs)


def make_database(path, extra_rows=0):
    """An SQLite database file at `path`; returns the path as str."""
    path = str(path)
    db = connect(path)
    write_structures(db, extra_rows)
    db.metadata = {"key_descriptions": {"band_gap": ["Band gap", "Kohn-Sham gap", "eV"]}}
    return path


def file_digest(path):
    with open(path, "rb") as fd:
        return hashlib.sha256(fd.read()).hexdigest()


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Server:
    """``ferrolith vitrine`` run as a separate process on loopback."""

    def __init__(self, db, *args, env=None):
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        command = [
            sys.executable,
            "-m",
            "ferrolith",
            "vitrine",
            str(db),
            "--host",
            "127.0.0.1",
            "--port",
            str(self.port),
            *args,
        ]
        environment = dict(os.environ, **(env or {}))
        self.log = tempfile.TemporaryFile()  # a pipe nobody reads could fill and stall it
        self.process = subprocess.Popen(
            command, env=environment, stdout=self.log, stderr=subprocess.STDOUT
        )
        self._wait_until_ready()

    def _wait_until_ready(self):
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                self.log.seek(0)
                output = self.log.read().decode(errors="replace")
                self.log.close()
                raise RuntimeError(f"the server stopped: {output}")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.1)
        self.stop()
        raise RuntimeError("the server did not start")

    def get(self, path, headers=None, timeout=30):
        """(status, headers, body) of a GET request."""
        request = urllib.request.Request(self.url + path, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=timeout) as response:
                return response.status, response.headers, response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers, error.read()

    def raw(self, data: bytes) -> bytes:
        """Sends bytes as they are (no client-side URL clean-up); returns the reply."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as sock:
            sock.sendall(data)
            chunks = []
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
        return b"".join(chunks)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()

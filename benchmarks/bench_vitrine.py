"""Load on the web viewer: 10,000 structures, the production server, wrk on loopback.

Builds an SQLite database of 10,000 small crystals (with energies, forces,
key-value pairs and data), starts ``ferrolith vitrine`` with its production
server on 127.0.0.1 and loads two pages with wrk, each for a bounded time:

* the table's first page (25 rows);
* one row's page.

Prints requests per second, latency percentiles and errors, and compares the
listing with its target: at least 200 requests/s with a 99th-percentile
latency under 250 ms at 32 connections, and no errors. The machine's load
average is printed before and after, since other work on the machine shows up
in the figures.

    python benchmarks/bench_vitrine.py [--seconds 12] [--connections 32] [--keep DIR]
"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import numpy as np
from ase.build import bulk
from ase.calculators.singlepoint import SinglePointCalculator
from ase.db import connect

N_ROWS = 10_000
TARGET_RPS = 200.0
TARGET_P99_MS = 250.0


def build_database(path, n_rows):
    rng = np.random.default_rng(7)
    elements = ["Si", "C", "Ge", "Al", "Cu", "Ni", "Ti", "Fe"]
    db = connect(path)
    started = time.perf_counter()
    with db:
        for i in range(n_rows):
            symbol = elements[i % len(elements)]
            if symbol in ("Si", "C", "Ge"):
                atoms = bulk(symbol, "diamond", a=3.6 + 2.0 * rng.random())
            else:
                atoms = bulk(symbol, "fcc", a=3.5 + rng.random()).repeat((2, 1, 1))
            atoms.rattle(0.02, seed=i)
            atoms.calc = SinglePointCalculator(
                atoms,
                energy=float(rng.normal(-4.0, 1.0)),
                forces=rng.normal(scale=0.05, size=(len(atoms), 3)),
            )
            pairs = {"label": f"s{i}"}
            if rng.random() < 0.7:
                pairs["band_gap"] = round(float(3.0 * rng.random()), 4)
            db.write(atoms, data={"dos": rng.random(64)}, **pairs)
    return time.perf_counter() - started


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def wait_for(port, process, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise SystemExit("the server stopped before it was ready")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.1)
    raise SystemExit("the server did not start")


_UNITS = {"us": 1e-3, "ms": 1.0, "s": 1e3}


def _ms(text):
    value, unit = re.fullmatch(r"([\d.]+)(us|ms|s)", text).groups()
    return float(value) * _UNITS[unit]


def run_wrk(url, seconds, connections):
    """Runs wrk once; returns its figures as a dict."""
    command = [
        "wrk",
        "-t2",
        f"-c{connections}",
        f"-d{seconds}s",
        "--timeout",
        "10s",
        "--latency",
        url,
    ]
    output = subprocess.run(
        command, check=True, capture_output=True, text=True, timeout=seconds + 60
    ).stdout
    figures = {"output": output}
    figures["rps"] = float(re.search(r"Requests/sec:\s+([\d.]+)", output).group(1))
    figures["requests"] = int(re.search(r"(\d+) requests in", output).group(1))
    for percent in ("50", "90", "99"):
        match = re.search(rf"^\s+{percent}%\s+(\S+)", output, re.M)
        figures[f"p{percent}"] = _ms(match.group(1))
    non_2xx = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", output)
    figures["non_2xx"] = int(non_2xx.group(1)) if non_2xx else 0
    errors = re.search(
        r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", output
    )
    figures["socket_errors"] = sum(map(int, errors.groups())) if errors else 0
    return figures


def cpu_seconds(pid):
    """User + system CPU time of a process so far (Linux), or None."""
    try:
        with open(f"/proc/{pid}/stat") as fd:
            fields = fd.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(url, seconds, connections, pid):
    before = cpu_seconds(pid)
    figures = run_wrk(url, seconds, connections)
    after = cpu_seconds(pid)
    if before is not None and after is not None and figures["requests"]:
        figures["cpu_ms"] = 1e3 * (after - before) / figures["requests"]
    return figures


def report(name, figures):
    cpu = figures.get("cpu_ms")
    print(
        f"{name}: {figures['rps']:8.1f} requests/s  ({figures['requests']} requests)  "
        f"latency p50 {figures['p50']:6.1f} ms  p90 {figures['p90']:6.1f} ms  "
        f"p99 {figures['p99']:6.1f} ms  non-2xx {figures['non_2xx']}  "
        f"socket errors {figures['socket_errors']}"
    )
    if cpu:
        # CPU time hardly depends on what else runs: it bounds what one core can serve.
        print(
            f"{' ' * len(name)}  server CPU {cpu:.2f} ms per request "
            f"(about {1e3 / cpu:.0f} requests/s per fully available core)"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=12, help="wrk run per page (max 14)")
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--rows", type=int, default=N_ROWS)
    parser.add_argument("--keep", help="build the database in this folder and keep it")
    args = parser.parse_args()
    seconds = max(1, min(args.seconds, 14))  # both runs together stay under 30 s
    if shutil.which("wrk") is None:
        raise SystemExit("wrk is not installed (Debian package wrk)")

    folder = args.keep or tempfile.mkdtemp(prefix="bench-vitrine-")
    path = os.path.join(folder, f"bench-{args.rows}.db")
    if not os.path.exists(path):
        print(f"building {args.rows} structures ...", flush=True)
        print(f"  written in {build_database(path, args.rows):.1f} s")
    size_mb = os.path.getsize(path) / 1e6
    print(f"database: {args.rows} rows, {size_mb:.1f} MB")

    port = free_port()
    # The limiter stays on (its cost is part of every request) with a limit
    # that one loopback client cannot reach.
    env = dict(os.environ, FERROLITH_VITRINE_RATE_LIMIT="1000000 per second")
    server = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "ferrolith",
            "vitrine",
            path,
            "--host",
            "127.0.0.1",
            "--port",
            str(port),
        ],
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.STDOUT,
    )
    try:
        wait_for(port, server)
        base = f"http://127.0.0.1:{port}"
        subprocess.run(
            ["wrk", "-t1", "-c4", "-d1s", base + "/"], check=True, capture_output=True
        )  # warm-up: caches, thread connections
        load_before = os.getloadavg()
        listing = measure(base + "/", seconds, args.connections, server.pid)
        row = measure(f"{base}/row/{args.rows // 2}", seconds, args.connections, server.pid)
        load_after = os.getloadavg()
    finally:
        server.terminate()
        server.wait(timeout=30)
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)

    cores = os.cpu_count()
    print(
        f"machine: {cores} cores; load average (1, 5, 15 min) before "
        f"{load_before[0]:.2f} {load_before[1]:.2f} {load_before[2]:.2f}, after "
        f"{load_after[0]:.2f} {load_after[1]:.2f} {load_after[2]:.2f}"
    )
    print(f"wrk: 2 threads, {args.connections} connections, {seconds} s per page, loopback")
    report("listing (25 rows)", listing)
    report("row page         ", row)
    ok = (
        listing["rps"] >= TARGET_RPS
        and listing["p99"] < TARGET_P99_MS
        and listing["non_2xx"] == 0
        and listing["socket_errors"] == 0
    )
    print(
        f"listing target (>= {TARGET_RPS:.0f} requests/s, p99 < {TARGET_P99_MS:.0f} ms, "
        f"no errors): {'met' if ok else 'NOT met'}"
    )


if __name__ == "__main__":
    main()

"""Latency of a logged-in visitor of ``ferrolith vitrine`` while wrong passwords flood in.

    python benchmarks/login_flood.py [SECONDS]

Starts the viewer with a login on loopback, logs one visitor in, then sends
wrong passwords from 30 loopback addresses (127.0.0.2 ... 127.0.0.31, one
thread each, as fast as answers come) for SECONDS (default 10) while the
visitor keeps loading the listing. Prints the visitor's latencies (median, 95th percentile, maximum)
and what the flood got back. Every request goes to 127.0.0.1 and the loops
stop by themselves.
"""

import base64
import collections
import http.client
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from _vitrine import Server, make_database

from ferrolith.gui import hash_password


def basic(user, password):
    token = base64.b64encode(f"{user}:{password}".encode()).decode()
    return {"Authorization": f"Basic {token}"}


def request(port, headers, source="127.0.0.1"):
    connection = http.client.HTTPConnection(
        "127.0.0.1", port, timeout=30, source_address=(source, 0)
    )
    try:
        connection.request("GET", "/api/rows", headers=headers)
        response = connection.getresponse()
        response.read()
        return response.status
    finally:
        connection.close()


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    with tempfile.TemporaryDirectory() as folder:
        db = make_database(Path(folder) / "flood.db")
        env = {
            "FERROLITH_VITRINE_USER": "ada",
            "FERROLITH_VITRINE_PASSWORD_HASH": hash_password("s3cret pass"),
            "FERROLITH_VITRINE_RATE_LIMIT": "1000 per second",
        }
        server = Server(db, env=env)
        try:
            login = basic("ada", "s3cret pass")
            assert request(server.port, login) == 200
            stop = time.monotonic() + seconds
            flood = collections.Counter()
            lock = threading.Lock()

            def guesser(k):
                n = 0
                while time.monotonic() < stop:
                    status = request(server.port, basic("ada", f"guess{n}"), f"127.0.0.{k}")
                    n += 1
                    with lock:
                        flood[status] += 1

            threads = [threading.Thread(target=guesser, args=(k,)) for k in range(2, 32)]
            for thread in threads:
                thread.start()
            latencies = []
            while time.monotonic() < stop:
                start = time.perf_counter()
                assert request(server.port, login) == 200
                latencies.append(time.perf_counter() - start)
                time.sleep(0.05)
            for thread in threads:
                thread.join()
        finally:
            server.stop()
    latencies.sort()
    print(f"logged-in requests: {len(latencies)}")
    print(
        f"latency: median {1000 * statistics.median(latencies):.0f} ms, "
        f"95th percentile {1000 * latencies[int(0.95 * (len(latencies) - 1))]:.0f} ms, "
        f"max {1000 * latencies[-1]:.0f} ms"
    )
    print("flood answers: " + ", ".join(f"{k}: {v}" for k, v in sorted(flood.items())))


if __name__ == "__main__":
    main()

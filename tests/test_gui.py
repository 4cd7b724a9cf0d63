"""Protection of the web application: refusals, headers, limits and logins."""

import base64
import concurrent.futures
import socket
import threading
import time

import pytest
from _vitrine import Server, file_digest, make_database
from flask import Flask

from ferrolith import gui
from ferrolith.data.db import ASEDBApp
from ferrolith.gui import create_protected_app, hash_password

ENV = ("FERROLITH_VITRINE_USER", "FERROLITH_VITRINE_PASSWORD_HASH", "FERROLITH_VITRINE_RATE_LIMIT")


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    for name in ENV:
        monkeypatch.delenv(name, raising=False)


@pytest.fixture(scope="module")
def db_path(tmp_path_factory):
    return make_database(tmp_path_factory.mktemp("db") / "structures.db")


def protected(db_path, **config):
    app = ASEDBApp(db_path)
    app.config.update(config)

    def explode():
        raise RuntimeError("secret internal detail")

    app.add_url_rule("/explode", "explode", explode)
    assert create_protected_app(app) is app
    return app


def basic(user, password):
    token = base64.b64encode(f"{user}:{password}".encode()).decode()
    return {"Authorization": f"Basic {token}"}


class TestRefusals:
    @pytest.fixture
    def client(self, db_path):
        return protected(db_path, VITRINE_RATE_LIMIT="1000 per second").test_client()

    @pytest.mark.parametrize("method", ["POST", "PUT", "PATCH", "DELETE", "OPTIONS"])
    @pytest.mark.parametrize(
        "path", ["/", "/row/1", "/api/rows", "/static/vitrine.css", "/no/such/page"]
    )
    def test_only_get_and_head(self, client, db_path, method, path):
        before = file_digest(db_path)
        response = client.open(path, method=method, data=b"x=1")
        assert response.status_code == 405
        assert set(response.headers["Allow"].replace(" ", "").split(",")) == {"GET", "HEAD"}
        assert file_digest(db_path) == before

    def test_head_is_answered(self, client):
        response = client.head("/")
        assert response.status_code == 200 and response.data == b""

    @pytest.mark.parametrize(
        "path",
        [
            "/static/../__init__.py",
            "/static/..%2f__init__.py",
            "/static/%2e%2e/%2e%2e/gui/__init__.py",
            "/static/..\\__init__.py",
            "/static//etc/passwd",
            "/static/%2e%2e%2f%2e%2e%2f%2e%2e%2fetc%2fpasswd",
        ],
    )
    def test_no_path_outside_the_static_folders(self, client, path):
        with client.get(path) as response:
            assert response.status_code in (404, 308)
            assert b"import" not in response.data and b"root:" not in response.data

    def test_over_long_query(self, client):
        response = client.get("/", query_string={"q": "Si," * 200})
        assert response.status_code == 414
        assert client.get("/?x=" + "a" * 3000).status_code == 414
        assert client.get("/", query_string={"q": "Si," * 100}).status_code == 200

    def test_page_size_bound(self, db_path):
        client = protected(db_path, VITRINE_MAX_PAGE_SIZE=50).test_client()
        assert client.get("/?limit=50").status_code == 200
        assert client.get("/?limit=51").status_code == 400

    def test_malformed_query_is_a_bad_request(self, client):
        response = client.get("/api/rows?q=natoms%3Dabc")
        assert response.status_code == 400 and "Malformed query" in response.get_json()["error"]

    def test_error_pages_hide_details(self, client):
        response = client.get("/explode")
        assert response.status_code == 500
        body = response.get_data(as_text=True)
        assert "Traceback" not in body and "secret internal detail" not in body
        assert "500 Internal Server Error" in body
        api = client.get("/api/rows/999999")
        assert api.status_code == 404 and api.get_json()["status"] == 404


class TestHeaders:
    def test_security_headers(self, db_path):
        headers = protected(db_path).test_client().get("/").headers
        policy = dict(
            part.strip().split(" ", 1) for part in headers["Content-Security-Policy"].split(";")
        )
        assert policy["script-src"] == "'self'" and policy["style-src"] == "'self'"
        assert policy["frame-ancestors"] == "'none'" and policy["object-src"] == "'none'"
        assert "unsafe" not in headers["Content-Security-Policy"]
        assert headers["X-Frame-Options"] == "DENY"
        assert headers["X-Content-Type-Options"] == "nosniff"
        assert headers["Referrer-Policy"] == "no-referrer"
        assert "Strict-Transport-Security" not in headers  # plain HTTP

    def test_pages_have_no_inline_script_or_style(self, db_path):
        client = protected(db_path).test_client()
        for path in ("/", "/row/1", "/row/4", "/?q=natoms%3Dx"):
            html = client.get(path).get_data(as_text=True)
            assert "<script>" not in html and "style=" not in html and "<style" not in html
            assert " on" + "click=" not in html and " on" + "load=" not in html


class TestRateLimit:
    def test_burst_over_the_limit(self, db_path):
        client = protected(db_path, VITRINE_RATE_LIMIT="5 per minute").test_client()
        codes = [client.get("/api/rows").status_code for _ in range(8)]
        assert codes == [200] * 5 + [429] * 3
        response = client.get("/")
        assert response.status_code == 429 and int(response.headers["Retry-After"]) > 0
        # another address has its own allowance, and a success says nothing of waiting
        other = client.get("/", environ_base={"REMOTE_ADDR": "10.1.2.3"})
        assert other.status_code == 200 and "Retry-After" not in other.headers

    def test_limit_from_the_environment(self, db_path, monkeypatch):
        monkeypatch.setenv("FERROLITH_VITRINE_RATE_LIMIT", "2 per minute")
        client = protected(db_path).test_client()
        assert [client.get("/").status_code for _ in range(3)] == [200, 200, 429]

    def test_bad_limit_is_refused(self, db_path, monkeypatch):
        monkeypatch.setenv("FERROLITH_VITRINE_RATE_LIMIT", "lots")
        with pytest.raises(ValueError, match="invalid rate limit"):
            protected(db_path)


class TestAuthentication:
    @pytest.fixture
    def client(self, db_path, monkeypatch):
        monkeypatch.setenv("FERROLITH_VITRINE_USER", "ada")
        monkeypatch.setenv("FERROLITH_VITRINE_PASSWORD_HASH", hash_password("s3cret pass"))
        return protected(db_path, VITRINE_RATE_LIMIT="1000 per second").test_client()

    @pytest.mark.parametrize(
        "path",
        [
            "/",
            "/row/1",
            "/row/1/picture.svg",
            "/api/rows",
            "/api/rows/1",
            "/row/1/download/cif",
            "/static/vitrine.css",
            "/no/such/page",
        ],
    )
    def test_nothing_without_credentials(self, client, path):
        with client.get(path) as response:
            assert response.status_code == 401
            assert response.headers["WWW-Authenticate"].startswith("Basic")
            assert b"Si" not in response.data

    @pytest.mark.parametrize(
        "user, password",
        [("ada", "wrong"), ("bob", "s3cret pass"), ("ada", ""), ("", "s3cret pass")],
    )
    def test_wrong_credentials(self, client, user, password):
        assert client.get("/", headers=basic(user, password)).status_code == 401

    def test_right_credentials(self, client):
        for _ in range(2):  # the second time from the verified-credentials cache
            response = client.get("/api/rows", headers=basic("ada", "s3cret pass"))
            assert response.status_code == 200 and response.get_json()["total"] == 5
        assert client.get("/", headers={"Authorization": "Bearer abc"}).status_code == 401

    @pytest.mark.parametrize(
        "env",
        [
            {"FERROLITH_VITRINE_USER": "ada"},
            {"FERROLITH_VITRINE_PASSWORD_HASH": "scrypt:1$a$b"},
            {"FERROLITH_VITRINE_USER": "ada", "FERROLITH_VITRINE_PASSWORD_HASH": "plain password"},
            {"FERROLITH_VITRINE_USER": "ada", "FERROLITH_VITRINE_PASSWORD_HASH": "not$a$hash"},
            {"FERROLITH_VITRINE_USER": "ada", "FERROLITH_VITRINE_PASSWORD_HASH": "scrypt$x$zz"},
            {"FERROLITH_VITRINE_USER": "", "FERROLITH_VITRINE_PASSWORD_HASH": ""},
            {"FERROLITH_VITRINE_PASSWORD_HASH": ""},
        ],
    )
    def test_incomplete_settings_are_refused(self, db_path, monkeypatch, env):
        for name, value in env.items():
            monkeypatch.setenv(name, value)
        with pytest.raises(ValueError):
            protected(db_path)


class TestLoginAbuse:
    """Wrong passwords must not buy slow hash checks without end."""

    @pytest.fixture
    def app(self, db_path, monkeypatch):
        monkeypatch.setenv("FERROLITH_VITRINE_USER", "ada")
        monkeypatch.setenv("FERROLITH_VITRINE_PASSWORD_HASH", hash_password("s3cret pass"))
        return protected(db_path, VITRINE_RATE_LIMIT="1000 per second")

    def test_failed_logins_per_address_are_refused_before_hashing(self, app, monkeypatch):
        calls = []
        check = gui.check_password_hash
        monkeypatch.setattr(gui, "check_password_hash", lambda *a: calls.append(1) or check(*a))
        client = app.test_client()
        codes = [client.get("/", headers=basic("ada", f"guess{i}")).status_code for i in range(7)]
        assert codes == [401] * 5 + [429] * 2 and len(calls) == 5
        refused = client.get("/", headers=basic("ada", "s3cret pass"))
        assert refused.status_code == 429 and int(refused.headers["Retry-After"]) > 0
        other = {"REMOTE_ADDR": "10.9.8.7"}
        assert (
            client.get("/", headers=basic("ada", "s3cret pass"), environ_base=other).status_code
            == 200
        )

    def test_hash_checks_run_two_at_a_time(self, app, monkeypatch):
        running, peak, lock = [0], [0], threading.Lock()

        def slow_check(hashed, password):
            with lock:
                running[0] += 1
                peak[0] = max(peak[0], running[0])
            time.sleep(0.05)
            with lock:
                running[0] -= 1
            return False

        monkeypatch.setattr(gui, "check_password_hash", slow_check)

        def attempt(i):
            environ = {"REMOTE_ADDR": f"10.0.0.{i}"}
            return app.test_client().get("/", headers=basic("ada", "x"), environ_base=environ)

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            codes = [r.status_code for r in pool.map(attempt, range(8))]
        assert codes == [401] * 8 and peak[0] == 2


class TestLoginFlood:
    """Guesses arriving together: the limits hold and logged-in users pass by."""

    @pytest.fixture
    def app(self, db_path, monkeypatch):
        monkeypatch.setenv("FERROLITH_VITRINE_USER", "ada")
        monkeypatch.setenv("FERROLITH_VITRINE_PASSWORD_HASH", hash_password("s3cret pass"))
        return protected(db_path, VITRINE_RATE_LIMIT="1000 per second")

    @staticmethod
    def held_checks(monkeypatch):
        """Password checks that hold their hash slot until released."""
        calls, release = [], threading.Event()

        def held(hashed, password):
            calls.append(password)
            release.wait(30)
            return False

        monkeypatch.setattr(gui, "check_password_hash", held)
        return calls, release

    @staticmethod
    def guess(app, address, i=0):
        environ = {"REMOTE_ADDR": address}
        return app.test_client().get("/", headers=basic("ada", f"g{i}"), environ_base=environ)

    def test_concurrent_guesses_from_one_address_get_five_checks(self, app, monkeypatch):
        calls, release = self.held_checks(monkeypatch)
        with concurrent.futures.ThreadPoolExecutor(19) as pool:
            futures = [pool.submit(self.guess, app, "10.1.1.1", i) for i in range(19)]
            try:  # 14 are refused while the 5 admitted checks are still held
                done = concurrent.futures.as_completed(futures, timeout=30)
                assert all(next(done) for _ in range(14))
            finally:
                release.set()
            codes = sorted(f.result().status_code for f in futures)
        assert codes == [401] * 5 + [429] * 14 and len(calls) == 5

    def test_logged_in_clients_skip_the_hash_queue(self, app, monkeypatch):
        honest = app.test_client()
        login = basic("ada", "s3cret pass")
        assert honest.get("/api/rows", headers=login).status_code == 200  # the one real check
        calls, release = self.held_checks(monkeypatch)
        with concurrent.futures.ThreadPoolExecutor(30) as pool:
            flood = [pool.submit(self.guess, app, f"127.0.0.{k}") for k in range(2, 32)]
            try:  # two checks hash, six wait; the other 22 are turned away at once
                done = concurrent.futures.as_completed(flood, timeout=30)
                assert all(next(done) for _ in range(22))
                assert honest.get("/api/rows", headers=login).status_code == 200
                assert len(calls) <= 2  # the logged-in request did not hash
            finally:
                release.set()
            replies = [f.result() for f in flood]
        codes = sorted(r.status_code for r in replies)
        assert codes == [401] * 8 + [503] * 22
        assert all(r.headers["Retry-After"] == "1" for r in replies if r.status_code == 503)

    def test_verified_credentials_are_checked_again_after_five_minutes(self, app, monkeypatch):
        calls = []
        check = gui.check_password_hash
        monkeypatch.setattr(gui, "check_password_hash", lambda *a: calls.append(1) or check(*a))
        now = [1000.0]
        monkeypatch.setattr(gui.time, "monotonic", lambda: now[0])
        client = app.test_client()
        for step in (0.0, 299.0, 2.0):
            now[0] += step
            assert client.get("/", headers=basic("ada", "s3cret pass")).status_code == 200
        assert len(calls) == 2


class TestApplication:
    def test_applying_twice_changes_nothing(self, db_path):
        app = protected(db_path)
        hooks = list(app.before_request_funcs[None])
        create_protected_app(app)
        assert app.before_request_funcs[None] == hooks

    def test_any_flask_application(self):
        app = Flask("plain")
        app.add_url_rule("/", "index", lambda: "hello")
        create_protected_app(app)
        client = app.test_client()
        assert client.get("/").get_data() == b"hello"
        assert client.post("/").status_code == 405
        assert client.get("/missing").status_code == 404

    def test_rejects_other_objects(self):
        with pytest.raises(TypeError):
            create_protected_app(object())


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    path = make_database(tmp_path_factory.mktemp("served") / "served.db")
    server = Server(path, env={"FERROLITH_VITRINE_RATE_LIMIT": "30 per minute"})
    yield server, path
    server.stop()


class TestProductionServer:
    """The refusals again, through the real command and its HTTP server."""

    def test_refusals_and_an_unchanged_file(self, server):
        server, path = server
        before = file_digest(path)
        assert server.get("/")[0] == 200
        reply = server.raw(
            b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nConnection: close\r\n\r\nx=1"
        )
        assert reply.startswith(b"HTTP/1.1 405")
        for target in (
            b"/static/../__init__.py",
            b"/static/%2e%2e/%2e%2e/gui/__init__.py",
            b"/static/..%2f..%2f..%2f..%2fetc%2fpasswd",
        ):
            request = b"GET " + target + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
            reply = server.raw(request)
            assert reply.startswith(b"HTTP/1.1 404"), reply[:60]
        assert server.get("/?q=" + "Si," * 200)[0] == 414
        assert server.get("/?q=natoms%3Dabc")[0] == 400
        codes = [server.get("/api/rows")[0] for _ in range(40)]
        assert 429 in codes and codes.index(429) > 0
        assert set(codes[codes.index(429) :]) == {429}
        assert file_digest(path) == before


class TestServerLimits:
    """waitress's own limits, through the real command on loopback."""

    @pytest.fixture(scope="class")
    @classmethod
    def served(cls, tmp_path_factory):
        path = make_database(tmp_path_factory.mktemp("limits") / "limits.db")
        server = Server(path, env={"FERROLITH_VITRINE_RATE_LIMIT": "1000 per second"})
        yield server
        server.stop()

    def test_large_body_is_refused_unread_with_headers(self, served):
        started = time.monotonic()
        head = b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 314572800\r\n\r\n"
        with socket.create_connection(("127.0.0.1", served.port), timeout=10) as sock:
            sock.sendall(head + b"x" * 4096)  # the rest of the 300 MiB never comes
            reply = sock.recv(65536)
        assert reply.startswith(b"HTTP/1.1 413") and time.monotonic() - started < 5
        headers = reply.split(b"\r\n\r\n")[0].lower()
        assert b"x-content-type-options: nosniff" in headers
        assert b"content-security-policy: default-src 'self'" in headers

    def test_slow_clients_do_not_lock_others_out(self, served):
        # 150 clients trickle their headers; an ordinary request still gets in.
        clients = []
        stop = threading.Event()
        try:
            for _ in range(150):
                sock = socket.create_connection(("127.0.0.1", served.port), timeout=5)
                sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ")
                clients.append(sock)

            def trickle():
                while not stop.wait(0.3):
                    for sock in clients:
                        try:
                            sock.send(b"a")
                        except OSError:
                            pass

            threading.Thread(target=trickle, daemon=True).start()
            time.sleep(0.5)
            started = time.monotonic()
            status = served.get("/api/rows?limit=1", timeout=5)[0]
            assert status == 200 and time.monotonic() - started < 1.0
        finally:
            stop.set()
            for sock in clients:
                sock.close()

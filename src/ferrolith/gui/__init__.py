"""Hardening for ferrolith's web applications.

``create_protected_app(app)`` changes a Flask application in place so that it
can face a network:

* only GET and HEAD are answered; every other method gets 405 (the database
  of an ``ASEDBApp`` is besides opened read-only, so nothing can change it);
* security headers (Flask-Talisman): a content security policy that allows no
  inline script or style and no framing, ``X-Content-Type-Options: nosniff``
  and ``Referrer-Policy: no-referrer``;
* rate limiting per client address (Flask-Limiter), 429 beyond the limit;
* bounds on the length of the URL's query, of the search query and on the page
  size;
* paths with ``..`` segments, backslashes or NUL bytes are refused, so nothing
  outside the template and static directories is ever served;
* error pages that never show a traceback, and no ``Retry-After`` on an
  answer that is not a refusal;
* optional HTTP Basic authentication, with a limit on failed logins per client
  address (429, decided atomically before any slow hash check, checks in
  progress counted), on the number of hash checks at once and waiting (503
  beyond), and a five-minute memory of verified credentials, so logged-in
  clients never wait for a hash check;
* the headers that the HTTP server of ``ASEDBApp.run_server`` adds to the
  answers it writes itself (``VITRINE_SERVER_ERROR_HEADERS``).

Settings come from environment variables, else from the application's
``config``, else from the defaults below:

``FERROLITH_VITRINE_USER`` / ``VITRINE_AUTH_USER`` and
``FERROLITH_VITRINE_PASSWORD_HASH`` / ``VITRINE_AUTH_PASSWORD_HASH``
    Basic authentication is on when both are set. The hash is one made by
    ``werkzeug.security.generate_password_hash`` (``python -m ferrolith.gui``
    prints one) and is checked when the application is protected; setting only
    one of the two, or either environment variable empty, is an error, never an
    open server.
``VITRINE_MAX_FAILED_LOGINS``, ``VITRINE_MAX_PASSWORD_CHECKS``
    Failed logins one client address may make per minute (5), and password
    hashes checked at once (2).
``FERROLITH_VITRINE_RATE_LIMIT`` / ``VITRINE_RATE_LIMIT``
    Limits per client address in Flask-Limiter's notation, e.g.
    ``"20 per second;600 per minute"``.
``VITRINE_MAX_QUERY_LENGTH``, ``VITRINE_MAX_URL_QUERY_LENGTH``, ``VITRINE_MAX_PAGE_SIZE``
    Longest search query (characters), longest query string of a URL (bytes),
    largest page of rows.
"""

from __future__ import annotations

import collections
import hashlib
import hmac
import math
import os
import secrets
import threading
import time
from typing import Any

from flask import Flask, request
from flask_limiter import Limiter
from flask_limiter.util import get_remote_address
from flask_talisman import Talisman
from limits import parse_many
from werkzeug.datastructures import WWWAuthenticate
from werkzeug.exceptions import (
    HTTPException,
    InternalServerError,
    MethodNotAllowed,
    NotFound,
    RequestURITooLarge,
    ServiceUnavailable,
    TooManyRequests,
    Unauthorized,
)
from werkzeug.security import check_password_hash

from ferrolith.data.db.errors import error_response

__all__ = ["create_protected_app", "error_response", "hash_password"]

ENV_USER = "FERROLITH_VITRINE_USER"
ENV_PASSWORD_HASH = "FERROLITH_VITRINE_PASSWORD_HASH"
ENV_RATE_LIMIT = "FERROLITH_VITRINE_RATE_LIMIT"

DEFAULT_RATE_LIMIT = "20 per second;600 per minute"
DEFAULT_MAX_QUERY_LENGTH = 500
DEFAULT_MAX_URL_QUERY_LENGTH = 2048
DEFAULT_MAX_PAGE_SIZE = 200
#: Failed logins one client address may make per minute before 429.
DEFAULT_MAX_FAILED_LOGINS = 5
#: Password hashes checked at once; further logins wait.
DEFAULT_MAX_PASSWORD_CHECKS = 2

ALLOWED_METHODS = ("GET", "HEAD")

CONTENT_SECURITY_POLICY = {
    "default-src": "'self'",
    "script-src": "'self'",
    "style-src": "'self'",
    "img-src": "'self' data:",
    "connect-src": "'self'",
    "font-src": "'self'",
    "object-src": "'none'",
    "base-uri": "'none'",
    "form-action": "'self'",
    "frame-ancestors": "'none'",
}

#: What the application's answers carry, for the answers the HTTP server
#: writes itself (a request too large or malformed to reach the application).
SERVER_ERROR_HEADERS = (
    ("Content-Security-Policy", "; ".join(f"{k} {v}" for k, v in CONTENT_SECURITY_POLICY.items())),
    ("X-Content-Type-Options", "nosniff"),
    ("X-Frame-Options", "DENY"),
    ("Referrer-Policy", "no-referrer"),
    ("Cross-Origin-Opener-Policy", "same-origin"),
    ("Cross-Origin-Resource-Policy", "same-origin"),
)

_EXTENSION_KEY = "ferrolith.protection"


def hash_password(password: str) -> str:
    """A salted hash of `password` for ``FERROLITH_VITRINE_PASSWORD_HASH``."""
    from werkzeug.security import generate_password_hash

    return generate_password_hash(password)


def _setting(app: Flask, env: str | None, key: str, default: Any) -> Any:
    if env is not None and os.environ.get(env):
        return os.environ[env]
    value = app.config.get(key)
    return default if value is None else value


class _BasicAuth:
    """Checks HTTP Basic credentials against one user name and password hash.

    A password check costs a deliberately slow hash, so wrong passwords could
    tie up the server:

    * each client address gets `max_failures` failed logins per `window`
      seconds, checks still running counted as failures (then 429, decided
      atomically before any hashing, so concurrent guesses cannot overrun it);
    * at most `max_hashing` checks run at once and `max_waiting` more wait
      their turn; beyond that a login is refused at once with 503, so a flood
      of guesses never holds every thread of the server;
    * credentials that passed are remembered for `remember` seconds by an
      HMAC of them under a key of this process (never in clear), so a
      logged-in client never queues for a hash check.
    """

    _CACHE_SIZE = 64

    def __init__(
        self,
        user: str,
        password_hash: str,
        realm: str,
        max_failures: int = 5,
        window: float = 60.0,
        max_hashing: int = 2,
        max_waiting: int = 6,
        remember: float = 300.0,
    ):
        _check_hash_format(password_hash)
        self.user = user.encode()
        self.password_hash = password_hash
        self.realm = realm
        self._key = secrets.token_bytes(32)
        # digest -> moment after which the credentials are checked again
        self._verified: collections.OrderedDict[bytes, float] = collections.OrderedDict()
        self._lock = threading.Lock()
        self.max_failures = max_failures
        self.window = window
        self.max_hashing = max_hashing
        self.max_waiting = max_waiting
        self.remember = remember
        self._failures: dict[str, collections.deque[float]] = {}
        self._checking: collections.Counter[str] = collections.Counter()
        self._admitted = 0  # checks running or waiting for a hash slot
        self._hashing = threading.BoundedSemaphore(max_hashing)

    def _digest(self, user: str, password: str) -> bytes:
        message = user.encode() + b"\x00" + password.encode()
        return hmac.new(self._key, message, hashlib.sha256).digest()

    def _recent_failures(self, address: str, moment: float) -> collections.deque[float]:
        # Called with the lock held; forgets failures older than the window.
        times = self._failures.setdefault(address, collections.deque())
        while times and times[0] <= moment - self.window:
            times.popleft()
        if len(self._failures) > 10000:  # many addresses: drop the quiet ones
            for key in [k for k, v in self._failures.items() if not v and k != address]:
                del self._failures[key]
        return times

    def _remembered(self, digest: bytes, moment: float) -> bool:
        # Called with the lock held.
        expiry = self._verified.get(digest)
        if expiry is None:
            return False
        if expiry <= moment:
            del self._verified[digest]
            return False
        self._verified.move_to_end(digest)
        return True

    def _admit(self, address: str, moment: float) -> None:
        """Reserves a password check for `address`, or raises 429 or 503."""
        with self._lock:
            times = self._recent_failures(address, moment)
            if len(times) + self._checking[address] >= self.max_failures:
                wait = math.ceil(times[0] + self.window - moment) if times else 1
                raise TooManyRequests(
                    "Too many failed logins from this address; try again later.",
                    retry_after=max(1, wait),
                )
            if self._admitted >= self.max_hashing + self.max_waiting:
                raise ServiceUnavailable(
                    "Too many logins are being checked; try again in a moment.",
                    retry_after=1,
                )
            self._checking[address] += 1
            self._admitted += 1

    def verify(self, user: str | None, password: str | None, address: str = "") -> bool:
        """True for the right credentials; raises TooManyRequests for a locked-out
        address and ServiceUnavailable while the password checks are all taken."""
        if user is None or password is None:
            return False
        digest = self._digest(user, password)
        moment = time.monotonic()
        with self._lock:
            if self._remembered(digest, moment):
                return True
        self._admit(address, moment)
        ok = False
        try:
            # Both parts are always compared, in constant time.
            user_ok = hmac.compare_digest(user.encode(), self.user)
            with self._hashing:
                password_ok = check_password_hash(self.password_hash, password)
            ok = user_ok and password_ok
        finally:
            with self._lock:
                self._admitted -= 1
                self._checking[address] -= 1
                if not self._checking[address]:
                    del self._checking[address]
                if not ok:
                    self._recent_failures(address, moment).append(moment)
        if not ok:
            return False
        with self._lock:
            self._verified[digest] = time.monotonic() + self.remember
            while len(self._verified) > self._CACHE_SIZE:
                self._verified.popitem(last=False)
        return True

    def challenge(self) -> Unauthorized:
        return Unauthorized(
            "This database needs a user name and password.",
            www_authenticate=WWWAuthenticate("basic", {"realm": self.realm, "charset": "UTF-8"}),
        )


def _check_hash_format(password_hash: str) -> None:
    """ValueError unless werkzeug can check passwords against `password_hash`."""
    message = (
        f"{ENV_PASSWORD_HASH} must be a hash made by werkzeug's "
        "generate_password_hash (python -m ferrolith.gui), not a password"
    )
    if password_hash.count("$") != 2:
        raise ValueError(message)
    _method, salt, hashed = password_hash.split("$")
    try:
        bytes.fromhex(hashed)
        # One trial check reads the method and its parameters as logins will.
        check_password_hash(password_hash, "")
    except (ValueError, TypeError, OverflowError, MemoryError) as exc:
        raise ValueError(f"{message}: {exc}") from None
    if not salt or not hashed:
        raise ValueError(message)


def _configure_auth(app: Flask) -> _BasicAuth | None:
    named = [name for name in (ENV_USER, ENV_PASSWORD_HASH) if name in os.environ]
    if named:
        # Present but empty is a mistake, never a reason to serve without a login.
        missing = [name for name in (ENV_USER, ENV_PASSWORD_HASH) if not os.environ.get(name)]
        if missing:
            raise ValueError(
                f"Basic authentication needs both {ENV_USER} and {ENV_PASSWORD_HASH} "
                f"set and non-empty; {' and '.join(missing)} is missing or empty"
            )
    user = _setting(app, ENV_USER, "VITRINE_AUTH_USER", None)
    password_hash = _setting(app, ENV_PASSWORD_HASH, "VITRINE_AUTH_PASSWORD_HASH", None)
    if user is None and password_hash is None:
        return None
    if not user or not password_hash:
        raise ValueError(
            f"Basic authentication needs both {ENV_USER} and {ENV_PASSWORD_HASH}; only one is set"
        )
    realm = str(getattr(app, "title", None) or app.name)
    return _BasicAuth(
        str(user),
        str(password_hash),
        realm,
        max_failures=_int_setting(app, "VITRINE_MAX_FAILED_LOGINS", DEFAULT_MAX_FAILED_LOGINS),
        max_hashing=_int_setting(app, "VITRINE_MAX_PASSWORD_CHECKS", DEFAULT_MAX_PASSWORD_CHECKS),
    )


def _int_setting(app: Flask, key: str, default: int) -> int:
    value = int(_setting(app, None, key, default))
    if value < 1:
        raise ValueError(f"{key} must be positive")
    return value


def create_protected_app(app: Flask) -> Flask:
    """Hardens the Flask application `app` in place and returns it.

    Applying it a second time changes nothing. Raises ValueError for an
    inconsistent authentication or rate-limit setting, so that a server never
    starts less protected than its operator asked for.
    """
    if not isinstance(app, Flask):
        raise TypeError(f"app must be a Flask application, not {type(app).__name__}")
    if _EXTENSION_KEY in app.extensions:
        return app

    rate_limit = str(_setting(app, ENV_RATE_LIMIT, "VITRINE_RATE_LIMIT", DEFAULT_RATE_LIMIT))
    try:
        parse_many(rate_limit)
    except ValueError as exc:
        raise ValueError(f"invalid rate limit {rate_limit!r}: {exc}") from exc
    max_query = _int_setting(app, "VITRINE_MAX_QUERY_LENGTH", DEFAULT_MAX_QUERY_LENGTH)
    max_url_query = _int_setting(app, "VITRINE_MAX_URL_QUERY_LENGTH", DEFAULT_MAX_URL_QUERY_LENGTH)
    max_page = _int_setting(app, "VITRINE_MAX_PAGE_SIZE", DEFAULT_MAX_PAGE_SIZE)
    auth = _configure_auth(app)

    app.config.update(
        VITRINE_MAX_PAGE_SIZE=min(max_page, DEFAULT_MAX_PAGE_SIZE),
        VITRINE_MAX_QUERY_LENGTH=max_query,
        VITRINE_MAX_URL_QUERY_LENGTH=max_url_query,
        VITRINE_RATE_LIMIT=rate_limit,
        MAX_CONTENT_LENGTH=1024,
        VITRINE_SERVER_ERROR_HEADERS=SERVER_ERROR_HEADERS,
        SESSION_COOKIE_HTTPONLY=True,
        SESSION_COOKIE_SAMESITE="Strict",
    )

    def refuse_methods():
        if request.method not in ALLOWED_METHODS:
            raise MethodNotAllowed(valid_methods=list(ALLOWED_METHODS))

    def refuse_paths():
        path = request.path
        if "\\" in path or "\x00" in path or ".." in path.split("/"):
            raise NotFound()

    def require_credentials():
        if auth is not None:
            credentials = request.authorization
            if credentials is None or credentials.type != "basic":
                raise auth.challenge()
            address = get_remote_address() or ""
            if not auth.verify(credentials.username, credentials.password, address):
                raise auth.challenge()

    def bound_queries():
        if len(request.query_string) > max_url_query:
            raise RequestURITooLarge()
        if len(request.args.get("q", "")) > max_query:
            raise RequestURITooLarge(f"The query is longer than {max_query} characters.")

    limiter = Limiter(
        get_remote_address,
        app=app,
        application_limits=[rate_limit],  # one allowance per client across all pages
        storage_uri="memory://",
        headers_enabled=True,
        strategy="fixed-window",
    )
    Talisman(
        app,
        force_https=False,
        strict_transport_security=True,  # sent only over HTTPS
        session_cookie_secure=False,
        content_security_policy=CONTENT_SECURITY_POLICY,
        frame_options="DENY",
        referrer_policy="no-referrer",
        x_content_type_options=True,
        permissions_policy={
            "browsing-topics": "()",
            "camera": "()",
            "microphone": "()",
            "geolocation": "()",
        },
    )

    # The limiter counts every request, refused ones included; then come the
    # cheap refusals, the credentials and the bounds, before any view runs.
    hooks = app.before_request_funcs.setdefault(None, [])
    for hook in (bound_queries, require_credentials, refuse_paths, refuse_methods):
        hooks.insert(0, hook)
    limiter_hooks = [h for h in hooks if getattr(h, "__self__", None) is limiter]
    for hook in limiter_hooks:
        hooks.remove(hook)
        hooks.insert(0, hook)

    def retry_after_only_when_refused(response):
        # The limiter announces its window on every answer; a Retry-After on
        # a success tells clients to wait for nothing.
        if response.status_code not in (429, 503):
            response.headers.pop("Retry-After", None)
        return response

    # After-request functions run last-registered first: this one runs last.
    app.after_request_funcs.setdefault(None, []).insert(0, retry_after_only_when_refused)

    @app.after_request
    def isolate(response):
        response.headers.setdefault("Cross-Origin-Opener-Policy", "same-origin")
        response.headers.setdefault("Cross-Origin-Resource-Policy", "same-origin")
        return response

    app.register_error_handler(HTTPException, error_response)

    def internal_error(exc):
        return error_response(InternalServerError())

    app.register_error_handler(InternalServerError, internal_error)
    if auth is not None:
        # Threads that password checks may hold (running or queued); the
        # server adds them to its own, so logged-in clients always find one.
        app.config["VITRINE_LOGIN_THREADS"] = auth.max_hashing + auth.max_waiting
    app.extensions[_EXTENSION_KEY] = {"limiter": limiter, "auth": auth is not None}
    return app

"""Error pages of the web viewer: never a traceback, JSON under /api/."""

from __future__ import annotations

from flask import jsonify, render_template, request
from werkzeug.exceptions import HTTPException

__all__ = ["error_response"]


def _wants_json() -> bool:
    return request.path.startswith("/api/")


def error_response(exc: HTTPException):
    """The error page for `exc`: the ``error.html`` template (JSON under /api/).

    Only the code, name and description are shown, never a traceback; a
    server error shows a fixed text. The exception's own headers (Allow,
    WWW-Authenticate, Retry-After ...) are kept.
    """
    response = exc.get_response()
    code = exc.code or 500
    description = exc.description if code < 500 else "The server could not answer this request."
    if _wants_json():
        body = jsonify(error=exc.name, status=code, description=description)
        response.set_data(body.get_data())
        response.mimetype = "application/json"
        return response
    try:
        html = render_template("error.html", code=code, name=exc.name, description=description)
    except Exception:  # a broken template must not turn into a traceback
        html = f"<!doctype html><title>{code}</title><h1>{code} {exc.name}</h1>"
    response.set_data(html)
    response.mimetype = "text/html"
    return response

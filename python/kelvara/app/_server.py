"""The HTTP side: a Starlette application over a Session.

Every request must carry the token the server was started with, in the query
(`?token=...`: the page's own address, its scripts, the download links) or in the
`X-Kelvara-Token` header (the page's API calls). Fits run on worker threads, so
the event loop keeps serving the page while one runs.
"""

from __future__ import annotations

import contextlib
import os
import secrets
from importlib import resources
from typing import Any

from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import FileResponse, HTMLResponse, JSONResponse, PlainTextResponse, Response
from starlette.routing import Route

from kelvara.app import _export
from kelvara.app._session import Cancelled, Session, SessionError, detail, row, too_large

TOKEN_HEADER = "x-kelvara-token"


def plotly_js_path() -> str:
    """plotly.js as the plotly wheel ships it."""
    import plotly

    path = os.path.join(os.path.dirname(plotly.__file__), "package_data", "plotly.min.js")
    if not os.path.isfile(path):
        raise RuntimeError(f"the installed plotly has no {path}: reinstall it with pip install kelvara[app]")
    return path


def _static(name: str) -> str:
    return resources.files("kelvara.app").joinpath("static", name).read_text(encoding="utf-8")


class _TokenCheck:
    """Refuses (403) every request without the session's token, before routing."""

    def __init__(self, app: Any, token: str) -> None:
        self.app = app
        self.token = token

    async def __call__(self, scope: dict, receive: Any, send: Any) -> None:
        if scope["type"] == "http":
            request = Request(scope)
            given = request.query_params.get("token") or request.headers.get(TOKEN_HEADER) or ""
            if not secrets.compare_digest(given.encode(), self.token.encode()):
                response = PlainTextResponse("403: this address needs the token that `kelvara serve` printed",
                                             status_code=403)
                await response(scope, receive, send)
                return
        await self.app(scope, receive, send)


def _files(paths: Any, errors: list[str]) -> list[str]:
    """The files named, a folder standing for its files, as on the command line."""
    from kelvara.cli import InputError, _expand

    files = []
    for path in paths:
        try:
            files += _expand([os.fspath(path)])
        except InputError as error:
            errors.append(str(error))
    return files


def _error(message: str, status: int = 400) -> JSONResponse:
    return JSONResponse({"error": message}, status_code=status)


def _stopped(error: Cancelled) -> JSONResponse:
    """A fit the user stopped: 409, which the page takes for no error of its own."""
    return JSONResponse({"error": str(error), "cancelled": True}, status_code=409)


async def _json_body(request: Request) -> dict:
    """The request's JSON object; SessionError when it is none."""
    try:
        body = await request.json()
    except (ValueError, UnicodeDecodeError):
        raise SessionError("the request is not JSON") from None
    if not isinstance(body, dict):
        raise SessionError("the request is not a JSON object")
    return body


# what each export is: media type and the file name it is saved under
EXPORTS = {
    "csv": ("text/csv", "kelvara_results.csv"),
    "json": ("application/json", "kelvara_results.json"),
    "html": ("text/html", "kelvara_report.html"),
    "kelvara": ("application/json", "session.kelvara"),
}


class _Api:
    """The request handlers over one session."""

    def __init__(self, session: Session, token: str, preload_errors: list[str]) -> None:
        self.session = session
        self.token = token
        self.preload_errors = preload_errors

    async def index(self, request: Request) -> Response:
        page = _static("index.html").replace("{{token}}", self.token)
        return HTMLResponse(page, headers={"Cache-Control": "no-store"})

    async def asset(self, request: Request) -> Response:
        name = request.path_params["name"]
        if name == "plotly.min.js":
            return FileResponse(plotly_js_path(), media_type="text/javascript",
                                headers={"Cache-Control": "private, max-age=86400"})
        types = {"app.js": "text/javascript", "app.css": "text/css"}
        if name not in types:
            return PlainTextResponse("not found", status_code=404)
        return Response(_static(name), media_type=types[name], headers={"Cache-Control": "no-store"})

    async def spectra(self, request: Request) -> Response:
        return JSONResponse({"spectra": [row(e) for e in self.session.entries()], "errors": self.preload_errors,
                             "max_upload_bytes": self.session.max_upload_bytes})

    async def upload(self, request: Request) -> Response:
        name = request.query_params.get("name") or "upload"
        limit = self.session.max_upload_bytes
        declared = request.headers.get("content-length")
        if declared is not None and declared.isdigit() and int(declared) > limit:
            return _error(too_large(name, int(declared), limit), 413)
        chunks, size = [], 0
        async for chunk in request.stream():
            size += len(chunk)
            if size > limit:
                return _error(too_large(name, size, limit), 413)
            chunks.append(chunk)
        try:
            added = await run_in_threadpool(self.session.open_upload, name, b"".join(chunks))
        except SessionError as error:
            return _error(str(error))
        return JSONResponse({"spectra": [row(e) for e in added]})

    async def _detail(self, call: Any, *args: Any) -> Response:
        try:
            entry = await run_in_threadpool(call, *args)
            return JSONResponse(await run_in_threadpool(detail, entry))
        except Cancelled as error:
            return _stopped(error)
        except SessionError as error:
            return _error(str(error), 404)

    async def one(self, request: Request) -> Response:
        return await self._detail(self.session.get, request.path_params["id"])

    async def auto(self, request: Request) -> Response:
        if request.query_params.get("brief"):  # a spectrum the page does not show: its table row only
            try:
                entry = await run_in_threadpool(self.session.auto_fit, request.path_params["id"])
            except Cancelled as error:
                return _stopped(error)
            except SessionError as error:
                return _error(str(error), 404)
            return JSONResponse(row(entry))
        return await self._detail(self.session.auto_fit, request.path_params["id"])

    async def pick(self, request: Request) -> Response:
        return await self._detail(self.session.pick, request.path_params["id"], request.path_params["position"])

    async def fit(self, request: Request) -> Response:
        try:
            body = await _json_body(request)
            entry = await run_in_threadpool(
                self.session.refit, request.path_params["id"], body.get("circuit"), body.get("values"),
                body.get("fixed") or [], body.get("bounds") or None, body.get("masked") or [],
                body.get("method") or "levenberg_marquardt", body.get("weight") or "modulus",
                bool(body.get("replace")))
            view = await run_in_threadpool(detail, entry)
        except Cancelled as error:
            return _stopped(error)
        except SessionError as error:
            return _error(str(error))
        view["request"] = body.get("request")  # the page drops answers to requests it has since replaced
        return JSONResponse(view)

    async def series(self, request: Request) -> Response:
        try:
            body = await _json_body(request)
            ids = body.get("ids") or [entry.id for entry in self.session.entries()]
            trend = await run_in_threadpool(
                self.session.series, ids, body.get("circuit"), body.get("values"), body.get("fixed") or [],
                body.get("bounds") or None, body.get("shared") or [], body.get("method") or "levenberg_marquardt",
                body.get("weight") or "modulus")
        except Cancelled as error:
            return _stopped(error)
        except (SessionError, TypeError) as error:
            return _error(str(error))
        trend["rows"] = [row(e) for e in self.session.entries()]
        return JSONResponse(trend)

    async def cancel(self, request: Request) -> Response:
        """Stops every fit running or waiting (the page's Stop)."""
        return JSONResponse({"stopped": self.session.cancel()})

    async def progress(self, request: Request) -> Response:
        return JSONResponse(self.session.progress)

    async def export(self, request: Request) -> Response:
        kind = request.path_params["kind"]
        if kind not in EXPORTS:
            return PlainTextResponse("not found", status_code=404)
        from kelvara.app import _report

        write = {"csv": _export.to_csv, "json": _export.to_json, "html": _report.to_html,
                 "kelvara": _export.to_project}[kind]
        text = await run_in_threadpool(write, self.session.entries())
        media, filename = EXPORTS[kind]
        return Response(text, media_type=media, headers={"Content-Disposition": f'attachment; filename="{filename}"'})

    async def script(self, request: Request) -> Response:
        try:
            entry = self.session.get(request.path_params["id"])
            text = _export.to_script(entry)
        except (SessionError, ValueError) as error:
            return _error(str(error), 404)
        return Response(text, media_type="text/x-python",
                        headers={"Content-Disposition": f'attachment; filename="fit_{entry.id}.py"'})

    def routes(self) -> list[Route]:
        return [
            Route("/", self.index),
            Route("/static/{name}", self.asset),
            Route("/api/spectra", self.spectra),
            Route("/api/upload", self.upload, methods=["POST"]),
            Route("/api/spectrum/{id:int}", self.one),
            Route("/api/spectrum/{id:int}/auto", self.auto, methods=["POST"]),
            Route("/api/spectrum/{id:int}/fit", self.fit, methods=["POST"]),
            Route("/api/spectrum/{id:int}/candidate/{position:int}", self.pick, methods=["POST"]),
            Route("/api/spectrum/{id:int}/script.py", self.script),
            Route("/api/series", self.series, methods=["POST"]),
            Route("/api/series/progress", self.progress),
            Route("/api/cancel", self.cancel, methods=["POST"]),
            Route("/api/export.{kind}", self.export),
        ]


def create_app(paths: Any = (), *, token: str | None = None, max_upload_bytes: int | None = None) -> Any:
    """The ASGI application: `paths` (files or folders) are opened at once, their read
    errors listed in the page; `token` defaults to a fresh random one (`app.state.token`)."""
    session = Session() if max_upload_bytes is None else Session(max_upload_bytes)
    token = token or secrets.token_urlsafe(24)
    preload_errors: list[str] = []
    for path in _files(paths, preload_errors):
        try:
            session.open_path(path)
        except SessionError as error:
            preload_errors.append(str(error))

    @contextlib.asynccontextmanager
    async def lifespan(app: Any):
        yield
        session.close()  # the uploaded copies go with the server

    api = _Api(session, token, preload_errors)
    app = Starlette(routes=api.routes(), middleware=[Middleware(_TokenCheck, token=token)], lifespan=lifespan)
    app.state.token = token
    app.state.session = session
    return app

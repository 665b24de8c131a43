"""The web application: routes, the guard every request passes, and the launch form.

The guard admits a request only when its Host is one the server answers to (so a
page elsewhere cannot reach it by renaming itself) and, when the server listens
beyond this machine, when it carries the token. Launching is a POST whose form holds
a token only the server's own pages know and whose Origin, when sent, is the server.
"""

from __future__ import annotations

import hashlib
import hmac
import secrets
import urllib.parse
from collections.abc import AsyncIterator, Awaitable, Callable, Mapping
from contextlib import asynccontextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from jinja2 import Environment, FileSystemLoader, select_autoescape
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.base import BaseHTTPMiddleware
from starlette.requests import Request
from starlette.responses import (
    HTMLResponse,
    JSONResponse,
    PlainTextResponse,
    RedirectResponse,
    Response,
)
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

import tevra.ui.preview as preview
import tevra.ui.views as views
from tevra.store.pages import History
from tevra.ui.launch import Launcher
from tevra.ui.pipeline import STATE_CLASS, STATE_GLYPH, STATE_ORDER, Pipeline

HERE = Path(__file__).parent
TOKEN_COOKIE = "tevra_ui_token"
FORM_LIMIT = 64 * 1024
SECURITY_HEADERS = {
    "Content-Security-Policy": ("default-src 'self'; script-src 'self'; style-src 'self'; "
                                "img-src 'self' data:; frame-ancestors 'none'; "
                                "form-action 'self'; base-uri 'none'"),
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "same-origin",
    "X-Frame-Options": "DENY",
}


@dataclass(slots=True)
class Settings:
    state_dir: Path
    project_dir: Path
    modules: list[str]
    # Host header values the server answers to; None answers to any (then a token guards it).
    hosts: set[str] | None
    token: str | None = None
    secret: bytes = field(default_factory=lambda: secrets.token_bytes(32))

    def form_token(self) -> str:
        return hmac.new(self.secret, b"launch", hashlib.sha256).hexdigest()


def create_app(settings: Settings, pipeline: Pipeline | None = None,
               history: History | None = None) -> Starlette:
    history = history or History(settings.state_dir)
    pipeline = pipeline or Pipeline(settings.modules, settings.project_dir, history)
    page = views.Views(settings.state_dir, history, pipeline)
    launcher = Launcher(settings.modules, settings.project_dir, settings.state_dir)
    env = Environment(loader=FileSystemLoader(HERE / "templates"),
                      autoescape=select_autoescape(default=True, default_for_string=True))
    env.globals.update(
        short=views.short, label=page.label, when=views.when, took=views.took, status_class=views.status_class,
        state_class=STATE_CLASS, state_glyph=STATE_GLYPH, state_order=STATE_ORDER,
        asset_url=asset_url, form_token=settings.form_token(), can_launch=bool(settings.modules),
        freshness=lambda: pipeline.freshness, freshness_note=lambda: pipeline.freshness_note)
    css = preview.source_css()

    def render(name: str, code: int = 200, /, **context: Any) -> HTMLResponse:
        return HTMLResponse(env.get_template(name).render(**context), status_code=code)

    def not_found(what: str) -> HTMLResponse:
        return render("error.html", 404, title="Not found", message=what)

    async def assets_page(request: Request) -> Response:
        return render("assets.html", title="Assets", live="assets", **page.graph())

    async def asset_page(request: Request) -> Response:
        key = request.query_params.get("key", "")
        info = pipeline.asset(key)
        if info is None:
            return not_found(f"There is no asset {key!r}.")
        params = dict(request.query_params)
        return render("asset.html", title=info.label, live="asset",
                      params=params, **page.asset(info, params))

    async def runs_page(request: Request) -> Response:
        return render("runs.html", title="Runs", live="runs", **page.runs(request.query_params))

    async def run_page(request: Request) -> Response:
        run = history.run(request.path_params["run_id"])
        if run is None:
            return not_found(f"There is no run {request.path_params['run_id']}.")
        return render("run.html", title=f"Run {run.id}", live="run", **page.run(run))

    async def live(request: Request) -> Response:
        return JSONResponse(page.live(request.query_params))

    async def launch(request: Request) -> Response:
        if not settings.modules:
            return render("error.html", 400, title="Cannot launch",
                          message="Runs can be launched when the server was given the modules.")
        form = await _form(request)
        if not _same_origin(request) or not hmac.compare_digest(
                form.get("csrf", ""), settings.form_token()):
            return PlainTextResponse("refused: this form did not come from this page", 403)
        key = form.get("asset", "")
        info = pipeline.by_key.get(key)
        if info is None:
            return not_found(f"There is no asset {key!r}.")
        specs = []
        for dim in info.dims.names if info.dims is not None else ():
            values = [v.strip() for v in form.get(f"p.{dim}", "").split(",") if v.strip()]
            unknown = [v for v in values if info.dims is not None and v not in info.dims.index[dim]]
            if unknown:
                return render("error.html", 400, title="Cannot launch",
                              message=f"{', '.join(unknown)} is not a value of {dim!r}.")
            if values:
                specs.append(f"{dim}={','.join(values)}")
        started = launcher.start(info.key, specs, force=form.get("force") == "on",
                                 rerun_failed=form.get("rerun_failed") == "on")
        return RedirectResponse(f"/launch/{started.number}", status_code=303)

    async def launch_page(request: Request) -> Response:
        found = launcher.get(request.path_params["number"])
        if found is None:
            return not_found(f"There is no launch {request.path_params['number']}.")
        return render("launch.html", title=f"Launch {found.number}", live="launch",
                      launch=found)

    async def launch_state(request: Request) -> Response:
        found = launcher.get(request.path_params["number"])
        if found is None:
            return JSONResponse({"error": "no such launch"}, status_code=404)
        return JSONResponse({"state": found.state, "output": list(found.output)})

    async def highlight_css(request: Request) -> Response:
        return Response(css, media_type="text/css")

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        pipeline.start(settings.state_dir)
        try:
            yield
        finally:
            launcher.stop()
            pipeline.stop()
            history.close()

    routes = [
        Route("/", assets_page),
        Route("/asset", asset_page),
        Route("/runs", runs_page),
        Route("/run/{run_id:int}", run_page),
        Route("/launch", launch, methods=["POST"]),
        Route("/launch/{number:int}", launch_page),
        Route("/api/live", live),
        Route("/api/launch/{number:int}", launch_state),
        Route("/highlight.css", highlight_css),
        Mount("/static", StaticFiles(directory=HERE / "static"), name="static"),
    ]
    app = Starlette(routes=routes, lifespan=lifespan,
                    middleware=[Middleware(BaseHTTPMiddleware, dispatch=_guard(settings))])
    app.state.launcher = launcher
    app.state.pipeline = pipeline
    return app


def asset_url(key: str, **params: Any) -> str:
    query = {"key": key, **{k: v for k, v in params.items() if v is not None and v != ""}}
    return "/asset?" + urllib.parse.urlencode(query)


Dispatch = Callable[[Request, Callable[[Request], Awaitable[Response]]], Awaitable[Response]]


def _guard(settings: Settings) -> Dispatch:
    async def dispatch(request: Request,
                       call_next: Callable[[Request], Awaitable[Response]]) -> Response:
        host = request.headers.get("host", "")
        if settings.hosts is not None and host not in settings.hosts:
            return PlainTextResponse(f"refused: this server does not answer to {host!r}", 421)
        if settings.token is not None:
            given = request.query_params.get("token")
            if given is not None and hmac.compare_digest(given, settings.token):
                # The token moves to a cookie, so links need not carry it.
                query = [(k, v) for k, v in request.query_params.multi_items() if k != "token"]
                target = request.url.path + ("?" + urllib.parse.urlencode(query) if query else "")
                response: Response = RedirectResponse(target, status_code=303)
                response.set_cookie(TOKEN_COOKIE, settings.token, httponly=True, samesite="strict")
                return response
            cookie = request.cookies.get(TOKEN_COOKIE, "")
            if not hmac.compare_digest(cookie, settings.token):
                return PlainTextResponse(
                    "refused: open the address with the token that tevra ui printed", 403)
        response = await call_next(request)
        for name, value in SECURITY_HEADERS.items():
            response.headers.setdefault(name, value)
        return response
    return dispatch


def _same_origin(request: Request) -> bool:
    """An Origin header, when the browser sends one, must name this server."""
    origin = request.headers.get("origin")
    if origin is None:
        return True
    parsed = urllib.parse.urlsplit(origin)
    return parsed.netloc == request.headers.get("host", "") and parsed.scheme in ("http", "https")


async def _form(request: Request) -> Mapping[str, str]:
    if request.headers.get("content-type", "").split(";")[0].strip() != (
            "application/x-www-form-urlencoded"):
        return {}
    body = b""
    async for chunk in request.stream():
        body += chunk
        if len(body) > FORM_LIMIT:
            return {}
    return {k: v[-1] for k, v in urllib.parse.parse_qs(body.decode("utf-8", "replace")).items()}

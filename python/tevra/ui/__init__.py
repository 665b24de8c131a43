"""``tevra ui``: a local web page over the pipeline and its run history.

Pages are rendered on the server (Starlette, Jinja2) from the store, opened
read-only, and from the asset graph when modules are given; a little JavaScript
keeps them live. ``serve`` runs it until Ctrl-C.
"""

from __future__ import annotations

import ipaddress
import secrets
import socket
import sys
import webbrowser
from pathlib import Path

from tevra.errors import UsageError
from tevra.install import extra_hint

DEFAULT_PORT = 8765
# What the ui extra brings, for the hint when it is missing.
UI_PACKAGES = ["starlette>=0.40,<2", "uvicorn>=0.30,<1", "jinja2>=3.1,<4", "pygments>=2.17,<3"]


def serve(modules: list[str], state_dir: Path, project_dir: Path, *,
          exclude: list[str] | None = None, host: str = "127.0.0.1", port: int = DEFAULT_PORT,
          token: str | None = None, open_browser: bool = False) -> int:
    try:
        import uvicorn

        from tevra.ui.app import Settings, create_app
    except ImportError as exc:
        raise UsageError(f"tevra ui needs the ui extra ({exc.name} is missing): "
                         + extra_hint("ui", UI_PACKAGES)) from None
    from tevra.store.pages import History
    from tevra.ui.pipeline import Pipeline

    loopback = _loopback(host)
    if not loopback and token is None:
        token = secrets.token_urlsafe(24)
    try:
        sock = socket.create_server((host, port), family=_family(host), reuse_port=False)
    except OSError as exc:
        raise UsageError(f"cannot listen on {host}:{port} ({exc.strerror}); try --port") from None
    port = sock.getsockname()[1]
    shown = f"[{host}]" if ":" in host else host
    hosts: set[str] | None = None
    if loopback:
        hosts = {f"{name}:{port}" for name in ("127.0.0.1", "localhost", "[::1]", shown)}
    elif host not in ("0.0.0.0", "::"):
        hosts = {f"{shown}:{port}"}
    history = History(state_dir)
    pipeline = Pipeline(modules, project_dir, history, exclude)
    app = create_app(Settings(state_dir=state_dir, project_dir=project_dir, modules=modules,
                              hosts=hosts, token=token), pipeline, history)
    url = f"http://{'127.0.0.1' if host in ('0.0.0.0', '::') else shown}:{port}/"
    if token is not None:
        url += f"?token={token}"
    print(f"tevra ui: {url}  (state {state_dir}; Ctrl-C stops it)", flush=True)
    if open_browser:
        webbrowser.open(url)
    config = uvicorn.Config(app, log_level="warning", timeout_graceful_shutdown=2,
                            lifespan="on")
    try:
        uvicorn.Server(config).run(sockets=[sock])
    except KeyboardInterrupt:
        # uvicorn has shut down cleanly and passes the Ctrl-C on: it is how one stops it.
        pass
    print("tevra ui: stopped", file=sys.stderr)
    return 0


def _loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _family(host: str) -> socket.AddressFamily:
    return socket.AF_INET6 if ":" in host else socket.AF_INET

"""kelvara in the browser: a local app to open spectra, look at them and fit them.

    kelvara serve [FILES or FOLDER] [--port N] [--no-browser]

or, from Python (a script or a notebook):

>>> import kelvara.app
>>> kelvara.app.serve(["cell.DTA"])                  # doctest: +SKIP  (blocks; Ctrl-C stops it)
>>> server = kelvara.app.start(["cell.DTA"])         # doctest: +SKIP  (runs in the background)
>>> server.url, server.stop()                        # doctest: +SKIP

The server listens on 127.0.0.1 only and answers only requests that carry the
random token of its address. It opens only the files named here and those the
user drops into the page. Needs the `app` extra: pip install kelvara[app].
"""

from __future__ import annotations

import socket
import sys
import threading
import time
import webbrowser
from typing import Any, Sequence

HOST = "127.0.0.1"
_NEEDED = ("starlette", "uvicorn", "plotly")


def _require() -> None:
    import importlib.util

    missing = [name for name in _NEEDED if importlib.util.find_spec(name) is None]
    if missing:
        raise ImportError(f"kelvara's app needs {', '.join(missing)}: pip install kelvara[app]")


_require()

from kelvara.app._server import create_app  # noqa: E402
from kelvara.app._session import MAX_UPLOAD_BYTES  # noqa: E402

__all__ = ["HOST", "MAX_UPLOAD_BYTES", "Server", "create_app", "serve", "start"]


class Server:
    """A running app: its `url` (with the token) and `stop()`."""

    def __init__(self, paths: Sequence[str] = (), port: int = 0, max_upload_bytes: int | None = None) -> None:
        import uvicorn

        self.app = create_app(list(paths), max_upload_bytes=max_upload_bytes)
        self._socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self._socket.bind((HOST, int(port)))
        except OSError as error:
            self._socket.close()
            raise OSError(f"cannot listen on {HOST}:{port}: {error.strerror or error}") from None
        self.port = self._socket.getsockname()[1]
        self.url = f"http://{HOST}:{self.port}/?token={self.app.state.token}"
        config = uvicorn.Config(self.app, log_level="warning", lifespan="on")
        self._server = uvicorn.Server(config)
        self._thread: threading.Thread | None = None

    def run(self) -> None:
        """Serve in this thread until Ctrl-C (or `stop()` from another)."""
        self._server.run(sockets=[self._socket])

    def start(self) -> "Server":
        self._thread = threading.Thread(target=self.run, name="kelvara-app", daemon=True)
        self._thread.start()
        deadline = time.monotonic() + 10
        while not self._server.started and self._thread.is_alive() and time.monotonic() < deadline:
            time.sleep(0.01)
        if not self._server.started:
            raise RuntimeError("the app's server did not start")
        return self

    def stop(self) -> None:
        self._server.should_exit = True
        if self._thread is not None:
            self._thread.join(10)
        self._socket.close()

    def __enter__(self) -> "Server":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()


def start(paths: Sequence[str] = (), *, port: int = 0, open_browser: bool = False,
          max_upload_bytes: int | None = None) -> Server:
    """Start the app in a background thread and return it (`.url`, `.stop()`)."""
    server = Server(paths, port, max_upload_bytes).start()
    if open_browser:
        webbrowser.open(server.url)
    return server


def serve(paths: Sequence[str] = (), *, port: int = 0, open_browser: bool = True,
          max_upload_bytes: int | None = None) -> None:
    """Start the app, print its address, open it in the default browser and serve
    until Ctrl-C. `port` 0 takes a free one."""
    server = Server(paths, port, max_upload_bytes)
    print(f"kelvara app: {server.url}", flush=True)
    print("(Ctrl-C stops it)", file=sys.stderr, flush=True)
    if open_browser:
        threading.Timer(0.3, webbrowser.open, args=(server.url,)).start()
    try:
        server.run()
    except KeyboardInterrupt:
        pass

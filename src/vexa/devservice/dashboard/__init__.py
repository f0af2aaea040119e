"""The service's dashboard for browsers, and the way browsers get in with a key.

`install_dashboard(app, api_key)` adds the pages (at `/` and under `/ui/`) and
the browser access; `dashboard_url` is the link the service prints at start.
"""

from __future__ import annotations

import secrets
from typing import Sequence

from starlette.applications import Starlette

from .access import BrowserAccessMiddleware, dashboard_url, form_token
from .pages import dashboard_routes

__all__ = ["dashboard_url", "install_dashboard"]


def install_dashboard(app: Starlette, api_key: str | None, allowed_hosts: Sequence[str] = ()) -> None:
    """Add the dashboard to `app`; call it after the API key check is added, so
    that the browser access wraps it (and what the service refuses from anyone:
    Host names other than its own and `allowed_hosts`, requests of other origins)."""
    # Ahead of the API's catch-all routes, which would take `/ui/...` for theirs.
    app.router.routes[0:0] = dashboard_routes()
    app.state.dashboard_form_token = form_token(api_key, secrets.token_bytes(32))
    app.add_middleware(BrowserAccessMiddleware, api_key=api_key, allowed_hosts=allowed_hosts)

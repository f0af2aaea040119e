"""What a browser needs to reach the local service and the pages of its web jobs.

A browser cannot send the X-API-Key header, so the service also accepts
`?token=` once, derived from the key (never the key itself, which would
stay in the browser's history and in server logs).

Each web job's page has an origin of its own, at an address of the loopback
block that only that job has (`web_job_address`): another host, so another
site, than the dashboard's `127.0.0.1` or `localhost`, and than every other
job's. The browser keeps the dashboard's cookies from its pages, and a page
cannot set or read anything of the dashboard's or of another page's. Both the
client and the service derive the address from the job id alone, so the
page's URL needs no request. Its token (`web_job_token`) opens that one page
only.
"""

from __future__ import annotations

import hashlib
import hmac
import ipaddress

__all__ = ["browser_token", "is_web_job_address", "web_job_address", "web_job_token"]

# 127.1.0.1 to 127.254.255.254: clear of 127.0.0.0/16, where the loopback
# addresses in common use live (127.0.0.1, Debian's 127.0.1.1, 127.0.0.53).
_FIRST, _LAST = int(ipaddress.IPv4Address("127.1.0.0")), int(ipaddress.IPv4Address("127.254.255.255"))


def browser_token(api_key: str) -> str:
    """The browser token of a service whose API key is `api_key`."""
    return hmac.new(api_key.encode("utf-8"), b"vexa browser session", hashlib.sha256).hexdigest()


def web_job_token(api_key: str, job_id: str) -> str:
    """The token that opens the page of web job `job_id`, and nothing else of the service."""
    return hmac.new(api_key.encode("utf-8"), b"vexa web page\0" + job_id.encode("utf-8"), hashlib.sha256).hexdigest()


def web_job_address(job_id: str) -> str:
    """The loopback address of the page of web job `job_id`: 127.A.B.C with A
    from 1 to 254, B any, C from 1 to 254 (about 16.5 million addresses).

    Linux (like Windows) answers on the whole 127.0.0.0/8 block without any
    setup; the service picks job ids whose addresses no job of its data dir
    has had.
    """
    digest = hashlib.sha256(b"vexa web page address\0" + job_id.encode("utf-8")).digest()
    return f"127.{1 + digest[0] % 254}.{digest[1]}.{1 + digest[2] % 254}"


def is_web_job_address(host: str) -> bool:
    """Whether `host` (an address as text; anything else answers False) lies in
    the block kept for web pages: never an address of the service itself."""
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        return False
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        address = address.ipv4_mapped
    return isinstance(address, ipaddress.IPv4Address) and _FIRST <= int(address) <= _LAST

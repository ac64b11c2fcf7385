"""The HTTP client the module calls the remote services through: one
requests.Session per worker process, whose connections stay open from one
call to the next.

requests.post and requests.get make a session for each request, and with
it a connection pool, a TLS handshake and an SSL context that loads the CA
bundle again. The module looks `requests` up on itself at every call, so the
server's hook sets `KeptConnections` there once a worker has loaded the
application: after the fork, so that no two processes share a connection.

The session serves every call of its worker, so it keeps nothing of one
call's: it refuses every cookie, and its headers are requests' defaults.
Time-outs, proxies, the CA bundle and the exceptions stay the library's.

A kept connection the service has closed costs no call: urllib3 looks at a
pooled connection before it writes on it. A request is tried again only
when its connection could not be opened: none of its bytes was sent, so no
text is spoken twice.
"""

import http.cookiejar

import requests
from requests.adapters import HTTPAdapter
from urllib3.exceptions import NewConnectionError
from urllib3.util.retry import Retry

# Pools kept at once: the two services and the hosts their audio links point at.
HOSTS = 8
# A service being restarted refuses connections for a moment.
CONNECT_RETRIES = 3
CONNECT_BACKOFF = 0.1


class RefuseCookies(http.cookiejar.DefaultCookiePolicy):
    """Keeps no cookie and sends none: a cookie one call's service sets
    would otherwise ride on every later call of the worker."""

    def set_ok(self, cookie, request):
        return False

    def return_ok(self, cookie, request):
        return False


class RetryUnopened(Retry):
    """Tries a request again only when its connection was never opened."""

    def _is_connection_error(self, err):
        # urllib3 counts a connect that timed out here too; trying it again
        # would make the call wait its whole time-out once more.
        return isinstance(err, NewConnectionError)


def retries():
    # A request once written is never sent again (the service may have acted
    # on it), nor one whose connect timed out or whose TLS handshake failed.
    return RetryUnopened(
        total=None, connect=CONNECT_RETRIES, read=False, other=0, backoff_factor=CONNECT_BACKOFF
    )


class KeptConnections:
    """What the module needs of `requests`, with one session's kept
    connections: `post` and `get` are the session's, every other name the
    library's. `pool_size` is the calls one worker holds in flight: fewer,
    and urllib3 would close the connections it cannot keep."""

    def __init__(self, pool_size):
        self.session = requests.Session()
        self.session.cookies.set_policy(RefuseCookies())
        adapter = HTTPAdapter(pool_connections=HOSTS, pool_maxsize=pool_size, max_retries=retries())
        for scheme in ("https://", "http://"):
            self.session.mount(scheme, adapter)
        self.post = self.session.post
        self.get = self.session.get

    def __getattr__(self, name):
        return getattr(requests, name)

    def close(self):
        self.session.close()


def keep(dorvane, pool_size):
    """Makes `dorvane` call its remote services through kept connections."""
    dorvane.requests = KeptConnections(pool_size)
    return dorvane.requests

"""What an operator gives the service and sees of it beyond the solving:
the broker URL (a secret), --version, the log file that SIGHUP reopens, and
the options of the front door (connections, bodies, what strangers see)."""

import logging
import os
import stat
import sys
import urllib.parse

BROKER_ENV = "PEMUX_BROKER_URL"
PASSWORD_IN_ARGV = (
    "a broker password on the command line can be read by every local user; give the "
    f"URL in the environment ({BROKER_ENV}) or in a file of its own (--broker-file FILE)")


def version():
    """One version for the module and the service: the package's own, else
    that of the installed distribution."""
    from . import __version__ as own
    if own:
        return own
    from importlib import metadata
    try:
        return metadata.version("pemux")
    except metadata.PackageNotFoundError:
        return "unknown"


def add_version_option(p):
    p.add_argument("--version", action="version", version=f"%(prog)s {version()}")


def add_broker_options(p, what):
    p.add_argument("--broker", metavar="URL",
                   help=f"Redis URL without a password (redis://HOST:6379/0): {what}; "
                        f"one with a password goes in {BROKER_ENV} or --broker-file")
    p.add_argument("--broker-file", metavar="FILE",
                   help="read the broker URL (with its password) from this file, "
                        "readable by this user only")


def _has_password(url):
    u = urllib.parse.urlsplit(url)
    return bool(u.password) or "password" in urllib.parse.parse_qs(u.query)


def broker_url(args):
    """The broker URL from --broker-file, --broker (no password) or the
    environment, or None. Exits with a message that never shows the URL."""
    env = os.environ.pop(BROKER_ENV, None)  # not for the solver processes
    if args.broker_file and args.broker:
        raise SystemExit("pemux-service: --broker and --broker-file exclude each other")
    if args.broker_file:
        try:
            st = os.stat(args.broker_file)
            with open(args.broker_file, encoding="utf-8") as f:
                url = f.read().strip()
        except (OSError, UnicodeDecodeError) as e:
            raise SystemExit(f"pemux-service: --broker-file: {e}") from None
        if st.st_mode & (stat.S_IRWXG | stat.S_IRWXO):
            raise SystemExit(f"pemux-service: {args.broker_file} is open to other users; "
                             "chmod 600 it first")
        if not url:
            raise SystemExit(f"pemux-service: {args.broker_file} holds no URL")
        return url
    if args.broker:
        if _has_password(args.broker):
            raise SystemExit(f"pemux-service: {PASSWORD_IN_ARGV}")
        return args.broker
    return env or None


class LogFile(logging.FileHandler):
    """The request log; reopen() (on SIGHUP) starts writing to a file of
    the same name, so that a rotated log is let go."""

    def reopen(self):
        with self.lock:
            if self.stream is not None:
                self.stream.close()
            self.stream = self._open()


def log_handler(path):
    return LogFile(path) if path else logging.StreamHandler(sys.stderr)


def reopen_logs():
    """Reopens every LogFile of the service's loggers; True if there was one."""
    found = False
    for name in ("pemux_service", "pemux_service.access"):
        for h in logging.getLogger(name).handlers:
            if isinstance(h, LogFile):
                h.reopen()
                found = True
    return found


def add_front_options(p, duration, size):
    """Connections, bodies and what strangers see, on a front end."""
    for flag, kind, default, text in (
        ("--max-connections", int, None,
         "open connections at most; more are refused at once (default: the descriptor "
         "limit, raised to its hard limit, less an eighth)"),
        ("--head-timeout", duration, 10.0,
         "a new connection that has not sent a whole request head (TLS handshake "
         "included) within this is closed (default 10s)"),
        ("--keepalive", duration, 30.0,
         "an idle connection between requests is closed after this (default 30s)"),
        ("--body-min-rate", size, 16 << 10,
         "after --head-timeout, a submit body must come at least this fast per second, "
         "or it is refused (default 16K; 0: no floor)"),
    ):
        p.add_argument(flag, type=kind, default=default, help=text)
    p.add_argument("--open-status", action="store_true",
                   help="show /healthz details and /metrics without a key (for a "
                        "private network); otherwise they need a key")


def runner_options(args):
    """aiohttp's own bounds for a front end's connections."""
    # Request bodies are never decompressed: a compressed one is refused.
    return {"keepalive_timeout": args.keepalive, "auto_decompress": False,
            "lingering_time": min(2.0, args.head_timeout), "shutdown_timeout": 5.0}


def on_hangup():
    if not reopen_logs():
        logging.getLogger("pemux_service").info("SIGHUP: no --log file to reopen")

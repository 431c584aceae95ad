"""pemux-service: run the service, or manage its keys.

    pemux-service --data DIR [--host 127.0.0.1] [--port 8443] [--cert F --key F]
    pemux-service key new|list|revoke ID --data DIR
    pemux-service --data SHARED_DIR --broker redis://HOST:6379/0   (front end only)
    pemux-service worker --data SHARED_DIR --broker redis://HOST:6379/0
"""

import argparse
import asyncio
import logging
import os
import shlex
import signal
import socket
import ssl
import sys
import time

from . import door, settings
from .keys import KeyStore
from .private import prepare_data, restrict_umask, tighten
from .settings import parse_duration, parse_size

log = logging.getLogger("pemux_service")


def serve_parser():
    p = argparse.ArgumentParser(
        prog="pemux-service",
        description="HTTPS solving service for the pemux module. "
                    "`pemux-service key new|list|revoke --data DIR` manages its keys; "
                    "`pemux-service worker --help` tells how to solve on other machines.")
    p.add_argument("--data", required=True, help="directory for jobs, results, keys, certificates")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8443, help="port; 0 picks a free one (default 8443)")
    p.add_argument("--cert", help="server certificate chain (PEM); default: made under DIR")
    p.add_argument("--key", help="private key of --cert (PEM)")
    p.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                   help="solver processes for queued problems (default: one per core)")
    p.add_argument("--worker-memory", type=parse_size,
                   help="address-space limit of each solver process "
                        "(default: machine memory / (workers + 1), the inline "
                        "solver being one more)")
    p.add_argument("--max-total", type=int,
                   help="largest sum of values accepted (default: what a solver's "
                        "memory limit holds)")
    p.add_argument("--max-body", type=parse_size, default=64 << 20,
                   help="largest submit body (default 64M)")
    p.add_argument("--max-queued-per-key", type=int, default=100,
                   help="queued or running problems one key may have (default 100)")
    p.add_argument("--inline-max-total", type=int, default=1 << 28,
                   help="problems up to this sum are solved before the submit is "
                        "answered (default 2^28)")
    p.add_argument("--keep", type=parse_duration, default=24 * 3600.0,
                   help="how long results are kept after last use (default 24h)")
    p.add_argument("--poll-wait", type=parse_duration, default=10.0,
                   help="how long a poll is held open waiting for its result (default 10s)")
    p.add_argument("--retry-delay", type=parse_duration, default=1.0,
                   help="pause before a solve whose process died is tried again "
                        "(default 1s)")
    p.add_argument("--drain", type=parse_duration, default=30.0,
                   help="on SIGTERM, how long running solves may finish before they "
                        "are left queued for the next start (default 30s)")
    settings.add_gzip_options(p)
    settings.add_solve_timeout_option(p)
    p.add_argument("--log", help="append the request log here (default: standard error)")
    p.add_argument("--ready-file", help="JSON file written once the service listens")
    door.add_broker_options(p, "run only this front end; `pemux-service worker` "
                                "processes sharing the broker and --data solve")
    door.add_front_options(p, parse_duration, parse_size)
    door.add_version_option(p)
    return p


def key_parser():
    p = argparse.ArgumentParser(prog="pemux-service key",
                                description="Manage the service's API keys.")
    sub = p.add_subparsers(dest="action", required=True)
    new = sub.add_parser("new", help="make a key and print it (it is shown only once)")
    new.add_argument("--label", default="", help="a note to tell keys apart")
    sub.add_parser("list", help="list key ids")
    rev = sub.add_parser("revoke", help="revoke a key by id")
    rev.add_argument("id")
    for s in sub.choices.values():
        s.add_argument("--data", required=True, help="the service's data directory")
    return p


def keys_path(data):
    return os.path.join(data, "keys.json")


def key_main(argv):
    args = key_parser().parse_args(argv)
    prepare_data(args.data)
    keys = KeyStore(keys_path(args.data))
    if args.action == "new":
        kid, key = keys.new(args.label)
        print(f"# key id {kid}; the key is shown only this once", file=sys.stderr)
        print(f"export PEMU_API_KEY={shlex.quote(key)}")
    elif args.action == "list":
        for e in keys.entries():
            created = time.strftime("%Y-%m-%d %H:%M", time.gmtime(e["created"]))
            print(f"{e['id']}  {created} UTC  {e['label']}")
    else:
        if not keys.revoke(args.id):
            print(f"pemux-service: no key with id {args.id}", file=sys.stderr)
            return 1
    return 0


def bind_listener(host, port, backlog=1024):
    """A non-blocking listening TCP socket on host:port (0: a free port),
    and the port it got."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
    except OSError:
        sock.close()
        raise
    sock.listen(backlog)
    sock.setblocking(False)
    return sock, sock.getsockname()[1]


def _public_host(host):
    if host in ("0.0.0.0", "::", ""):
        host = socket.gethostname()
    return f"[{host}]" if ":" in host else host


async def serve(args):
    # Only serving needs the server's packages; keys are managed without them.
    from aiohttp import web

    from . import bodies, guard
    from .app import Front
    from .engine import Engine, Limits, PoolDispatcher
    from .metrics import Metrics
    from .store import FileBlobStore, SqliteJobStore
    from .tls import ensure_local_tls

    data = os.path.abspath(args.data)
    prepare_data(data)
    if bool(args.cert) != bool(args.key):
        raise SystemExit("pemux-service: --cert and --key go together")
    if args.cert:
        cert, key, ca = args.cert, args.key, None
    else:
        cert, key, ca = ensure_local_tls(data, args.host)
        tighten(data)  # the CA just made is for clients to read
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)

    keys = KeyStore(keys_path(data))
    new_key = None
    # A key is shown on a terminal only: standard output sent to a file or
    # a journal is a log, and no log gets a key.
    if not keys.entries() and sys.stdout.isatty():
        _, new_key = keys.new("made on first start")

    # The pool and the inline solver may all be at work at once.
    worker_memory = args.worker_memory or settings.default_worker_memory(args.workers + 1)
    limits = Limits(
        max_total=args.max_total if args.max_total is not None
        else settings.default_max_total(worker_memory),
        max_pending_per_key=args.max_queued_per_key,
        inline_max_total=args.inline_max_total,
        keep_s=args.keep)
    metrics = Metrics()
    blobs = FileBlobStore(data)
    if args.broker:
        from .distributed import BrokerDispatcher, redact
        if args.max_total is None:
            limits.max_total = float("inf")  # the workers' ads decide
        dispatcher = BrokerDispatcher(args.broker)
        jobs = dispatcher.jobs
        solving = f"solves sent to workers through {redact(args.broker)}"
    else:
        jobs = SqliteJobStore(os.path.join(data, "jobs.sqlite"))
        dispatcher = PoolDispatcher(args.workers, worker_memory, settings.timeout_rule(args),
                                    gzip=settings.gzip_setting(args),
                                    retry_delay_s=args.retry_delay)
        solving = f"{args.workers} solver processes, largest total {limits.max_total}"
    engine = Engine(jobs, blobs, limits, dispatcher, metrics)
    await engine.start()

    front = Front(engine, keys, metrics, args.max_body, args.poll_wait)
    front.body_min_rate, front.body_grace_s = args.body_min_rate, args.head_timeout
    front.open_status = args.open_status
    runner = web.AppRunner(front.make_app(), access_log=None, handle_signals=False,
                           **door.runner_options(args))
    await runner.setup()
    sock, port = bind_listener(args.host, args.port)
    nofile = guard.raise_descriptor_limit()
    site = guard.GuardedSite(runner, sock, ctx, args.max_connections
                             or guard.default_max_connections(nofile), args.head_timeout)
    await site.start()

    base_url = f"https://{_public_host(args.host)}:{port}"
    print(f"pemux-service: listening on {base_url}, data in {data}, {solving}")
    print(f"export PEMU_BASE_URL={shlex.quote(base_url)}")
    if ca:
        print(f"export PEMU_CA_BUNDLE={shlex.quote(ca)}")
    else:
        print("# PEMU_CA_BUNDLE: the CA file of --cert, unless the system already trusts it")
    if new_key:
        print(f"export PEMU_API_KEY={shlex.quote(new_key)}")
    else:
        print(f"# PEMU_API_KEY: a key made by `pemux-service key new --data {shlex.quote(data)}`")
    sys.stdout.flush()
    settings.write_ready_file(args.ready_file, host=args.host, port=port,
                              base_url=base_url, ca=ca)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    loop.add_signal_handler(signal.SIGHUP, door.on_hangup)  # log rotation
    await stop.wait()
    log.info("stopping: no new problems; running solves have %gs to finish", args.drain)
    await engine.begin_stop()
    await runner.cleanup()
    await engine.stop(args.drain)
    bodies.shutdown()
    closed = jobs.close()
    if closed is not None:
        await closed  # the asyncio Redis client
    log.info("stopped")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    restrict_umask()  # logs, ready files, databases: private from the start
    if argv[:1] == ["key"]:
        return key_main(argv[1:])
    if argv[:1] == ["worker"]:
        from .distributed import worker_main
        return worker_main(argv[1:])
    args = serve_parser().parse_args(argv)
    args.broker = door.broker_url(args)
    settings.setup_logging(args.log)
    try:
        asyncio.run(serve(args))
    except ImportError as e:
        print(f"pemux-service: {e}; install the service extra: pip install 'pemux[service]'",
              file=sys.stderr)
        return 1
    except OSError as e:
        print(f"pemux-service: {e}", file=sys.stderr)
        return 1
    return 0

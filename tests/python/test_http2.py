"""The API key against a real HTTP/2 front end (nginx on loopback, in
front of the stand-in service): libcurl restates request headers as
informational trace lines there, and those must be masked too."""

import os
import pathlib
import shutil
import socket
import subprocess
import sys

import pytest
from support.procs import Harness, free_port
import trustme

HERE = pathlib.Path(__file__).resolve().parent
# Distinctive, so that any leak of it shows in the captured output.
SECRET_KEY = "h2-Secret-Key-7Q9zX4"

NGINX_CONF = """
daemon off;
master_process off;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    server {{
        listen 127.0.0.1:{port} ssl http2;
        ssl_certificate {work}/cert.pem;
        ssl_certificate_key {work}/key.pem;
        location / {{
            proxy_pass https://127.0.0.1:{upstream};
            proxy_http_version 1.1;
            proxy_buffering off;
        }}
    }}
}}
"""


@pytest.fixture(scope="module")
def h2_front(service, tmp_path_factory):
    """Base URL of nginx speaking HTTP/2 over TLS, proxying to the service."""
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    if not os.access(nginx, os.X_OK):
        pytest.skip("nginx is not installed (scripts/run_tests.sh installs it)")
    work = tmp_path_factory.mktemp("nginx")
    cert_dir = pathlib.Path(service.ca).parent
    ca = trustme.CA.from_pem((cert_dir / "ca.pem").read_bytes(),
                             (cert_dir / "ca-key.pem").read_bytes())
    leaf = ca.issue_cert("127.0.0.1", "localhost")
    leaf.private_key_pem.write_to_path(str(work / "key.pem"))
    leaf.cert_chain_pems[0].write_to_path(str(work / "cert.pem"))
    port = free_port()
    conf = work / "nginx.conf"
    conf.write_text(NGINX_CONF.format(work=work, port=port, upstream=service.port))
    def answers():
        try:
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
            return True
        except OSError:
            return False

    h = Harness(work, "nginx", [nginx, "-c", str(conf), "-e", str(work / "error.log")],
                ready_file=False, ready=answers).start()
    try:
        yield f"https://127.0.0.1:{port}"
    finally:
        h.stop()


def run_solve(env_vars, values=(3, 5)):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PEMU_")}
    env.update(env_vars)
    code = ("import sys, pemux\n"
            "try:\n"
            "    print('RESULT', pemux.complete_subset_sum([int(v) for v in sys.argv[1:]]))\n"
            "except ConnectionError as e:\n"
            "    print('ERROR', e)\n")
    return subprocess.run([sys.executable, "-c", code, *map(str, values)], env=env,
                          capture_output=True, timeout=60)


@pytest.mark.parametrize("key_accepted", [True, False], ids=["accepted", "refused"])
def test_key_masked_in_every_http2_trace_line(service, h2_front, key_accepted):
    key = SECRET_KEY if not key_accepted else service.api_key
    env = service.env(api_key=key)
    env["PEMU_BASE_URL"] = h2_front
    proc = run_solve(env)
    out, err = proc.stdout, proc.stderr
    assert key.encode() not in out and key.encode() not in err
    assert b"using HTTP/2" in err or b"HTTP/2 confirmed" in err
    # The request headers are restated in the informational lines.
    assert b"[x-api-key: ***]" in err
    assert b"x-api-key: ***" in err
    if key_accepted:
        assert b"RESULT [297]" in out
    else:
        assert b"ERROR Forbidden" in out

"""The service's own certificate authority and server certificate, made on
first start and kept under the data directory."""

import datetime
import ipaddress
import os
import socket

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

from .private import PUBLIC_MODE
from .store import write_atomic

CA_DAYS = 3650
SERVER_DAYS = 397
RENEW_BEFORE = datetime.timedelta(days=30)


def _now():
    return datetime.datetime.now(datetime.UTC)


def _pem_key(key):
    return key.private_bytes(serialization.Encoding.PEM,
                             serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def _load_pair(cert_path, key_path):
    try:
        with open(cert_path, "rb") as f:
            cert = x509.load_pem_x509_certificate(f.read())
        with open(key_path, "rb") as f:
            key = serialization.load_pem_private_key(f.read(), None)
    except (OSError, ValueError):
        return None, None
    return cert, key


def _make_ca(tls_dir):
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([
        x509.NameAttribute(NameOID.ORGANIZATION_NAME, "pemux-service"),
        x509.NameAttribute(NameOID.COMMON_NAME, f"pemux-service CA on {socket.gethostname()}"),
    ])
    now = _now()
    cert = (x509.CertificateBuilder()
            .subject_name(name).issuer_name(name)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(minutes=5))
            .not_valid_after(now + datetime.timedelta(days=CA_DAYS))
            .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
            .add_extension(x509.KeyUsage(
                digital_signature=False, content_commitment=False, key_encipherment=False,
                data_encipherment=False, key_agreement=False, key_cert_sign=True,
                crl_sign=True, encipher_only=False, decipher_only=False), critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                           critical=False)
            .sign(key, hashes.SHA256()))
    write_atomic(os.path.join(tls_dir, "ca-key.pem"), _pem_key(key), mode=0o600)
    # The one file clients need, readable by them.
    write_atomic(os.path.join(tls_dir, "ca.pem"), cert.public_bytes(serialization.Encoding.PEM),
                 mode=PUBLIC_MODE)
    return cert, key


def _san_entries(names):
    out = []
    for n in names:
        try:
            out.append(x509.IPAddress(ipaddress.ip_address(n)))
        except ValueError:
            out.append(x509.DNSName(n))
    return out


def _covers(cert, names):
    try:
        san = cert.extensions.get_extension_for_class(x509.SubjectAlternativeName).value
    except x509.ExtensionNotFound:
        return False
    have = {str(v) for v in san.get_values_for_type(x509.DNSName)}
    have |= {str(v) for v in san.get_values_for_type(x509.IPAddress)}
    return all(n in have for n in names)


def _make_server(tls_dir, ca_cert, ca_key, names):
    key = ec.generate_private_key(ec.SECP256R1())
    now = _now()
    cert = (x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, names[0])]))
            .issuer_name(ca_cert.subject)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(minutes=5))
            .not_valid_after(min(now + datetime.timedelta(days=SERVER_DAYS),
                                 ca_cert.not_valid_after_utc))
            .add_extension(x509.SubjectAlternativeName(_san_entries(names)), critical=False)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]),
                           critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                ca_key.public_key()), critical=False)
            .sign(ca_key, hashes.SHA256()))
    write_atomic(os.path.join(tls_dir, "server-key.pem"), _pem_key(key), mode=0o600)
    write_atomic(os.path.join(tls_dir, "server.pem"),
                 cert.public_bytes(serialization.Encoding.PEM)
                 + ca_cert.public_bytes(serialization.Encoding.PEM))


def server_names(host):
    """Names the certificate must carry for clients of host."""
    names = ["localhost", "127.0.0.1", "::1"]
    if host in ("0.0.0.0", "::", ""):
        names.append(socket.gethostname())
    elif host not in names:
        names.append(host)
    return names


def ensure_local_tls(data_dir, host):
    """(server cert chain path, server key path, CA path); the CA is kept
    for good, the server certificate is made again when it nears its end
    or does not cover host."""
    tls_dir = os.path.join(data_dir, "tls")
    os.makedirs(tls_dir, mode=0o700, exist_ok=True)
    ca_path = os.path.join(tls_dir, "ca.pem")
    cert_path = os.path.join(tls_dir, "server.pem")
    key_path = os.path.join(tls_dir, "server-key.pem")
    ca_cert, ca_key = _load_pair(ca_path, os.path.join(tls_dir, "ca-key.pem"))
    if ca_cert is None:
        ca_cert, ca_key = _make_ca(tls_dir)
    names = server_names(host)
    cert, _ = _load_pair(cert_path, key_path)
    if (cert is None or cert.not_valid_after_utc - RENEW_BEFORE < _now()
            or cert.issuer != ca_cert.subject or not _covers(cert, names)):
        _make_server(tls_dir, ca_cert, ca_key, names)
    return cert_path, key_path, ca_path

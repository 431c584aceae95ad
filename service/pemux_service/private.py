"""Files the service keeps are its user's alone.

Problems, results, job records and keys name every tenant's work, so the
data directory and everything in it is 0700 / 0600. The one exception is the
CA certificate that clients need (DIR/tls/ca.pem): it stays readable, and the
directories on its way are 0711, so others may open that path but list
nothing.
"""

import os
import stat

DIR_MODE = 0o700
FILE_MODE = 0o600
PASS_MODE = 0o711
PUBLIC_MODE = 0o644
# Relative to the data directory: what clients of the service may read.
PUBLIC_FILES = (os.path.join("tls", "ca.pem"),)


def restrict_umask():
    """Whatever this process (and its solver processes) creates without an
    explicit mode is private: SQLite's files, logs, temporary files."""
    os.umask(0o077)


def private_dir(path):
    """Makes path (and missing parents) 0700; an existing one is left as
    it is (tighten() fixes the data directory as a whole)."""
    os.makedirs(path, mode=DIR_MODE, exist_ok=True)
    return path


def private_file(path):
    """Creates path empty and 0600 unless it exists, so that a library
    opening it later (SQLite) finds it private."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, FILE_MODE)
    os.close(fd)
    return path


def _chmod(path, mode):
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return
    if stat.S_ISLNK(st.st_mode):
        return  # a link's target is not ours to change
    if stat.S_IMODE(st.st_mode) != mode:
        os.chmod(path, mode)


def tighten(data):
    """Makes an existing data directory private, as an older version or
    another tool may have left it readable: the directory, its entries and
    their entries one level down (the files inside problems/ and results/
    are out of reach once their directory is 0700)."""
    data = os.path.abspath(data)
    public = {os.path.join(data, p) for p in PUBLIC_FILES}
    passes = set()
    for p in public:
        if os.path.exists(p):
            d = os.path.dirname(p)
            while len(d) >= len(data):
                passes.add(d)
                d = os.path.dirname(d)
    _chmod(data, PASS_MODE if data in passes else DIR_MODE)
    for entry in os.scandir(data):
        _tighten_entry(entry, public, passes)
        if entry.is_dir(follow_symlinks=False) and entry.name in ("tls",):
            for inner in os.scandir(entry.path):
                _tighten_entry(inner, public, passes)


def _tighten_entry(entry, public, passes):
    if entry.is_symlink():
        return
    if entry.is_dir():
        _chmod(entry.path, PASS_MODE if entry.path in passes else DIR_MODE)
    elif entry.path in public:
        _chmod(entry.path, PUBLIC_MODE)
    else:
        _chmod(entry.path, FILE_MODE)


def prepare_data(data):
    """The data directory, made or tightened: what every command that
    works in it calls first."""
    restrict_umask()
    data = private_dir(os.path.abspath(data))
    tighten(data)
    return data

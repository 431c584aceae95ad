"""API keys, kept hashed under the data directory.

Keys are long random strings, so one round of SHA-256 is as good as a slow
password hash here and keeps every request cheap. Only the hash and a
public id are stored; the key itself is shown once, when it is made.
"""

import hashlib
import hmac
import json
import os
import secrets
import time

from .store import write_atomic

KEY_PREFIX = "pmx_"


def _digest(key):
    return hashlib.sha256(key.encode("utf-8", "surrogateescape")).digest()


class KeyStore:
    def __init__(self, path):
        self.path = path
        self._stamp = None
        self._entries = []

    def _load(self):
        """Reloads when the file changed, so that `key revoke` takes effect
        in a running service."""
        try:
            st = os.stat(self.path)
        except FileNotFoundError:
            self._stamp, self._entries = None, []
            return
        stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
        if stamp != self._stamp:
            with open(self.path, encoding="utf-8") as f:
                self._entries = json.load(f)["keys"]
            self._stamp = stamp

    def _save(self):
        write_atomic(self.path, json.dumps({"keys": self._entries}, indent=1).encode(),
                     mode=0o600)

    def entries(self):
        self._load()
        return [dict(e) for e in self._entries]

    def new(self, label=""):
        """Makes a key; returns (key id, key). The key is not kept."""
        key = KEY_PREFIX + secrets.token_urlsafe(32)
        return self.add(key, label), key

    def add(self, key, label=""):
        """Accepts a key given from outside (a test stand-in's fixed key);
        returns its id."""
        self._load()
        # The id names the key's requests and problems: long enough never
        # to come again, and never that of a key still here.
        taken = {e["id"] for e in self._entries}
        kid = secrets.token_hex(8)
        while kid in taken:
            kid = secrets.token_hex(8)
        self._entries.append({"id": kid, "sha256": _digest(key).hex(),
                              "label": label, "created": int(time.time())})
        self._save()
        return kid

    def revoke(self, kid):
        """True when a key of that id was there."""
        self._load()
        kept = [e for e in self._entries if e["id"] != kid]
        if len(kept) == len(self._entries):
            return False
        self._entries = kept
        self._save()
        return True

    def check(self, key):
        """The id of the matching key, or None. Every stored hash is
        compared, in constant time, whatever matches."""
        self._load()
        if not key:
            return None
        presented = _digest(key)
        found = None
        for e in self._entries:
            if hmac.compare_digest(presented, bytes.fromhex(e["sha256"])):
                found = e["id"]
        return found

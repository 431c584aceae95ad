"""The README's examples, run as the scripts a reader would paste them into,
in-process (PEMU_KILLSWITCH=1): each must print what its comments say. And
its first-failure table: each message is what the call raises then."""

import os
import re
import subprocess
import sys

import pytest
from readme_blocks import README, readme_blocks
import trustme

import pemux

# What each block prints, in order; the library's own diagnostics may come
# in between, on the same stream.
PRINTS = {
    "first": ["[297]", "True", "False", "None"],
    "async": ["[297]"],
    "asyncio": ["297 [297]"],
    "sums": ["[0, 3, 5, 8]", "[3, 5]", "[0, 3, 5, 8]"],
    "progress": ["80384"],
}


def test_every_marked_block_has_expectations():
    assert sorted(readme_blocks()) == sorted(PRINTS)


@pytest.mark.parametrize("name", sorted(PRINTS))
def test_readme_block_prints_what_it_says(name, tmp_path):
    script = tmp_path / f"readme_{name}.py"
    script.write_text(readme_blocks()[name])
    env = dict(os.environ, PEMU_KILLSWITCH="1")
    proc = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    pattern = ".*?".join(re.escape(p) + r"\n" for p in PRINTS[name])
    assert re.search(pattern, proc.stdout, re.S), proc.stdout


def failure_table():
    """The messages of the README's first-failure table, by the cause named
    after them."""
    text = README.read_text(encoding="utf-8")
    section = text[text.index("### If the first call fails"):]
    section = section[:section.index("\n#")]
    return re.findall(r"^\| `([^`]+)` \| ([^|]+) \|", section, re.M)


CAUSES = {  # a word of the README's explanation -> how the test brings it about
    "nothing listens": "absent",
    "not signed": "untrusted",
    "does not speak TLS": "plain_http",
    "refused the key": "wrong_key",
}


def test_failure_table_covers_the_first_failures():
    rows = failure_table()
    assert len(rows) == len(CAUSES)
    assert all(sum(word in why for word in CAUSES) == 1 for _, why in rows)


@pytest.mark.parametrize("row", range(len(CAUSES)))
def test_failure_table_message_is_what_the_call_raises(row, service, absent_url,
                                                       monkeypatch, tmp_path):
    message, why = failure_table()[row]
    cause = next(CAUSES[word] for word in CAUSES if word in why)
    env = service.env()
    if cause == "absent":
        env["PEMU_BASE_URL"] = absent_url
    elif cause == "untrusted":
        other_ca = tmp_path / "other-ca.pem"
        trustme.CA().cert_pem.write_to_path(str(other_ca))
        env["PEMU_CA_BUNDLE"] = str(other_ca)
    elif cause == "plain_http":
        env["PEMU_BASE_URL"] = service.http_url.replace("http://", "https://")
    elif cause == "wrong_key":
        env["PEMU_API_KEY"] = "not-a-key-it-knows"
    monkeypatch.delenv("PEMU_KILLSWITCH", raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(ConnectionError) as raised:
        pemux.complete_subset_sum([3, 5])
    assert str(raised.value) == message

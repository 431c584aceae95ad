"""The README's examples, run as the scripts a reader would paste them into,
in-process (PEMU_KILLSWITCH=1): each must print what its comments say."""

import os
import re
import subprocess
import sys

import pytest

from readme_blocks import readme_blocks

# What each block prints, in order; the library's own diagnostics may come
# in between, on the same stream.
PRINTS = {
    "first": ["[297]", "True", "False", "None"],
    "async": ["[297]"],
    "asyncio": ["True [297]"],
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

"""The README's code blocks that are run by the tests: each follows a line
`<!-- tested: NAME -->`."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCK_RE = re.compile(r"^<!-- tested: (\S+) -->\n```python\n(.*?)^```$",
                      re.M | re.S)


def readme_blocks():
    return dict(BLOCK_RE.findall(README.read_text(encoding="utf-8")))


def readme_block(name):
    blocks = readme_blocks()
    assert name in blocks, f"README.md has no block marked 'tested: {name}'"
    return blocks[name]

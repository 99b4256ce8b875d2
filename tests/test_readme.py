"""Every Python example of the README runs as written, from the repository root."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S) if README.is_file() else []


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_example_runs(index, monkeypatch):
    monkeypatch.chdir(README.parent)
    exec(compile(BLOCKS[index], f"README.md example {index + 1}", "exec"), {})

"""Every Python example of docs/guide.md runs as written, in order and in one namespace,
from the repository root (a block after a `<!-- no-test -->` line is skipped)."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
GUIDE = ROOT / "docs" / "guide.md"
BLOCKS = re.findall(r"(<!-- no-test -->\s*)?```python\n(.*?)```", GUIDE.read_text(), flags=re.S) if GUIDE.is_file() else []


@pytest.mark.skipif(not BLOCKS, reason="docs/guide.md not found")
def test_guide_examples_run(monkeypatch):
    for module in ("matplotlib", "scipy", "pandas"):  # the guide plots, calls scipy, makes a frame
        pytest.importorskip(module)
    monkeypatch.chdir(ROOT)
    namespace = {}
    for index, (skip, code) in enumerate(BLOCKS):
        if not skip:
            exec(compile(code, f"docs/guide.md example {index + 1}", "exec"), namespace)

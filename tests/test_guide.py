"""Every Python example of the docs runs as written, from the repository root (a block
after a `<!-- no-test -->` line is skipped). The guide's blocks run in order in one
namespace; a block of docs/scaling.md that is a script (it has a `__main__` guard)
runs as one in a fresh interpreter, the others in one namespace."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import child_env

ROOT = Path(__file__).resolve().parents[1]


def blocks(name):
    path = ROOT / "docs" / name
    text = path.read_text() if path.is_file() else ""
    return re.findall(r"(<!-- no-test -->\s*)?```python\n(.*?)```", text, flags=re.S)


@pytest.mark.parametrize("page", ["guide.md", "scaling.md"])
def test_examples_run(page, monkeypatch, tmp_path):
    found = blocks(page)
    if not found:
        pytest.skip(f"docs/{page} not found")
    for module in ("matplotlib", "scipy", "pandas") + (("dask", "distributed", "pyarrow") if page == "scaling.md"
                                                         else ()):
        pytest.importorskip(module)
    monkeypatch.chdir(ROOT)
    namespace = {}
    for index, (skip, code) in enumerate(found):
        if skip:
            continue
        if '__name__ == "__main__"' in code:
            script = tmp_path / f"example{index + 1}.py"
            script.write_text(code)
            proc = subprocess.run([sys.executable, str(script)], cwd=ROOT, env=child_env(), capture_output=True,
                                  text=True, timeout=300)
            assert proc.returncode == 0, f"docs/{page} example {index + 1}:\n{proc.stderr[-3000:]}"
        else:
            exec(compile(code, f"docs/{page} example {index + 1}", "exec"), namespace)

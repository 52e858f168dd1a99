"""The stubs give each namespace its keys and value types (a type checker run over a sample)."""

import subprocess
import sys
from pathlib import Path

import pytest


def test_results_are_typed_per_namespace():
    pytest.importorskip("mypy", reason="mypy is not installed")
    here = Path(__file__).resolve().parent
    package = here.parents[1] / "python"
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null",
                          str(here / "typing_sample.py")], capture_output=True, text=True,
                         env={"MYPYPATH": str(package), "PATH": "/usr/bin:/bin"}, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr

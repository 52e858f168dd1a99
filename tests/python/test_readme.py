"""Every Python snippet of the README runs, and those that show types pass mypy --strict (with
typing_sample.py, where results are typed per namespace)."""

import doctest
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import trawl
from conftest import corpus_files

README = Path(__file__).resolve().parents[2] / "README.md"
SNIPPETS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


@pytest.fixture
def workdir(tmp_path):
    """The files the snippets name: photo.jpg, uploads/ with a PDF, paths.txt, and
    records.jsonl as `trawl --dump` prints it."""
    jpeg = next(p for p in corpus_files("real") if p.suffix.lower() == ".jpg")
    pdf = next(p for p in corpus_files("real") if p.suffix.lower() == ".pdf")
    shutil.copy(jpeg, tmp_path / "photo.jpg")
    (tmp_path / "uploads").mkdir()
    shutil.copy(pdf, tmp_path / "uploads" / "a.pdf")
    (tmp_path / "paths.txt").write_text(f"{tmp_path / 'photo.jpg'}\n{tmp_path / 'missing'}\n")
    subprocess.run([sys.executable, "-m", "trawl", "-r", "photo.jpg", "uploads", "--db", "photos.db",
                    "-q"], cwd=tmp_path, check=True, timeout=60)
    with open(tmp_path / "records.jsonl", "wb") as out:
        subprocess.run([sys.executable, "-m", "trawl", "--db", "photos.db", "--dump", "-q"],
                       cwd=tmp_path, stdout=out, check=True, timeout=60)
    return tmp_path


@pytest.mark.parametrize("code", SNIPPETS, ids=[s.splitlines()[0][:30] for s in SNIPPETS])
def test_snippet_runs(workdir, code):
    if code.startswith(">>>"):
        test = doctest.DocTestParser().get_doctest(code, {"trawl": trawl}, "README", None, 0)
        runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
        result = runner.run(test)
        assert result.attempted and not result.failed
        return
    if "trawl.dask" in code:
        pytest.importorskip("distributed", reason="the dask extra is not installed")
    out = subprocess.run([sys.executable, "-c", code], cwd=workdir, capture_output=True,
                         timeout=300)
    assert out.returncode == 0, out.stderr.decode()


def test_typed_snippets_and_the_typing_sample_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed")
    typed = [s for s in SNIPPETS if not s.startswith(">>>") and "trawl.dask" not in s]
    sample = tmp_path / "readme_snippets.py"
    sample.write_text("\n".join(typed))
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          "--cache-dir=/dev/null", str(sample),
                          str(Path(__file__).with_name("typing_sample.py"))],
                         capture_output=True, text=True,
                         env={"MYPYPATH": str(README.parent / "python"), "PATH": "/usr/bin:/bin"},
                         timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr

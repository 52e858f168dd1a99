"""Archive and document facts against what independent tools report for the corpus files
(unzip -l/-t, qpdf --check and pdfinfo, gzip -lv)."""

import pytest

import trawl

from conftest import assert_facts, corpus_files

CASES = [
    ("real/zip/aapt_app.apk", "zip", {"entry_count": 2, "container_kind": "Android package (apk)"}),
    ("real/zip/debian_commons-cli.jar", "zip",
     {"entry_count": 40, "container_kind": "Java archive (jar)"}),
    ("real/zip/infozip_plain.zip", "zip", {"entry_count": 4, "container_kind": "plain zip"}),
    ("real/zip/libreoffice_form.odt", "zip",
     {"entry_count": 17, "container_kind": "EPUB/OpenDocument"}),
    ("real/zip/openpyxl.xlsx", "zip", {"entry_count": 9, "container_kind": "Excel workbook (xlsx)"}),
    ("real/zip/pandoc.epub", "zip", {"entry_count": 9, "container_kind": "EPUB/OpenDocument"}),
    ("real/zip/pandoc.pptx", "zip", {"entry_count": 40, "container_kind": "PowerPoint (pptx)"}),
    ("real/zip/python_docx.docx", "zip",
     {"entry_count": 17, "container_kind": "Word document (docx)"}),
    ("real/zip/python_zipfile_comment.zip", "zip", {"entry_count": 1}),
    ("real/pdf/annotated_pdf16.pdf", "pdf",
     {"version": "1.6", "page_count": 1, "encrypted": False, "linearized": False}),
    ("real/pdf/ghostscript_2pages.pdf", "pdf", {"version": "1.7", "page_count": 2}),
    ("real/pdf/google_docs.pdf", "pdf", {"version": "1.4", "page_count": 1}),
    ("real/pdf/libreoffice_password.pdf", "pdf", {"version": "1.5", "encrypted": True}),
    ("real/pdf/qpdf_encrypted_aes128.pdf", "pdf", {"encrypted": True, "page_count": 2}),
    ("real/pdf/qpdf_linearized.pdf", "pdf", {"linearized": True, "page_count": 2}),
    ("real/pdf/reportlab.pdf", "pdf", {"version": "1.3", "page_count": 1}),
    ("real/gzip/gzip_with_name.gz", "gzip",
     {"compression_method": "deflate", "modification_time_unix": 1568020149, "os": "Unix",
      "original_filename": "program.c"}),
    ("real/gzip/perl_os0_fat_extra.gz", "gzip",
     {"modification_time_unix": 100000000, "os": "FAT (Windows/DOS)"}),
    ("real/gzip/python_gzip_os255.gz", "gzip", {"os": "unknown", "original_filename": "data.csv"}),
    ("real/gzip/debian_changelog.Debian.gz", "gzip",
     {"modification_time_unix": None, "original_filename": None}),
]


@pytest.mark.parametrize("name, namespace, facts", CASES, ids=[c[0] for c in CASES])
def test_facts_match_independent_tools(corpus, name, namespace, facts):
    assert_facts(corpus / name, namespace, facts)


@pytest.mark.parametrize("name, title, author", [
    ("real/pdf/ghostscript_2pages.pdf", "Public (corpus) sample", "Ghostscript user"),
    ("real/pdf/pillow_utf16_title.pdf", "Rose \u00ab\u00e9t\u00e9\u00bb", "Pillow"),
    ("real/pdf/reportlab.pdf", "Caf\u00e9 (menu)", "ReportLab"),
])
def test_titles_as_pdfinfo_shows_them(corpus, name, title, author):
    info = trawl.parse_bytes((corpus / name).read_bytes())["pdf"]["info"]
    assert (info["title"], info["author"]) == (title, author)


def test_entries_as_unzip_lists_them(corpus):
    entries = trawl.parse_bytes((corpus / "real/zip/python_zipfile_comment.zip").read_bytes())[
        "zip"]["entries"]
    assert [e["name"] for e in entries] == ["notes/readme.txt"]
    assert entries[0]["method"] == "deflate"


# The thorough reading against pdfinfo: object streams, /Info behind references and outline
# titles, encryption (libreoffice_password.pdf needs its user password).
@pytest.mark.parametrize("name, facts, info", [
    ("real/pdf/pdftex_minimal.pdf", {"page_count": 1, "version": "1.5"},
     {"creator": "TeX", "producer": "pdfTeX-1.40.23",
      "creation_date": "D:20220403180542+02'00'", "modification_date": "D:20220403180542+02'00'"}),
    ("real/pdf/pdflatex_outline.pdf", {"page_count": 4}, {"title": "", "author": ""}),
    ("real/pdf/outline_title_first.pdf", {"page_count": 4}, {"title": ""}),
    ("real/pdf/libreoffice_writer.pdf", {"page_count": 1},
     {"creator": "Writer", "producer": "LibreOffice 6.4"}),
    ("real/pdf/qpdf_encrypted_aes128.pdf",
     {"page_count": 2, "encryption": "AES-128", "password_required": False},
     {"title": "Public (corpus) sample", "author": "Ghostscript user",
      "producer": "GPL Ghostscript 10.00.0"}),
    ("real/pdf/libreoffice_password.pdf",
     {"page_count": 1, "encryption": "RC4-128", "password_required": True}, None),
    ("real/pdf/google_docs.pdf", {"page_count": 1, "version": "1.4"},
     {"title": "PDF Example Document"}),
], ids=lambda v: v if isinstance(v, str) else "")
def test_thorough_pdf_as_pdfinfo_shows_it(corpus, name, facts, info):
    got = trawl.inspect(corpus / name, thorough=True)["pdf"]
    assert {key: got.get(key) for key in facts} == facts
    if info is None:
        assert "info" not in got
    else:
        assert {key: got["info"].get(key) for key in info} == info


def test_thorough_pdf_results_are_typed():
    from test_types import untyped
    from trawl import types
    problems = [p for path in corpus_files("real", "pdf")
                for p in untyped(trawl.inspect(path, thorough=True), types.Result, path.name)]
    assert not problems

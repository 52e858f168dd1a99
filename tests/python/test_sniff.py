import pytest

import trawl


@pytest.mark.parametrize(
    "name, mime, extension",
    [
        ("real/jpeg/cjpeg_baseline_q75.jpg", "image/jpeg", "jpg"),
        ("real/png/ffmpeg_rgb24.png", "image/png", "png"),
        ("real/pdf/reportlab.pdf", "application/pdf", "pdf"),
        ("real/gzip/gzip_with_name.gz", "application/gzip", "gz"),
        ("real/zip/debian_commons-cli.jar", "application/zip", "zip"),
        ("sniff/sample.docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document", "docx"),
    ],
)
def test_sniffed_type_reaches_the_file_namespace(corpus, name, mime, extension):
    facts = trawl.parse(corpus / name)["file"]
    assert (facts["mime_detected"], facts["extension_canonical"]) == (mime, extension)


@pytest.mark.parametrize("data", [b"", b"\xff", b"plain text without any signature", bytes(range(32, 64))])
def test_unrecognised_bytes_have_no_type(data):
    facts = trawl.parse_bytes(data)["file"]
    assert "mime_detected" not in facts
    assert "extension_canonical" not in facts

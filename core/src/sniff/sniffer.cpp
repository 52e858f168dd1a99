// File-type sniffing: an ordered table of signatures and procedures over the head bytes,
// first match wins. Procedures cover ISO base media brands, Office Open XML and compound-file
// documents, Matroska, skippable frames, PDF and text.
#include "sniffer.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "../support/byte_reader.hpp"
#include "../support/text.hpp"
#include "compound_file.hpp"

namespace trawl {

namespace {

using namespace std::string_view_literals;

// The head, plus the outcome of the two walks that several rows share, worked out at most once
// per sniff.
struct Head : ByteReader {
  using ByteReader::ByteReader;
  mutable std::optional<CompoundKind> compound;
  mutable std::optional<std::uint8_t> ooxml;
};
using Test = bool (*)(const Head&);

// A plain row: the head holds at least `min_len` bytes and `magic` at `offset`.
struct Signature {
  std::size_t min_len = 0;
  std::size_t offset = 0;
  std::string_view magic;
};

struct Row {
  std::string_view mime;
  std::string_view extension;
  Signature signature;
  Test test = nullptr; // a procedure instead of the signature
};

constexpr Row sig(std::string_view mime, std::string_view ext, std::size_t min_len,
                  std::string_view magic, std::size_t offset = 0) {
  return {mime, ext, {min_len, offset, magic}, nullptr};
}
constexpr Row proc(std::string_view mime, std::string_view ext, Test test) {
  return {mime, ext, {}, test};
}

bool starts(const Head& h, std::string_view magic) {
  return h.matches_at(0, magic);
}
std::uint8_t byte(const Head& h, std::size_t offset) {
  return h.u8_at(offset).value_or(0);
}
bool byte_is(const Head& h, std::size_t offset, std::uint8_t value) {
  return h.u8_at(offset) == value;
}

constexpr std::string_view zip_local = "PK\x03\x04"sv;

// A stored first entry named "mimetype" whose content follows at once.
bool has_mimetype_entry(const Head& h, std::string_view content) {
  return h.size() >= 58 && starts(h, zip_local) && h.matches_at(30, "mimetype"sv) &&
         h.matches_at(38, content);
}
bool is_epub(const Head& h) {
  return has_mimetype_entry(h, "application/epub+zip"sv);
}
bool is_openraster(const Head& h) {
  return has_mimetype_entry(h, "image/openraster"sv);
}

// Java class files and fat Mach-O binaries share CA FE BA BE; the next word tells them apart.
bool is_java_class(const Head& h) {
  return h.size() >= 8 && starts(h, "\xCA\xFE\xBA\xBE"sv) && h.u32_be_at(4) >= 45U &&
         h.u16_be_at(6) >= 45U;
}

bool is_mach_o(const Head& h) {
  constexpr std::array thin = {"\xCF\xFA\xED\xFE"sv, "\xCE\xFA\xED\xFE"sv, "\xFE\xED\xFA\xCF"sv,
                               "\xFE\xED\xFA\xCE"sv};
  if (h.size() >= 4 &&
      std::any_of(thin.begin(), thin.end(), [&](auto m) { return starts(h, m); })) {
    return true;
  }
  return h.size() >= 8 && starts(h, "\xCA\xFE\xBA\xBE"sv) && h.u32_be_at(4) < 45U;
}

bool is_dey(const Head& h) {
  return h.size() >= 101 && starts(h, "dey\n"sv) && h.matches_at(40, "dex\n"sv) &&
         byte_is(h, 76, 0x70);
}

bool is_dex(const Head& h) {
  return h.size() >= 37 && starts(h, "dex\n"sv) && byte_is(h, 36, 0x70);
}

bool is_coff_object(const Head& h) {
  return h.size() >= 3 &&
         (starts(h, "\x64\x86"sv) || starts(h, "\x4C\x01"sv) || starts(h, "\x00\x02"sv));
}

bool is_tiff_header(const Head& h) {
  return starts(h, "II\x2A\x00"sv) || starts(h, "MM\x00\x2A"sv);
}

bool is_cr2(const Head& h) {
  return h.size() >= 11 && is_tiff_header(h) && h.matches_at(8, "CR"sv) && byte_is(h, 10, 0x02);
}

// Bytes 8 and 9 rule out some genuine TIFF files too; the table keeps that behaviour.
bool is_tiff(const Head& h) {
  return h.size() >= 10 && is_tiff_header(h) && byte(h, 8) != 0x43 && byte(h, 9) != 0x52 &&
         !is_cr2(h);
}

// ISO 14496-12 file type box: size, "ftyp", major brand, minor version, compatible brands.
struct Ftyp {
  std::string_view major;
  std::size_t brands_at = 16;
  std::size_t brand_count = 0;
};

std::string_view text_at(const Head& h, std::size_t offset, std::size_t n) {
  const auto b = h.bytes_at(offset, n);
  return b ? as_chars(*b) : std::string_view{};
}

// The box must lie wholly in the head; brands past its end or the head's are not read.
std::optional<Ftyp> whole_ftyp_box(const Head& h) {
  if (h.size() < 16 || !h.matches_at(4, "ftyp"sv)) {
    return std::nullopt;
  }
  const std::uint64_t box_size = *h.u32_be_at(0);
  if (h.size() < box_size) {
    return std::nullopt;
  }
  const std::uint64_t declared = box_size / 4 >= 4 ? box_size / 4 - 4 : 0;
  const std::uint64_t present = (h.size() - 16) / 4;
  return Ftyp{text_at(h, 8, 4), 16, static_cast<std::size_t>(std::min(declared, present))};
}

bool has_brand(const Head& h, const Ftyp& box, std::initializer_list<std::string_view> brands) {
  for (std::size_t i = 0; i < box.brand_count; ++i) {
    const std::string_view brand = text_at(h, box.brands_at + 4 * i, 4);
    if (std::find(brands.begin(), brands.end(), brand) != brands.end()) {
      return true;
    }
  }
  return false;
}

bool is_heif(const Head& h) {
  const auto box = whole_ftyp_box(h);
  if (!box) {
    return false;
  }
  if (box->major == "heic" || box->major == "heix") {
    return true;
  }
  return (box->major == "mif1" || box->major == "msf1") && has_brand(h, *box, {"heic"});
}

bool is_avif(const Head& h) {
  const auto box = whole_ftyp_box(h);
  return box &&
         (box->major == "avif" || box->major == "avis" || has_brand(h, *box, {"avif", "avis"}));
}

bool is_mp4(const Head& h) {
  constexpr std::array brands = {"avc1"sv, "dash"sv, "iso2"sv, "iso3"sv, "iso4"sv, "iso5"sv,
                                 "iso6"sv, "isom"sv, "mmp4"sv, "mp41"sv, "mp42"sv, "mp4v"sv,
                                 "mp71"sv, "MSNV"sv, "NDAS"sv, "NDSC"sv, "NSDC"sv, "NDSH"sv,
                                 "NDSM"sv, "NDSP"sv, "NDSS"sv, "NDXC"sv, "NDXH"sv, "NDXM"sv,
                                 "NDXP"sv, "NDXS"sv, "F4V "sv, "F4P "sv};
  if (h.size() < 12 || !h.matches_at(4, "ftyp"sv)) {
    return false;
  }
  const std::string_view major = text_at(h, 8, 4);
  return std::find(brands.begin(), brands.end(), major) != brands.end();
}

bool is_m4v(const Head& h) {
  return h.size() >= 11 && h.matches_at(4, "ftyp"sv) && h.matches_at(8, "M4V"sv);
}

bool is_m4a(const Head& h) {
  return h.size() >= 11 &&
         ((h.matches_at(4, "ftyp"sv) && h.matches_at(8, "M4A"sv)) || starts(h, "M4A "sv));
}

bool is_quicktime(const Head& h) {
  return h.size() >= 16 &&
         ((h.matches_at(4, "ftyp"sv) && h.matches_at(8, "qt  "sv)) || h.matches_at(4, "moov"sv) ||
          h.matches_at(4, "mdat"sv) || h.matches_at(12, "mdat"sv));
}

bool is_jxl(const Head& h) {
  return (h.size() >= 3 && starts(h, "\xFF\x0A"sv)) ||
         (h.size() >= 13 && starts(h, "\x00\x00\x00\x0CJXL \x0D\x0A\x87\x0A"sv));
}

bool is_dwg(const Head& h) {
  constexpr std::array versions = {"MC0.0\0"sv, "AC1.2\0"sv, "AC1.3\0"sv, "AC1.40"sv, "AC1.50"sv,
                                   "AC2.10"sv,  "AC2.21"sv,  "AC2.22"sv,  "AC1001"sv, "AC1002"sv,
                                   "AC1003"sv,  "AC1004"sv,  "AC1006"sv,  "AC1009"sv, "AC1012"sv,
                                   "AC1013"sv,  "AC1014"sv,  "AC1015"sv,  "AC1018"sv, "AC1021"sv,
                                   "AC1024"sv,  "AC1027"sv,  "AC1032"sv,  "AC1035"sv};
  const std::string_view first = text_at(h, 0, 6);
  return std::find(versions.begin(), versions.end(), first) != versions.end();
}

// EBML header with a DocType element of one-byte size somewhere in bytes 0 to 255.
bool has_ebml_doctype(const Head& h, std::string_view pattern) {
  if (h.size() < 257 || !starts(h, "\x1A\x45\xDF\xA3"sv)) {
    return false;
  }
  return text_at(h, 0, 256).find(pattern) != std::string_view::npos;
}
bool is_matroska(const Head& h) {
  return has_ebml_doctype(h, "\x42\x82\x88matroska"sv);
}
bool is_webm(const Head& h) {
  return has_ebml_doctype(h, "\x42\x82\x84webm"sv);
}

bool is_mpeg_video(const Head& h) {
  return h.size() >= 4 && starts(h, "\x00\x00\x01"sv) && byte(h, 3) >= 0xB0 && byte(h, 3) <= 0xBF;
}

bool is_mp3(const Head& h) {
  return h.size() >= 3 && (starts(h, "ID3"sv) || starts(h, "\xFF\xFB"sv) ||
                           starts(h, "\xFF\xF3"sv) || starts(h, "\xFF\xF2"sv));
}

bool is_aac(const Head& h) {
  return h.size() >= 2 && byte_is(h, 0, 0xFF) && (byte_is(h, 1, 0xF1) || byte_is(h, 1, 0xF9));
}

// Office Open XML: the name of the first entry, or of the fourth entry after a walk over
// local headers in windows of 6000 bytes.
enum class OoxmlKind : std::uint8_t { None, Generic, Docx, Xlsx, Pptx };

OoxmlKind prefix_kind(const Head& h, std::uint64_t offset) {
  if (h.matches_at(offset, "word/"sv)) {
    return OoxmlKind::Docx;
  }
  if (h.matches_at(offset, "ppt/"sv)) {
    return OoxmlKind::Pptx;
  }
  if (h.matches_at(offset, "xl/"sv)) {
    return OoxmlKind::Xlsx;
  }
  return OoxmlKind::None;
}

std::optional<std::uint64_t> find_local_header(const Head& h, std::uint64_t start) {
  const std::uint64_t end = std::min<std::uint64_t>(start + 6000, h.size());
  if (start >= end) {
    return std::nullopt;
  }
  const std::string_view window =
      text_at(h, static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
  const std::size_t found = window.find(zip_local);
  if (found == std::string_view::npos) {
    return std::nullopt;
  }
  return start + found;
}

OoxmlKind ooxml_kind(const Head& h) {
  if (!starts(h, zip_local)) {
    return OoxmlKind::None;
  }
  if (const OoxmlKind first = prefix_kind(h, 30); first != OoxmlKind::None) {
    return first;
  }
  if (!h.matches_at(30, "[Content_Types].xml"sv) && !h.matches_at(30, "_rels/.rels"sv) &&
      !h.matches_at(30, "docProps"sv)) {
    return OoxmlKind::None;
  }
  const auto compressed = h.u32_le_at(18);
  if (!compressed || std::uint64_t{*compressed} + 49 > 0xFFFFFFFFU) {
    return OoxmlKind::None;
  }
  std::uint64_t s = std::uint64_t{*compressed} + 49;
  for (int step = 0; step < 2; ++step) {
    const auto p = find_local_header(h, s);
    if (!p) {
      return OoxmlKind::None;
    }
    s = *p + 30;
  }
  if (prefix_kind(h, s) == OoxmlKind::None) {
    return OoxmlKind::None;
  }
  const auto fourth = find_local_header(h, s + 26);
  if (!fourth) {
    return OoxmlKind::Generic;
  }
  const OoxmlKind kind = prefix_kind(h, *fourth + 30);
  return kind == OoxmlKind::None ? OoxmlKind::Generic : kind;
}

template <OoxmlKind Kind> bool is_ooxml(const Head& h) {
  if (!h.ooxml) {
    h.ooxml = static_cast<std::uint8_t>(ooxml_kind(h));
  }
  return *h.ooxml == static_cast<std::uint8_t>(Kind);
}

// OpenDocument: a stored "mimetype" first entry; "application/" at 38 is not checked.
bool is_opendocument(const Head& h, std::string_view type) {
  return starts(h, zip_local) && h.matches_at(30, "mimetype"sv) && h.matches_at(50, type);
}
bool is_odt(const Head& h) {
  return is_opendocument(h, "vnd.oasis.opendocument.text"sv);
}
bool is_ods(const Head& h) {
  return is_opendocument(h, "vnd.oasis.opendocument.spreadsheet"sv);
}
bool is_odp(const Head& h) {
  return is_opendocument(h, "vnd.oasis.opendocument.presentation"sv);
}

template <CompoundKind Kind> bool is_compound(const Head& h) {
  if (!h.compound) {
    h.compound = compound_file_kind(h);
  }
  return *h.compound == Kind;
}

bool is_zip(const Head& h) {
  if (h.size() >= 4 && starts(h, "PK"sv) &&
      (h.matches_at(2, "\x03\x04"sv) || h.matches_at(2, "\x05\x06"sv) ||
       h.matches_at(2, "\x07\x08"sv))) {
    return true;
  }
  return h.size() >= 8 && h.matches_at(2, "00PK\x03\x04"sv);
}

bool is_rar(const Head& h) {
  return h.size() >= 7 && starts(h, "Rar!\x1A\x07"sv) && byte(h, 6) <= 0x01;
}

// "%PDF" anywhere in the first 1024 bytes.
bool is_pdf(const Head& h) {
  return text_at(h, 0, std::min<std::size_t>(h.size(), 1024)).find("%PDF"sv) !=
         std::string_view::npos;
}

bool is_swf(const Head& h) {
  return h.size() >= 3 && (byte_is(h, 0, 0x43) || byte_is(h, 0, 0x46)) && h.matches_at(1, "WS"sv);
}

bool is_eot(const Head& h) {
  return h.size() >= 36 && h.matches_at(34, "LP"sv) &&
         (h.matches_at(8, "\x02\x00\x01"sv) || h.matches_at(8, "\x01\x00\x00"sv) ||
          h.matches_at(8, "\x02\x00\x02"sv));
}

bool is_cab(const Head& h) {
  return h.size() >= 4 && (starts(h, "MSCF"sv) || starts(h, "ISc("sv));
}

bool is_unix_compress(const Head& h) {
  return h.size() >= 2 && byte_is(h, 0, 0x1F) && (byte_is(h, 1, 0xA0) || byte_is(h, 1, 0x9D));
}

// Skippable frames (magic 50..5F 2A 4D 18, then a 32-bit length) may precede the real frame.
bool after_skippable_frames(const Head& h, std::string_view magic) {
  ByteReader r = h;
  for (;;) {
    if (r.remaining() >= 4 && r.matches_at(r.position(), magic)) {
      return true;
    }
    const auto frame_magic = r.u32_le();
    const auto length = r.u32_le();
    if (!length || (*frame_magic & 0xFFFFFFF0U) != 0x184D2A50U || !r.skip(*length)) {
      return false;
    }
  }
}
bool is_zstd(const Head& h) {
  return after_skippable_frames(h, "\x28\xB5\x2F\xFD"sv);
}
bool is_lz4(const Head& h) {
  return after_skippable_frames(h, "\x04\x22\x4D\x18"sv);
}

bool is_cpio(const Head& h) {
  return (h.size() >= 2 && (starts(h, "\xC7\x71"sv) || starts(h, "\x71\xC7"sv))) ||
         (h.size() >= 7 && starts(h, "070701"sv));
}

bool is_space(char c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

std::string_view skip_space(std::string_view text) {
  while (!text.empty() && is_space(text.front())) {
    text.remove_prefix(1);
  }
  return text;
}

bool starts_ignoring_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) {
    return false;
  }
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const char a = text[i];
    const char lower = a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a;
    const char b = prefix[i];
    const char want = b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b;
    if (lower != want) {
      return false;
    }
  }
  return true;
}

bool is_html(const Head& h) {
  constexpr std::array tags = {"<!DOCTYPE HTML"sv,
                               "<HTML"sv,
                               "<HEAD"sv,
                               "<SCRIPT"sv,
                               "<IFRAME"sv,
                               "<H1"sv,
                               "<DIV"sv,
                               "<FONT"sv,
                               "<TABLE"sv,
                               "<A"sv,
                               "<STYLE"sv,
                               "<TITLE"sv,
                               "<B"sv,
                               "<BODY"sv,
                               "<BR"sv,
                               "<P"sv,
                               "<!--"sv};
  const std::string_view text = skip_space(text_at(h, 0, h.size()));
  return std::any_of(tags.begin(), tags.end(), [&](std::string_view tag) {
    return starts_ignoring_case(text, tag) && text.size() > tag.size() &&
           (text[tag.size()] == ' ' || text[tag.size()] == '>');
  });
}

bool is_xml(const Head& h) {
  std::string_view text = skip_space(text_at(h, 0, h.size()));
  while (text.size() >= 3) {
    if (text.starts_with("\xEF\xBB\xBF"sv)) {
      text.remove_prefix(3);
    } else if (text.starts_with("\xFE\xFF"sv) || text.starts_with("\xFF\xFE"sv)) {
      text.remove_prefix(2);
    } else {
      break;
    }
  }
  return starts_ignoring_case(text, "<?xml"sv);
}

// The detection table, in its fixed order; the first matching row wins. Rows 4 and 67 repeat
// the tests of rows 3 and 14 and can never win; they stay so that positions keep their meaning.
constexpr std::array rows = {
    sig("application/wasm", "wasm", 8, "\x00\x61\x73\x6D\x01\x00\x00\x00"sv),
    sig("application/x-executable", "elf", 53,
        "\x7F"
        "ELF"sv),
    sig("application/vnd.microsoft.portable-executable", "exe", 2, "MZ"sv),
    sig("application/vnd.microsoft.portable-executable", "dll", 2, "MZ"sv),
    proc("application/java", "class", is_java_class),
    sig("application/x-llvm", "bc", 2, "BC"sv),
    proc("application/x-mach-binary", "mach", is_mach_o),
    proc("application/vnd.android.dex", "dex", is_dex),
    proc("application/vnd.android.dey", "dey", is_dey),
    sig("application/x-x509-ca-cert", "der", 3, "\x30\x82"sv),
    proc("application/x-executable", "obj", is_coff_object),
    sig("application/x-x509-ca-cert", "pem", 12, "-----BEGIN "sv),
    sig("application/x-qemu-disk", "qcow2", 5, "QFI\xFB"sv),
    proc("application/epub+zip", "epub", is_epub),
    sig("application/x-mobipocket-ebook", "mobi", 68, "BOOKMOBI"sv, 60),
    sig("image/jpeg", "jpg", 3, "\xFF\xD8\xFF"sv),
    sig("image/jp2", "jp2", 13, "\x00\x00\x00\x0C\x6A\x50\x20\x20\x0D\x0A\x87\x0A\x00"sv),
    sig("image/png", "png", 4, "\x89PNG"sv),
    sig("image/gif", "gif", 3, "GIF"sv),
    sig("image/webp", "webp", 12, "WEBP"sv, 8),
    proc("image/x-canon-cr2", "cr2", is_cr2),
    proc("image/tiff", "tif", is_tiff),
    sig("image/bmp", "bmp", 2, "BM"sv),
    sig("image/vnd.ms-photo", "jxr", 3, "\x49\x49\xBC"sv),
    sig("image/vnd.adobe.photoshop", "psd", 4, "8BPS"sv),
    sig("image/vnd.microsoft.icon", "ico", 4, "\x00\x00\x01\x00"sv),
    proc("image/heif", "heif", is_heif),
    proc("image/avif", "avif", is_avif),
    proc("image/jxl", "jxl", is_jxl),
    proc("image/openraster", "ora", is_openraster),
    proc("image/vnd.djvu", "djvu",
         [](const Head& h) {
           return h.size() >= 15 && starts(h, "AT&TFORM"sv) && h.matches_at(12, "DJV"sv);
         }),
    proc("image/vnd.dwg", "dwg", is_dwg),
    proc("video/mp4", "mp4", is_mp4),
    proc("video/x-m4v", "m4v", is_m4v),
    proc("video/x-matroska", "mkv", is_matroska),
    proc("video/webm", "webm", is_webm),
    proc("video/quicktime", "mov", is_quicktime),
    proc("video/x-msvideo", "avi",
         [](const Head& h) {
           return h.size() >= 11 && starts(h, "RIFF"sv) && h.matches_at(8, "AVI"sv);
         }),
    sig("video/x-ms-wmv", "wmv", 10, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9"sv),
    proc("video/mpeg", "mpg", is_mpeg_video),
    sig("video/x-flv", "flv", 4, "FLV\x01"sv),
    sig("audio/midi", "midi", 4, "MThd"sv),
    proc("audio/mpeg", "mp3", is_mp3),
    proc("audio/m4a", "m4a", is_m4a),
    proc("audio/opus", "opus",
         [](const Head& h) {
           return h.size() >= 36 && starts(h, "OggS"sv) && h.matches_at(28, "OpusHead"sv);
         }),
    sig("audio/ogg", "ogg", 4, "OggS"sv),
    sig("audio/x-flac", "flac", 4, "fLaC"sv),
    proc("audio/x-wav", "wav",
         [](const Head& h) {
           return h.size() >= 12 && starts(h, "RIFF"sv) && h.matches_at(8, "WAVE"sv);
         }),
    sig("audio/amr", "amr", 12, "#!AMR\n"sv),
    proc("audio/aac", "aac", is_aac),
    proc("audio/x-aiff", "aiff",
         [](const Head& h) {
           return h.size() >= 12 && starts(h, "FORM"sv) && h.matches_at(8, "AIFF"sv);
         }),
    sig("audio/x-dsf", "dsf", 5, "DSD "sv),
    sig("audio/x-ape", "ape", 5, "MAC "sv),
    sig("application/font-woff", "woff", 8, "wOFF\x00\x01\x00\x00"sv),
    sig("application/font-woff", "woff2", 8, "wOF2\x00\x01\x00\x00"sv),
    sig("application/font-sfnt", "ttf", 5, "\x00\x01\x00\x00\x00"sv),
    sig("application/font-sfnt", "otf", 5, "OTTO\x00"sv),
    proc("application/msword", "doc", is_compound<CompoundKind::Word>),
    proc("application/vnd.openxmlformats-officedocument.wordprocessingml.document", "docx",
         is_ooxml<OoxmlKind::Docx>),
    proc("application/vnd.ms-excel", "xls", is_compound<CompoundKind::Excel>),
    proc("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "xlsx",
         is_ooxml<OoxmlKind::Xlsx>),
    proc("application/vnd.ms-powerpoint", "ppt", is_compound<CompoundKind::PowerPoint>),
    proc("application/vnd.openxmlformats-officedocument.presentationml.presentation", "pptx",
         is_ooxml<OoxmlKind::Pptx>),
    proc("application/vnd.oasis.opendocument.text", "odt", is_odt),
    proc("application/vnd.oasis.opendocument.spreadsheet", "ods", is_ods),
    proc("application/vnd.oasis.opendocument.presentation", "odp", is_odp),
    proc("application/epub+zip", "epub", is_epub),
    proc("application/zip", "zip", is_zip),
    sig("application/x-tar", "tar", 262, "ustar"sv, 257),
    sig("application/x-par2", "par2", 9, "PAR2\x00PKT"sv),
    proc("application/vnd.rar", "rar", is_rar),
    sig("application/gzip", "gz", 3, "\x1F\x8B\x08"sv),
    sig("application/x-bzip2", "bz2", 3, "BZh"sv),
    sig("application/vnd.bzip3", "bz3", 5, "BZ3v1"sv),
    sig("application/x-7z-compressed", "7z", 6, "\x37\x7A\xBC\xAF\x27\x1C"sv),
    sig("application/x-xz", "xz", 6, "\xFD\x37\x7A\x58\x5A\x00"sv),
    proc("application/pdf", "pdf", is_pdf),
    proc("application/x-shockwave-flash", "swf", is_swf),
    sig("application/rtf", "rtf", 5, R"({\rtf)"sv),
    proc("application/octet-stream", "eot", is_eot),
    sig("application/postscript", "ps", 2, "%!"sv),
    sig("application/vnd.sqlite3", "sqlite", 4, "SQLi"sv),
    sig("application/x-nintendo-nes-rom", "nes", 4, "NES\x1A"sv),
    sig("application/x-google-chrome-extension", "crx", 4, "Cr24"sv),
    proc("application/vnd.ms-cab-compressed", "cab", is_cab),
    sig("application/vnd.debian.binary-package", "deb", 21, "!<arch>\ndebian-binary"sv),
    sig("application/x-unix-archive", "ar", 7, "!<arch>"sv),
    proc("application/x-compress", "Z", is_unix_compress),
    sig("application/x-lzip", "lz", 4, "LZIP"sv),
    sig("application/x-rpm", "rpm", 97, "\xED\xAB\xEE\xDB"sv),
    sig("application/dicom", "dcm", 132, "DICM"sv, 128),
    proc("application/zstd", "zst", is_zstd),
    proc("application/x-lz4", "lz4", is_lz4),
    sig("application/x-ole-storage", "msi", 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv),
    proc("application/x-cpio", "cpio", is_cpio),
    proc("text/html", "html", is_html),
    proc("text/xml", "xml", is_xml),
    sig("text/x-shellscript", "sh", 3, "#!"sv),
};
static_assert(rows.size() == 98);

bool matches(const Row& row, const Head& h) {
  if (row.test != nullptr) {
    return row.test(h);
  }
  return h.size() >= row.signature.min_len &&
         h.matches_at(row.signature.offset, row.signature.magic);
}

} // namespace

std::optional<SniffResult> sniff(std::span<const std::uint8_t> head) noexcept {
  const Head h(head);
  for (const Row& row : rows) {
    if (matches(row, h)) {
      return SniffResult{row.mime, row.extension};
    }
  }
  return std::nullopt;
}

} // namespace trawl

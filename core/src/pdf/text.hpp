// PDF text strings (ISO 32000-2 7.9.2.2) and XMP metadata packets (ISO 16684-1) as UTF-8.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace trawl::pdf {

/// The code point of a PDFDocEncoding byte (ISO 32000-2 Annex D): where it differs from
/// ISO 8859-1; codes it leaves undefined keep their ISO 8859-1 value.
[[nodiscard]] std::uint32_t pdf_doc_code_point(std::uint8_t b);

/// A text string as UTF-8: UTF-16BE after FE FF (UTF-16LE after FF FE, which some writers use),
/// UTF-8 after EF BB BF, otherwise UTF-8 when valid, else PDFDocEncoding. Language escapes
/// (ESC ... ESC) inside UTF-16 text are dropped.
[[nodiscard]] std::string text_string(std::string_view bytes);

/// An XMP date (ISO 8601: "2010-03-04T10:23:45+01:00", or a shorter prefix) in the form of a
/// PDF date ("D:20100304102345+01'00'"); the text as it is when it is not a date.
[[nodiscard]] std::string xmp_date_as_pdf(std::string_view date);

/// The document-information facts of an XMP packet, under the keys of "pdf.info": dc:title,
/// dc:creator, dc:description, xmp:CreatorTool, pdf:Producer, pdf:Keywords (else dc:subject),
/// xmp:CreateDate and xmp:ModifyDate (as PDF dates).
[[nodiscard]] std::map<std::string, std::string, std::less<>> xmp_info(std::string_view xml);

} // namespace trawl::pdf

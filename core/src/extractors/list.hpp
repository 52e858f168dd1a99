// The default extractors in registry order. Each X(Prefix, name, kind) line makes the class
// PrefixExtractor (declared in extractors.hpp, defined in its family's file), its place in the
// registry, the fuzz target fuzz_NAME with its seeds in fuzz/seeds/NAME, the namespace the
// Python tests and bench/crafted.py expect. CMake and Python read these lines as text: keep one
// X(...) per line. The kind says what the class defines besides supports():
//   Reads         extract()
//   Scans         start_scan(), a scan that needs every byte; extract() feeds it the source
//   ReadsOrScans  both (a scan only for some inputs)
#pragma once

// clang-format off
#define TRAWL_EXTRACTORS(X)                                                                        \
  /* size, sniffed type, SHA-256, CRC-32 and entropy of any input */                               \
  X(File, file, ReadsOrScans)                                                                      \
  /* JPEG marker segments up to the first scan, frame facts and quality estimate */                \
  X(Jpeg, jpeg, Reads)                                                                             \
  /* PNG chunks up to IEND with header, text, time, gamma and density */                           \
  X(Png, png, Reads)                                                                               \
  /* GIF screen descriptor, frame count and loop count */                                          \
  X(Gif, gif, Scans)                                                                               \
  /* BMP file and info header fields */                                                            \
  X(Bmp, bmp, Reads)                                                                               \
  /* RIFF form type with the WebP or WAV header facts */                                           \
  X(Riff, riff, Reads)                                                                             \
  /* EXIF fields by image file directory, and the GPS position */                                  \
  X(Exif, exif, Reads)                                                                             \
  /* XMP packet properties, in the thorough reading only */                                       \
  X(Xmp, xmp, ReadsOrScans)                                                                        \
  /* ID3v2 tag header and the common text frames */                                               \
  X(Id3, id3, Reads)                                                                               \
  /* thorough reading only: MPEG audio frame header, Xing/Info/VBRI header, rate and length */     \
  X(Mpeg, mpeg, Reads)                                                                             \
  /* ISO base media outermost boxes, brands and movie duration */                                  \
  X(Mp4, mp4, Reads)                                                                               \
  /* ELF identification and header labels */                                                      \
  X(Elf, elf, Reads)                                                                               \
  /* PDF header version, object and page counts, flags and document information */                 \
  X(Pdf, pdf, Scans)                                                                               \
  /* gzip member header fields and original file name */                                           \
  X(Gzip, gzip, Reads)                                                                             \
  /* ZIP central directory entries, compression ratio and package kind */                          \
  X(Zip, zip, Scans)
// clang-format on

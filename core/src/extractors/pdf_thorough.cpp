#include "pdf_thorough.hpp"

#include <string>
#include <utility>

#include "../pdf/document.hpp"
#include "../pdf/reader.hpp"
#include "extractors.hpp"

namespace trawl {

std::uint64_t pdf_mark_cap(std::uint64_t len) noexcept {
  return pdf::mark_cap(len);
}

bool read_pdf_structure(Namespace& ns, const ByteReader& file, const Probe& probe,
                        std::span<const std::uint64_t> marks) {
  std::optional<std::string> version = pdf::header_version(probe.head);
  const auto facts = pdf::read_facts(file, marks, text_cap, [&probe] { return probe.stopping(); });
  if (facts && facts->stopped) {
    return false;
  }
  if (facts && facts->catalog_version) {
    version =
        version ? pdf::later_version(*version, *facts->catalog_version) : *facts->catalog_version;
  }
  if (version) {
    ns.set("version", std::move(*version));
  }
  if (!facts) {
    return true; // no catalog: the byte search's answers stay
  }
  if (facts->page_count) {
    ns.set("page_count", *facts->page_count);
  }
  // Structured information replaces the byte search's strings; where the structure gives
  // none (no /Info and no XMP, or a file cut before its trailer), the search's strings stay,
  // unless the file is encrypted and they are ciphertext.
  if (!facts->info.empty() || facts->encryption) {
    // The byte search's marks of cut information strings go with its values.
    if (const auto it = ns.entries().find("truncated"); it != ns.entries().end()) {
      List kept;
      for (const Value& key : it->second.as_list()) {
        if (!key.as_string().starts_with("info.")) {
          kept.push_back(key);
        }
      }
      ns.entries().erase("truncated");
      if (!kept.empty()) {
        ns.set("truncated", std::move(kept));
      }
    }
    ns.entries().erase("info");
    if (!facts->info.empty()) {
      Map info;
      for (const auto& [key, text] : facts->info) {
        info.emplace(key, Value(text));
      }
      ns.set("info", std::move(info));
    }
  }
  for (const std::string& key : facts->truncated) {
    mark_truncated(ns, key);
  }
  if (facts->encryption) {
    ns.set("encryption", *facts->encryption);
    ns.set("password_required", facts->password_required);
  }
  return true;
}

} // namespace trawl

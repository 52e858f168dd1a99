#include "png_thorough.hpp"

#include "../support/png_text.hpp"
#include "extractors.hpp"

namespace trawl {

void PngTextChunks::read(Namespace& ns, Map& texts, std::string_view type, const ByteReader& data,
                         std::uint64_t cap) {
  auto chunk = read_png_text(type, data, text_cap, budget_);
  if (!chunk) {
    return;
  }
  if (chunk->cut) {
    mark_truncated(ns, "text");
  }
  if (texts.size() >= cap && !texts.contains(chunk->keyword)) {
    mark_truncated(ns, "text");
    return;
  }
  if (chunk->language.empty() && chunk->translated_keyword.empty()) {
    languages_.erase(chunk->keyword);
  } else {
    Map language;
    language.emplace("language", Value(std::move(chunk->language)));
    language.emplace("translated_keyword", Value(std::move(chunk->translated_keyword)));
    languages_.insert_or_assign(chunk->keyword, Value(std::move(language)));
  }
  texts.insert_or_assign(std::move(chunk->keyword), Value(std::move(chunk->text)));
}

void PngTextChunks::finish(Namespace& ns) {
  if (!languages_.empty()) {
    ns.set("text_languages", std::move(languages_));
  }
}

} // namespace trawl

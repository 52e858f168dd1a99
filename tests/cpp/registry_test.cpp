#include <cerrno>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <trawl/extractor.hpp>
#include <trawl/trawl.hpp>

#include "sources.hpp"
#include "testing/fake_source.hpp"
#include <gtest/gtest.h>

namespace trawl {
namespace {

// An extractor whose behaviour a test chooses; it remembers what it was shown.
class ScriptedExtractor final : public Extractor {
public:
  using Body = std::function<ExtractResult(Source&, std::string_view)>;
  struct Seen {
    std::vector<std::uint8_t> head;
    std::optional<std::string_view> mime;
    std::uint64_t len = 0;
    std::uint64_t position = 0;
    std::uint64_t read_to_end = 0;
  };

  ScriptedExtractor(std::string_view name, Body body, Seen* seen = nullptr)
      : name_(name), body_(std::move(body)), seen_(seen) {}

  [[nodiscard]] std::string_view name() const noexcept override { return name_; }
  [[nodiscard]] bool supports(const Probe& /*probe*/) const override { return true; }
  [[nodiscard]] ExtractResult extract(Source& source, const Probe& probe) const override {
    if (seen_ != nullptr) {
      seen_->head.assign(probe.head.begin(), probe.head.end());
      seen_->mime = probe.mime;
      seen_->len = probe.len;
      seen_->position = *source.stream_position();
      std::vector<std::uint8_t> all;
      seen_->read_to_end = *source.read_to_end(all);
    }
    return body_(source, name_);
  }

private:
  std::string_view name_;
  Body body_;
  Seen* seen_;
};

// Counts the bytes each side of a scan is fed.
class CountingExtractor final : public Extractor {
public:
  struct Counts {
    std::uint64_t side = 0;
    std::uint64_t caller = 0;
    std::uint64_t blocks = 0;
  };
  explicit CountingExtractor(Counts& counts) : counts_(counts) {}
  [[nodiscard]] std::string_view name() const noexcept override { return "count"; }
  [[nodiscard]] bool supports(const Probe& /*probe*/) const override { return true; }
  [[nodiscard]] ExtractResult extract(Source& /*source*/, const Probe& /*probe*/) const override {
    return other("extract is not used when there is a scan");
  }
  [[nodiscard]] std::unique_ptr<Scan> start_scan(const Probe& /*probe*/) const override {
    class Counting final : public Scan {
    public:
      explicit Counting(Counts& counts) : counts_(counts) {}
      void update(std::span<const std::uint8_t> block) override {
        counts_.side += block.size();
        ++counts_.blocks;
      }
      void update_caller(std::span<const std::uint8_t> block) override {
        counts_.caller += block.size();
      }
      ExtractResult finish(Source& /*source*/, const Probe& /*probe*/) override {
        Namespace ns("count");
        ns.set("bytes", counts_.side);
        return ns;
      }

    private:
      Counts& counts_;
    };
    return std::make_unique<Counting>(counts_);
  }

private:
  Counts& counts_;
};

ExtractResult one_fact(Source& /*source*/, std::string_view name) {
  Namespace ns(name);
  ns.set("fact", true);
  return ns;
}
ExtractResult nothing(Source& /*source*/, std::string_view name) {
  return Namespace(name);
}
ExtractResult too_short(Source& /*source*/, std::string_view name) {
  return malformed(name, "header too short");
}
ExtractResult eio(Source& /*source*/, std::string_view /*name*/) {
  return io_error(IoError::from_os(EIO));
}
// Leaves the source somewhere else, to show the next extractor still starts at 0.
ExtractResult wander(Source& source, std::string_view name) {
  (void)source.seek_to(5);
  return nothing(source, name);
}

TEST(Registry, HeadIsAtMostTheFirst8192BytesAndLenIsTheCallers) {
  struct Case {
    const char* name;
    std::size_t size;
    std::uint64_t len;
    std::size_t head;
  };
  const Case cases[] = {
      {"empty", 0, 0, 0},
      {"ten bytes", 10, 10, 10},
      {"larger than the head", 20000, 20000, 8192},
      {"len shorter than the input", 1000, 100, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> data(c.size);
    for (std::size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<std::uint8_t>(i);
    }
    ScriptedExtractor::Seen seen;
    Registry registry;
    registry.add(std::make_unique<ScriptedExtractor>("a", wander));
    registry.add(std::make_unique<ScriptedExtractor>("b", one_fact, &seen));
    BufferSource source(data);
    (void)registry.run(source, c.len);
    EXPECT_EQ(seen.head, std::vector<std::uint8_t>(
                             data.begin(), data.begin() + static_cast<std::ptrdiff_t>(c.head)));
    EXPECT_EQ(seen.len, c.len);
    EXPECT_FALSE(seen.mime.has_value());
    EXPECT_EQ(seen.position, 0U);
    EXPECT_EQ(seen.read_to_end, c.size) << "extractors read the whole input, whatever len says";
  }
}

TEST(Registry, RecordsFailuresInRegistryOrderAndGoesOn) {
  Registry registry;
  registry.add(std::make_unique<ScriptedExtractor>("riff", eio));
  registry.add(std::make_unique<ScriptedExtractor>("gif", too_short));
  registry.add(std::make_unique<ScriptedExtractor>("empty", nothing));
  registry.add(std::make_unique<ScriptedExtractor>("zip", one_fact));
  registry.add(std::make_unique<ScriptedExtractor>("id3", too_short));
  registry.add(std::make_unique<ScriptedExtractor>("dup", one_fact));
  registry.add(std::make_unique<ScriptedExtractor>("dup", [](Source&, std::string_view name) {
    Namespace ns(name);
    ns.set("later", true);
    return ExtractResult(std::move(ns));
  }));
  registry.add(std::make_unique<ScriptedExtractor>("file", one_fact));
  BufferSource source({});
  const std::vector<ReportError> expected = {
      {"riff", "I/O error: Input/output error (os error 5)"},
      {"gif", "malformed gif: header too short"},
      {"id3", "malformed id3: header too short"},
  };
  EXPECT_EQ(registry.run(source, 0).errors, expected);
  // The report sorts the namespaces, leaves out empty ones, and the later of two names wins.
  const Report report = parse_with(registry, source, 0);
  EXPECT_EQ(report.errors, expected);
  std::string names;
  for (const auto& [name, ns] : report.namespaces) {
    names += name + (ns.contains("later") ? "+later " : "") + (ns.contains("fact") ? "+fact " : "");
  }
  EXPECT_EQ(names, "dup+later file+fact zip+fact ");
  EXPECT_TRUE(
      parse_with(Registry{}, *std::make_unique<BufferSource>(std::span<const std::uint8_t>{}), 0)
          .namespaces.empty());
}

TEST(Registry, ScansShareOnePassOnOneOrTwoThreads) {
  // Below and above the size that brings in the helper thread, from a buffer and from reads.
  for (const std::size_t size : {std::size_t{100}, std::size_t{9} << 20U}) {
    for (const bool buffered : {false, true}) {
      SCOPED_TRACE(::testing::Message() << size << (buffered ? " buffered" : " read"));
      std::vector<std::uint8_t> data(size, 7);
      CountingExtractor::Counts counts;
      Registry registry;
      registry.add(std::make_unique<CountingExtractor>(counts));
      testing::FakeSource fake(data, std::size_t{1} << 20U);
      BufferSource buffer(data);
      Source& source = buffered ? static_cast<Source&>(buffer) : fake;
      const RunOutput out = registry.run(source, size);
      EXPECT_EQ(counts.side, size);
      EXPECT_EQ(counts.caller, size);
      ASSERT_EQ(out.namespaces.size(), 1U);
      EXPECT_EQ(out.namespaces[0].entries().at("bytes"), Value(std::uint64_t{size}));
    }
  }
}

TEST(Registry, StopRequestEndsTheRunAndOutOfMemoryCostsOneExtractor) {
  CountingExtractor::Counts counts;
  Registry registry;
  registry.add(std::make_unique<ScriptedExtractor>("greedy", [](Source&, std::string_view) {
    throw std::bad_alloc();
    return ExtractResult(Namespace("greedy"));
  }));
  registry.add(std::make_unique<ScriptedExtractor>("file", one_fact));
  registry.add(std::make_unique<CountingExtractor>(counts));
  const std::vector<std::uint8_t> data(std::size_t{32} << 20U, 1);
  BufferSource source(data);
  const RunOutput out = registry.run(source, data.size());
  EXPECT_FALSE(out.interrupted);
  EXPECT_EQ(out.errors, (std::vector<ReportError>{{"greedy", "out of memory"}}));
  EXPECT_EQ(out.namespaces.size(), 2U);

  int asked = 0;
  RunOptions options;
  options.stop_requested = [&asked] { return ++asked == 2; };
  const RunOutput stopped = registry.run(source, data.size(), options);
  EXPECT_TRUE(stopped.interrupted);
  EXPECT_EQ(asked, 2);
  EXPECT_LT(counts.blocks, 2 * data.size() / (256 * 1024)) << "the pass ended early";
}

} // namespace
} // namespace trawl

// I/O failures as values: what a Source operation and the platform layer return.
#pragma once

#include <string>

#include <trawl/expected.hpp>

namespace trawl {

/// An I/O failure with its complete text.
class IoError {
public:
  /// An operating-system error: the system's description, then " (os error N)".
  [[nodiscard]] static IoError from_os(int code);
  /// A failure raised by a reader itself, with a fixed text.
  [[nodiscard]] static IoError from_text(std::string text);
  /// The reader's fixed text for a short read_exact.
  [[nodiscard]] static IoError unexpected_eof();
  /// The reader's fixed text for a seek before 0 or past the largest offset.
  [[nodiscard]] static IoError invalid_seek();

  /// The error's text.
  [[nodiscard]] const std::string& text() const noexcept { return text_; }
  /// The operating-system code, 0 for the readers' own errors.
  [[nodiscard]] int os_code() const noexcept { return os_code_; }
  /// Whether a signal interrupted the call, so that it may be tried again.
  [[nodiscard]] bool interrupted() const noexcept;

private:
  IoError(std::string text, int os_code) : text_(std::move(text)), os_code_(os_code) {}
  std::string text_;
  int os_code_ = 0;
};

/// The result of a Source operation.
template <class T> using IoResult = Expected<T, IoError>;

} // namespace trawl

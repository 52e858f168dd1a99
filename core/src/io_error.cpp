#include <trawl/io_error.hpp>

#include "support/platform.hpp"

namespace trawl {

IoError IoError::from_os(int code) {
  return {platform::error_text(code), code};
}

bool IoError::interrupted() const noexcept {
  return os_code_ != 0 && platform::interrupted(os_code_);
}

IoError IoError::from_text(std::string text) {
  return {std::move(text), 0};
}
IoError IoError::unexpected_eof() {
  return from_text("failed to fill whole buffer");
}
IoError IoError::invalid_seek() {
  return from_text("invalid seek to a negative or overflowing position");
}

} // namespace trawl

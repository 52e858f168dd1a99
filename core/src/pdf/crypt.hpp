// The standard security handler of ISO 32000-2 7.6.4, opened with an empty user or owner password:
// RC4 (40 to 128 bits, V 1, 2 and 4), AES-128 (V 4, AESV2) and AES-256 (V 5, R 5 and 6).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "object.hpp"

namespace trawl::pdf {

/// A cipher of the crypt filters.
enum class Cipher : std::uint8_t { Identity, Rc4, Aes128, Aes256 };

struct CryptOpening;

/// The keys of a document whose user or owner password is empty.
class Decryptor {
public:
  /// Decrypts a string or stream of object `ref` with the string (`stream` false) or stream
  /// cipher; nothing when the data cannot be the output of that cipher.
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> decrypt(std::span<const std::uint8_t> data,
                                                                 Ref ref, bool stream) const;
  /// Whether the metadata stream is encrypted too.
  [[nodiscard]] bool encrypts_metadata() const noexcept { return metadata_; }

private:
  friend CryptOpening open_security_handler(const Object& encrypt, std::string_view id0);
  std::vector<std::uint8_t> key_;
  Cipher strings_ = Cipher::Rc4;
  Cipher streams_ = Cipher::Rc4;
  bool metadata_ = true;
};

/// What opening the handler gave: the decryptor, or why there is none.
struct CryptOpening {
  std::optional<Decryptor> decryptor;
  /// "RC4-40" ... "RC4-128", "AES-128", "AES-256", or the handler's name when it is not the
  /// standard one.
  std::string label;
  /// The standard handler with user and owner passwords other than the empty one.
  bool password_required = false;
};

/// Opens the standard handler of the encryption dictionary `encrypt` (values resolved) with the
/// empty user password, else the empty owner password; `id0` is the first element of the
/// trailer's /ID.
[[nodiscard]] CryptOpening open_security_handler(const Object& encrypt, std::string_view id0);

/// RC4 keystream applied to `data`.
[[nodiscard]] std::vector<std::uint8_t> rc4(std::span<const std::uint8_t> key,
                                            std::span<const std::uint8_t> data);

} // namespace trawl::pdf

#include "crypt.hpp"

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <new>

#include "../support/text.hpp"
#include <openssl/evp.h>

namespace trawl::pdf {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Span = std::span<const std::uint8_t>;

// The padding string of Algorithm 2, also the empty password padded to 32 bytes.
constexpr std::array<std::uint8_t, 32> password_pad = {
    0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41, 0x64, 0x00, 0x4E, 0x56, 0xFF, 0xFA, 0x01, 0x08,
    0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68, 0x3E, 0x80, 0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A};

Span as_bytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; // NOLINT
}

struct MdFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
struct CipherFree {
  void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};

// The digest of the pieces one after another.
Bytes digest(const EVP_MD* md, std::initializer_list<Span> pieces) {
  const std::unique_ptr<EVP_MD_CTX, MdFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
    throw std::bad_alloc(); // libcrypto fails here only when it cannot allocate
  }
  for (const Span piece : pieces) {
    if (!piece.empty()) {
      (void)EVP_DigestUpdate(ctx.get(), piece.data(), piece.size());
    }
  }
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  (void)EVP_DigestFinal_ex(ctx.get(), out.data(), &len);
  out.resize(std::min<std::size_t>(len, out.size()));
  return out;
}

// AES in CBC mode; `pad` adds or removes PKCS #7 padding. Nothing when libcrypto refuses the
// data (a bad padding, a length that is not whole blocks).
std::optional<Bytes> aes_cbc(bool encrypt, Span key, Span iv, Span data, bool pad) {
  const EVP_CIPHER* cipher = key.size() == 32 ? EVP_aes_256_cbc() : EVP_aes_128_cbc();
  if ((key.size() != 16 && key.size() != 32) || iv.size() != 16 ||
      data.size() > (std::size_t{1} << 30U)) {
    return std::nullopt;
  }
  const std::unique_ptr<EVP_CIPHER_CTX, CipherFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) {
    throw std::bad_alloc();
  }
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), pad ? 1 : 0) != 1) {
    return std::nullopt;
  }
  Bytes out(data.size() + 32);
  int n = 0;
  int tail = 0;
  if (EVP_CipherUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())) !=
          1 ||
      EVP_CipherFinal_ex(ctx.get(), std::span(out).subspan(static_cast<std::size_t>(n)).data(),
                         &tail) != 1) {
    return std::nullopt;
  }
  out.resize(static_cast<std::size_t>(n) + static_cast<std::size_t>(tail));
  return out;
}

// The first `n` bytes of a string object, or nothing when it is shorter.
std::optional<Span> field(const Object& encrypt, std::string_view key, std::size_t n) {
  const Object* v = encrypt.get(key);
  if (v == nullptr || v->kind != Kind::String || v->bytes.size() < n) {
    return std::nullopt;
  }
  return as_bytes(v->bytes).first(n);
}

std::int64_t integer(const Object& dict, std::string_view key, std::int64_t fallback) {
  const Object* v = dict.get(key);
  return v != nullptr ? v->as_int().value_or(fallback) : fallback;
}

// The cipher of the crypt filter named by `key` (/StrF, /StmF) in a V 4 or 5 dictionary.
Cipher filter_cipher(const Object& encrypt, std::string_view key) {
  const Object* name = encrypt.get(key);
  if (name == nullptr || name->kind != Kind::Name || name->bytes == "Identity") {
    return Cipher::Identity;
  }
  const Object* filters = encrypt.get("CF");
  const Object* filter = filters != nullptr ? filters->get(name->bytes) : nullptr;
  const Object* method = filter != nullptr ? filter->get("CFM") : nullptr;
  if (method == nullptr || method->is_name("None")) {
    return Cipher::Identity;
  }
  if (method->is_name("AESV2")) {
    return Cipher::Aes128;
  }
  if (method->is_name("AESV3")) {
    return Cipher::Aes256;
  }
  return Cipher::Rc4;
}

// Algorithms 2, 4 and 5: the file key from a padded user password, checked against /U.
std::optional<Bytes> rc4_era_key(const Object& encrypt, std::string_view id0, std::int64_t r,
                                 std::size_t length, Span password) {
  const auto owner = field(encrypt, "O", 32);
  const auto user = field(encrypt, "U", r == 2 ? 32 : 16);
  if (!owner || !user) {
    return std::nullopt;
  }
  const auto p = static_cast<std::uint32_t>(integer(encrypt, "P", 0));
  const std::array<std::uint8_t, 4> p_bytes = {
      static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(p >> 8U),
      static_cast<std::uint8_t>(p >> 16U), static_cast<std::uint8_t>(p >> 24U)};
  const Object* meta = encrypt.get("EncryptMetadata");
  const bool skip_metadata =
      r >= 4 && meta != nullptr && meta->kind == Kind::Bool && meta->integer == 0;
  constexpr std::array<std::uint8_t, 4> all_ones = {0xFF, 0xFF, 0xFF, 0xFF};
  Bytes key = digest(EVP_md5(), {password, *owner, p_bytes, as_bytes(id0),
                                 skip_metadata ? Span(all_ones) : Span()});
  key.resize(length);
  if (r >= 3) {
    for (int i = 0; i < 50; ++i) {
      key = digest(EVP_md5(), {key});
      key.resize(length);
    }
  }
  if (r == 2) {
    const Bytes check = rc4(key, password_pad);
    return std::equal(check.begin(), check.end(), user->begin()) ? std::optional(key)
                                                                 : std::nullopt;
  }
  Bytes check = rc4(key, digest(EVP_md5(), {password_pad, as_bytes(id0)}));
  for (std::uint8_t i = 1; i <= 19; ++i) {
    Bytes round_key = key;
    for (std::uint8_t& b : round_key) {
      b ^= i;
    }
    check = rc4(round_key, check);
  }
  return std::equal(user->begin(), user->end(), check.begin()) ? std::optional(key) : std::nullopt;
}

// Algorithm 7 with the empty owner password: /O decrypted gives the padded user password.
std::optional<Bytes> rc4_era_owner_key(const Object& encrypt, std::string_view id0, std::int64_t r,
                                       std::size_t length) {
  const auto owner = field(encrypt, "O", 32);
  if (!owner) {
    return std::nullopt;
  }
  Bytes key = digest(EVP_md5(), {password_pad});
  if (r >= 3) {
    for (int i = 0; i < 50; ++i) {
      key = digest(EVP_md5(), {key});
    }
  }
  key.resize(length);
  Bytes password(owner->begin(), owner->end());
  if (r == 2) {
    password = rc4(key, password);
  } else {
    for (int i = 19; i >= 0; --i) {
      Bytes round_key = key;
      for (std::uint8_t& b : round_key) {
        b ^= static_cast<std::uint8_t>(i);
      }
      password = rc4(round_key, password);
    }
  }
  return rc4_era_key(encrypt, id0, r, length, password);
}

// Contexts made once for the rounds of Algorithm 2.B: setting a context up costs more than a
// round's work.
class Rounds {
public:
  Rounds() {
    for (std::size_t i = 0; i < mds_.size(); ++i) {
      mds_.at(i).reset(EVP_MD_CTX_new());
      if (!mds_.at(i) || EVP_DigestInit_ex(mds_.at(i).get(), md(i), nullptr) != 1) {
        throw std::bad_alloc();
      }
    }
    const std::array<std::uint8_t, 16> zero{};
    cipher_.reset(EVP_CIPHER_CTX_new());
    if (!cipher_ ||
        EVP_EncryptInit_ex(cipher_.get(), EVP_aes_128_cbc(), nullptr, zero.data(), zero.data()) !=
            1 ||
        EVP_CIPHER_CTX_set_padding(cipher_.get(), 0) != 1) {
      throw std::bad_alloc();
    }
  }
  // SHA-256, -384 or -512 (0, 1, 2) of `data`.
  Bytes hash(std::size_t which, Span data) {
    EVP_MD_CTX* ctx = mds_.at(which).get();
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    if (EVP_DigestInit_ex(ctx, nullptr, nullptr) != 1 ||
        EVP_DigestUpdate(ctx, data.data(), data.size()) != 1 ||
        EVP_DigestFinal_ex(ctx, out.data(), &len) != 1) {
      return {};
    }
    out.resize(std::min<std::size_t>(len, out.size()));
    return out;
  }
  // AES-128-CBC without padding of whole blocks.
  Bytes encrypt(Span key, Span iv, Span data) {
    Bytes out(data.size() + 16);
    int n = 0;
    if (data.size() > (std::size_t{1} << 20U) ||
        EVP_EncryptInit_ex(cipher_.get(), nullptr, nullptr, key.data(), iv.data()) != 1 ||
        EVP_EncryptUpdate(cipher_.get(), out.data(), &n, data.data(),
                          static_cast<int>(data.size())) != 1) {
      return {};
    }
    out.resize(static_cast<std::size_t>(n));
    return out;
  }

private:
  static const EVP_MD* md(std::size_t i) {
    return i == 0 ? EVP_sha256() : i == 1 ? EVP_sha384() : EVP_sha512();
  }
  std::array<std::unique_ptr<EVP_MD_CTX, MdFree>, 3> mds_;
  std::unique_ptr<EVP_CIPHER_CTX, CipherFree> cipher_;
};

// Algorithm 2.B for the empty password (R 6); R 5 uses one SHA-256. `user` is /U for the
// owner's hashes, empty for the user's.
Bytes hash_2b(Span salt, Span user, std::int64_t r) {
  Bytes k = digest(EVP_sha256(), {salt, user});
  if (r < 6) {
    return k;
  }
  Rounds rounds;
  Bytes k1;
  for (unsigned round = 0;; ++round) {
    k1.clear();
    for (int i = 0; i < 64; ++i) {
      k1.insert(k1.end(), k.begin(), k.end());
      k1.insert(k1.end(), user.begin(), user.end());
    }
    const Bytes e = rounds.encrypt(Span(k).first(16), Span(k).subspan(16, 16), k1);
    if (e.size() < 16) {
      return {};
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i < 16; ++i) {
      sum += e[i];
    }
    k = rounds.hash(sum % 3, e);
    if (k.size() < 32) {
      return {};
    }
    if (round >= 63 && e.back() <= round - 31) {
      break;
    }
  }
  k.resize(32);
  return k;
}

// Algorithms 2.A, 11, 12 and 13: the file key from /U and /UE for the empty user password, or
// from /O and /OE for the empty owner password. Each hash of revision 6 costs about half a
// millisecond, so the user's key is tried first and checked by /Perms ("adb" at byte 9 once
// decrypted), which spares the hash that checks the password itself when /Perms agrees.
std::optional<Bytes> aes256_key(const Object& encrypt, std::int64_t r) {
  const auto user = field(encrypt, "U", 48);
  if (!user) {
    return std::nullopt;
  }
  const std::array<std::uint8_t, 16> zero_iv{};
  const auto key_of = [&](Span hash, std::string_view key_key, Span extra) -> std::optional<Bytes> {
    const auto wrapped = field(encrypt, key_key, 32);
    if (!wrapped) {
      return std::nullopt;
    }
    return aes_cbc(false, hash_2b(hash.subspan(40, 8), extra, r), zero_iv, *wrapped, false);
  };
  const auto password_checks = [&](Span hash, Span extra) {
    const Bytes check = hash_2b(hash.subspan(32, 8), extra, r);
    return check.size() == 32 && std::equal(check.begin(), check.end(), hash.begin());
  };
  if (auto key = key_of(*user, "UE", Span())) {
    const auto perms = field(encrypt, "Perms", 16);
    const auto plain = perms ? aes_cbc(false, *key, zero_iv, *perms, false) : std::nullopt;
    const bool agrees = plain && plain->size() == 16 && (*plain)[9] == 'a' && (*plain)[10] == 'd' &&
                        (*plain)[11] == 'b';
    if (agrees || password_checks(*user, Span())) {
      return key;
    }
  }
  const auto owner = field(encrypt, "O", 48);
  if (!owner || !password_checks(*owner, *user)) {
    return std::nullopt;
  }
  return key_of(*owner, "OE", *user);
}

std::string label(Cipher cipher, std::size_t key_length) {
  switch (cipher) {
  case Cipher::Aes128:
    return "AES-128";
  case Cipher::Aes256:
    return "AES-256";
  case Cipher::Rc4:
    return "RC4-" + std::to_string(key_length * 8);
  case Cipher::Identity:
    break;
  }
  return "none";
}

} // namespace

std::vector<std::uint8_t> rc4(std::span<const std::uint8_t> key,
                              std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, 256> s{};
  for (std::size_t i = 0; i < s.size(); ++i) {
    s.at(i) = static_cast<std::uint8_t>(i);
  }
  if (key.empty()) {
    return {data.begin(), data.end()};
  }
  // The key repeats over the 256 steps; a running index spares a division per step, which
  // was most of the cost of a short string.
  std::uint8_t j = 0;
  std::size_t k = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    j = static_cast<std::uint8_t>(j + s.at(i) + key[k]);
    std::swap(s.at(i), s.at(j));
    k = k + 1 == key.size() ? 0 : k + 1;
  }
  std::vector<std::uint8_t> out(data.begin(), data.end());
  std::uint8_t x = 0;
  std::uint8_t y = 0;
  for (std::uint8_t& b : out) {
    x = static_cast<std::uint8_t>(x + 1);
    y = static_cast<std::uint8_t>(y + s.at(x));
    std::swap(s.at(x), s.at(y));
    b ^= s.at(static_cast<std::uint8_t>(s.at(x) + s.at(y)));
  }
  return out;
}

CryptOpening open_security_handler(const Object& encrypt, std::string_view id0) {
  CryptOpening out;
  const Object* filter = encrypt.get("Filter");
  if (filter == nullptr || !filter->is_name("Standard")) {
    out.label =
        filter != nullptr && filter->kind == Kind::Name ? utf8_lossy(filter->bytes) : "unknown";
    return out;
  }
  const std::int64_t v = integer(encrypt, "V", 0);
  const std::int64_t r = integer(encrypt, "R", 2);
  Decryptor d;
  std::int64_t bits = integer(encrypt, "Length", 40);
  if (v >= 4) {
    d.strings_ = filter_cipher(encrypt, "StrF");
    d.streams_ = filter_cipher(encrypt, "StmF");
    const Object* meta = encrypt.get("EncryptMetadata");
    d.metadata_ = meta == nullptr || meta->kind != Kind::Bool || meta->integer != 0;
  }
  const Cipher main = d.strings_ != Cipher::Identity ? d.strings_ : d.streams_;
  if (main == Cipher::Aes128) {
    bits = 128;
  }
  const std::size_t length = r == 2 || v == 1 || bits < 40 || bits > 128 || bits % 8 != 0
                                 ? 5
                                 : static_cast<std::size_t>(bits / 8);
  std::optional<Bytes> key;
  if (v == 5 || r >= 5) {
    key = aes256_key(encrypt, r);
    out.label = label(Cipher::Aes256, 32);
  } else if (v >= 1 && v <= 4 && r >= 2 && r <= 4) {
    key = rc4_era_key(encrypt, id0, r, length, password_pad);
    if (!key) {
      key = rc4_era_owner_key(encrypt, id0, r, length);
    }
    out.label = label(main, length);
  } else {
    out.label = "unknown";
    return out;
  }
  if (!key) {
    out.password_required = true;
    return out;
  }
  d.key_ = std::move(*key);
  out.decryptor = std::move(d);
  return out;
}

std::optional<std::vector<std::uint8_t>> Decryptor::decrypt(std::span<const std::uint8_t> data,
                                                            Ref ref, bool stream) const {
  const Cipher cipher = stream ? streams_ : strings_;
  if (cipher == Cipher::Identity) {
    return std::vector<std::uint8_t>(data.begin(), data.end());
  }
  // Algorithm 1: a key per object from the file key, its number and generation.
  Bytes key = key_;
  if (cipher != Cipher::Aes256) {
    const std::array<std::uint8_t, 5> suffix = {
        static_cast<std::uint8_t>(ref.num), static_cast<std::uint8_t>(ref.num >> 8U),
        static_cast<std::uint8_t>(ref.num >> 16U), static_cast<std::uint8_t>(ref.gen),
        static_cast<std::uint8_t>(ref.gen >> 8U)};
    constexpr std::string_view salt = "sAlT";
    key = digest(EVP_md5(), {key_, suffix, cipher == Cipher::Aes128 ? as_bytes(salt) : Span()});
    key.resize(std::min<std::size_t>(key_.size() + 5, 16));
  }
  if (cipher == Cipher::Rc4) {
    return rc4(key, data);
  }
  // AES: the first block is the initialisation vector; PKCS #7 padding ends the data.
  if (data.size() < 32 || data.size() % 16 != 0) {
    return data.size() == 16 ? std::optional(Bytes{}) : std::nullopt;
  }
  return aes_cbc(false, key, data.first(16), data.subspan(16), true);
}

} // namespace trawl::pdf

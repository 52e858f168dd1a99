// A value-or-error result type with the member names of std::expected.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace trawl {

/// Wraps an error so that an Expected can be built from it unambiguously.
template <class E> struct Unexpected { E error; };

/// Deduces the error type: `return unexpected(err);`.
template <class E> [[nodiscard]] Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return {std::forward<E>(error)};
}

/// Holds either a value of type T or an error of type E.
template <class T, class E> class [[nodiscard]] Expected {
public:
  Expected(T value) : data_(std::in_place_index<0>, std::move(value)) {}
  Expected(E error) : data_(std::in_place_index<1>, std::move(error)) {}
  template <class G>
  Expected(Unexpected<G> error) : data_(std::in_place_index<1>, std::move(error.error)) {}

  [[nodiscard]] bool has_value() const noexcept { return data_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  [[nodiscard]] T& value() & { return std::get<0>(data_); }
  [[nodiscard]] const T& value() const& { return std::get<0>(data_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(data_)); }
  [[nodiscard]] E& error() & { return std::get<1>(data_); }
  [[nodiscard]] const E& error() const& { return std::get<1>(data_); }
  [[nodiscard]] E&& error() && { return std::get<1>(std::move(data_)); }
  template <class U> [[nodiscard]] T value_or(U&& other) const& {
    return has_value() ? value() : static_cast<T>(std::forward<U>(other));
  }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

private:
  std::variant<T, E> data_;
};

/// The void specialisation: success carries nothing.
template <class E> class [[nodiscard]] Expected<void, E> {
public:
  Expected() = default;
  Expected(E error) : error_(std::move(error)) {}
  template <class G> Expected(Unexpected<G> error) : error_(std::move(error.error)) {}

  [[nodiscard]] bool has_value() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  [[nodiscard]] const E& error() const& { return *error_; }
  [[nodiscard]] E&& error() && { return std::move(*error_); }

private:
  std::optional<E> error_;
};

} // namespace trawl

// TrustError, the library's one error type, and Result<T>, "a T or a TrustError". Both layers of
// the core use them; this header includes nothing of ours.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace velk {

class TrustError {
 public:
  enum class Kind { Storage, Serialization, InvalidId, Io };

  // Errors are the exception: the compiler keeps the paths that make them out of the hot code.
  [[gnu::cold]] static auto storage(std::string detail) -> TrustError { return {Kind::Storage, std::move(detail)}; }
  [[gnu::cold]] static auto serialization(std::string detail) -> TrustError {
    return {Kind::Serialization, std::move(detail)};
  }
  [[gnu::cold]] static auto invalid_id(std::string detail) -> TrustError { return {Kind::InvalidId, std::move(detail)}; }
  // An operating-system failure: "<strerror> (os error N)".
  [[gnu::cold]] static auto io(int errno_value) -> TrustError;
  // A failure of a file operation that did not come from the operating system.
  [[gnu::cold]] static auto io_message(std::string sentence) -> TrustError { return {Kind::Io, std::move(sentence)}; }

  auto kind() const noexcept -> Kind { return kind_; }
  // The operating system's error number of an Io error made by io(); 0 for every other error.
  auto os_error() const noexcept -> int { return os_error_; }
  // True for an Io error saying that a file is not there: "no such file" or "not a directory".
  auto is_absence() const noexcept -> bool;
  // The payload alone, without the kind's prefix.
  auto detail() const noexcept -> const std::string& { return detail_; }
  // The prefix of the kind followed by the payload, as Python code sees it.
  auto text() const -> std::string;

  // A fault of one record's own stored content (too large, not text, not a regular file, filed
  // under another identifier) rather than of the system: a listing skips such a record.
  [[gnu::cold]] auto as_content_fault() && -> TrustError&& {
    content_fault_ = true;
    return std::move(*this);
  }
  auto marked_content_fault() const noexcept -> bool { return content_fault_; }

  // Where the error happened (a record file's path, or "<table>/<identifier>" of a row) and the
  // identifier it concerns; empty where none is known.
  auto place() const noexcept -> const std::string& { return place_; }
  auto entity_id() const noexcept -> const std::string& { return entity_id_; }
  [[gnu::cold]] auto at(std::string place) & -> TrustError& {
    place_ = std::move(place);
    return *this;
  }
  [[gnu::cold]] auto at(std::string place) && -> TrustError&& { return std::move(at(std::move(place))); }
  [[gnu::cold]] auto about(std::string entity_id) & -> TrustError& {
    entity_id_ = std::move(entity_id);
    return *this;
  }
  [[gnu::cold]] auto about(std::string entity_id) && -> TrustError&& { return std::move(about(std::move(entity_id))); }

 private:
  TrustError(Kind kind, std::string detail, int os_error = 0)
      : kind_(kind), os_error_(os_error), detail_(std::move(detail)) {}
  Kind kind_;
  int os_error_;
  bool content_fault_ = false;
  std::string detail_;
  std::string place_;
  std::string entity_id_;
};

// Holds a T or a TrustError; the surface mirrors std::expected.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(TrustError error) : v_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  auto has_value() const noexcept -> bool { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }
  auto value() & -> T& { return std::get<0>(v_); }
  auto value() const& -> const T& { return std::get<0>(v_); }
  auto value() && -> T&& { return std::get<0>(std::move(v_)); }
  auto operator*() & -> T& { return value(); }
  auto operator*() const& -> const T& { return value(); }
  auto operator*() && -> T&& { return std::move(*this).value(); }
  auto operator->() -> T* { return &value(); }
  auto operator->() const -> const T* { return &value(); }
  auto error() const& -> const TrustError& { return std::get<1>(v_); }

 private:
  std::variant<T, TrustError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(TrustError error) : e_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  auto has_value() const noexcept -> bool { return !e_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  auto error() const& -> const TrustError& { return *e_; }

 private:
  std::optional<TrustError> e_;
};

}  // namespace velk

// TrustError, the library's one error type, and Result<T>, "a T or a TrustError". Both layers of
// the core use them; this header includes nothing of ours.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

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
  // An operating-system failure after which a change may or may not have taken effect.
  [[gnu::cold]] static auto io_unknown(int errno_value) -> TrustError;
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
  [[gnu::cold]] auto as_content_fault() & -> TrustError& {
    content_fault_ = true;
    return *this;
  }
  [[gnu::cold]] auto as_content_fault() && -> TrustError&& { return std::move(as_content_fault()); }
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

  // True where trying the call again may succeed: marked so (a lost connection, a serialization
  // failure, a timeout), or an Io error of a busy or exhausted system (no descriptor or memory free,
  // a device busy, a call interrupted).
  auto transient() const noexcept -> bool;
  [[gnu::cold]] auto as_transient() & -> TrustError& {
    transient_ = true;
    return *this;
  }
  [[gnu::cold]] auto as_transient() && -> TrustError&& { return std::move(as_transient()); }
  // True where a write the call made may or may not have taken effect.
  auto outcome_unknown() const noexcept -> bool { return outcome_unknown_; }
  [[gnu::cold]] auto as_outcome_unknown() & -> TrustError& {
    outcome_unknown_ = true;
    return *this;
  }
  [[gnu::cold]] auto as_outcome_unknown() && -> TrustError&& { return std::move(as_outcome_unknown()); }
  // The payload with more said after it.
  [[gnu::cold]] auto explained(std::string_view more) & -> TrustError& {
    detail_ += more;
    return *this;
  }
  [[gnu::cold]] auto explained(std::string_view more) && -> TrustError&& { return std::move(explained(more)); }
  // What the text cannot say (its fixed wording names no file), for the reader of a traceback.
  auto notes() const noexcept -> const std::vector<std::string>& { return notes_; }
  [[gnu::cold]] auto noted(std::string note) & -> TrustError& {
    notes_.push_back(std::move(note));
    return *this;
  }
  [[gnu::cold]] auto noted(std::string note) && -> TrustError&& { return std::move(noted(std::move(note))); }

 private:
  TrustError(Kind kind, std::string detail, int os_error = 0)
      : kind_(kind), os_error_(os_error), detail_(std::move(detail)) {}
  Kind kind_;
  int os_error_;
  bool content_fault_ = false;
  bool transient_ = false;
  bool outcome_unknown_ = false;
  std::string detail_;
  std::string place_;
  std::string entity_id_;
  std::vector<std::string> notes_;
};

// Holds a T or a TrustError; the surface mirrors std::expected.
template <typename T>
class [[nodiscard]] Result {
 public:
  // A value is moved (or copied) into place once.
  Result(T&& value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(const T& value) : v_(std::in_place_index<0>, value) {}  // NOLINT(google-explicit-constructor)
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

// Texts of TrustError.
#include "common/error.h"

#include <cerrno>
#include <cstring>

namespace velk {

auto TrustError::io(int errno_value) -> TrustError {
  return {Kind::Io, std::string(std::strerror(errno_value)) + " (os error " + std::to_string(errno_value) + ")",
          errno_value};
}

auto TrustError::io_unknown(int errno_value) -> TrustError {
  TrustError error = io(errno_value);
  error.detail_ += "; the change may or may not have been made";
  error.outcome_unknown_ = true;
  return error;
}

auto TrustError::is_absence() const noexcept -> bool { return os_error_ == ENOENT || os_error_ == ENOTDIR; }

auto TrustError::transient() const noexcept -> bool {
  if (transient_) return true;
  if (kind_ != Kind::Io) return false;
  switch (os_error_) {
    case EAGAIN:
    case EINTR:
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ENOBUFS:
    case EBUSY:
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

auto TrustError::text() const -> std::string {
  switch (kind_) {
    case Kind::Storage: return "Storage error: " + detail_;
    case Kind::Serialization: return "Serialization error: " + detail_;
    case Kind::InvalidId: return "Invalid entity ID format: " + detail_;
    case Kind::Io: return "IO error: " + detail_;
  }
  return detail_;
}

}  // namespace velk

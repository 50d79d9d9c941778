// Texts of TrustError.
#include "common/error.h"

#include <cerrno>
#include <cstring>

namespace velk {

auto TrustError::io(int errno_value) -> TrustError {
  return {Kind::Io, std::string(std::strerror(errno_value)) + " (os error " + std::to_string(errno_value) + ")",
          errno_value};
}

auto TrustError::is_absence() const noexcept -> bool { return os_error_ == ENOENT || os_error_ == ENOTDIR; }

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

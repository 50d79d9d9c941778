// Walking the entries of a directory open for listing, as the scan and the check both do.
#pragma once

#include <dirent.h>

#include <cerrno>
#include <string_view>

#include "common/error.h"
#include "storage/waiter.h"

namespace velk {

// Calls each(name) for every entry but "." and "..", in the order the system returns them, asking
// interrupted() before each; stops at the first error each() returns. Io when an entry cannot be
// fetched, EINTR when the waiter interrupts.
template <typename F>
auto for_each_entry(DIR* dir, InterruptCheck& interrupted, F&& each) -> Result<void> {
  for (;;) {
    if (interrupted()) return TrustError::io(EINTR);
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) return TrustError::io(errno);
      return {};
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (auto done = each(name); !done) return done;
  }
}

}  // namespace velk

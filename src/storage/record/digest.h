// SHA-256 of identifiers: it names record files and keys long identifiers' rows.
#pragma once

#include <array>
#include <string_view>

#include "common/error.h"

namespace velk {

using Digest = std::array<unsigned char, 32>;

// Storage when the digest cannot be computed; std::bad_alloc when memory is short.
auto sha256_of(std::string_view bytes) -> Result<Digest>;
// Starts OpenSSL (it reads its configuration) in the calling thread, rather than in whichever
// thread first needs a digest, perhaps a daemon thread the interpreter ends at exit. Should it
// fail now, the next digest tries again.
void start_digests();

}  // namespace velk

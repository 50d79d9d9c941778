// SHA-256 from OpenSSL's libcrypto, with a context per thread.
#include "storage/record/digest.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <pthread.h>

#include <atomic>
#include <new>

namespace velk {
namespace {

// SHA-256 from a library context of our own: a configuration file (OPENSSL_CONF) can neither
// change nor remove it, as a FIPS-only default without a FIPS provider would for the default
// context. Kept once fetched; a failed fetch (memory) is tried again by the next call. Two threads
// that fetch at once keep the first and free the other, so no lock is held that a fork could copy.
auto sha256() -> const EVP_MD* {
  static std::atomic<const EVP_MD*> kept{nullptr};
  if (const EVP_MD* md = kept.load(std::memory_order_acquire)) return md;
  OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
  if (ctx == nullptr) return nullptr;
  EVP_MD* md = OSSL_PROVIDER_load(ctx, "default") != nullptr ? EVP_MD_fetch(ctx, "SHA2-256", nullptr) : nullptr;
  const EVP_MD* expected = nullptr;
  if (md == nullptr || !kept.compare_exchange_strong(expected, md, std::memory_order_acq_rel)) {
    EVP_MD_free(md);
    OSSL_LIB_CTX_free(ctx);  // unloads the provider
    return expected;
  }
  return md;
}

// One digest context per thread, freed when the thread ends: listings may name files on several
// threads at once. Kept under a pthread key, not in a thread_local object, whose destructor's
// registration aborts the process when memory is short. Null when memory is short.
auto digest_context() -> EVP_MD_CTX* {
  static std::atomic<long> kept_key{-1};
  long key = kept_key.load(std::memory_order_acquire);
  if (key < 0) {
    pthread_key_t made;
    if (::pthread_key_create(&made, [](void* ctx) { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx)); }) != 0) {
      return nullptr;
    }
    long expected = -1;
    if (kept_key.compare_exchange_strong(expected, static_cast<long>(made), std::memory_order_acq_rel)) {
      key = static_cast<long>(made);
    } else {
      ::pthread_key_delete(made);
      key = expected;
    }
  }
  const auto k = static_cast<pthread_key_t>(key);
  if (auto* ctx = static_cast<EVP_MD_CTX*>(::pthread_getspecific(k))) return ctx;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx != nullptr && ::pthread_setspecific(k, ctx) != 0) {
    EVP_MD_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

}  // namespace

void start_digests() { (void)sha256(); }

auto sha256_of(std::string_view bytes) -> Result<Digest> {
  EVP_MD_CTX* ctx = digest_context();
  if (ctx == nullptr) throw std::bad_alloc();
  Digest digest;
  unsigned int len = 0;
  const EVP_MD* md = sha256();
  if (md == nullptr || EVP_DigestInit_ex2(ctx, md, nullptr) != 1 || EVP_DigestUpdate(ctx, bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(ctx, digest.data(), &len) != 1 || len != 32) {
    ERR_clear_error();
    return TrustError::storage("cannot compute the SHA-256 digest that names record files");
  }
  return digest;
}

}  // namespace velk

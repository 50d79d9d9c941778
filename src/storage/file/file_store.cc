// File primitives of the record directory.
#include "storage/file/file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "storage/file/record_json.h"

namespace velk {
namespace {

auto is_dir(const std::string& path) -> bool {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The parent as a path library sees it: trailing separators ignored; none for "/".
auto parent_of(const std::string& path) -> std::optional<std::string> {
  auto end = path.find_last_not_of('/');
  if (end == std::string::npos) return std::nullopt;  // "/" or "///"
  auto slash = path.rfind('/', end);
  if (slash == std::string::npos) return std::string();
  auto parent_end = path.find_last_not_of('/', slash);
  if (parent_end == std::string::npos) return std::string("/");
  return path.substr(0, parent_end + 1);
}

auto create_dir_all(const std::string& path) -> Result<void> {
  if (path.empty()) return {};
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err != ENOENT) {
    if (is_dir(path)) return {};
    return TrustError::io(err);
  }
  const auto parent = parent_of(path);
  if (!parent) return TrustError::io_message("failed to create whole tree");
  if (auto r = create_dir_all(*parent); !r) return r;
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  err = errno;
  if (is_dir(path)) return {};
  return TrustError::io(err);
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  auto operator=(const Fd&) -> Fd& = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  auto get() const -> int { return fd_; }
  auto release() -> int { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

auto write_all(int fd, std::string_view bytes) -> bool {
  while (!bytes.empty()) {
    const auto n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// What a file that is not a regular file is, for messages.
auto kind_of_file(mode_t mode) -> const char* {
  if (S_ISFIFO(mode)) return "a named pipe (FIFO)";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

// Reads a whole regular file. The open never blocks (a FIFO without a writer) and never makes a
// terminal ours; anything but a regular file is refused before a byte is read, so a link to
// /dev/zero or /dev/stdin cannot read without end or take the caller's input.
auto read_file(FileAt file, std::string& out) -> Result<void> {
  Fd fd(::openat(file.dir, file.name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return TrustError::io(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return TrustError::io(errno);
  if (S_ISDIR(st.st_mode)) return TrustError::io(EISDIR);
  if (!S_ISREG(st.st_mode)) {
    return TrustError::io_message(std::string("the record file is ") + kind_of_file(st.st_mode) +
                                  ", not a regular file");
  }
  // One read for the reported size and a byte more: a regular file reads short only at its end,
  // so a short read ends it; a full one means the file grew, and reading goes on.
  std::size_t size = 0;
  out.resize(static_cast<std::size_t>(st.st_size) + 1);
  for (;;) {
    if (size == out.size()) out.resize(out.size() * 2);
    const std::size_t wanted = out.size() - size;
    const auto n = ::read(fd.get(), out.data() + size, wanted);
    if (n < 0) {
      if (errno == EINTR) continue;
      return TrustError::io(errno);
    }
    size += static_cast<std::size_t>(n);
    if (n == 0 || static_cast<std::size_t>(n) < wanted) break;
  }
  out.resize(size);
  return {};
}

// SHA-256 from a library context of our own: a configuration file (OPENSSL_CONF) can neither
// change nor remove it, as a FIPS-only default without a FIPS provider would for the default
// context. Fetched once; null when it cannot be had at all.
auto sha256() -> const EVP_MD* {
  static const EVP_MD* const md = []() -> const EVP_MD* {
    OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    if (ctx == nullptr || OSSL_PROVIDER_load(ctx, "default") == nullptr) return nullptr;
    return EVP_MD_fetch(ctx, "SHA2-256", nullptr);
  }();
  return md;
}

// "<path>.<pid>-<n>.tmp": the name ends in ".tmp", so a scan never takes it for a record.
auto temporary_name(std::string_view path) -> std::string {
  static std::atomic<unsigned> counter{0};
  return std::string(path) + "." + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
}

// Gives the unnamed file fd the name tmp in dir. A file already there is a leftover of a save that was
// killed between naming and renaming, or for an instant another saver's (whose rename then finds
// its name gone and starts over): it is replaced, so leftovers never pile up. False with errno set
// when the system refuses.
auto link_unnamed(int fd, int dir, const std::string& tmp) -> bool {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; /proc is refused by some sandboxes (EXDEV).
    if (::linkat(fd, "", dir, tmp.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno != EEXIST && ::linkat(AT_FDCWD, proc.c_str(), dir, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return true;
    }
    if (errno != EEXIST) return false;
    ::unlinkat(dir, tmp.c_str(), 0);
  }
  errno = EEXIST;
  return false;
}

// The directory a file name lies in, for O_TMPFILE: "." for a bare name.
auto directory_of(std::string_view path) -> std::string {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

// Renames tmp over file; the temporary file is removed when that fails.
auto rename_over(const std::string& tmp, FileAt file) -> Result<void> {
  if (::renameat(file.dir, tmp.c_str(), file.dir, file.name) == 0) return {};
  const int err = errno;
  ::unlinkat(file.dir, tmp.c_str(), 0);
  return TrustError::io(err);
}

// True when replaced; false when the system refuses unnamed files (the named way is left).
auto replace_with_unnamed(FileAt target, std::string_view text) -> Result<bool> {
  // The name is the record's own plus ".tmp", so that the next save of the record replaces what a
  // save killed in the instant between naming and renaming leaves.
  const std::string tmp = std::string(target.name) + ".tmp";
  const std::string dir = directory_of(target.name);
  for (int attempt = 0;; ++attempt) {
    Fd file(::openat(target.dir, dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (file.get() < 0) return false;
    if (!write_all(file.get(), text)) return TrustError::io(errno);
    if (!link_unnamed(file.get(), target.dir, tmp)) {
      if (attempt == 0 && errno != EEXIST) return false;
      return TrustError::io(errno);
    }
    if (::renameat(target.dir, tmp.c_str(), target.dir, target.name) == 0) return true;
    // ENOENT: a concurrent save of the same record took the name for a leftover; a file once
    // named cannot be named again, so write it anew.
    if (errno != ENOENT || attempt == 100) break;
  }
  const int err = errno;
  ::unlinkat(target.dir, tmp.c_str(), 0);
  return TrustError::io(err);
}

auto replace_with_named(FileAt target, std::string_view text) -> Result<void> {
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    tmp = temporary_name(target.name);
    fd = ::openat(target.dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt > 100)) return TrustError::io(errno);
  }
  Fd file(fd);
  if (!write_all(file.get(), text) || ::close(file.release()) != 0) {
    const int err = errno;
    ::unlinkat(target.dir, tmp.c_str(), 0);
    return TrustError::io(err);
  }
  return rename_over(tmp, target);
}

}  // namespace

auto has_status(FileAt file) noexcept -> bool {
  struct stat st;
  return ::fstatat(file.dir, file.name, &st, 0) == 0;
}

auto join_path(const std::string& dir, std::string_view name) -> std::string {
  if (dir.empty()) return std::string(name);
  std::string p;
  p.reserve(dir.size() + 1 + name.size());  // one allocation: record paths are made on every call
  p += dir;
  if (p.back() != '/') p.push_back('/');
  p += name;
  return p;
}

auto has_json_extension(std::string_view name) noexcept -> bool {
  const auto dot = name.rfind('.');
  // A name that begins with its only dot (".json") has no extension.
  if (dot == std::string_view::npos || dot == 0 || name == "..") return false;
  return name.substr(dot + 1) == "json";
}

auto is_valid_utf8(std::string_view s) noexcept -> bool {
  std::size_t i = 0;
  const auto n = s.size();
  while (i < n) {
    // Record texts are mostly ASCII: 32 bytes at a time, then eight, while no byte has its high bit.
    auto word_at = [&](std::size_t at) {
      std::uint64_t word;
      std::memcpy(&word, s.data() + at, 8);
      return word;
    };
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    while (i + 32 <= n && ((word_at(i) | word_at(i + 8) | word_at(i + 16) | word_at(i + 24)) & kHigh) == 0) i += 32;
    while (i + 8 <= n && (word_at(i) & kHigh) == 0) i += 8;
    if (i >= n) break;
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    auto cont = [&](std::size_t k) { return i + k < n && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80; };
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    if (c >= 0xC2 && c <= 0xDF) {
      if (!cont(1)) return false;
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (!cont(1) || !cont(2)) return false;
      if (c == 0xE0 && byte(1) < 0xA0) return false;   // overlong
      if (c == 0xED && byte(1) > 0x9F) return false;   // surrogates
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (!cont(1) || !cont(2) || !cont(3)) return false;
      if (c == 0xF0 && byte(1) < 0x90) return false;
      if (c == 0xF4 && byte(1) > 0x8F) return false;
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

auto FileStore::open(std::string directory) -> Result<FileStore> {
  if (directory.find('\0') != std::string::npos) {
    return TrustError::io_message("file name contained an unexpected NUL byte");
  }
  if (auto r = create_dir_all(directory); !r) return r.error();
  return FileStore(std::move(directory));
}

auto FileStore::open_default() -> Result<FileStore> {
  const char* home = std::getenv("HOME");
  if (home == nullptr) home = std::getenv("USERPROFILE");
  if (home == nullptr) return TrustError::storage("Cannot find home directory");
  return open(join_path(join_path(join_path(home, ".velk"), "governance"), "entities"));
}

auto FileStore::record_path(std::string_view entity_id) const -> Result<std::string> {
  // One digest context per thread, kept: listings may name files on several threads at once.
  thread_local const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  const EVP_MD* md = sha256();
  if (md == nullptr || !ctx || EVP_DigestInit_ex2(ctx.get(), md, nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), entity_id.data(), entity_id.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1 || len != 32) {
    return TrustError::storage("cannot compute the SHA-256 digest that names record files");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  char name[21];
  for (int k = 0; k < 8; ++k) {
    name[2 * k] = kHex[digest[k] >> 4];
    name[2 * k + 1] = kHex[digest[k] & 0xF];
  }
  std::memcpy(name + 16, ".json", 5);
  return join_path(dir_, std::string_view(name, 21));
}

auto FileStore::read_record(FileAt file) -> Result<EntityTrust> {
  std::string text;
  if (auto r = read_file(file, text); !r) return r.error();
  if (!is_valid_utf8(text)) return TrustError::io_message("stream did not contain valid UTF-8");
  return parse_record(text, Timestamp::now());
}

auto replace_file(FileAt file, std::string_view text, bool unnamed) -> Result<void> {
  if (unnamed) {
    auto replaced = replace_with_unnamed(file, text);
    if (!replaced) return replaced.error();
    if (*replaced) return {};
  }
  return replace_with_named(file, text);
}

auto FileStore::save(const EntityTrust& record) const -> Result<void> {
  const auto path = record_path(record.entity_id);
  if (!path) return path.error();
  return save_at(FileAt::path(*path), record);
}

auto FileStore::save_at(FileAt file, const EntityTrust& record) -> Result<void> {
  return replace_file(file, render_record(record));
}

auto FileStore::remove(std::string_view entity_id) const -> Result<bool> {
  const auto path = record_path(entity_id);
  if (!path) return path.error();
  if (!has_status(FileAt::path(*path))) return false;
  if (::unlink(path->c_str()) != 0) return TrustError::io(errno);
  return true;
}

auto FileStore::exists(std::string_view entity_id) const -> Result<bool> {
  const auto path = record_path(entity_id);
  if (!path) return path.error();
  return has_status(FileAt::path(*path));
}

}  // namespace velk

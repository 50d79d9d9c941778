// File primitives of the record directory.
#include "storage/file/file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <memory>
#include <new>

#include "storage/digest.h"
#include "storage/file/directory_lock.h"
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

auto too_large(FileAt file, std::uint64_t size) -> TrustError {
  return TrustError::storage("record file '" + std::string(file.shown) + "' is " + std::to_string(size) +
                             " bytes, more than the " + std::to_string(kMaxRecordFileBytes) +
                             " bytes a record file may have");
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
  if (static_cast<std::uint64_t>(st.st_size) > kMaxRecordFileBytes) return too_large(file, st.st_size);
  // One read for the reported size and a byte more: a regular file reads short only at its end,
  // so a short read ends it; a full one means the file grew, and reading goes on, up to the limit.
  std::size_t size = 0;
  out.resize(static_cast<std::size_t>(st.st_size) + 1);
  for (;;) {
    if (size == out.size()) {
      if (size > kMaxRecordFileBytes) return too_large(file, size);
      out.resize(std::min(out.size() * 2, kMaxRecordFileBytes + 1));
    }
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

// "<name>.<pid>-<n>.tmp": a name of this writer's alone, for when "<name>.tmp" cannot be cleared.
// It ends in ".tmp", so a scan never takes it for a record.
auto unique_temporary_name(std::string_view name) -> std::string {
  static std::atomic<unsigned> counter{0};
  return std::string(name) + "." + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
}

// Clears the name tmp in dir for a new temporary: true when nothing is left there.
auto clear_name(int dir, const std::string& tmp) -> bool {
  return ::unlinkat(dir, tmp.c_str(), 0) == 0 || errno == ENOENT;
}

// True when the file named tmp in dir is the leftover of a save that died between naming and
// renaming its file, or gone: no live saver holds the lock that each keeps on its file while named.
auto is_leftover(int dir, const std::string& tmp) -> bool {
  Fd other(::openat(dir, tmp.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (other.get() < 0) return errno == ENOENT;
  return ::flock(other.get(), LOCK_SH | LOCK_NB) == 0;
}

// Gives the unnamed file fd the name tmp in dir. A leftover there is replaced, so leftovers never
// pile up; a concurrent save's file (or anything that cannot be cleared) is left alone, and tmp
// becomes a name of our own: taking a live saver's name would make it write again, and a fast
// saver could starve a slow one. Returns false with errno set when the system refuses.
auto link_unnamed(int fd, int dir, std::string& tmp) -> bool {
  // Held until the file is renamed or dropped (it is closed then): marks it as a live save's.
  // The file is new and ours alone, so this never waits.
  ::flock(fd, LOCK_EX | LOCK_NB);
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; /proc is refused by some sandboxes (EXDEV).
    if (::linkat(fd, "", dir, tmp.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno != EEXIST && ::linkat(AT_FDCWD, proc.c_str(), dir, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return true;
    }
    if (errno != EEXIST) return false;
    if (!is_leftover(dir, tmp) || !clear_name(dir, tmp)) tmp = unique_temporary_name(tmp);
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

// Errors of an O_TMPFILE open or of naming the file that mean "not on this file system".
auto refuses_unnamed(int err) -> bool {
  return err == EOPNOTSUPP || err == EISDIR || err == EINVAL || err == EXDEV || err == EPERM;
}

}  // namespace

auto has_status(FileAt file) -> Result<bool> {
  struct stat st;
  if (::fstatat(file.dir, file.name, &st, 0) == 0) return true;
  auto error = TrustError::io(errno);
  if (error.is_absence()) return false;
  return error;
}

auto is_content_fault(const TrustError& error) noexcept -> bool {
  switch (error.kind()) {
    case TrustError::Kind::Serialization:
    case TrustError::Kind::Storage:  // too large
      return true;
    case TrustError::Kind::Io:
      switch (error.os_error()) {
        case 0:        // not UTF-8, not a regular file
        case ENOENT:   // removed meanwhile, or a dangling link
        case ENOTDIR:
        case ELOOP:    // a link that leads nowhere
        case EISDIR:
        case ENXIO:    // a socket
        case ENODEV:   // a device without a driver
          return true;
        default:
          return false;
      }
    case TrustError::Kind::InvalidId:
      return false;
  }
  return false;
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
  // OpenSSL starts (reading its configuration) in the thread that opens a store rather than in
  // whichever first names a file, perhaps a daemon thread the interpreter ends at exit. Should it
  // fail now, naming a file tries again.
  start_digests();
  return FileStore(std::move(directory));
}

auto FileStore::open_default() -> Result<FileStore> {
  const char* home = std::getenv("HOME");
  if (home == nullptr) home = std::getenv("USERPROFILE");
  if (home == nullptr) return TrustError::storage("Cannot find home directory");
  return open(join_path(join_path(join_path(home, ".velk"), "governance"), "entities"));
}

auto FileStore::record_path(std::string_view entity_id) const -> Result<std::string> {
  const auto digest = sha256_of(entity_id);
  if (!digest) return digest.error();
  static constexpr char kHex[] = "0123456789abcdef";
  char name[21];
  for (int k = 0; k < 8; ++k) {
    name[2 * k] = kHex[(*digest)[k] >> 4];
    name[2 * k + 1] = kHex[(*digest)[k] & 0xF];
  }
  std::memcpy(name + 16, ".json", 5);
  return join_path(dir_, std::string_view(name, 21));
}

auto FileStore::read_record(FileAt file) -> Result<EntityTrust> {
  std::string text;
  return read_record(file, text);
}

auto FileStore::read_record(FileAt file, std::string& text) -> Result<EntityTrust> {
  if (auto r = read_file(file, text); !r) return r.error();
  if (!is_valid_utf8(text)) return TrustError::io_message("stream did not contain valid UTF-8");
  return parse_record(text, Timestamp::now());
}

auto PendingReplace::unnamed(FileAt file, std::string_view text) -> Result<std::optional<PendingReplace>> {
  const std::string dir = directory_of(file.name);
  Fd fd(::openat(file.dir, dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (fd.get() < 0) {
    if (refuses_unnamed(errno)) return std::optional<PendingReplace>();
    return TrustError::io(errno);
  }
  if (!write_all(fd.get(), text)) return TrustError::io(errno);
  // The record's own name plus ".tmp", so that the next save of the record replaces what a save
  // killed in the instant between naming and renaming leaves.
  std::string tmp = std::string(file.name) + ".tmp";
  if (!link_unnamed(fd.get(), file.dir, tmp)) {
    if (refuses_unnamed(errno)) return std::optional<PendingReplace>();
    return TrustError::io(errno);
  }
  return std::optional(PendingReplace(file, text, std::move(tmp), fd.release()));
}

auto PendingReplace::named(FileAt file, std::string_view text) -> Result<PendingReplace> {
  std::string tmp = std::string(file.name) + ".tmp";
  if (!clear_name(file.dir, tmp)) tmp = unique_temporary_name(file.name);
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    fd = ::openat(file.dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt > 100)) return TrustError::io(errno);
    if (fd < 0) tmp = unique_temporary_name(file.name);
  }
  PendingReplace pending(file, text, std::move(tmp), -1);
  Fd written(fd);
  if (!write_all(written.get(), text) || ::close(written.release()) != 0) return TrustError::io(errno);
  return pending;
}

auto PendingReplace::write(FileAt file, std::string_view text) -> Result<PendingReplace> {
  auto unnamed_file = unnamed(file, text);
  if (!unnamed_file) return unnamed_file.error();
  if (*unnamed_file) return std::move(**unnamed_file);
  return named(file, text);
}

PendingReplace::PendingReplace(PendingReplace&& other) noexcept
    : file_(other.file_),
      text_(other.text_),
      tmp_(std::exchange(other.tmp_, std::string())),
      unnamed_fd_(std::exchange(other.unnamed_fd_, -1)) {}

PendingReplace::~PendingReplace() {
  if (!tmp_.empty()) ::unlinkat(file_.dir, tmp_.c_str(), 0);
  if (unnamed_fd_ >= 0) ::close(unnamed_fd_);
}

auto PendingReplace::commit() -> Result<void> {
  for (int attempt = 0;; ++attempt) {
    if (::renameat(file_.dir, tmp_.c_str(), file_.dir, file_.name) == 0) {
      tmp_.clear();
      return {};
    }
    // ENOENT: something removed the name meanwhile (no save of ours takes a live save's name); a
    // file once named cannot be named again, so the text is written anew.
    if (errno != ENOENT || unnamed_fd_ < 0 || attempt == 10) return TrustError::io(errno);
    tmp_.clear();
    auto again = unnamed(file_, text_);
    if (!again) return again.error();
    if (!*again) return TrustError::io(EOPNOTSUPP);
    tmp_ = std::exchange((*again)->tmp_, std::string());
    std::swap(unnamed_fd_, (*again)->unnamed_fd_);
  }
}

auto replace_file(FileAt file, std::string_view text, bool unnamed) -> Result<void> {
  auto pending = unnamed ? PendingReplace::write(file, text) : PendingReplace::named(file, text);
  if (!pending) return pending.error();
  return pending->commit();
}

auto FileStore::save(const EntityTrust& record, Waiter& waiter) const -> Result<void> {
  const auto path = record_path(record.entity_id);
  if (!path) return path.error();
  const std::string text = render_record(record);
  auto pending = PendingReplace::unnamed(FileAt::path(*path), text);
  if (!pending) return pending.error();
  if (*pending) return (*pending)->commit();
  // The file system refuses unnamed files: the temporary is named, under the lock that makes its
  // name ours.
  DirectoryLock lock;
  if (auto locked = lock.acquire(dir_, waiter); !locked) return locked;
  return replace_file(FileAt::in(lock.fd(), *path), text, false);
}

auto FileStore::exists(std::string_view entity_id, Waiter&) const -> Result<bool> {
  const auto path = record_path(entity_id);
  if (!path) return path.error();
  return has_status(FileAt::path(*path));
}

}  // namespace velk

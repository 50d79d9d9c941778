// Files of the record directory: bounded reads, atomic replacement.
#include "storage/file/files.h"

#include <dirent.h>
#include <stdio.h>  // renameat2
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

// Errors with which a rename or an unlink is known to have changed nothing. After any other (an
// I/O error, a network file system's), whether it took effect is looked up.
auto changed_nothing(int err) -> bool {
  switch (err) {
    case EACCES: case EPERM: case EROFS: case ENOSPC: case EDQUOT: case EXDEV: case EISDIR: case ENOTDIR:
    case EINVAL: case ENOENT: case EEXIST: case ENOTEMPTY: case EBUSY: case ELOOP: case ENAMETOOLONG:
    case EMLINK: case EFAULT: case EBADF: case ENOMEM:
      return true;
    default:
      return false;
  }
}

// What name in dir is, by its status without following a link: the file (device and inode)
// whose identity is given, another one, nothing, or unknown (the status cannot be read).
enum class Found : std::uint8_t { Ours, Other, Nothing, Unknown };
auto look_up(int dir, const char* name, dev_t dev, ino_t ino) -> Found {
  struct stat st;
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? Found::Nothing : Found::Unknown;
  return st.st_dev == dev && st.st_ino == ino ? Found::Ours : Found::Other;
}

// Errors of an O_TMPFILE open or of naming the file that mean "not on this file system".
auto refuses_unnamed(int err) -> bool {
  return err == EOPNOTSUPP || err == EISDIR || err == EINVAL || err == EXDEV || err == EPERM;
}

}  // namespace

auto create_directories(const std::string& path) -> Result<void> { return create_dir_all(path); }

auto read_file(FileAt file, bool* not_regular) -> Result<Stored> {
  Fd fd(::openat(file.dir, file.name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return TrustError::io(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return TrustError::io(errno);
  if (!S_ISREG(st.st_mode)) {
    if (not_regular != nullptr) *not_regular = true;
    if (S_ISDIR(st.st_mode)) return TrustError::io(EISDIR);
    return TrustError::io_message(std::string("the record file is ") + kind_of_file(st.st_mode) +
                                  ", not a regular file");
  }
  Stored stored;
  if (static_cast<std::uint64_t>(st.st_size) > kMaxRecordBytes) {
    stored.oversize = static_cast<std::uint64_t>(st.st_size);
    return stored;
  }
  // Reads go on until one returns nothing: a read may move fewer bytes than asked (a network or
  // FUSE file system, a signal) anywhere in a file. The buffer starts at the reported size and a
  // byte more, and grows, up to the limit, should the file have grown.
  std::string& out = stored.text;
  std::size_t size = 0;
  out.resize(static_cast<std::size_t>(st.st_size) + 1);
  for (;;) {
    if (size == out.size()) {
      if (size > kMaxRecordBytes) {
        stored.oversize = size;
        stored.text.clear();
        return stored;
      }
      out.resize(std::min<std::size_t>(out.size() * 2, kMaxRecordBytes + 1));
    }
    const std::size_t wanted = out.size() - size;
    const auto n = ::read(fd.get(), out.data() + size, wanted);
    if (n < 0) {
      if (errno == EINTR) continue;
      return TrustError::io(errno);
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  out.resize(size);
  return stored;
}

auto is_temporary_name(std::string_view name) noexcept -> bool {
  constexpr std::string_view kJson = ".json.", kTmp = ".tmp";
  if (name.size() < 16 + kJson.size() + kTmp.size() - 1 || !name.ends_with(kTmp)) return false;
  for (const char c : name.substr(0, 16)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return name.substr(16, kJson.size()) == kJson;
}

auto remove_file(FileAt file) -> Result<bool> {
  struct stat st;
  const bool known = ::fstatat(file.dir, file.name, &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (::unlinkat(file.dir, file.name, 0) == 0) return true;
  const int err = errno;
  if (err == ENOENT || err == ENOTDIR) return false;
  if (changed_nothing(err)) return TrustError::io(err);
  // Reported as failed, perhaps after it took effect: the entry tells.
  const Found found = known ? look_up(file.dir, file.name, st.st_dev, st.st_ino) : Found::Unknown;
  if (found == Found::Nothing) return true;
  if (found == Found::Ours) return TrustError::io(err);
  return TrustError::io_unknown(err);
}

auto has_status(FileAt file) -> Result<bool> {
  struct stat st;
  if (::fstatat(file.dir, file.name, &st, 0) == 0) return true;
  auto error = TrustError::io(errno);
  if (error.is_absence()) return false;
  return error;
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
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return TrustError::io(errno);
  return std::optional(PendingReplace(file, text, std::move(tmp), fd.release(), st));
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
  Fd written(fd);
  struct stat st;
  if (::fstat(written.get(), &st) != 0) return TrustError::io(errno);
  PendingReplace pending(file, text, std::move(tmp), -1, st);
  if (!write_all(written.get(), text) || ::close(written.release()) != 0) return TrustError::io(errno);
  return pending;
}

auto PendingReplace::write(FileAt file, std::string_view text) -> Result<PendingReplace> {
  auto unnamed_file = unnamed(file, text);
  if (!unnamed_file) return unnamed_file.error();
  if (*unnamed_file) return std::move(**unnamed_file);
  return named(file, text);
}

PendingReplace::PendingReplace(FileAt file, std::string_view text, std::string tmp, int unnamed_fd,
                               const struct stat& temporary)
    : file_(file), text_(text), tmp_(std::move(tmp)), unnamed_fd_(unnamed_fd), dev_(temporary.st_dev),
      ino_(temporary.st_ino) {}

PendingReplace::PendingReplace(PendingReplace&& other) noexcept
    : file_(other.file_),
      text_(other.text_),
      tmp_(std::exchange(other.tmp_, std::string())),
      unnamed_fd_(std::exchange(other.unnamed_fd_, -1)),
      dev_(other.dev_),
      ino_(other.ino_) {}

PendingReplace::~PendingReplace() {
  if (!tmp_.empty()) ::unlinkat(file_.dir, tmp_.c_str(), 0);
  if (unnamed_fd_ >= 0) ::close(unnamed_fd_);
}

auto PendingReplace::commit() -> Result<void> {
  auto placed = place(false);
  if (!placed) return placed.error();
  return {};
}

auto PendingReplace::commit_new() -> Result<bool> { return place(true); }

// Moves the temporary to the file's name: over what is there, or (only_new) only where nothing is,
// false then when something was.
auto PendingReplace::place(bool only_new) -> Result<bool> {
  for (int attempt = 0;; ++attempt) {
    int placed = only_new ? ::renameat2(file_.dir, tmp_.c_str(), file_.dir, file_.name, RENAME_NOREPLACE)
                          : ::renameat(file_.dir, tmp_.c_str(), file_.dir, file_.name);
    if (placed != 0 && only_new && errno == EINVAL) {
      // A file system without RENAME_NOREPLACE: a hard link is never made over a file either.
      placed = ::linkat(file_.dir, tmp_.c_str(), file_.dir, file_.name, 0);
      if (placed == 0) ::unlinkat(file_.dir, tmp_.c_str(), 0);
    }
    if (placed == 0) {
      tmp_.clear();
      return true;
    }
    const int err = errno;
    if (only_new && err == EEXIST) return false;
    if (!changed_nothing(err)) {
      // Reported as failed, perhaps after it took effect (a network file system does so): where
      // our file stands tells.
      const Found at_file = look_up(file_.dir, file_.name, dev_, ino_);
      if (at_file == Found::Ours) {
        tmp_.clear();
        return true;
      }
      if (at_file == Found::Unknown || look_up(file_.dir, tmp_.c_str(), dev_, ino_) != Found::Ours) {
        tmp_.clear();  // the temporary is no longer ours to remove
        return TrustError::io_unknown(err);
      }
      return TrustError::io(err);
    }
    // ENOENT: something removed the name meanwhile (no save of ours takes a live save's name); a
    // file once named cannot be named again, so the text is written anew.
    if (err != ENOENT || unnamed_fd_ < 0 || attempt == 10) return TrustError::io(err);
    tmp_.clear();
    auto again = unnamed(file_, text_);
    if (!again) return again.error();
    if (!*again) return TrustError::io(EOPNOTSUPP);
    tmp_ = std::exchange((*again)->tmp_, std::string());
    std::swap(unnamed_fd_, (*again)->unnamed_fd_);
    dev_ = (*again)->dev_;
    ino_ = (*again)->ino_;
  }
}

auto replace_file(FileAt file, std::string_view text, bool unnamed) -> Result<void> {
  auto pending = unnamed ? PendingReplace::write(file, text) : PendingReplace::named(file, text);
  if (!pending) return pending.error();
  return pending->commit();
}

}  // namespace velk

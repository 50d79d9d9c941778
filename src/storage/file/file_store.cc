// File primitives of the record directory.
#include "storage/file/file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
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

auto read_file(const std::string& path, std::string& out) -> Result<void> {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return TrustError::io(errno);
  char buf[8192];
  for (;;) {
    const auto n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return TrustError::io(errno);
    }
    if (n == 0) return {};
    out.append(buf, static_cast<std::size_t>(n));
  }
}

}  // namespace

auto has_status(const std::string& path) noexcept -> bool {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

auto join_path(const std::string& dir, std::string_view name) -> std::string {
  if (dir.empty()) return std::string(name);
  std::string p = dir;
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

auto FileStore::record_path(std::string_view entity_id) const -> std::string {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(entity_id.data(), entity_id.size(), digest, &len, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  char name[21];
  for (int k = 0; k < 8; ++k) {
    name[2 * k] = kHex[digest[k] >> 4];
    name[2 * k + 1] = kHex[digest[k] & 0xF];
  }
  std::memcpy(name + 16, ".json", 5);
  return join_path(dir_, std::string_view(name, 21));
}

auto FileStore::read_record(const std::string& path) -> Result<EntityTrust> {
  std::string text;
  if (auto r = read_file(path, text); !r) return r.error();
  if (!is_valid_utf8(text)) return TrustError::io_message("stream did not contain valid UTF-8");
  auto parsed = parse_record(text, Timestamp::now());
  if (auto* message = std::get_if<std::string>(&parsed)) return TrustError::serialization(std::move(*message));
  return std::get<EntityTrust>(std::move(parsed));
}

auto FileStore::save(const EntityTrust& record) const -> Result<void> {
  const std::string path = record_path(record.entity_id);
  const std::string text = render_record(record);
  // The temporary name ends in ".tmp", so a scan never takes it for a record.
  static std::atomic<unsigned> counter{0};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    tmp = path + "." + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt > 100)) return TrustError::io(errno);
  }
  Fd file(fd);
  if (!write_all(file.get(), text)) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return TrustError::io(err);
  }
  if (::close(file.release()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return TrustError::io(err);
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return TrustError::io(err);
  }
  return {};
}

auto FileStore::remove(std::string_view entity_id) const -> Result<bool> {
  const std::string path = record_path(entity_id);
  if (!has_status(path)) return false;
  if (::unlink(path.c_str()) != 0) return TrustError::io(errno);
  return true;
}

auto FileStore::exists(std::string_view entity_id) const -> bool { return has_status(record_path(entity_id)); }

auto FileStore::scan_records() const -> Result<std::vector<EntityTrust>> {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(dir_.c_str()), ::closedir);
  if (!dir) return TrustError::io(errno);
  std::vector<EntityTrust> records;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return TrustError::io(errno);
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == ".." || !has_json_extension(name)) continue;
    auto record = read_record(join_path(dir_, name));
    if (record) records.push_back(std::move(*record));
  }
  return records;
}

}  // namespace velk

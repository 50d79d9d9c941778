// Checking the record directory: every entry read and given a verdict, nothing written.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "storage/file/file_store.h"
#include "storage/file/listing.h"

namespace velk {
namespace {

// "<16 hex digits>.json.<anything>.tmp" or "<16 hex digits>.json.tmp": what a save names its files.
auto is_temporary_name(std::string_view name) -> bool {
  constexpr std::string_view kJson = ".json.", kTmp = ".tmp";
  if (name.size() < 16 + kJson.size() + kTmp.size() - 1 || !name.ends_with(kTmp)) return false;
  for (const char c : name.substr(0, 16)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return name.substr(16, kJson.size()) == kJson;
}

auto entry_exists(int dir, std::string_view name) -> bool {
  struct stat st;
  return ::fstatat(dir, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

auto is_not_regular(const TrustError& error) -> bool {
  return error.os_error() == EISDIR || error.os_error() == ENXIO || error.os_error() == ENODEV ||
         (error.kind() == TrustError::Kind::Io && error.os_error() == 0 &&
          error.detail().ends_with(", not a regular file"));
}

}  // namespace

auto FileStore::check(Waiter& waiter) const -> Result<std::vector<Finding>> {
  SteppedAside away(waiter);
  InterruptCheck interrupted(waiter);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(dir_.c_str()), ::closedir);
  if (!dir) return TrustError::io(errno);
  std::vector<Finding> findings;
  auto listed = for_each_entry(dir.get(), interrupted, [&](std::string_view name) -> Result<void> {
    Finding finding{join_path(dir_, name), Finding::Verdict::Unknown, std::nullopt, {}};
    if (has_json_extension(name)) {
      auto read = read_record(FileAt::in(::dirfd(dir.get()), finding.path));
      if (read) {
        auto own = record_path(read->entity_id);
        if (!own) return own.error();
        const bool at_home = std::string_view(*own).substr(own->rfind('/') + 1) == name;
        finding.verdict = at_home ? Finding::Verdict::Record : Finding::Verdict::Misplaced;
        if (!at_home) finding.detail = std::move(*own);
        finding.record = std::move(*read);
      } else if (read.error().os_error() == ENOENT && !entry_exists(::dirfd(dir.get()), name)) {
        return {};  // removed meanwhile (a link that leads nowhere stays, and is unreadable)
      } else if (is_not_regular(read.error())) {
        finding.verdict = Finding::Verdict::NotRegular;
        finding.detail = read.error().text();
      } else if (is_content_fault(read.error())) {
        finding.verdict = Finding::Verdict::Unreadable;
        finding.detail = read.error().text();
      } else {
        return read.error();
      }
    } else if (is_temporary_name(name)) {
      finding.verdict = Finding::Verdict::Temporary;
    }
    findings.push_back(std::move(finding));
    return {};
  });
  if (!listed) return listed.error();
  return findings;
}

}  // namespace velk

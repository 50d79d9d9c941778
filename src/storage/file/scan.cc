// Scanning the record directory: every entry in directory order, the *.json files read on a few
// threads when there are many.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "common/thread_storage.h"
#include "storage/file/file_backend.h"
#include "storage/file/files.h"
#include "storage/file/listing.h"

namespace velk {
namespace {

// Below this many files one thread reads them all: starting threads would cost more.
constexpr std::size_t kFilesPerThread = 256;
constexpr std::size_t kMaxThreads = 4;
// Files taken at a time by a thread.
constexpr std::size_t kBatch = 32;

auto entry_exists(int dir, const char* name) -> bool {
  struct stat st;
  return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

struct Named {
  std::string path;
  Entry::Shape shape;
};

// The entries of dir handed to sink, read on up to kMaxThreads threads (the calling one among
// them, which alone asks the waiter).
auto scan_directory(const std::string& directory, Scope scope, ScanSink& sink, Waiter& waiter) -> Result<void> {
  InterruptCheck interrupted(waiter);
  // Kept open until every file is read: the files are opened through it by their names.
  // The empty path (the working directory) cannot be listed: ENOENT.
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
  if (!dir) return TrustError::io(errno);
  std::vector<Named> names;
  auto listed = for_each_entry(dir.get(), interrupted, [&](std::string_view name) -> Result<void> {
    if (has_json_extension(name)) {
      names.push_back({join_path(directory, name), Entry::Shape::Record});
    } else if (scope == Scope::Everything) {
      names.push_back({join_path(directory, name), is_temporary_name(name) ? Entry::Shape::Temporary : Entry::Shape::Other});
    }
    return {};
  });
  if (!listed) return listed;
  sink.expect(names.size());

  // Each thread takes batches of entries and hands each to the sink under its number, so the order
  // stays the directory's. If the caller asks to stop, or the sink refuses an entry, the others
  // stop before their next one. Every thread is joined before this returns.
  const int dir_fd = ::dirfd(dir.get());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::optional<TrustError> error;
  std::exception_ptr failure;
  std::atomic_flag failure_taken;
  auto one = [&](std::size_t k) -> Result<void> {
    Named& named = names[k];
    const FileAt file = FileAt::in(dir_fd, named.path);
    std::string key = file.name;
    Entry entry{named.shape, Place{std::move(named.path), std::move(key)}, Stored{}};
    if (entry.shape == Entry::Shape::Record) {
      bool not_regular = false;
      entry.read = read_file(file, &not_regular);
      // Gone since it was listed: no entry at all (a link that leads nowhere stays).
      if (!entry.read && entry.read.error().os_error() == ENOENT && !entry_exists(dir_fd, file.name)) return {};
      if (not_regular) entry.shape = Entry::Shape::NotRegular;
    }
    return sink.take(k, std::move(entry));
  };
  auto work = [&](bool caller) {
    // Before this helper's first allocation; without memory for it, the others read its share.
    if (!caller && !ready_thread_storage()) return;
    try {
      for (;;) {
        if (stop.load(std::memory_order_relaxed)) return;
        const std::size_t first = next.fetch_add(kBatch);
        if (first >= names.size()) return;
        for (std::size_t k = first; k < std::min(first + kBatch, names.size()); ++k) {
          if (caller && interrupted()) stop = true;
          if (stop.load(std::memory_order_relaxed)) return;
          if (auto taken = one(k); !taken) {
            if (!failure_taken.test_and_set()) error = taken.error();
            stop = true;
          }
        }
      }
    } catch (...) {
      stop = true;
      // A forced unwind (an exiting interpreter ends this thread) is no exception of ours: it goes
      // on, and the helpers, stopped, are joined on its way.
      if (!std::current_exception()) throw;
      // An internal failure (memory): kept to be raised by the caller, and the others stop.
      if (!failure_taken.test_and_set()) failure = std::current_exception();
    }
  };
  const std::size_t threads = std::min({kMaxThreads, std::max<std::size_t>(1, names.size() / kFilesPerThread),
                                        static_cast<std::size_t>(std::max(1u, std::thread::hardware_concurrency()))});
  {
    std::vector<std::jthread> helpers;
    try {
      helpers.reserve(threads - 1);
      while (helpers.size() + 1 < threads) helpers.emplace_back(work, false);
    } catch (const std::exception&) {
      // No thread to be had (memory, process limits): the helpers started so far and this one read.
    }
    work(true);
  }
  if (failure) std::rethrow_exception(failure);
  if (error) return *error;
  if (stop) return TrustError::io(EINTR);
  sink.finish();
  return {};
}

}  // namespace

auto FileBackend::scan(Call& cx, std::optional<std::string_view>, Scope scope, ScanSink& sink) const
    -> Task<Result<void>> {
  Result<void> scanned;
  auto work = [&](Waiter& waiter) { scanned = scan_directory(directory(), scope, sink, waiter); };
  co_await cx.work(work);
  co_return scanned;
}

}  // namespace velk

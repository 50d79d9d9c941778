// Listing the record directory: every *.json file read and parsed, on a few threads when there are
// many, in directory order.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <memory>
#include <optional>
#include <thread>

#include "storage/file/file_store.h"
#include "storage/file/listing.h"

namespace velk {
namespace {

// Below this many files one thread reads them all: starting threads would cost more.
constexpr std::size_t kFilesPerThread = 256;
constexpr std::size_t kMaxThreads = 4;
// Files taken at a time by a thread.
constexpr std::size_t kBatch = 32;

}  // namespace

auto FileStore::scan_records(Waiter& waiter) const -> Result<std::vector<Scanned>> {
  SteppedAside away(waiter);
  InterruptCheck interrupted(waiter);
  std::vector<std::string> paths;
  // Kept open until every file is read: the files are opened through it by their names.
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(dir_.c_str()), ::closedir);
  if (!dir) return TrustError::io(errno);
  auto listed = for_each_entry(dir.get(), interrupted, [&](std::string_view name) -> Result<void> {
    if (has_json_extension(name)) paths.push_back(join_path(dir_, name));
    return {};
  });
  if (!listed) return listed.error();

  // Each thread takes batches of files and parses them into their own slots, so the order stays
  // the directory's. Only the calling thread asks the waiter; if it asks to stop, or a thread meets
  // a failure of the system rather than of one file, the others stop before their next file. Every
  // thread is joined before the results are read.
  std::vector<std::optional<EntityTrust>> records(paths.size());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::optional<TrustError> error;
  std::exception_ptr failure;
  std::atomic_flag failure_taken;
  auto work = [&](bool caller) {
    try {
      for (;;) {
        if (stop.load(std::memory_order_relaxed)) return;
        const std::size_t first = next.fetch_add(kBatch);
        if (first >= paths.size()) return;
        for (std::size_t k = first; k < std::min(first + kBatch, paths.size()); ++k) {
          if (caller && interrupted()) stop = true;
          if (stop.load(std::memory_order_relaxed)) return;
          auto r = read_record(FileAt::in(::dirfd(dir.get()), paths[k]));
          if (r) {
            records[k] = std::move(*r);
          } else if (!is_content_fault(r.error())) {
            if (!failure_taken.test_and_set()) error = r.error();
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
  const std::size_t threads = std::min({kMaxThreads, std::max<std::size_t>(1, paths.size() / kFilesPerThread),
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

  std::vector<Scanned> scanned;
  scanned.reserve(paths.size());
  for (std::size_t k = 0; k < paths.size(); ++k) {
    if (records[k]) scanned.push_back({std::move(paths[k]), std::move(*records[k])});
  }
  return scanned;
}

}  // namespace velk

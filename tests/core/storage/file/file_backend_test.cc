// The record directory's files and the store's operations on it, in a fresh temporary directory.
#include "storage/file/file_backend.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <tuple>

#include "storage/file/files.h"
#include "storage/record/record_text.h"
#include "tests/core/storage/blocking_store.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

// A store on a directory, with its record paths.
class Opened : public BlockingStore {
 public:
  Opened(const FileBackend* files, std::unique_ptr<const Backend> backend)
      : BlockingStore(std::move(backend)), files_(files) {}
  auto record_path(std::string_view id) const { return files_->record_path(id); }

 private:
  const FileBackend* files_;
};

auto open(const std::string& dir) -> Opened {
  auto backend = std::move(*FileBackend::open(dir));
  const FileBackend* files = backend.get();
  return Opened(files, std::move(backend));
}

class FileBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velk_store_XXXXXX";
    dir_ = ::mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }

  auto store() -> Opened { return open(dir_); }
  void write(const std::string& name, const std::string& text) { std::ofstream(dir_ + "/" + name) << text; }

  std::string dir_;
};

TEST_F(FileBackendTest, RecordPathIsTheDigestPrefix) {
  const auto s = store();
  EXPECT_EQ(s.record_path("abc").value(), dir_ + "/ba7816bf8f01cfea.json");
  EXPECT_NE(s.record_path("mcp:abc").value(), s.record_path("MCP:abc").value());
  EXPECT_EQ(open("").record_path("abc").value(), "ba7816bf8f01cfea.json");
  EXPECT_EQ(open(dir_ + "/").record_path("abc").value(), dir_ + "/ba7816bf8f01cfea.json");
}

TEST_F(FileBackendTest, OpenCreatesAncestorsAndRefusesFiles) {
  ASSERT_TRUE(FileBackend::open(dir_ + "/a/b/c"));
  EXPECT_TRUE(fs::is_directory(dir_ + "/a/b/c"));
  write("file", "x");
  auto in_the_way = FileBackend::open(dir_ + "/file");
  ASSERT_FALSE(in_the_way);
  EXPECT_EQ(in_the_way.error().text(), "IO error: File exists (os error 17)");
  auto below_file = FileBackend::open(dir_ + "/file/sub");
  ASSERT_FALSE(below_file);
  EXPECT_EQ(below_file.error().text(), "IO error: Not a directory (os error 20)");
  auto nul = FileBackend::open(std::string("a\0b", 3));
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().text(), "IO error: file name contained an unexpected NUL byte");
  EXPECT_TRUE(FileBackend::open(""));
}

TEST_F(FileBackendTest, GetCreatesOnceThenReads) {
  const auto s = store();
  EXPECT_FALSE(*s.exists("session:abc"));
  const auto first = s.get("session:abc");
  ASSERT_TRUE(first);
  EXPECT_TRUE(*s.exists("session:abc"));
  EXPECT_EQ(first->entity_type, "session");
  const auto second = s.get("session:abc");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->created_at, first->created_at);
  const auto plain = s.get("plainname");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->entity_type, "");
}

TEST_F(FileBackendTest, DeleteAndExists) {
  const auto s = store();
  EXPECT_EQ(*s.remove("x:y"), false);
  ASSERT_TRUE(s.get("x:y"));
  EXPECT_EQ(*s.remove("x:y"), true);
  EXPECT_EQ(*s.remove("x:y"), false);
  EXPECT_FALSE(*s.exists("x:y"));
}

TEST_F(FileBackendTest, DirectoryAtARecordPath) {
  const auto s = store();
  fs::create_directory(s.record_path("d:1").value());
  EXPECT_TRUE(*s.exists("d:1"));
  auto read = s.get("d:1");
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().text(), "IO error: Is a directory (os error 21)");
  auto removed = s.remove("d:1");
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error().kind(), TrustError::Kind::Io);
  auto saved = s.save(EntityTrust::create("d:1"));
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().kind(), TrustError::Kind::Io);
  EXPECT_EQ(*s.list(std::nullopt), std::vector<std::string>{});
}

TEST_F(FileBackendTest, BrokenFilesFailByNameButNotListing) {
  const auto s = store();
  std::ofstream(s.record_path("b:1").value()) << "{not json";
  std::ofstream(s.record_path("b:2").value()) << "{\"entity_id\":\"b:2\xff\"}";
  auto broken = s.get("b:1");
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().text(), "Serialization error: key must be a string at line 1 column 2");
  auto update = s.update("b:1", true, 1.0);
  ASSERT_FALSE(update);
  EXPECT_EQ(update.error().text().rfind("Serialization error: ", 0), 0u);
  auto not_utf8 = s.witness("w:1", "b:2", true, 1.0);
  ASSERT_FALSE(not_utf8);
  EXPECT_EQ(not_utf8.error().text(), "IO error: stream did not contain valid UTF-8");
  EXPECT_FALSE(*s.exists("w:1"));  // the target failed first
  ASSERT_TRUE(s.get("ok:1"));
  EXPECT_EQ(*s.list(std::nullopt), std::vector<std::string>{"ok:1"});
  EXPECT_EQ(*s.remove("b:1"), true);
}

TEST_F(FileBackendTest, ScanTakesOnlyJsonFiles) {
  const auto s = store();
  auto record = [](const char* id) {
    auto r = EntityTrust::create(id);
    auto [type, name] = split_entity_id(id);
    r.entity_type = type;
    return render_record(r);
  };
  write("notes.json", record("x:y"));
  write("x.y.json", record("mcp:z"));
  write("broken.json", "{");
  write(".json", record("hidden:1"));
  write("a.JSON", record("upper:1"));
  write("a.json.bak", record("bak:1"));
  write("a.txt", record("txt:1"));
  fs::create_directory(dir_ + "/sub.json");
  auto ids = *s.list(std::nullopt);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"mcp:z", "x:y"}));
  EXPECT_EQ(*s.list(EntityType::Mcp), std::vector<std::string>{"mcp:z"});
  EXPECT_TRUE(s.list(EntityType::Other)->empty());

  // Fetched again by identifier: the copied file is not at mcp:z's own path, so a fresh record is made.
  const auto by_kind = *s.records_of_kind(EntityType::Mcp);
  ASSERT_EQ(by_kind.size(), 1u);
  EXPECT_EQ(by_kind[0].entity_id, "mcp:z");
  EXPECT_TRUE(fs::exists(s.record_path("mcp:z").value()));
  EXPECT_EQ(s.list(EntityType::Mcp)->size(), 2u);
}

TEST_F(FileBackendTest, KindMatchingIsExact) {
  const auto s = store();
  for (const char* id : {"other:x", "agent:x", "plain", "mcp:a", "MCP:b"}) ASSERT_TRUE(s.get(id));
  EXPECT_EQ(*s.list(EntityType::Other), std::vector<std::string>{"other:x"});
  EXPECT_EQ(*s.list(EntityType::Mcp), std::vector<std::string>{"mcp:a"});
}

TEST_F(FileBackendTest, UpdateAndWitness) {
  const auto s = store();
  const auto updated = s.update("a:b", true, 1.0);
  ASSERT_TRUE(updated);
  EXPECT_EQ(updated->action_count, 1u);
  EXPECT_EQ(updated->success_count, 1u);
  EXPECT_EQ(s.get("a:b")->action_count, 1u);

  const auto pair = s.witness("a:1", "b:2", true, 0.5);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->first.entity_id, "a:1");
  EXPECT_EQ(pair->first.has_witnessed, std::vector<std::string>{"b:2"});
  EXPECT_EQ(pair->second.witnessed_by, std::vector<std::string>{"a:1"});
  EXPECT_EQ(pair->second.witness_count, 1u);

  const auto self = s.witness("s:1", "s:1", true, 1.0);
  ASSERT_TRUE(self);
  EXPECT_EQ(self->first.witness_count, 1u);
  EXPECT_EQ(self->first.has_witnessed, std::vector<std::string>{"s:1"});
  EXPECT_TRUE(self->second.has_witnessed.empty());
  const auto stored = *s.get("s:1");
  EXPECT_EQ(stored.witness_count, 1u);
  EXPECT_EQ(stored.t3.temperament, self->first.t3.temperament);
}

TEST_F(FileBackendTest, SaveReplacesTheFileAndLeavesNoTemporary) {
  const auto s = store();
  auto r = *s.get("a:b");
  r.t3.talent = 0.9;
  ASSERT_TRUE(s.save(r));
  EXPECT_EQ(s.get("a:b")->t3.talent, 0.9);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{fs::path(s.record_path("a:b").value()).filename()});
  struct stat st;
  ASSERT_EQ(::stat(s.record_path("a:b").value().c_str(), &st), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

// Both ways of replacing a file, the unnamed temporary file and the named fallback, each by path
// and through a directory descriptor: whole texts only for a concurrent reader, the writer's mode,
// nothing left beside the file, errors reported.
TEST_F(FileBackendTest, ReplaceFileIsAtomicEitherWay) {
  const std::string a(300'000, 'a'), b(200'000, 'b');
  const int dir_fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir_fd, 0);
  for (const bool unnamed : {true, false}) {
    for (const bool through_dir : {false, true}) {
      SCOPED_TRACE(std::string(unnamed ? "unnamed" : "named") + (through_dir ? ", through the directory" : ""));
      const std::string path = dir_ + (unnamed ? "/u.json" : "/n.json");
      const FileAt file = through_dir ? FileAt::in(dir_fd, path) : FileAt::path(path);
      ASSERT_TRUE(replace_file(file, a, unnamed));
      const pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        for (int k = 0;; ++k) (void)replace_file(file, k % 2 ? a : b, unnamed);
      }
      for (int k = 0; k < 300; ++k) {
        std::ifstream in(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_TRUE(text == a || text == b) << "a torn text of " << text.size() << " bytes";
      }
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
      for (const auto& e : fs::directory_iterator(dir_)) {
        if (e.path().extension() == ".tmp") fs::remove(e.path());  // a named file the kill interrupted
      }
      ASSERT_TRUE(replace_file(file, "{}", unnamed));
      struct stat st;
      ASSERT_EQ(::stat(path.c_str(), &st), 0);
      const mode_t mask = ::umask(0);
      ::umask(mask);
      EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
      EXPECT_EQ(st.st_size, 2);
      const std::string gone = dir_ + "/gone/x.json";
      auto missing = replace_file(through_dir ? FileAt{dir_fd, "gone/x.json"} : FileAt::path(gone), "{}", unnamed);
      ASSERT_FALSE(missing);
      EXPECT_EQ(missing.error().text(), "IO error: No such file or directory (os error 2)");
      fs::remove(path);
      EXPECT_TRUE(fs::is_empty(dir_));
    }
  }
  ::close(dir_fd);
}

// Two new texts are both written before either replaces its file; one dropped before its commit
// leaves nothing behind and its file as it was.
TEST_F(FileBackendTest, PendingReplacesWriteBeforeTheyReplace) {
  const int dir_fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir_fd, 0);
  const std::string a = dir_ + "/a.json", b = dir_ + "/b.json";
  write("a.json", "old a");
  auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed" : "named");
    {
      auto first = unnamed ? PendingReplace::write(FileAt::in(dir_fd, a), "new a")
                           : PendingReplace::named(FileAt::in(dir_fd, a), "new a");
      ASSERT_TRUE(first);
      auto second = PendingReplace::named(FileAt::in(dir_fd, b), "new b");
      ASSERT_TRUE(second);
      EXPECT_EQ(read(a), "old a");
      EXPECT_FALSE(fs::exists(b));
      ASSERT_TRUE(first->commit());
      EXPECT_EQ(read(a), "new a");
      EXPECT_FALSE(fs::exists(b));  // second dropped here, uncommitted
    }
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"a.json"});
    write("a.json", "old a");
  }
  ::close(dir_fd);
}

// A call that waited for the directory lock works in the directory it locked, even when the
// store's path names another directory by the time the lock is granted.
TEST_F(FileBackendTest, LockedCallsWorkInTheDirectoryTheyLocked) {
  struct Waiting : Waiter {
    std::atomic<bool> waiting{false};
    void leave() noexcept override { waiting = true; }
  };
  using Calling = std::function<bool(const Opened&, Waiter&)>;
  using Check = std::function<void(const Opened&)>;
  const std::vector<std::tuple<const char*, Calling, Check>> calls = {
      {"update", [](const Opened& s, Waiter& w) { return bool(s.update("x:y", true, 1.0, w)); },
       [](const Opened& s) { EXPECT_EQ(s.get("x:y")->action_count, 1u); }},
      {"witness", [](const Opened& s, Waiter& w) { return bool(s.witness("w:1", "x:y", true, 1.0, w)); },
       [](const Opened& s) {
         EXPECT_EQ(s.get("x:y")->witness_count, 1u);
         EXPECT_TRUE(*s.exists("w:1"));
       }},
      {"get creating", [](const Opened& s, Waiter& w) { return bool(s.get("n:1", w)); },
       [](const Opened& s) { EXPECT_TRUE(*s.exists("n:1")); }},
  };
  const std::string a = dir_ + "/a", b = dir_ + "/b";
  for (const auto& [name, call, check] : calls) {
    SCOPED_TRACE(name);
    const auto s = open(a);
    ASSERT_TRUE(s.get("x:y"));
    const int held = ::open(a.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    Waiting waiter;
    bool done = false;
    std::thread caller([&, &call = call] { done = call(s, waiter); });
    while (!waiter.waiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fs::rename(a, b);
    fs::create_directory(a);
    ::close(held);
    caller.join();
    ASSERT_TRUE(done);
    EXPECT_TRUE(fs::is_empty(a));
    check(open(b));
    fs::remove_all(a);
    fs::remove_all(b);
  }
}

TEST_F(FileBackendTest, VanishedDirectory) {
  const auto s = store();
  fs::remove_all(dir_);
  for (auto error : {s.get("a:b").error(), s.update("a:b", true, 1).error(), s.list(std::nullopt).error()}) {
    EXPECT_EQ(error.text(), "IO error: No such file or directory (os error 2)");
  }
}

TEST(FileBackendDefaultTest, HomeThenUserProfile) {
  const char* home = std::getenv("HOME");
  const std::string saved = home != nullptr ? home : "";
  char tmpl[] = "/tmp/velk_home_XXXXXX";
  const std::string base = ::mkdtemp(tmpl);
  ::setenv("HOME", (base + "/h").c_str(), 1);
  EXPECT_EQ(*FileBackend::default_directory(), base + "/h/.velk/governance/entities");
  ::setenv("HOME", (base + "/h/").c_str(), 1);
  EXPECT_EQ(*FileBackend::default_directory(), base + "/h/.velk/governance/entities");
  ::unsetenv("HOME");
  ::setenv("USERPROFILE", (base + "/u").c_str(), 1);
  EXPECT_EQ(*FileBackend::default_directory(), base + "/u/.velk/governance/entities");
  ::unsetenv("USERPROFILE");
  auto none = FileBackend::default_directory();
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().text(), "Storage error: Cannot find home directory");
  if (home != nullptr) ::setenv("HOME", saved.c_str(), 1);
  fs::remove_all(base);
}

}  // namespace
}  // namespace velk

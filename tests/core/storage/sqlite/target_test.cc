// What a "sqlite:" text names: the file's path taken literally up to a '?', and its parameters.
#include <gtest/gtest.h>

#include <string>

#include "storage/sqlite/sqlite_backend.h"

namespace velk::lite {
namespace {

TEST(TargetTest, ThePathIsTakenLiterallyUpToAQuestionMark) {
  struct Case {
    const char* text;
    const char* path;
    Synchronous synchronous;
  };
  const Case cases[] = {
      {"sqlite:/var/lib/trust.db", "/var/lib/trust.db", Synchronous::Full},
      {"sqlite:trust.db", "trust.db", Synchronous::Full},
      {"sqlite:./a b/c%20d.db", "./a b/c%20d.db", Synchronous::Full},
      {"sqlite:file:x.db", "file:x.db", Synchronous::Full},
      {"sqlite:/t.db?synchronous=normal", "/t.db", Synchronous::Normal},
      {"sqlite:/t.db?synchronous=NORMAL", "/t.db", Synchronous::Normal},
      {"sqlite:/t.db?synchronous=full", "/t.db", Synchronous::Full},
      {"sqlite:/t.db?", "/t.db", Synchronous::Full},
  };
  for (const Case& c : cases) {
    auto target = target_of(c.text);
    ASSERT_TRUE(target) << c.text << ": " << target.error().text();
    EXPECT_EQ(target->path, c.path) << c.text;
    EXPECT_EQ(target->synchronous, c.synchronous) << c.text;
  }
}

TEST(TargetTest, FaultsAreNamed) {
  const std::pair<std::string, std::string> cases[] = {
      {"sqlite:", "Storage error: the database file's path is empty in 'sqlite:'"},
      {"sqlite:?synchronous=full", "Storage error: the database file's path is empty in 'sqlite:?synchronous=full'"},
      {"sqlite:/t.db?synchronous=off",
       "Storage error: synchronous='off' in 'sqlite:/t.db?synchronous=off': a store takes synchronous=full or "
       "synchronous=normal"},
      {"sqlite:/t.db?cache=shared",
       "Storage error: unknown parameter 'cache' in 'sqlite:/t.db?cache=shared': a store takes synchronous=full or "
       "synchronous=normal"},
      {std::string("sqlite:/t\0.db", 13), "IO error: file name contained an unexpected NUL byte"},
  };
  for (const auto& [text, message] : cases) {
    auto target = target_of(text);
    ASSERT_FALSE(target) << text;
    EXPECT_EQ(target.error().text(), message);
  }
}

}  // namespace
}  // namespace velk::lite

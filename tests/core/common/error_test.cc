// TrustError texts.
#include "common/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace velk {
namespace {

TEST(ErrorTest, Texts) {
  EXPECT_EQ(TrustError::storage("Cannot find home directory").text(), "Storage error: Cannot find home directory");
  EXPECT_EQ(TrustError::serialization("m").text(), "Serialization error: m");
  EXPECT_EQ(TrustError::invalid_id("d").text(), "Invalid entity ID format: d");
  EXPECT_EQ(TrustError::io(ENOENT).text(), "IO error: No such file or directory (os error 2)");
  EXPECT_EQ(TrustError::io(EACCES).text(), "IO error: Permission denied (os error 13)");
  EXPECT_EQ(TrustError::io_message("stream did not contain valid UTF-8").text(),
            "IO error: stream did not contain valid UTF-8");
}

TEST(ErrorTest, ResultHoldsValueOrError) {
  Result<int> ok = 3;
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, 3);
  Result<int> bad = TrustError::storage("s");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), TrustError::Kind::Storage);
  Result<void> done;
  EXPECT_TRUE(done);
}

}  // namespace
}  // namespace velk

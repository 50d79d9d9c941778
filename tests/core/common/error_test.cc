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

TEST(ErrorTest, WhatAProgramActsOn) {
  // Trying again may help when the system was busy or exhausted, not when the request was wrong.
  for (const int err : {EAGAIN, EINTR, EMFILE, ENFILE, ENOMEM, EBUSY, ETIMEDOUT}) EXPECT_TRUE(TrustError::io(err).transient()) << err;
  for (const int err : {EACCES, ENOENT, EIO, ENOSPC, EROFS}) EXPECT_FALSE(TrustError::io(err).transient()) << err;
  EXPECT_FALSE(TrustError::serialization("m").transient());
  EXPECT_TRUE(TrustError::storage("lost").as_transient().transient());
  const auto unknown = TrustError::io_unknown(EIO);
  EXPECT_EQ(unknown.text(), "IO error: Input/output error (os error 5); the change may or may not have been made");
  EXPECT_TRUE(unknown.outcome_unknown());
  EXPECT_EQ(unknown.os_error(), EIO);
  auto placed = TrustError::serialization("m");
  placed.at("/r/a.json").about("a:b").noted("in record file '/r/a.json'");
  EXPECT_EQ(placed.place(), "/r/a.json");
  EXPECT_EQ(placed.entity_id(), "a:b");
  EXPECT_EQ(placed.notes(), std::vector<std::string>{"in record file '/r/a.json'"});
  EXPECT_EQ(placed.text(), "Serialization error: m");
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

// Lenient split, strict parse and type queries.
#include "entity/trust/entity_id.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

struct IdCase {
  const char* input;
  const char* type;
  const char* name;
  EntityType kind;
  const char* parsed_name;  // nullptr: parse fails
};

TEST(EntityIdTest, SplitAndParse) {
  const IdCase cases[] = {
      {"mcp:server-1", "mcp", "server-1", EntityType::Mcp, "server-1"},
      {"session:a:b", "session", "a:b", EntityType::Session, "a:b"},
      {"ref:", "ref", "", EntityType::Ref, ""},
      {":x", "", "x", EntityType::Other, ":x"},
      {"MCP:x", "MCP", "x", EntityType::Other, "MCP:x"},
      {"agent:x", "agent", "x", EntityType::Other, "agent:x"},
      {"other:x", "other", "x", EntityType::Other, "other:x"},
      {"role:r", "role", "r", EntityType::Role, "r"},
      {"lct:l", "lct", "l", EntityType::Lct, "l"},
      {"plainname", "", "plainname", EntityType::Other, nullptr},
      {"", "", "", EntityType::Other, nullptr},
  };
  for (const auto& c : cases) {
    const auto [type, name] = split_entity_id(c.input);
    EXPECT_EQ(type, c.type) << c.input;
    EXPECT_EQ(name, c.name) << c.input;
    const auto parsed = parse_entity_id(c.input);
    if (c.parsed_name == nullptr) {
      ASSERT_FALSE(parsed) << c.input;
      EXPECT_EQ(parsed.error().text(),
                std::string("Invalid entity ID format: Expected format 'type:name', got '") + c.input + "'");
    } else {
      ASSERT_TRUE(parsed) << c.input;
      EXPECT_EQ(parsed->kind, c.kind) << c.input;
      EXPECT_EQ(parsed->name, c.parsed_name) << c.input;
    }
  }
}

TEST(EntityIdTest, TypeQueries) {
  EXPECT_EQ(kind_of_query("mcp"), EntityType::Mcp);
  EXPECT_EQ(kind_of_query("mcp:x"), EntityType::Mcp);
  EXPECT_EQ(kind_of_query("session:x"), EntityType::Session);
  for (const char* q : {"MCP", "agent", "a:b", "", "other"}) EXPECT_EQ(kind_of_query(q), EntityType::Other) << q;
  EXPECT_TRUE(matches_kind("other", EntityType::Other));
  EXPECT_FALSE(matches_kind("agent", EntityType::Other));
  EXPECT_FALSE(matches_kind("", EntityType::Other));
  EXPECT_EQ(as_str(EntityType::Lct), "lct");
}

}  // namespace
}  // namespace velk

// Which texts name a database and which a directory.
#include "storage/address.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

TEST(AddressTest, ServedSchemesNameADatabase) {
  using B = Address::Backend;
  const std::pair<const char*, std::optional<B>> cases[] = {
      {"postgresql://scorer@db/trust", B::Postgres},
      {"postgres://db", B::Postgres},
      {"postgresq://db", std::nullopt},
      {"POSTGRESQL://db", std::nullopt},
      {"./postgresql://db", std::nullopt},
      {"records", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, backend] : cases) EXPECT_EQ(served_scheme(text), backend) << text;
}

TEST(AddressTest, EitherFormOfAnAddress) {
  using B = Address::Backend;
  const std::tuple<const char*, B, const char*> cases[] = {
      {"records/trust", B::Directory, ""},
      {"postgresql://scorer@db/trust", B::Postgres, "velk_trust"},
      {"host=/run/postgresql dbname=trust", B::Postgres, "velk_trust"},
      {"  dbname = trust", B::Postgres, "velk_trust"},
      {"data/x=1", B::Directory, ""},
      {"=x", B::Directory, ""},
      {"", B::Directory, ""},
  };
  for (const auto& [text, backend, table] : cases) {
    const auto address = address_of(text, std::nullopt);
    ASSERT_TRUE(address) << text;
    EXPECT_EQ(address->backend, backend) << text;
    EXPECT_EQ(address->where, text);
    EXPECT_EQ(address->table, table) << text;
  }
  EXPECT_EQ(address_of("dbname=x", "agents")->table, "agents");
  EXPECT_EQ(address_of("records", "agents")->table, "");
}

TEST(AddressTest, ConnectTakesOnlyConnectionTexts) {
  for (const char* text : {"records/trust", "", "postgresq://scorer:s3cret@db/trust", "  "}) {
    const auto refused = connection_address(text, std::nullopt);
    ASSERT_FALSE(refused) << text;
    EXPECT_EQ(refused.error().text(),
              "Storage error: not a connection text: TrustStore.connect takes a URI (postgresql://... or "
              "postgres://...), libpq's key=value words (host=... dbname=...) or sqlite:PATH; a record directory "
              "opens with TrustStore(path)");
  }
  EXPECT_EQ(connection_address("postgres://db", std::nullopt)->table, "velk_trust");
  // "sqlite:" names the SQLite backend whatever follows; what follows is the backend's to judge.
  EXPECT_EQ(connection_address("sqlite:/var/lib/trust.db", std::nullopt)->backend, Address::Backend::Sqlite);
  EXPECT_EQ(address_of("sqlite:trust.db", "t")->backend, Address::Backend::Sqlite);
  EXPECT_EQ(address_of("sqlite-records", std::nullopt)->backend, Address::Backend::Directory);
}

}  // namespace
}  // namespace velk

// Core micro-benchmarks: record text round trip and record arithmetic (ns per operation).
#include <chrono>
#include <cstdio>
#include <string>
#include <variant>

#include "entity/trust/entity_trust.h"
#include "storage/file/record_json.h"

namespace {

template <typename F>
void measure(const char* name, int iterations, F&& body) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < iterations; ++i) body(i);
  const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  std::printf("%-34s %10.1f ns/op\n", name, spent.count() / iterations);
}

}  // namespace

int main() {
  using velk::EntityTrust;
  auto record = EntityTrust::create("session:bench");
  for (int k = 0; k < 8; ++k) record.receive_witness("mcp:witness-" + std::to_string(k), true, 0.5);
  record.update_from_outcome(true, 0.7);
  const std::string text = velk::render_record(record);
  std::size_t sink = 0;

  measure("render_record", 200000, [&](int) { sink += velk::render_record(record).size(); });
  measure("parse_record", 200000, [&](int) {
    sink += velk::parse_record(text, record.created_at)->witnessed_by.size();
  });
  measure("receive_witness + give_witness", 1000000, [&](int i) {
    record.receive_witness("mcp:witness-3", i & 1, 0.5);
    record.give_witness("mcp:target", i & 2, 0.5);
  });
  measure("apply_decay", 1000000, [&](int) { sink += record.apply_decay(0.5, 0.001); });
  std::printf("(checksum %zu)\n", sink);
  return 0;
}

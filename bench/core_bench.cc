// Core micro-benchmarks: record text round trip and record arithmetic (ns per operation).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "entity/trust/entity_trust.h"
#include "storage/file/file_backend.h"
#include "storage/record/text_bytes.h"
#include "storage/record/record_text.h"

namespace {

// Divides every iteration count: `core_bench 1000` is a short run for an instruction profiler.
int scale = 1;

// The best of five runs of `iterations` calls; with bytes, also ns per byte.
template <typename F>
void measure(const char* name, int iterations, F&& body, std::size_t bytes = 0) {
  iterations = std::max(1, iterations / scale);
  double best = 1e300;
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i) body(i);
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    best = std::min(best, spent.count() / iterations);
  }
  if (bytes == 0) std::printf("%-34s %10.1f ns/op\n", name, best);
  else std::printf("%-34s %10.1f ns/op %8.2f ns/byte (%zu bytes)\n", name, best, best / bytes, bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) scale = std::max(1, std::atoi(argv[1]));
  using velk::EntityTrust;
  auto record = EntityTrust::create("session:bench");
  // A typical record of about 600 bytes: a few witnesses each way.
  for (int k = 0; k < 5; ++k) record.receive_witness("mcp:witness-" + std::to_string(k), true, 0.5);
  for (int k = 0; k < 3; ++k) record.give_witness("session:peer-" + std::to_string(k), true, 0.5);
  record.update_from_outcome(true, 0.7);
  const std::string text = velk::render_record(record);
  std::size_t sink = 0;

  measure("render_record", 200000, [&](int) { sink += velk::render_record(record).size(); }, text.size());
  measure("parse_record", 200000, [&](int) {
    sink += velk::parse_record(text, record.created_at)->witnessed_by.size();
  }, text.size());
  measure("is_valid_utf8", 1000000, [&](int) { sink += velk::is_valid_utf8(text); }, text.size());
  const auto store = std::move(*velk::FileBackend::open(""));
  measure("record_path (SHA-256 file name)", 1000000, [&](int) { sink += store->record_path("session:bench")->size(); });
  measure("receive_witness + give_witness", 1000000, [&](int i) {
    record.receive_witness("mcp:witness-3", i & 1, 0.5);
    record.give_witness("mcp:target", i & 2, 0.5);
  });
  measure("apply_decay", 1000000, [&](int) { sink += record.apply_decay(0.5, 0.001); });
  std::printf("(checksum %zu)\n", sink);
  return 0;
}

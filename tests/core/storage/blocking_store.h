// A store whose calls run to their end on the calling thread, as the binding runs them: the tests'
// way to call the coroutines of storage/store.h.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "storage/store.h"

namespace velk {

class BlockingStore {
  template <typename F>
  static auto now(Waiter& waiter, F&& start) {
    Call cx;
    return run(start(cx), cx, waiter);
  }

 public:
  explicit BlockingStore(std::unique_ptr<const Backend> backend) : store_(std::move(backend)) {}

  auto get(std::string_view id, Waiter& w = Waiter::plain()) const { return now(w, [&](Call& cx) { return store_.get(cx, id); }); }
  auto save(const EntityTrust& r, Waiter& w = Waiter::plain()) const { return now(w, [&](Call& cx) { return store_.save(cx, r); }); }
  auto remove(std::string_view id, Waiter& w = Waiter::plain()) const { return now(w, [&](Call& cx) { return store_.remove(cx, id); }); }
  auto exists(std::string_view id, Waiter& w = Waiter::plain()) const { return now(w, [&](Call& cx) { return store_.exists(cx, id); }); }
  auto list(std::optional<EntityType> kind, Waiter& w = Waiter::plain()) const {
    return now(w, [&](Call& cx) { return store_.list(cx, kind); });
  }
  auto count(std::optional<EntityType> kind, Waiter& w = Waiter::plain()) const {
    return now(w, [&](Call& cx) { return store_.count(cx, kind); });
  }
  auto records_of_kind(EntityType kind, Waiter& w = Waiter::plain()) const {
    return now(w, [&](Call& cx) { return store_.records_of_kind(cx, kind); });
  }
  auto update(std::string_view id, bool success, double magnitude, Waiter& w = Waiter::plain()) const {
    return now(w, [&](Call& cx) { return store_.update(cx, id, success, magnitude); });
  }
  auto decay(std::string_view id, double days, double rate, double min_idle, Waiter& w = Waiter::plain()) const {
    return now(w, [&](Call& cx) { return store_.decay(cx, id, days, rate, min_idle); });
  }
  auto witness(std::string_view witness_id, std::string_view target_id, bool success, double magnitude,
               Waiter& w = Waiter::plain()) const {
    return now(w, [&](Call& cx) { return store_.witness(cx, witness_id, target_id, success, magnitude); });
  }
  auto check(Waiter& w = Waiter::plain()) const { return now(w, [&](Call& cx) { return store_.check(cx); }); }

 private:
  Store store_;
};

}  // namespace velk

#include "core/hires_time.h"

#include <atomic>
#include <climits>
#include <cmath>

#include "platform/mutex.h"
#include "base/common.h"
#include "core/log.h"

namespace {

hires_conversion_record hires_to_ms{1000, 1, 1000.0};
hires_conversion_record hires_to_ns{1000000000, 1, 1000000000.0};
hires_conversion_record ms_to_hires{1, 1000, 0.001};

constexpr int64_t TEN_YEARS_MS = HIRES_GUARANTEED_SECONDS * 1000;

// The anchor is published as a whole: a sequence number that is odd while a writer changes the
// fields lets readers retry instead of mixing an old base with a new counter.
struct {
  agent_mutex writer_lock;
  std::atomic<uint64_t> sequence{0};
  std::atomic<int64_t> base_millis{0};
  std::atomic<uint64_t> base_counter{0};
  std::atomic<int64_t> floor_millis{0};
  std::atomic<bool> anchored{false};
} time_data;

struct anchor_snapshot {
  bool anchored;
  int64_t base_millis;
  uint64_t base_counter;
  int64_t floor_millis;
  uint64_t now_counter;  // read inside the same sequence window as the fields
};

int64_t anchored_value(bool anchored, int64_t base_millis, uint64_t base_counter, int64_t floor_millis,
                       uint64_t now_counter) {
  int64_t t = anchored ? base_millis + hires_duration_to_ms((int64_t)(now_counter - base_counter)) : systemTimeMillis();
  return t > floor_millis ? t : floor_millis;
}

// The counter is read before the sequence is checked again: a value handed out from this anchor
// was taken at a counter that precedes any re-anchoring that began later, so the floor a writer
// computes after it made the sequence odd is never below it.
anchor_snapshot read_anchor() {
  anchor_snapshot snapshot{};
  for (;;) {
    uint64_t before = time_data.sequence.load(std::memory_order_acquire);
    if (before & 1) continue;
    snapshot.anchored = time_data.anchored.load(std::memory_order_relaxed);
    snapshot.base_millis = time_data.base_millis.load(std::memory_order_relaxed);
    snapshot.base_counter = time_data.base_counter.load(std::memory_order_relaxed);
    snapshot.floor_millis = time_data.floor_millis.load(std::memory_order_relaxed);
    snapshot.now_counter = perfCounterCurrent();
    std::atomic_thread_fence(std::memory_order_acquire);
    if (time_data.sequence.load(std::memory_order_relaxed) == before) return snapshot;
  }
}

int64_t clock_value(const anchor_snapshot &anchor) {
  return anchored_value(anchor.anchored, anchor.base_millis, anchor.base_counter, anchor.floor_millis,
                        anchor.now_counter);
}

// (a * b) / b != a in wrap-around arithmetic: the product does not fit a signed 64-bit number.
bool product_overflows(int64_t a, int64_t b) {
  if (b == 0) return false;
  int64_t product = (int64_t)((uint64_t)a * (uint64_t)b);
  if (b == -1) return a == INT64_MIN;
  return product / b != a;
}

int64_t gcd(int64_t a, int64_t b) {
  while (b != 0) {
    int64_t r = a % b;
    a = b;
    b = r;
  }
  return a;
}

}  // namespace

bool guarantee_conversion_range(int64_t range, hires_conversion_record *record) {
  if (record->denominator == 0) {
    record->numerator = 0;
    record->denominator = 1;
    record->factor = 0.0;
    return false;
  }
  record->factor = (double)record->numerator / (double)record->denominator;
  int64_t g = gcd(record->numerator, record->denominator);
  if (g != 0) {
    record->numerator /= g;
    record->denominator /= g;
  }
  if (record->numerator != 0 && product_overflows(record->numerator, range)) {
    record->numerator = 0;
    record->denominator = 1;
    int64_t check = (int64_t)std::ceil(record->factor);
    if (check != 0 && product_overflows(check, range)) return false;
  }
  return true;
}

int64_t hires_conversion(int64_t value, const hires_conversion_record *record) {
  if (record->numerator != 0) {
    return (int64_t)((uint64_t)record->numerator * (uint64_t)value) / record->denominator;
  }
  return (int64_t)((double)value * record->factor);
}

void hires_conversions_initialise_with_frequency(int64_t frequency) {
  hires_to_ms = {1000, frequency, 0.0};
  hires_to_ns = {1000000000, frequency, 0.0};
  ms_to_hires = {frequency, 1000, 0.0};
  int64_t range;
  if (product_overflows(frequency, HIRES_GUARANTEED_SECONDS)) {
    log_info(nullptr, "Performance counter cannot fit %lld seconds.", (long long)HIRES_GUARANTEED_SECONDS);
    range = INT64_MAX;
  } else {
    range = frequency * HIRES_GUARANTEED_SECONDS;
  }
  if (!guarantee_conversion_range(range, &hires_to_ms)) {
    log_error_raw(nullptr, "hires->ms conversion does not guarantee %lld seconds without overflow.",
                  (long long)HIRES_GUARANTEED_SECONDS);
  }
  if (!guarantee_conversion_range(range, &hires_to_ns)) {
    log_error_raw(nullptr, "hires->ns conversion does not guarantee %lld seconds without overflow.",
                  (long long)HIRES_GUARANTEED_SECONDS);
  }
  if (!guarantee_conversion_range(TEN_YEARS_MS, &ms_to_hires)) {
    log_error_raw(nullptr, "ns->hires conversion does not guarantee %lld seconds without overflow.",
                  (long long)HIRES_GUARANTEED_SECONDS);
  }
}

void hires_conversions_initialise() { hires_conversions_initialise_with_frequency((int64_t)perfCounterFrequency()); }

const hires_conversion_record *hires_record_to_ms() { return &hires_to_ms; }
const hires_conversion_record *hires_record_to_ns() { return &hires_to_ns; }
const hires_conversion_record *hires_record_ms_to_hires() { return &ms_to_hires; }

int64_t hires_duration_to_ms(int64_t ticks) { return hires_conversion(ticks, &hires_to_ms); }
int64_t hires_duration_to_ns(int64_t ticks) { return hires_conversion(ticks, &hires_to_ns); }
int64_t ms_to_hires_duration(int64_t milliseconds) { return hires_conversion(milliseconds, &ms_to_hires); }
uint64_t hires_elapsed_ms(uint64_t start_count) {
  return (uint64_t)hires_duration_to_ms((int64_t)(perfCounterCurrent() - start_count));
}

void hires_anchor_clock(int64_t epoch_millis) {
  agent_mutex_guard guard(time_data.writer_lock);
  time_data.sequence.fetch_add(1, std::memory_order_acq_rel);  // odd: readers wait
  std::atomic_thread_fence(std::memory_order_seq_cst);
  // Only this writer changes the fields, and readers now wait: the clock's value at this moment
  // (the old anchor's, or the system time before the first anchor) is at least every value it
  // handed out.
  int64_t floor = anchored_value(time_data.anchored.load(std::memory_order_relaxed),
                                 time_data.base_millis.load(std::memory_order_relaxed),
                                 time_data.base_counter.load(std::memory_order_relaxed),
                                 time_data.floor_millis.load(std::memory_order_relaxed), perfCounterCurrent());
  time_data.floor_millis.store(floor, std::memory_order_relaxed);
  time_data.base_millis.store(epoch_millis, std::memory_order_relaxed);
  time_data.base_counter.store(perfCounterCurrent(), std::memory_order_relaxed);
  time_data.anchored.store(true, std::memory_order_relaxed);
  time_data.sequence.fetch_add(1, std::memory_order_release);  // even again: published
}

int64_t currentTimeMillis() { return clock_value(read_anchor()); }

int64_t hires_time_to_epoch_time(uint64_t tick_count) {
  anchor_snapshot anchor = read_anchor();
  if (anchor.anchored) return anchor.base_millis + hires_duration_to_ms((int64_t)(tick_count - anchor.base_counter));
  return systemTimeMillis() - hires_duration_to_ms((int64_t)(perfCounterCurrent() - tick_count));
}

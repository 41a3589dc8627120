// The hash map beside std::unordered_map: put, get and remove of 10^6 integer keys, with the same
// keys in the same order for both. Two key sets: pseudo-random 64-bit keys (allocation ids,
// tags and method ids look like this) and the sequence 0..10^6-1. After the runs the ratios
// (hash map time / unordered_map time, below 1 means the hash map is faster) are printed.
//
// What to expect: put and remove of random keys are faster than std::unordered_map (no allocation
// per entry). Sequential keys favour std::unordered_map: its identity hash puts consecutive keys in
// consecutive buckets next to consecutively allocated nodes, while the hash map's mixing spreads
// them over the table, so each of its lookups makes two unrelated memory reads (bucket, entry).
// Put also pays, per fresh map, the first-touch faults of chunks the C library maps anew
// (--keep_memory shows the figures without that).
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/hashmap.h"

namespace {

constexpr size_t KEY_COUNT = 1000000;

struct value_type {
  uint64_t count;
};

const std::vector<uint64_t> &keys(int64_t kind) {
  static std::vector<uint64_t> random_keys, sequential_keys;
  if (random_keys.empty()) {
    std::mt19937_64 generator(20191213);
    random_keys.resize(KEY_COUNT);
    for (uint64_t &key : random_keys) key = generator();
    sequential_keys.resize(KEY_COUNT);
    for (size_t i = 0; i < KEY_COUNT; ++i) sequential_keys[i] = i;
  }
  return kind == 0 ? random_keys : sequential_keys;
}

// Lookups in an order other than the insertion order, so that neither container profits from
// meeting its entries in allocation order.
const std::vector<uint64_t> &lookup_keys(int64_t kind) {
  static std::vector<uint64_t> shuffled[2];
  if (shuffled[kind].empty()) {
    shuffled[kind] = keys(kind);
    std::shuffle(shuffled[kind].begin(), shuffled[kind].end(), std::mt19937_64(7));
  }
  return shuffled[kind];
}

hashmap *filled_hashmap(const std::vector<uint64_t> &all) {
  hashmap *map = hashmapCreateDefault(16, hashmap_entry_size<value_type>());
  for (uint64_t key : all) hashmap_value<value_type>(hashmapPut(map, key, nullptr))->count = key;
  return map;
}

std::unordered_map<uint64_t, value_type> filled_unordered(const std::vector<uint64_t> &all) {
  std::unordered_map<uint64_t, value_type> map;
  for (uint64_t key : all) map[key].count = key;
  return map;
}

void BM_HashmapPut(benchmark::State &state) {
  const auto &all = keys(state.range(0));
  for (auto _ : state) {
    hashmap *map = hashmapCreateDefault(16, hashmap_entry_size<value_type>());
    for (uint64_t key : all) hashmap_value<value_type>(hashmapPut(map, key, nullptr))->count = key;
    benchmark::DoNotOptimize(map->size);
    state.PauseTiming();
    hashmapFree(map);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)all.size());
}

void BM_UnorderedPut(benchmark::State &state) {
  const auto &all = keys(state.range(0));
  for (auto _ : state) {
    auto *map = new std::unordered_map<uint64_t, value_type>();
    for (uint64_t key : all) (*map)[key].count = key;
    benchmark::DoNotOptimize(map->size());
    state.PauseTiming();
    delete map;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)all.size());
}

void BM_HashmapGet(benchmark::State &state) {
  hashmap *map = filled_hashmap(keys(state.range(0)));
  const auto &lookups = lookup_keys(state.range(0));
  for (auto _ : state) {
    uint64_t sum = 0;
    for (uint64_t key : lookups) sum += hashmap_value<value_type>(hashmapGet(map, key))->count;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)lookups.size());
  hashmapFree(map);
}

void BM_UnorderedGet(benchmark::State &state) {
  auto map = filled_unordered(keys(state.range(0)));
  const auto &lookups = lookup_keys(state.range(0));
  for (auto _ : state) {
    uint64_t sum = 0;
    for (uint64_t key : lookups) sum += map.find(key)->second.count;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)lookups.size());
}

void BM_HashmapRemove(benchmark::State &state) {
  const auto &all = keys(state.range(0));
  const auto &order = lookup_keys(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    hashmap *map = filled_hashmap(all);
    state.ResumeTiming();
    for (uint64_t key : order) hashmapRemove(map, key);
    benchmark::DoNotOptimize(map->size);
    state.PauseTiming();
    hashmapFree(map);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)all.size());
}

void BM_UnorderedRemove(benchmark::State &state) {
  const auto &all = keys(state.range(0));
  const auto &order = lookup_keys(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto *map = new std::unordered_map<uint64_t, value_type>(filled_unordered(all));
    state.ResumeTiming();
    for (uint64_t key : order) map->erase(key);
    benchmark::DoNotOptimize(map->size());
    state.PauseTiming();
    delete map;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)all.size());
}

// Argument 0: random keys, 1: sequential keys.
BENCHMARK(BM_HashmapPut)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UnorderedPut)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HashmapGet)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UnorderedGet)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HashmapRemove)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UnorderedRemove)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps each run's time per iteration so that the ratios can be printed at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    // One figure per benchmark: the median when repetitions were asked for, else the run.
    for (const Run &run : runs) {
      std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        times_[name] = run.GetAdjustedRealTime();
        medians_[name] = true;
      } else if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !medians_[name]) {
        times_[name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratios() const {
    static const char *const operations[] = {"Put", "Get", "Remove"};
    static const char *const kinds[] = {"random keys", "sequential keys"};
    std::printf("\nhashmap / std::unordered_map time (below 1: the hash map is faster)\n");
    for (const char *operation : operations) {
      for (int kind = 0; kind < 2; ++kind) {
        std::string suffix = "/" + std::to_string(kind) + "/real_time";
        auto ours = times_.find(std::string("BM_Hashmap") + operation + suffix);
        auto theirs = times_.find(std::string("BM_Unordered") + operation + suffix);
        if (ours == times_.end() || theirs == times_.end() || theirs->second <= 0) continue;
        std::printf("  %-6s %-15s %8.2f ms / %8.2f ms = %.2f\n", operation, kinds[kind], ours->second, theirs->second,
                    ours->second / theirs->second);
      }
    }
  }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, bool> medians_;
};

}  // namespace

int main(int argc, char **argv) {
  // --keep_memory: large blocks stay in the C library's heap after they are freed, so that every
  // iteration of both containers reuses memory that is already mapped. By default the C library
  // maps large blocks (the hash map's chunks and bucket arrays) afresh for each map and returns
  // them at free, so every iteration of the hash map pays the first-touch page faults again while
  // std::unordered_map's small nodes are recycled from the heap.
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--keep_memory") {
      mallopt(M_MMAP_THRESHOLD, 1 << 30);
      mallopt(M_TRIM_THRESHOLD, 1 << 30);
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      std::printf("large blocks stay in the heap (--keep_memory)\n");
      break;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}

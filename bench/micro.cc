// Micro-benchmarks of the costs per input line: parsing it, inserting its
// block into the tree, and sweeping the sorted blocks into the list.
// Run: build-bench/bench/tenvik_micro

#include <benchmark/benchmark.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "bench_tool.h"
#include "driver.h"
#include "queue.h"
#include "settings.h"
#include "sweep.h"
#include "tree.h"

// The same line again and again: after the first pass the tree does not
// grow and the insertion follows a cached path, so the line's parse is
// most of what is measured.
static void BM_handle_line(benchmark::State& state, const char* text) {
  reset_run();
  settings.opt_silent = 1;
  tenvik_run<ipv4> r;
  char line[256];
  for (auto _ : state) {
    strcpy(line, text);
    benchmark::DoNotOptimize(handle_line(r, line));
  }
  state.SetItemsProcessed(state.iterations());
  reset_run();
}
BENCHMARK_CAPTURE(BM_handle_line, prefix, "10.1.2.0/24");
BENCHMARK_CAPTURE(BM_handle_line, prefix_modifier_comment,
                  "permit 10.1.2.0/24   # branch office");
BENCHMARK_CAPTURE(BM_handle_line, range_one_block, "10.1.2.0 - 10.1.2.255");
BENCHMARK_CAPTURE(BM_handle_line, mask, "deny 10.1.2.0 0.0.0.255");
BENCHMARK_CAPTURE(BM_handle_line, bare_address, "10.1.2.3");
BENCHMARK_CAPTURE(BM_handle_line, no_notation, "deny everything else");

// Inserting 2^18 blocks of one length into an empty tree, in address order
// or in random order. Each pass gets a fresh run, and so an empty tree and
// pool, outside the measured time.
static void BM_insert_prefix(benchmark::State& state, int len, bool sorted) {
  const size_t count = size_t(1) << 18;
  rng r(7);
  std::vector<uint32_t> addresses(count);
  for (uint32_t& a : addresses)
    a = block_start(0x01000000u + uint32_t(r.below(0xdf000000u)), len);
  if (sorted) std::sort(addresses.begin(), addresses.end());
  reset_run();
  settings.opt_silent = 1;
  std::unique_ptr<tenvik_run<ipv4>> run;
  for (auto _ : state) {
    state.PauseTiming();
    run.reset();  // the old pool goes back before the new one is made
    run.reset(new tenvik_run<ipv4>);
    state.ResumeTiming();
    for (uint32_t a : addresses)
      benchmark::DoNotOptimize(insert_prefix(run->tree, len, a, ST_YES));
  }
  run.reset();
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(count));
  reset_run();
}
BENCHMARK_CAPTURE(BM_insert_prefix, random_24, 24, false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_insert_prefix, sorted_24, 24, true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_insert_prefix, random_32, 32, false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_insert_prefix, sorted_32, 32, true)
    ->Unit(benchmark::kMillisecond);

// The sweep over 2^18 distinct sorted blocks of one length, half of them
// permitted, printing the list (positive mode or not) to /dev/null.
static void BM_sweep_blocks(benchmark::State& state, int len, int positive) {
  const size_t count = size_t(1) << 18;
  rng r(11);
  std::vector<queued_block<ipv4>> blocks(count);
  for (queued_block<ipv4>& b : blocks) {
    b.addr = block_start(0x01000000u + uint32_t(r.below(0xdf000000u)), len);
    b.line = 0;
    b.count = 1;
    b.prefix = uint32_t(len);
    b.state = r.below(2) ? ST_YES : ST_NO;
  }
  std::sort(blocks.begin(), blocks.end(),
            [](const queued_block<ipv4>& a, const queued_block<ipv4>& b) {
              return a.addr < b.addr;
            });
  blocks.erase(
      std::unique(blocks.begin(), blocks.end(),
                  [](const queued_block<ipv4>& a, const queued_block<ipv4>& b) {
                    return a.addr == b.addr;
                  }),
      blocks.end());
  reset_run();
  settings.opt_positive = positive;
  FILE* sink = fopen("/dev/null", "w");
  settings.out_stream = sink;
  std::unique_ptr<tenvik_run<ipv4>> run(new tenvik_run<ipv4>);
  for (auto _ : state)
    benchmark::DoNotOptimize(
        sweep_blocks(blocks.data(), blocks.size(), "%a/%p", run->out));
  run.reset();
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(blocks.size()));
  reset_run();
  fclose(sink);
}
BENCHMARK_CAPTURE(BM_sweep_blocks, random_24, 24, 0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_sweep_blocks, random_32, 32, 0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_sweep_blocks, random_32_positive, 32, 1)
    ->Unit(benchmark::kMillisecond);

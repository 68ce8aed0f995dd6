// Cost of one replacement call on large texts, for each form, with matches
// dense (a separator every few bytes, like the mail folders of a profile)
// and sparse (one every 64 KiB).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "profile/replace.h"

namespace gemmel {
namespace {

constexpr std::string_view kSeparator = "\\\\";
constexpr std::string_view kStartKey = "mail.newsrc_root";
constexpr std::string_view kEndKey = ");";

// `mib` MiB of text with the start key near the top, the end key at the end
// and the separator every `spacing` bytes in between.
Text make_text(std::int64_t mib, std::size_t spacing) {
  const std::size_t size = static_cast<std::size_t>(mib) << 20;
  Text text = "user_pref(\"mail.newsrc_root\", \"";
  text.reserve(size + spacing);
  std::string filler(spacing - kSeparator.size(), 'a');
  for (std::size_t i = 0; i < filler.size(); i += 7) filler[i] = 'b';
  while (text.size() + spacing < size) {
    text.append(filler);
    text.append(kSeparator);
  }
  text.append(kEndKey);
  return text;
}

void run(benchmark::State& state, Form form) {
  const std::size_t spacing = state.range(1) == 0 ? 12 : std::size_t{65536};
  const Text original = make_text(state.range(0), spacing);
  const ReplaceCall call{.form = form,
                         .target = kSeparator,
                         .replacement = "/",
                         .start = 0,
                         .start_key = kStartKey,
                         .end_key = kEndKey};
  Text text;
  Text scratch;
  for (auto _ : state) {
    state.PauseTiming();
    text = original;
    std::int32_t length = static_cast<std::int32_t>(text.size());
    state.ResumeTiming();
    benchmark::DoNotOptimize(apply_replace(call, text, length, scratch));
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(original.size()));
}

void BM_Offset(benchmark::State& state) { run(state, Form::kOffset); }
void BM_StartKey(benchmark::State& state) { run(state, Form::kStartKey); }
void BM_Bounded(benchmark::State& state) { run(state, Form::kBounded); }

// Arguments: size in MiB; 0 for dense matches, 1 for sparse ones.
#define GEMMEL_SIZES                \
  ArgsProduct({{1, 8, 64}, {0, 1}}) \
      ->ArgNames({"MiB", "sparse"}) \
      ->Unit(benchmark::kMillisecond)
BENCHMARK(BM_Offset)->GEMMEL_SIZES;
BENCHMARK(BM_StartKey)->GEMMEL_SIZES;
BENCHMARK(BM_Bounded)->GEMMEL_SIZES;

}  // namespace
}  // namespace gemmel

BENCHMARK_MAIN();

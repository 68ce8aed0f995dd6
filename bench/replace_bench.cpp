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

// Times `call` on fresh copies of `original`, the copying left out.
void time_calls(benchmark::State& state, const Text& original,
                const ReplaceCall& call) {
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

void run(benchmark::State& state, Form form) {
  const std::size_t spacing = state.range(1) == 0 ? 12 : std::size_t{65536};
  const Text original = make_text(state.range(0), spacing);
  const ReplaceCall call{.form = form,
                         .target = kSeparator,
                         .replacement = "/",
                         .start = 0,
                         .start_key = kStartKey,
                         .end_key = kEndKey};
  time_calls(state, original, call);
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

// A panacea.dat of `mib` MiB whose folder names are broken by line
// continuations, every other one inside the folder, replaced by a Windows
// folder read as Mork writes it (`mork` 1) or, for comparison, as plain
// bytes (0).
void BM_PanaceaFolders(benchmark::State& state) {
  const std::string_view rows[] = {
      "(86\n    =/foo/bar/profile-default/Mail/Loc\\\nal Folders/Trash.msf)"
      "(87=104)\n",
      "(89\n    =/foo/bar/prof\\\nile-default/ImapMail/imap.localhost/IN\\\n"
      "BOX.msf)\n"};
  const std::size_t size = static_cast<std::size_t>(state.range(0)) << 20;
  Text original;
  original.reserve(size + 128);
  for (std::size_t i = 0; original.size() < size; ++i) {
    original.append(rows[i % 2]);
  }
  const ReplaceCall call{
      .target = "/foo/bar/profile-default/",
      .replacement =
          "C:\\\\Documents and Settings\\\\mario\\\\Application "
          "Data\\\\Mozilla\\\\Profiles\\\\default\\\\abcd1234.slt\\\\",
      .mork = state.range(1) != 0};
  time_calls(state, original, call);
}
BENCHMARK(BM_PanaceaFolders)
    ->ArgsProduct({{1, 8, 64}, {0, 1}})
    ->ArgNames({"MiB", "mork"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace gemmel

BENCHMARK_MAIN();

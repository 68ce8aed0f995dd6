// The linear-time replacement against the plain loop, on many generated
// calls chosen to make targets overlap themselves, their replacements and the
// keys.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string>

#include "plain_replace.h"
#include "profile/replace.h"
#include "profile/separators.h"

namespace gemmel {
namespace {

using testing::plain_replace;
using testing::plain_replace_mork;
using testing::plain_separators;

std::string describe(const ReplaceCall& call, const std::string& text) {
  const auto shown = [](std::string_view bytes) {
    return ::testing::PrintToString(std::string(bytes));
  };
  const char* forms[] = {"offset", "start key", "bounded"};
  return std::string(forms[static_cast<int>(call.form)]) + " form, target " +
         shown(call.target) + ", replacement " + shown(call.replacement) +
         ", start " + std::to_string(call.start) + ", keys " +
         shown(call.start_key) + " " + shown(call.end_key) +
         (call.any_case ? ", any case" : "") + (call.mork ? ", mork" : "") +
         ", text " + shown(text);
}

class CallGenerator {
 public:
  explicit CallGenerator(std::uint32_t seed) : random_(seed) {}

  // Short strings over a small alphabet, so that matches overlap often.
  std::string word(std::size_t max_length, std::string_view alphabet) {
    std::string result(pick(max_length + 1), ' ');
    for (char& c : result) c = alphabet[pick(alphabet.size())];
    return result;
  }

  // A replacement related to the target in one of the ways that matter.
  std::string replacement_for(const std::string& target,
                              std::string_view alphabet) {
    switch (pick(7)) {
      case 0:
        return target + word(2, alphabet);  // begins with the target
      case 1:
        return word(2, alphabet) + target + word(1, alphabet);  // contains it
      case 2:
        return target.substr(0, pick(target.size() + 1));  // shorter
      case 3:
        return word(target.size(), alphabet);  // equal or shorter
      case 4:  // ends with the start of the target
        return word(2, alphabet) + target.substr(0, pick(target.size() + 1));
      default:
        return word(6, alphabet);
    }
  }

  ReplaceCall call(std::string& target, std::string& replacement,
                   std::string& start_key, std::string& end_key,
                   std::string_view alphabet) {
    target = word(pick(8) == 0 ? 0 : 3, alphabet);
    if (target.empty() && pick(2) == 0) target = word(3, alphabet);
    replacement = replacement_for(target, alphabet);
    start_key = word(2, alphabet);
    end_key = word(2, alphabet);
    return {.form = static_cast<Form>(pick(3)),
            .target = target,
            .replacement = replacement,
            .start = static_cast<std::int32_t>(pick(8)) - 2,
            .start_key = start_key,
            .end_key = end_key};
  }

  std::size_t pick(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_);
  }

 private:
  std::mt19937 random_;
};

void expect_same_as_plain_loop(const ReplaceCall& call,
                               const std::string& original, Text& scratch) {
  std::string expected = original;
  std::int64_t expected_length = static_cast<std::int64_t>(original.size());
  std::int64_t expected_count = 0;
  if (call.mork) {
    plain_replace_mork(call, expected, expected_length, &expected_count);
  } else {
    plain_replace(call, expected, expected_length,
                  [&](std::size_t) { ++expected_count; });
  }

  Text text(original.begin(), original.end());
  std::int32_t length = static_cast<std::int32_t>(original.size());
  const std::optional<std::int64_t> count =
      apply_replace(call, text, length, scratch);
  ASSERT_EQ(count, expected_count) << describe(call, original);
  ASSERT_EQ(std::string_view(text), expected) << describe(call, original);
  ASSERT_EQ(length, expected_length) << describe(call, original);
}

// 120,000 generated calls over `alphabets` in turn, on texts of up to
// `length` bytes (60 for one in four).
void expect_generated_calls_right(std::uint32_t seed,
                                  std::span<const std::string_view> alphabets,
                                  std::size_t length, bool any_case,
                                  bool mork) {
  CallGenerator generate(seed);
  Text scratch;  // shared, as File shares it across the steps of a recipe
  for (int i = 0; i < 120000; ++i) {
    const std::string_view alphabet = alphabets[i % alphabets.size()];
    std::string target, replacement, start_key, end_key;
    ReplaceCall call =
        generate.call(target, replacement, start_key, end_key, alphabet);
    call.any_case = any_case;
    call.mork = mork;
    const std::string text =
        generate.word(generate.pick(4) == 0 ? 60 : length, alphabet);
    expect_same_as_plain_loop(call, text, scratch);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(ReplaceDifferentialTest, MatchesThePlainLoopOnGeneratedCalls) {
  // Alphabets from two letters (heavy overlap) to the profile separators.
  const std::string_view alphabets[] = {"ab", "abc", "a/\\", "k;)a",
                                        std::string_view("ab\0", 3)};
  expect_generated_calls_right(20261208, alphabets, 14, false, false);
}

TEST(ReplaceDifferentialTest, AWindowsTargetMatchesItsLettersInEitherCase) {
  const std::string_view alphabets[] = {"aAb", "aAbB", "a/A\\", "k;)aA"};
  expect_generated_calls_right(1611, alphabets, 14, true, false);
}

TEST(ReplaceDifferentialTest, PanaceaReadsContinuationsAndHexBytesAsTheyRead) {
  // Backslashes of every parity before every kind of line end, dollars
  // before hex digits of either case and after backslashes, bytes of 0x80
  // and above in targets and replacements: a continuation inside an
  // occurrence goes, every other one stays, a hex byte matches the byte.
  const std::string_view alphabets[] = {"a\\\n",
                                        "ab\\\r\n",
                                        "a/\\\n\r",
                                        "ab\\\n",
                                        "$C3\\a",
                                        "$c3\xc3"
                                        "a",
                                        "$4aA\\\n",
                                        "\xc3$C3b\\"};
  expect_generated_calls_right(4099, alphabets, 16, false, true);
  expect_generated_calls_right(4100, alphabets, 16, true, true);
}

// Texts made of what bounds a path and what it holds: the folder in both
// forms and letter cases, separators, quotes, parentheses, line ends, escaped
// quotes and parentheses, continuations and hex bytes.
TEST(SeparatorDifferentialTest, OnlyTheRestOfEachPathOfTheFolderChanges) {
  CallGenerator generate(2026);
  const std::string pieces[] = {
      R"(d:\\p\\)", R"(D:\\P\\)", "/p/",      "/",    R"(\\)",        "\\",
      "\"",         R"(\")",      R"(\))",    ")",    "\n",           "\r\n",
      "\\\n",       "\\\r\n",     "$C3",      "$2F",  "$5c",          R"(\$)",
      "a",          "x",          R"(d:\\p)", "\xc3", R"(d:\\$70\\)", "/$70/"};
  Text scratch;
  for (int i = 0; i < 40000; ++i) {
    std::string text;
    for (std::size_t n = generate.pick(24); n > 0; --n) {
      text += pieces[generate.pick(std::size(pieces))];
    }
    const bool to_windows = generate.pick(2) == 0;
    const SeparatorPass pass{.folder = to_windows ? R"(d:\\p\\)" : "/p/",
                             .to_windows = to_windows,
                             .any_case = to_windows && generate.pick(2) == 0,
                             .mork = generate.pick(2) == 0};
    std::string expected = text;
    const std::int64_t expected_count = plain_separators(pass, expected);
    Text converted(text.begin(), text.end());
    ASSERT_EQ(convert_separators(pass, converted, scratch), expected_count)
        << ::testing::PrintToString(text) << (pass.mork ? " mork" : "")
        << (pass.any_case ? " any case" : "");
    ASSERT_EQ(std::string_view(converted), expected)
        << ::testing::PrintToString(text) << (pass.mork ? " mork" : "")
        << (pass.any_case ? " any case" : "");
  }
}

TEST(ReplaceDifferentialTest, MatchesThePlainLoopOnProfileLikeText) {
  // Long texts with keys in them, the shape of a real prefs.js.
  CallGenerator generate(7);
  Text scratch;
  const std::string pieces[] = {"user_pref(\"k\", \"", "\");\n",  "\\\\", "/",
                                "d:\\\\a\\\\",         "/mnt/a/", "k",    ");"};
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    for (std::size_t n = generate.pick(200); n > 0; --n) {
      text += pieces[generate.pick(std::size(pieces))];
    }
    const std::string target = pieces[2 + generate.pick(4)];
    const std::string replacement = pieces[2 + generate.pick(4)];
    expect_same_as_plain_loop({.form = static_cast<Form>(generate.pick(3)),
                               .target = target,
                               .replacement = replacement,
                               .start_key = "k",
                               .end_key = ");"},
                              text, scratch);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Texts of 4 MiB and more take mapped memory, which later texts reuse: a
// smaller one takes a part of a kept mapping, and two live texts must never
// share one. A one-byte target replaced by 64 KiB outgrows the result's first
// size at once.
TEST(ReplaceDifferentialTest, AReusedMappingOrUndersizedGrowthCorruptsNoText) {
  const std::string huge(64 * 1024, 'h');
  const struct {
    std::size_t size;  // of the text; a match every 256 KiB
    std::string target, replacement;
  } cases[] = {
      {9 << 20, "/p/", "d:\\\\p\\\\"},
      {5 << 20, "d:\\\\p\\\\", "/p/"},
      {6 << 20, "x", "yz"},
      {8, "x", huge},
  };
  for (const auto& c : cases) {
    std::string text(c.size, '.');
    for (std::size_t at = 0; at < c.size; at += 256 << 10) {
      text.replace(at, c.target.size(), c.target);
    }
    Text scratch;
    expect_same_as_plain_loop(
        {.target = c.target, .replacement = c.replacement}, text, scratch);
  }
}

TEST(ReplaceTest, ResultsThatWouldReach2GiBLeaveTheTextUnchanged) {
  // A tracked length just below the bound stands in for a huge file.
  Text text = "xx";
  std::int32_t length = INT32_MAX - 1;
  Text scratch;
  EXPECT_EQ(apply_replace({.target = "x", .replacement = "yy"}, text, length,
                          scratch),
            std::nullopt);
  EXPECT_EQ(text, "xx");
  EXPECT_EQ(length, INT32_MAX - 1);
  // Reaching exactly the largest length is allowed.
  text = "x";
  EXPECT_EQ(apply_replace({.target = "x", .replacement = "yy"}, text, length,
                          scratch),
            1);
  EXPECT_EQ(text, "yy");
  EXPECT_EQ(length, INT32_MAX);
  // Across continuations the bound holds for the result, with the
  // continuations that stay and without those that go.
  const ReplaceCall across{.target = "ab", .replacement = "abc", .mork = true};
  text = "a\\\nb";  // the continuation goes: 1 byte shorter
  length = INT32_MAX;
  EXPECT_EQ(apply_replace(across, text, length, scratch), 1);
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(length, INT32_MAX - 1);
  text = "ab\\\n";  // the continuation stays: 1 byte longer
  length = INT32_MAX;
  EXPECT_EQ(apply_replace(across, text, length, scratch), std::nullopt);
  EXPECT_EQ(text, "ab\\\n");
  EXPECT_EQ(length, INT32_MAX);
}

}  // namespace
}  // namespace gemmel

// The JSON conformance corpus through JsonReader, in both modes.
//
// Expected by default: y_ files accepted in lenient mode, and in strict mode exactly
// when the top level is an object; n_ files rejected in both modes. i_ files may go
// either way, so each is pinned below. Every other outcome must be listed here with
// the rule of this reader that explains it; any unlisted deviation fails.
//
// Corpus directory: $TARVEX_JSON_CORPUS, else tests/data/JSONTestSuite/test_parsing (MIT; its
// origin is in SOURCE.md there).
#include "common/json.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#define JSON_CORPUS_DIR TARVEX_SOURCE_DIR "/tests/data/JSONTestSuite/test_parsing"

namespace {

struct Exception {
    bool strict;   // accepted in strict mode
    bool lenient;  // accepted in lenient mode
    const char* rule;
};

const char* const bare_key = "object keys may be bare words (letters and digits)";
const char* const number =
    "numbers are what the classic-locale extraction of a double accepts "
    "(leading '+', leading zeros, '.' without digits after it)";
const char* const trailing = "text after the top-level value is left unread";
const char* const single = "lenient mode accepts single-quoted strings";
const char* const bad_escape = "an unknown escape is reported and dropped; the string goes on";
const char* const bad_hex = "a bad hex digit in \\u is reported and contributes nothing; the string goes on";
const char* const raw = "control characters and bytes above 127 are kept as they are";
const char* const raw_lf = "a raw line feed in a string is reported and dropped; the string goes on";
const char* const blank = "white space is the isspace set, form feed included";
const char* const bytes = "bytes above 127 are kept as they are; \\u escapes are encoded one by one";
const char* const overflow =
    "a magnitude beyond the double range reads as an infinity (refused by every number reader)";
const char* const underflow = "a magnitude below the double range extracts as a tiny number or 0";
const char* const big = "big integers are held as doubles";
const char* const not_a_value = "the first character starts no value (BOM, UTF-16)";
const char* const within = "500 levels are within the nesting limit";

// Files (without ".json") grouped by the outcome this reader's own rules give them: n_ files
// that it accepts, and every i_ file pinned (strict mode rejects every one whose top level is
// not an object).
struct Group {
    bool strict, lenient;
    const char* rule;
    std::vector<const char*> names;
};

const std::map<std::string, Exception>& exceptions() {
    static const std::map<std::string, Exception> table = [] {
        const Group groups[] = {
            {false,
             true,
             trailing,
             {"n_array_comma_after_close", "n_array_extra_close", "n_multidigit_number_then_00",
              "n_string_with_trailing_garbage", "n_structure_array_trailing_garbage",
              "n_structure_array_with_extra_array_close", "n_structure_close_unopened_array",
              "n_structure_double_array", "n_structure_number_with_trailing_garbage"}},
            {false,
             true,
             number,
             {"n_number_+1", "n_number_-01", "n_number_-2.", "n_number_0.e1", "n_number_2.e+3", "n_number_2.e-3",
              "n_number_2.e3", "n_number_neg_int_starting_with_zero", "n_number_neg_real_without_int_part",
              "n_number_real_without_fractional_part", "n_number_with_leading_zero"}},
            {false,
             true,
             single,
             {"n_object_key_with_single_quotes", "n_object_single_quote", "n_string_single_quote"}},
            {true, true, bare_key, {"n_object_repeated_null_null", "n_object_unquoted_key"}},
            {true,
             true,
             trailing,
             {"n_object_trailing_comment", "n_object_trailing_comment_open", "n_object_trailing_comment_slash_open",
              "n_object_trailing_comment_slash_open_incomplete", "n_object_with_trailing_garbage",
              "n_structure_object_followed_by_closing_object", "n_structure_object_with_trailing_garbage",
              "n_structure_trailing_#"}},
            {false,
             true,
             bad_escape,
             {"n_string_backslash_00", "n_string_escape_x", "n_string_escaped_ctrl_char_tab", "n_string_escaped_emoji",
              "n_string_incomplete_surrogate_escape_invalid", "n_string_invalid_backslash_esc",
              "n_string_invalid_utf8_after_escape", "n_string_unicode_CapitalU"}},
            {false, true, bad_hex, {"n_string_invalid_unicode_escape"}},
            {false, true, raw, {"n_string_unescaped_ctrl_char", "n_string_unescaped_tab"}},
            {false, true, raw_lf, {"n_string_unescaped_newline"}},
            {false, true, blank, {"n_structure_whitespace_formfeed"}},
            {false, true, underflow, {"i_number_double_huge_neg_exp", "i_number_real_underflow"}},
            {false,
             true,
             overflow,
             {"i_number_huge_exp", "i_number_neg_int_huge_exp", "i_number_pos_double_huge_exp",
              "i_number_real_neg_overflow", "i_number_real_pos_overflow"}},
            {false,
             true,
             big,
             {"i_number_too_big_neg_int", "i_number_too_big_pos_int", "i_number_very_big_negative_int"}},
            {true, true, bytes, {"i_object_key_lone_2nd_surrogate"}},
            {false,
             true,
             bytes,
             {"i_string_1st_surrogate_but_2nd_missing", "i_string_1st_valid_surrogate_2nd_invalid",
              "i_string_UTF-8_invalid_sequence", "i_string_UTF8_surrogate_U+D800",
              "i_string_incomplete_surrogate_and_escape_valid", "i_string_incomplete_surrogate_pair",
              "i_string_incomplete_surrogates_escape_valid", "i_string_invalid_lonely_surrogate",
              "i_string_invalid_surrogate", "i_string_invalid_utf-8", "i_string_inverted_surrogates_U+1D11E",
              "i_string_iso_latin_1", "i_string_lone_second_surrogate", "i_string_lone_utf8_continuation_byte",
              "i_string_not_in_unicode_range", "i_string_overlong_sequence_2_bytes",
              "i_string_overlong_sequence_6_bytes", "i_string_overlong_sequence_6_bytes_null",
              "i_string_truncated-utf-8"}},
            {false,
             false,
             not_a_value,
             {"i_string_UTF-16LE_with_BOM", "i_string_utf16BE_no_BOM", "i_string_utf16LE_no_BOM",
              "i_structure_UTF-8_BOM_empty_object"}},
            {false, true, within, {"i_structure_500_nested_arrays"}},
        };
        std::map<std::string, Exception> t;
        for (const Group& g : groups)
            for (const char* n : g.names) t[std::string(n) + ".json"] = {g.strict, g.lenient, g.rule};
        return t;
    }();
    return table;
}

std::string corpus_dir() {
    const char* env = std::getenv("TARVEX_JSON_CORPUS");
    return env && *env ? env : JSON_CORPUS_DIR;
}

std::vector<std::string> corpus_files(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool top_level_is_object(const std::string& text) {
    for (char c : text) {
        if (c == ' ' || (c >= '\t' && c <= '\r')) continue;
        return c == '{';
    }
    return false;
}

bool accepts(const std::string& text, JsonReader::MODE mode) {
    std::istringstream is(text);
    std::unique_ptr<jsVar> v(JsonReader(is, mode).parse());
    return v != nullptr;
}

TEST(JsonCorpus, EveryFileAsExpectedOrListedWithItsRule) {
    const std::string dir = corpus_dir();
    const std::vector<std::string> names = corpus_files(dir);
    ASSERT_GT(names.size(), 300u) << "corpus not found in " << dir;

    const uint32_t live = jsVar::usage;
    std::map<std::string, Exception> unused = exceptions();
    for (const std::string& name : names) {
        std::ifstream file(dir + "/" + name, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        const std::string text = content.str();

        bool strict = false, lenient = false;
        const auto listed = exceptions().find(name);
        if (listed != exceptions().end()) {
            strict = listed->second.strict;
            lenient = listed->second.lenient;
            unused.erase(name);
        } else if (name[0] == 'y') {
            strict = top_level_is_object(text);
            lenient = true;
        } else {
            ASSERT_EQ(name[0], 'n') << name << ": i_ files must be pinned in the table";
        }
        const std::string why = listed != exceptions().end() ? listed->second.rule : "default expectation";
        EXPECT_EQ(accepts(text, JsonReader::STRICT), strict) << name << " (" << why << ")";
        EXPECT_EQ(accepts(text, JsonReader::LENIENT), lenient) << name << " (" << why << ")";
    }
    EXPECT_EQ(jsVar::usage, live);
    for (const auto& e : unused) ADD_FAILURE() << "listed but not in the corpus: " << e.first;
}

}  // namespace

// The JSON conformance corpus through JsonReader, in both modes.
//
// Expected by default: y_ files accepted in lenient mode, and in strict mode exactly when the top
// level is an object; n_ files rejected in both modes. i_ files may go either way, so each is
// pinned. Every other outcome is listed, with the rule of this reader that explains it, in
// tests/data/json_corpus_outcomes.txt; any unlisted deviation fails.
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
    std::string rule;
};

// The listed outcomes by file name: groups of a line "STRICT LENIENT: rule" and indented names.
std::map<std::string, Exception> exceptions() {
    std::ifstream in(TARVEX_SOURCE_DIR "/tests/data/json_corpus_outcomes.txt");
    std::map<std::string, Exception> table;
    Exception group{};
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("  ", 0) == 0) {
            table[line.substr(2) + ".json"] = group;
        } else if (!line.empty() && line[0] != '#') {
            const size_t colon = line.find(": ");
            std::istringstream words(line.substr(0, colon));
            std::string strict, lenient;
            words >> strict >> lenient;
            group = {strict == "accepted", lenient == "accepted", line.substr(colon + 2)};
        }
    }
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
    const std::map<std::string, Exception> listed_outcomes = exceptions();
    ASSERT_GT(listed_outcomes.size(), 50u) << "json_corpus_outcomes.txt not found";
    std::map<std::string, Exception> unused = listed_outcomes;
    for (const std::string& name : names) {
        std::ifstream file(dir + "/" + name, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        const std::string text = content.str();

        bool strict = false, lenient = false;
        const auto listed = listed_outcomes.find(name);
        if (listed != listed_outcomes.end()) {
            strict = listed->second.strict;
            lenient = listed->second.lenient;
            unused.erase(name);
        } else if (name[0] == 'y') {
            strict = top_level_is_object(text);
            lenient = true;
        } else {
            ASSERT_EQ(name[0], 'n') << name << ": i_ files must be listed in json_corpus_outcomes.txt";
        }
        const std::string why = listed != listed_outcomes.end() ? listed->second.rule : "default expectation";
        EXPECT_EQ(accepts(text, JsonReader::STRICT), strict) << name << " (" << why << ")";
        EXPECT_EQ(accepts(text, JsonReader::LENIENT), lenient) << name << " (" << why << ")";
    }
    EXPECT_EQ(jsVar::usage, live);
    for (const auto& e : unused) ADD_FAILURE() << "listed but not in the corpus: " << e.first;
}

}  // namespace

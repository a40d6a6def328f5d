// The client library against the shared vectors (tests/data: pulse files with their expected
// pulses or errors, the value conversion), and its two CSV readers against each other.
#include <gtest/gtest.h>
#include <bitset>
#include <dirent.h>
#include <map>
#include <random>
#include <regex>
#include "json_reader.h"
#include "support/sandbox.h"
#include "tarvex/Analog.h"
#include "tarvex/PulseList.h"

namespace {

const std::string DATA = TARVEX_SOURCE_DIR "/tests/data/";

// What reading gave, in the form of an expected file.
std::string read_text(const std::string& path, tarvex::PulseFormat format) {
    try {
        const auto list = tarvex::PulseList::read(path, format, tarvex::MAX_STREAM_PULSES, "stream");
        std::string s = "pulses " + std::to_string(list.size()) + "\n";
        for (size_t i = 0; i < list.size(); ++i)
            s += std::to_string(list[i].ticks) + "," + std::to_string(list[i].digi) + "," +
                 std::to_string(list[i].ao0) + "," + std::to_string(list[i].ao1) + "\n";
        return s;
    } catch (const tarvex::PulseFileError& e) {
        std::string s = "errors " + std::to_string(e.badLines()) + "\n";
        for (const auto& b : e.bad()) s += std::to_string(b.line) + ": " + b.reason + "\n";
        return s;
    }
}

TEST(PulseFiles, SharedVectors) {
    const std::map<std::string, tarvex::PulseFormat> formats = {{"", tarvex::PulseFormat::Auto},
                                                                {"csv", tarvex::PulseFormat::Csv},
                                                                {"binary", tarvex::PulseFormat::Binary},
                                                                {"little", tarvex::PulseFormat::Little},
                                                                {"big", tarvex::PulseFormat::Big}};
    const std::regex name("(.*?)(?:\\.as-(csv|binary|little|big))?\\.expect");
    DIR* dir = opendir((DATA + "pulses").c_str());
    ASSERT_NE(dir, nullptr);
    int checked = 0;
    std::smatch m;
    for (const dirent* e; (e = readdir(dir)) != nullptr;)
        if (const std::string file = e->d_name; std::regex_match(file, m, name) && ++checked) {
            EXPECT_EQ(read_text(DATA + "pulses/" + m[1].str(), formats.at(m[2].str())),
                      testsupport::read_file(DATA + "pulses/" + file))
                << file;
        }
    closedir(dir);
    EXPECT_GE(checked, 20);
}

TEST(PulseFiles, ValueConversionVectors) {
    const std::string text = testsupport::read_file(DATA + "values.json");
    tarvex::json::Value v;
    std::string error;
    ASSERT_TRUE(tarvex::json::parse(text.data(), text.size(), v, error)) << error;
    std::map<std::string, tarvex::AnalogConversion> conversion;
    const auto& cals = *v.find("calibrations");
    for (size_t i = 0; i < cals.names.size(); ++i) {
        const auto n = [&](const char* key) { return cals.items[i].find(key)->number; };
        auto& a = conversion[cals.names[i]];
        ASSERT_TRUE(tarvex::AnalogConversion::fromCalibration(n("dc_offset"), n("slope"), a));
        EXPECT_EQ(a.gain + 0.0, n("gain")) << cals.names[i];
        EXPECT_EQ(a.offset + 0.0, n("offset")) << cals.names[i];
    }
    for (const char* way : {"to_code", "to_value"})
        for (const auto& c : v.find(way)->items) {
            const auto& a = conversion.at(c.find("calibration")->text);
            const auto value = static_cast<int16_t>(c.find("value")->number);
            const auto code = static_cast<uint16_t>(c.find("code")->number);
            EXPECT_EQ(way[3] == 'c' ? a.code(value) : a.value(code), way[3] == 'c' ? code : value)
                << c.find("calibration")->text;
        }
}

// Lines of every shape, also with bytes changed, dropped or added here and there (commas and signs
// moved, fields emptied or too long): the word reader gives what the field reader gives.
TEST(PulseFiles, WordReaderMatchesFieldReader) {
    std::mt19937_64 rng(29);
    std::string all, noisy;
    while (all.size() < 4000000) {
        const auto digi = static_cast<uint8_t>(rng());
        all += rng() % 500 == 0
                   ? "# comment\n"
                   : std::string(rng() % 40 ? "" : " ") + std::to_string(rng() % (uint64_t{1} << (rng() % 33))) + "," +
                         (rng() % 20 ? std::to_string(digi) : std::bitset<8>(digi).to_string()) + "," +
                         std::to_string(static_cast<int16_t>(rng())) + "," +
                         std::to_string(static_cast<int16_t>(rng())) + (rng() % 30 ? "\n" : "\r\n");
    }
    for (const char c : all)
        noisy += rng() % 20 ? std::string(1, c) : std::string(rng() % 2, c) + ",-0\r 9x"[rng() % 7];
    for (const std::string* text : {&all, &noisy}) {
        std::string seen[2];
        for (const auto reader : {tarvex::CsvReader::Words, tarvex::CsvReader::Fields}) {
            std::vector<tarvex::Pulse> got;
            std::vector<tarvex::BadLine> bad;
            const auto tally = tarvex::parseCsv(text->data(), text->size(), got, bad, SIZE_MAX, reader);
            EXPECT_EQ(tally.bad_lines > 20000, text == &noisy);
            std::string& s = seen[reader == tarvex::CsvReader::Fields];
            s.assign(reinterpret_cast<const char*>(got.data()), got.size() * sizeof(tarvex::Pulse));
            for (const auto& b : bad) s += std::to_string(b.line) + b.reason;
            s += std::to_string(tally.pulses) + "/" + std::to_string(tally.lines) + "/" +
                 std::to_string(tally.bad_lines);
        }
        EXPECT_TRUE(seen[0] == seen[1]);
    }
}

}  // namespace

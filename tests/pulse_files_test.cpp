// The client library against the shared vectors (tests/data: pulse files with their expected
// pulses or errors, the value conversion), and its two CSV readers against each other.
#include <gtest/gtest.h>
#include <bitset>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include "json_reader.h"
#include "tarvex/Analog.h"
#include "tarvex/PulseList.h"

namespace {

const std::string DATA = TARVEX_SOURCE_DIR "/tests/data/";

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// What reading gave, in the form of an expected file.
std::string result_text(const tarvex::PulseList& list)
{
    std::string s = "pulses " + std::to_string(list.size()) + "\n";
    for (size_t i = 0; i < list.size(); ++i)
        s += std::to_string(list[i].ticks) + "," + std::to_string(list[i].digi) + "," + std::to_string(list[i].ao0) +
             "," + std::to_string(list[i].ao1) + "\n";
    return s;
}

std::string read_text(const std::string& path, tarvex::PulseFormat format)
{
    try {
        return result_text(tarvex::PulseList::read(path, format, tarvex::MAX_STREAM_PULSES, "stream"));
    } catch (const tarvex::PulseFileError& e) {
        std::string s = "errors " + std::to_string(e.badLines()) + "\n";
        for (const auto& b : e.bad())
            s += std::to_string(b.line) + ": " + b.reason + "\n";
        return s;
    }
}

TEST(PulseFiles, SharedVectors)
{
    const std::pair<std::string, tarvex::PulseFormat> formats[] = {
        {"", tarvex::PulseFormat::Auto}, {".as-csv", tarvex::PulseFormat::Csv},
        {".as-binary", tarvex::PulseFormat::Binary}, {".as-little", tarvex::PulseFormat::Little},
        {".as-big", tarvex::PulseFormat::Big}};
    DIR* dir = opendir((DATA + "pulses").c_str());
    ASSERT_NE(dir, nullptr);
    int checked = 0;
    while (const dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.size() < 7 || name.compare(name.size() - 7, 7, ".expect") != 0)
            continue;
        name.resize(name.size() - 7);
        for (const auto& [suffix, format] : formats) {
            const size_t at = name.size() - std::min(name.size(), suffix.size());
            if (suffix.empty() ? name.find(".as-") != std::string::npos : name.compare(at, std::string::npos, suffix) != 0)
                continue;
            const std::string file = DATA + "pulses/" + name.substr(0, at);
            EXPECT_EQ(read_text(file, format), slurp(DATA + "pulses/" + e->d_name)) << e->d_name;
            ++checked;
        }
    }
    closedir(dir);
    EXPECT_GE(checked, 20);
}

TEST(PulseFiles, ValueConversionVectors)
{
    const std::string text = slurp(DATA + "values.json");
    tarvex::json::Value v;
    std::string error;
    ASSERT_TRUE(tarvex::json::parse(text.data(), text.size(), v, error)) << error;
    const tarvex::json::Value& cals = *v.find("calibrations");
    std::map<std::string, tarvex::AnalogConversion> conversion;
    for (size_t i = 0; i < cals.names.size(); ++i) {
        const auto& c = cals.items[i];
        tarvex::AnalogConversion a;
        ASSERT_TRUE(tarvex::AnalogConversion::fromCalibration(c.find("dc_offset")->number, c.find("slope")->number, a));
        EXPECT_EQ(a.gain, c.find("gain")->number) << cals.names[i];
        EXPECT_EQ(a.offset, c.find("offset")->number) << cals.names[i];
        conversion[cals.names[i]] = a;
    }
    size_t cases = 0;
    for (const char* direction : {"to_code", "to_value"})
        for (const auto& c : v.find(direction)->items) {
            const auto& a = conversion.at(c.find("calibration")->text);
            const auto value = static_cast<int16_t>(c.find("value")->number);
            const auto code = static_cast<uint16_t>(c.find("code")->number);
            if (direction[3] == 'c')
                EXPECT_EQ(a.code(value), code) << c.find("calibration")->text << " value " << value;
            else
                EXPECT_EQ(a.value(code), value) << c.find("calibration")->text << " code " << code;
            ++cases;
        }
    EXPECT_GE(cases, 100u);
}

// Lines of every shape, also with bytes changed, dropped or added here and there (commas and signs
// moved, fields emptied or too long): the word reader gives what the field reader gives; a
// written binary file reads back the same.
TEST(PulseFiles, WordReaderMatchesFieldReader)
{
    std::mt19937_64 rng(29);
    std::string all;
    std::vector<tarvex::Pulse> want;
    while (want.size() < 200000) {
        const auto ticks = static_cast<uint32_t>(rng() % (uint64_t{1} << (rng() % 33)));
        const auto digi = static_cast<uint8_t>(rng());
        const auto a0 = static_cast<int16_t>(rng()), a1 = static_cast<int16_t>(rng() % 4 ? rng() : 32767 + rng() % 2);
        if (rng() % 500 == 0 && (all += rng() % 2 ? "\n" : "# comment\n", true))
            continue;
        const std::string d = rng() % 20 ? std::to_string(digi) : std::bitset<8>(digi).to_string();
        all += std::string(rng() % 40 ? "" : " ") + std::to_string(ticks) + "," + d + "," + std::to_string(a0) + "," +
               std::to_string(a1) + (rng() % 30 ? "\n" : "\r\n");
        want.push_back(tarvex::Pulse{ticks, digi, a0, a1});
    }
    std::string noisy;
    for (const char c : all)
        if (rng() % 20 != 0)
            noisy += c;
        else if (rng() % 3 != 0)
            noisy += std::string(rng() % 2 ? 1 : 0, c) + ",-0\r 9x"[rng() % 7];
    for (const std::string* text : {&all, &noisy}) {
        std::string seen[2];
        for (const auto reader : {tarvex::CsvReader::Words, tarvex::CsvReader::Fields}) {
            std::vector<tarvex::Pulse> got;
            std::vector<tarvex::BadLine> bad;
            const auto tally = tarvex::parseCsv(text->data(), text->size(), got, bad, SIZE_MAX, reader);
            EXPECT_EQ(tally.bad_lines > 20000, text == &noisy);
            std::string& s = seen[reader == tarvex::CsvReader::Fields];
            s.assign(reinterpret_cast<const char*>(got.data()), got.size() * sizeof(tarvex::Pulse));
            for (const auto& b : bad)
                s += std::to_string(b.line) + b.reason;
            s += std::to_string(tally.lines) + "/" + std::to_string(tally.bad_lines);
        }
        EXPECT_TRUE(seen[0] == seen[1]);
        EXPECT_EQ(seen[0].compare(0, want.size() * sizeof(tarvex::Pulse), reinterpret_cast<const char*>(want.data()),
                                  want.size() * sizeof(tarvex::Pulse)) == 0,
                  text == &all);
    }
    const std::string file = tarvex::binaryPulseFile(want.data(), want.size());
    const auto back = tarvex::PulseList::fromBytes(file.data(), file.size(), "", tarvex::PulseFormat::Auto, SIZE_MAX, "");
    ASSERT_EQ(back.size(), want.size());
    EXPECT_EQ(std::memcmp(back.data(), want.data(), want.size() * sizeof(tarvex::Pulse)), 0);
}

}  // namespace

// The calibrated analog conversion, the calibration file loader, and reading and replacing the
// stored calibration on a device.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <string>

#include "device/Pulse.h"
#include "support/device.h"
#include "support/sandbox.h"

using testsupport::DeviceTest;
using testsupport::file_exists;
using testsupport::read_file;
using testsupport::Sandbox;
using testsupport::write_file;

namespace {

uint16_t code0(const AnalogCalibDataCorr& cal, int16_t v) {
    ANALOG_TO_BYTES c;
    c.setWithCalibration(v, 0, cal);
    return uint16_t(c.value & 0xFFFF);
}
uint16_t code1(const AnalogCalibDataCorr& cal, int16_t v) {
    ANALOG_TO_BYTES c;
    c.setWithCalibration(0, v, cal);
    return uint16_t(c.value >> 16);
}

bool neutral(const AnalogCalibDataCorr& c) {
    return c.dc_offset_a0 == 0 && c.dc_offset_a1 == 0 && c.gain_error_corr_a0 == 1 && c.gain_error_corr_a1 == 1 &&
           c.gain0 == -16384 && c.gain1 == -16384 && c.offset0 == 536870912 && c.offset1 == 536870912;
}

const std::string FULL_FILE =
    "#Serial: 0A1B2C3D\ndc_offset_a0=0\ndc_offset_a1=0\ngain_error_corr_a0=1\ngain_error_corr_a1=1\n#end of file";

// The derived coefficients: gain0, offset0, gain1, offset1.
std::vector<long long> coefficients(const AnalogCalibDataCorr& c) { return {c.gain0, c.offset0, c.gain1, c.offset1}; }

struct Loaded {
    AnalogCalibDataCorr cal;
    std::string out, err;
};

class CalibrationFile : public ::testing::Test {
protected:
    // Loads `content` (or the file at `p`): the object, standard output and standard error.
    Loaded load(const std::string& content) {
        write_file(path, content);
        return load_path(path);
    }
    Loaded load_path(const std::string& p) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        AnalogCalibDataCorr cal(p);
        std::string out = testing::internal::GetCapturedStdout();
        return Loaded{cal, out, testing::internal::GetCapturedStderr()};
    }
    Sandbox sandbox;
    std::string path = sandbox.root() + "/analog.calib";
};

TEST(AnalogConversion, NeutralCalibration) {
    AnalogCalibDataCorr neutral_cal;
    ANALOG_TO_BYTES c;
    c.setWithCalibration(0, 0, neutral_cal);
    EXPECT_EQ(c.value, 0x20002000u);
    c.setWithCalibration(32767, -32768, neutral_cal);
    EXPECT_EQ(c.value, 0x3FFF0000u);
    c.setWithCalibration(-32768, 32767, neutral_cal);
    EXPECT_EQ(c.value, 0x00003FFFu);
    // Larger values give smaller codes, four values per code.
    EXPECT_EQ(code0(neutral_cal, 4), 8191);
    EXPECT_EQ(code0(neutral_cal, -4), 8193);
    // The global calibration of test programs is neutral.
    c.setWithCalibration(32767, -32768);
    EXPECT_EQ(c.value, 0x3FFF0000u);
}

TEST(AnalogConversion, CoefficientsBeyond32BitsClampInsteadOfOverflowing) {
    AnalogCalibDataCorr steep;
    steep.gain_error_corr_a0 = 100.0;  // gain * 32767 is far outside 32 bits
    steep.dc_offset_a1 = -20000;
    ASSERT_TRUE(steep.deriveCoefficients());
    EXPECT_EQ(steep.gain0, -1638400);
    EXPECT_EQ(code0(steep, -32768), 0x3FFF);
    EXPECT_EQ(code0(steep, 32767), 0);
    EXPECT_EQ(code0(steep, 1), 8167);  // 8192 - 100 / 4
    EXPECT_EQ(code1(steep, 0), 0);     // offset below code 0
}

TEST_F(CalibrationFile, OffsetAndGainCorrection) {
    Loaded l = load(
        "#Serial: X\ndc_offset_a0=10\ndc_offset_a1=0\ngain_error_corr_a0=1.01\ngain_error_corr_a1=1\n#end of file");
    EXPECT_EQ(l.out, "analog calibration file successfully read\n");
    EXPECT_EQ(l.err, "");
    EXPECT_EQ(coefficients(l.cal), (std::vector<long long>{-16548, 537532826, -16384, 536870912}));
    EXPECT_EQ(code0(l.cal, 0), 8202);
    EXPECT_EQ(code0(l.cal, 1000), 7949);
    EXPECT_EQ(code0(l.cal, 32767), 0);
    EXPECT_EQ(code0(l.cal, -32768), 16383);
}

TEST_F(CalibrationFile, LenientLayout) {
    // Any order, CRLF line ends, comments anywhere, leading blanks and trailing text in values,
    // a repeated key (the last wins), no final line break.
    Loaded l = load(
        "gain_error_corr_a1= 0.5xyz\r\n# comment\r\ndc_offset_a1=-3.5\r\ngain_error_corr_a0=2\r\n"
        "dc_offset_a0=1\r\ndc_offset_a0=7");
    EXPECT_EQ(l.out, "analog calibration file successfully read\n");
    EXPECT_TRUE(l.cal.dc_offset_a0 == 7 && l.cal.dc_offset_a1 == -3.5 && l.cal.gain_error_corr_a0 == 2 &&
                l.cal.gain_error_corr_a1 == 0.5);
    EXPECT_TRUE(l.cal.gain0 == -32768 && l.cal.offset0 == (2 * 7 + 8192) * 65536);
    // An unreadable value reads as 0.
    l = load("dc_offset_a0=abc\ndc_offset_a1=\ngain_error_corr_a0=1\ngain_error_corr_a1=nan\n");
    EXPECT_EQ(l.out, "analog calibration file successfully read\n");
    EXPECT_TRUE(l.cal.dc_offset_a0 == 0 && l.cal.gain_error_corr_a1 == 0 && l.cal.gain1 == 0);
    EXPECT_EQ(code1(l.cal, 12345), 8192);
}

TEST_F(CalibrationFile, UnusableFilesGiveTheNeutralConversion) {
    Loaded l = load_path(sandbox.root() + "/missing.calib");
    EXPECT_EQ(l.out, "no calibration file for analog outputs found\n");
    EXPECT_TRUE(neutral(l.cal));
    const std::string three = "dc_offset_a1=0\ngain_error_corr_a0=1.01\n", four = three + "gain_error_corr_a1=1\n";
    const std::string cases[][3] = {
        // content, standard output, standard error
        {"dc_offset_a0=10\n" + three, "analog calibration file corrupted: 1 | 1 | 1 | 0\n", ""},
        {"dc_offset_a0 = 5\n" + four, "", "std::invalid_argument -> dc_offset_a0  not found\n"},
        {"dc_offset_a0=3\n=5\n" + four, "", "std::invalid_argument ->  not found\n"}};
    for (const auto& c : cases) {
        l = load(c[0]);
        EXPECT_EQ(l.out, c[1]);
        EXPECT_EQ(l.err, c[2]);
        EXPECT_TRUE(neutral(l.cal)) << c[0];
    }
}

TEST_F(CalibrationFile, HostileContentNeverThrowsNorOverflows) {
    const std::string rest = "\ndc_offset_a1=0\ngain_error_corr_a1=1\n";
    const std::vector<std::string> values_out_of_range = {
        "dc_offset_a0=0\ngain_error_corr_a0=1e300",  // gain beyond 32 bits
        "dc_offset_a0=1e300\ngain_error_corr_a0=1",  // offset beyond 32 bits
        "dc_offset_a0=0\ngain_error_corr_a0=1e400",  // beyond the double range
        "dc_offset_a0=-1e400\ngain_error_corr_a0=1",
        "dc_offset_a0=40000\ngain_error_corr_a0=1",  // (40000 + 8192) * 65536 > 2^31
    };
    for (const std::string& v : values_out_of_range) {
        SCOPED_TRACE(v);
        Loaded l = load(v + rest);
        EXPECT_EQ(l.out, "analog calibration file successfully read\nanalog calibration values out of range\n");
        EXPECT_TRUE(neutral(l.cal));
    }
    // NaN and infinity as text are unreadable numbers (0).
    Loaded l = load("dc_offset_a0=inf\ngain_error_corr_a0=-nan" + rest);
    EXPECT_TRUE(l.cal.dc_offset_a0 == 0 && l.cal.gain_error_corr_a0 == 0);

    // Binary bytes, NULs, an enormous line, a directory instead of a file.
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary.push_back(char((i * 7919) & 0xFF));
    for (const std::string& content : {binary, std::string("dc_offset_a0=1\0\xff=2\n", 18) + rest,
                                       std::string(1 << 20, 'x') + "\n" + std::string(1 << 20, '=')})
        EXPECT_TRUE(neutral(load(content).cal)) << content.size();
    ASSERT_EQ(mkdir((sandbox.root() + "/dir.calib").c_str(), 0755), 0);
    EXPECT_TRUE(neutral(load_path(sandbox.root() + "/dir.calib").cal));
}

// ---------------------------------------------------------------------------------------------
// Reading and replacing the stored calibration
// ---------------------------------------------------------------------------------------------

class CalibrationDevice : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        calib = sandbox.path(ANALOG_CALIB_FILE);
        tmp = sandbox.path("/userconfig/hardware/tmp_writefile");
        ASSERT_EQ(system(("mkdir -p '" + sandbox.path("/userconfig/hardware") + "'").c_str()), 0);
        sim::clear_commands();
    }
    int32_t set(AnalogCalibData d) {
        output();
        testing::internal::CaptureStderr();
        int32_t r = pulser->setAnalogCalibration(d);
        out = output();
        err = testing::internal::GetCapturedStderr();
        return r;
    }
    bool rebooted() {
        const auto lines = shellLines();
        return std::find(lines.begin(), lines.end(), "/sbin/reboot -d 1 &") != lines.end();
    }

    std::string calib, tmp, out, err;
};

TEST_F(CalibrationDevice, CreateThenRewrite) {
    ASSERT_FALSE(file_exists(calib));
    EXPECT_EQ(set({0.001, -0.5, 2.0, 1.0}), 1);
    EXPECT_NE(out.find("Setting analog calibration values\nno analog.calib found\n"), std::string::npos) << out;
    EXPECT_NE(out.find("created analog.calib found\n"), std::string::npos) << out;
    EXPECT_TRUE(rebooted());
    const std::string created = read_file(calib);
    EXPECT_EQ(created.rfind("#Serial: ", 0), 0u) << created;
    EXPECT_NE(created.find("\ndc_offset_a0=8\ndc_offset_a1=-4096\ngain_error_corr_a0=0.5\ngain_error_corr_a1=1\n"
                           "#end of file"),
              std::string::npos)
        << created;
    EXPECT_EQ(created.substr(created.size() - 12), "#end of file");
    EXPECT_FALSE(file_exists(tmp));

    // Reading it back: file values turned into fractions and slopes.
    AnalogCalibData back = pulser->getAnalogCalibration();
    EXPECT_NEAR(back.dc_offset_a0, 8 * 4.0 / 32767, 1e-12);
    EXPECT_NEAR(back.dc_offset_a1, -4096 * 4.0 / 32767, 1e-12);
    EXPECT_TRUE(back.slope_a0 == 2.0 && back.slope_a1 == 1.0) << back.slope_a0 << " " << back.slope_a1;

    // Rewrite: values replaced in place, other lines kept, every line ends with a line break.
    write_file(calib,
               "#Serial: ABC\n# keep me\ndc_offset_a1=3\ndc_offset_a0=1\ngain_error_corr_a1=1\n"
               "gain_error_corr_a0=1\n#end of file");
    sim::clear_commands();
    EXPECT_EQ(set({0, 0.002, 1.0, 0.5}), 0);
    EXPECT_NE(out.find("analog.calib successfully set\n"), std::string::npos) << out;
    EXPECT_TRUE(rebooted());
    EXPECT_EQ(read_file(calib),
              "#Serial: ABC\n# keep me\ndc_offset_a1=16\ndc_offset_a0=0\ngain_error_corr_a1=2\n"
              "gain_error_corr_a0=1\n#end of file\n");
    EXPECT_FALSE(file_exists(tmp));
}

TEST_F(CalibrationDevice, OutOfRangeRequestsLeaveTheFileAlone) {
    write_file(calib, FULL_FILE);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<AnalogCalibData> refused = {
        {0, 0, 0.33, 1.0},                       // addend - 32768 * multiplier = 2163736576
        {0, 0, 1.0, 0.33},    {0, 0, 0.0, 1.0},  // slope 0: infinite factor
        {0, 0, 1.0, -0.0},    {nan, 0, 1.0, 1.0}, {0, inf, 1.0, 1.0}, {0, 0, nan, 1.0}, {0, 0, 1.0, -inf},  // factor -0
        {0, 0, 1e-320, 1.0},                       // factor overflows to infinity
        {1e300, 0, 1.0, 1.0}, {5.0, 0, 1.0, 1.0},  // offset of 40959 codes: addend beyond 32 bits
        {0, 0, -0.33, 1.0},                        // negative gain: the other end of the input range overflows
    };
    for (const AnalogCalibData& d : refused) {
        SCOPED_TRACE(&d - refused.data());
        EXPECT_EQ(set(d), -1);
        EXPECT_EQ(err, "Calibration values out of range\n");
        EXPECT_EQ(read_file(calib), FULL_FILE);
        EXPECT_FALSE(rebooted());
    }
    EXPECT_EQ(set({0, 0, 0.34, 1.0}), 0);
    EXPECT_EQ(err, "");
    EXPECT_NE(read_file(calib).find("gain_error_corr_a0=2.94118\n"), std::string::npos) << read_file(calib);
    EXPECT_TRUE(rebooted());
}

TEST_F(CalibrationDevice, WriteFailuresKeepThePreviousFile) {
    // Each failure answers -1, leaves no temporary file and does not reboot.
    auto refused = [&](const char* why) {
        EXPECT_EQ(set({0.5, 0, 1.0, 1.0}), -1) << why;
        EXPECT_FALSE(rebooted()) << why;
    };
    write_file(calib, FULL_FILE);
    ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
    refused("the temporary file cannot be created");
    EXPECT_EQ(read_file(calib), FULL_FILE);
    ASSERT_EQ(rmdir(tmp.c_str()), 0);

    ASSERT_EQ(symlink("/dev/full", tmp.c_str()), 0);
    refused("writing fails (no space left)");
    EXPECT_NE(err.find("write"), std::string::npos) << err;
    EXPECT_EQ(read_file(calib), FULL_FILE);
    EXPECT_FALSE(file_exists(tmp)) << "the half-written temporary file is removed";

    ASSERT_EQ(unlink(calib.c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", tmp.c_str()), 0);
    refused("the same when creating: no file appears");
    EXPECT_FALSE(file_exists(calib) || file_exists(tmp));

    ASSERT_EQ(mkdir(calib.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((calib + "/x").c_str(), 0755), 0);
    refused("a folder stands where the file goes: it cannot be read, nothing is replaced");
    EXPECT_EQ(err.rfind("read: ", 0), 0u) << err;
    EXPECT_FALSE(file_exists(tmp));
    EXPECT_TRUE(file_exists(calib + "/x"));
}

}  // namespace

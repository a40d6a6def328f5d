// tarvex: the instrument from a terminal or a shell script. See `tarvex --help`.
#include <unistd.h>

#include <chrono>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <cxxopts.hpp>

#include "output.h"
#include "tarvex/Client.h"
#include "tarvex/Discovery.h"
#include "tarvex/PulseList.h"
#include "tarvex/Waveform.h"

namespace tarvex::cli {

namespace {

enum Exit { OK = 0, REFUSED = 1, USAGE = 2, UNREACHABLE = 3, EMPTY = 4, BUSY = 5 };

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Context {
    std::string host;
    std::chrono::milliseconds timeout;
    bool timeout_given = false;
    Ports ports;
    bool json = false;
    std::string grpc_endpoint() const {
        std::string name;
        uint16_t port = ports.grpc;
        return splitAddress(host, name, port) ? endpoint(name, port) : host;
    }
};

// An empty slot read back: nothing to show.
struct EmptySlot : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using Options = cxxopts::Options;
using Result = cxxopts::ParseResult;

struct Command {
    const char* name;
    const char* summary;
    const char* synopsis;
    const char* description;
    bool reads;  // offers --json
    void (*options)(Options&);
    int (*run)(Context&, const Result&);
};

// ---- argument readers ----

long long integer(const std::string& text, const std::string& what, long long low, long long high) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != 0 || errno == ERANGE || v < low || v > high)
        throw UsageError(what + " must be a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not \"" + text + "\"");
    return v;
}

double real(const std::string& text, const std::string& what) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != 0 || !std::isfinite(v))
        throw UsageError(what + " must be a number, not \"" + text + "\"");
    return v;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// "D,A0,A1": digital 0-255 (or eight 0/1 characters), two analog values.
Pulse output_state(const std::string& text, const std::string& what) {
    const auto parts = split(text, ',');
    if (parts.size() != 3)
        throw UsageError(what + " must be D,A0,A1 (digital, analog 0, analog 1), not \"" + text + "\"");
    std::vector<Pulse> one;
    std::vector<BadLine> bad;
    const std::string line = "0," + text;
    parseCsv(line.data(), line.size(), one, bad);
    if (one.size() != 1) throw UsageError(what + " \"" + text + "\": " + (bad.empty() ? "not D,A0,A1" : bad[0].reason));
    return one[0];
}

std::string hex(uint32_t v) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", v);
    return buffer;
}

const char* const start_names[] = {"immediate", "software", "rising", "falling", "both"};
const char* const rearm_names[] = {"auto", "manual"};
const char* const clock_names[] = {"internal", "ext125", "ext10"};

template <size_t N>
uint32_t choice(const std::string& text, const char* const (&names)[N], const std::string& what) {
    for (size_t i = 0; i < N; ++i)
        if (text == names[i]) return static_cast<uint32_t>(i);
    std::string all;
    for (size_t i = 0; i < N; ++i) all += (i ? ", " : "") + std::string(names[i]);
    throw UsageError(what + " must be one of " + all + ", not \"" + text + "\"");
}

template <size_t N>
std::string name_of(uint32_t value, const char* const (&names)[N]) {
    return value < N ? names[value] : "unknown (" + std::to_string(value) + ")";
}

void need_yes(const Result& r, const std::string& what) {
    if (!r["yes"].as<bool>()) throw UsageError(what + " reboots the instrument: add --yes to go ahead");
}

void print(const Context& c, const JsonOut& json, const std::string& words) {
    if (c.json)
        std::printf("%s\n", json.str().c_str());
    else
        std::printf("%s", words.c_str());
}

// ---- progress bar (standard error, only on a terminal) ----

class ProgressBar {
public:
    explicit ProgressBar(bool on) : on_(on), start_(std::chrono::steady_clock::now()) {}
    ~ProgressBar() {
        if (drawn_) std::fprintf(stderr, "\n");
    }
    Progress callback() {
        if (!on_) return {};
        return [this](uint64_t sent, uint64_t total) {
            const auto now = std::chrono::steady_clock::now();
            if (sent < total && now - last_ < std::chrono::milliseconds(100)) return;
            last_ = now;
            const double seconds = std::chrono::duration<double>(now - start_).count();
            const int filled = static_cast<int>(30.0 * static_cast<double>(sent) / static_cast<double>(total));
            std::fprintf(stderr, "\r[%s%s] %3d%%  %.1f MB/s ", std::string(static_cast<size_t>(filled), '#').c_str(),
                         std::string(static_cast<size_t>(30 - filled), '.').c_str(),
                         static_cast<int>(100.0 * static_cast<double>(sent) / static_cast<double>(total)),
                         seconds > 0 ? static_cast<double>(sent) / seconds / 1e6 : 0.0);
            drawn_ = true;
        };
    }

private:
    bool on_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_, last_{};
};

// ---- commands ----

void discover_options(Options& o) {
    o.add_options()("p,port", "Discovery port.", cxxopts::value<int>()->default_value(std::to_string(DISCOVERY_PORT)),
                    "P")("m,mcast-grp", "Multicast group to ask.",
                         cxxopts::value<std::string>()->default_value(DISCOVERY_GROUP))(
        "no-broadcast", "Do not ask by broadcast.")("no-multicast", "Do not ask the multicast group.")(
        "address", "Also ask ADDRESS[:PORT] directly.", cxxopts::value<std::vector<std::string>>());
    o.parse_positional({"address"});
}

int discover_run(Context& c, const Result& r) {
    DiscoveryOptions d;
    // Answers are collected for the whole time: any number of instruments may answer.
    d.timeout = c.timeout_given ? c.timeout : std::chrono::milliseconds(2000);
    if (d.timeout > std::chrono::seconds(60)) throw UsageError("-T must be at most 60 seconds for discover");
    const double seconds = static_cast<double>(d.timeout.count()) / 1000;
    d.port = static_cast<uint16_t>(integer(std::to_string(r["port"].as<int>()), "--port", 1, 65535));
    d.group = r["mcast-grp"].as<std::string>();
    d.broadcast = !r.count("no-broadcast");
    d.multicast = !r.count("no-multicast");
    if (r.count("address")) d.addresses = r["address"].as<std::vector<std::string>>();
    const Discovered found = discover(d);
    if (found.instruments.empty())
        for (const std::string& f : found.failures) std::fprintf(stderr, "tarvex discover: %s\n", f.c_str());
    auto where = [&](const Instrument& i) {
        return i.port == d.port ? i.address : i.address + ":" + std::to_string(i.port);
    };
    if (c.json) {
        std::string list;
        for (const Instrument& i : found.instruments)
            list += (list.empty() ? "" : ",") + JsonOut()
                                                    .text("address", i.address)
                                                    .integer("port", i.port)
                                                    .text("hostname", i.hostname)
                                                    .text("serial", i.serial)
                                                    .text("model", i.model)
                                                    .text("firmware", i.firmware)
                                                    .text("hardware", i.hardware)
                                                    .text("fpgaid", i.fpgaid)
                                                    .flag("update_mode", i.update_mode)
                                                    .text("identity", i.identity)
                                                    .str();
        std::printf("%s\n", JsonOut().raw("instruments", "[" + list + "]").str().c_str());
        return found.instruments.empty() ? UNREACHABLE : OK;
    }
    if (found.instruments.empty()) {
        std::printf("no instrument answered within %g s\n", seconds);
        return UNREACHABLE;
    }
    std::vector<std::vector<std::string>> rows;
    for (const Instrument& i : found.instruments)
        rows.push_back({where(i), i.hostname, i.serial, i.model, i.firmware, i.update_mode ? "update" : "normal"});
    print_table({"ADDRESS", "HOSTNAME", "SERIAL", "MODEL", "FIRMWARE", "MODE"}, rows);
    return OK;
}

void no_options(Options&) {}

int status_run(Context& c, const Result&) {
    Client t(c.host, c.timeout, c.ports);
    const std::string hostname = t.hostname(), serial = t.serial(), firmware = t.firmwareVersion(),
                      hardware = t.hardwareVersion(), fpgaid = t.fpgaId(), temperature = t.temperature();
    const SupplyState supply = t.supply();
    const StreamingState s = t.streamingState();
    const bool streaming = t.isStreaming(), sequence = t.hasSequence(), finished = t.hasFinished(),
               underflow = t.underflow();
    const uint32_t status = t.statusRegister();
    const uint32_t start = static_cast<uint32_t>(t.triggerStart()), rearm = static_cast<uint32_t>(t.triggerRearm()),
                   clock = static_cast<uint32_t>(t.clock());
    // "On-Chip Temperature: 34.45 °C": the number after the colon.
    const size_t colon = temperature.rfind(':');
    const double celsius = std::strtod(temperature.c_str() + (colon == std::string::npos ? 0 : colon + 1), nullptr);
    char temperature_text[32];
    std::snprintf(temperature_text, sizeof temperature_text, "%.2f °C", celsius);
    JsonOut json;
    json.text("host", c.host)
        .text("hostname", hostname)
        .text("serial", serial)
        .text("firmware", firmware)
        .text("hardware", hardware)
        .text("fpgaid", fpgaid)
        .number("temperature_c", celsius)
        .object(
            "supply",
            JsonOut().number("current_a", supply.efuse_current).number("v12_v", supply.v12).number("v33_v", supply.v33))
        .object("streaming", JsonOut()
                                 .flag("streaming", streaming)
                                 .flag("has_sequence", sequence)
                                 .flag("finished", finished)
                                 .flag("underflow", underflow)
                                 .integer("state", s.state)
                                 .integer("state_condition", s.state_condition)
                                 .text("error", s.error_message)
                                 .integer("total_time_ns", static_cast<long long>(s.total_time) * 8)
                                 .integer("streaming_time_ns", static_cast<long long>(s.streaming_time) * 8)
                                 .integer("underflow_time_ns", static_cast<long long>(s.underflow_time) * 8)
                                 .integer("waiting_data_time_ns", static_cast<long long>(s.waiting_data_time) * 8)
                                 .integer("slot_changes", static_cast<long long>(s.slot_changes)))
        .integer("status_register", status)
        .object("trigger",
                JsonOut().text("start", name_of(start, start_names)).text("rearm", name_of(rearm, rearm_names)))
        .text("clock", name_of(clock, clock_names));
    char supply_text[96];
    std::snprintf(supply_text, sizeof supply_text, "%.3f A, 12 V rail %.2f V, 3.3 V rail %.3f V", supply.efuse_current,
                  supply.v12, supply.v33);
    std::string words = "instrument   " + c.host + "\nhostname     " + hostname + "\nserial       " + serial +
                        "\nfirmware     " + firmware + "\nhardware     " + hardware + "\nfpga id      " + fpgaid +
                        "\ntemperature  " + temperature_text + "\nsupply       " + supply_text + "\nstreaming    " +
                        (streaming ? "yes" : "no") + (sequence ? ", holds a sequence" : ", no sequence") +
                        (finished ? ", finished" : "") + (underflow ? ", UNDERFLOW" : "") + "\nstate        " +
                        std::to_string(s.state) + " (condition " + std::to_string(s.state_condition) + ")" +
                        (s.error_message.empty() ? "" : ": " + s.error_message) + "\nslot changes " +
                        std::to_string(s.slot_changes) + "\nstatus word  " + hex(status) + "\ntrigger      start " +
                        name_of(start, start_names) + ", rearm " + name_of(rearm, rearm_names) + "\nclock        " +
                        name_of(clock, clock_names) + "\n";
    print(c, json, words);
    return OK;
}

// A duration of `ns` nanoseconds for people: ns, us, ms or s, four significant digits.
std::string duration_text(uint64_t ns) {
    static const struct {
        double scale;
        const char* unit;
    } units[] = {{1e9, "s"}, {1e6, "ms"}, {1e3, "us"}, {1, "ns"}};
    for (const auto& u : units)
        if (static_cast<double>(ns) >= u.scale || u.scale == 1) {
            char text[48];
            std::snprintf(text, sizeof text, "%.4g %s", static_cast<double>(ns) / u.scale, u.unit);
            return text;
        }
    return "";
}

// What a loaded list plays: its length and runs ("plays nothing" for 0 runs: only the final state).
std::string sequence_summary(size_t pulses, uint64_t ticks, long long runs, bool upload, long long slot) {
    const std::string what = std::to_string(pulses) + " pulses, " + duration_text((ticks + 7) / 8 * 8) + " per run";
    const std::string how = runs < 0    ? "endlessly"
                            : runs == 0 ? "not at all: 0 runs show only the final state"
                            : runs == 1 ? "once"
                                        : std::to_string(runs) + " times";
    if (upload)
        return "slot " + std::to_string(slot) + " holds " + what + ", to play " + how +
               (runs == 0 ? "" : "; start it with: tarvex start --slot " + std::to_string(slot)) + "\n";
    return "the instrument plays " + what + ", " + how + "\n";
}

void list_options(Options& o, bool upload) {
    o.add_options()("file", "Pulse list: CSV, 9-byte records, or - for standard input.", cxxopts::value<std::string>())(
        "r,runs", "Play the list N times; -1 endlessly.",
        cxxopts::value<std::string>()->default_value(upload ? "1" : "-1"), "N")(
        "final", "Output state afterwards: digital,ao0,ao1.", cxxopts::value<std::string>()->default_value("0,0,0"),
        "D,A0,A1")("format",
                   "csv, bin (with the TVXPULSE header), or little / big (bare 9-byte records in that byte order); "
                   "default: by the header, the file name, else the content.",
                   cxxopts::value<std::string>(), "F");
    if (upload)
        o.add_options()("s,slot", "Slot to load: 0 or 1.", cxxopts::value<std::string>(), "N")(
            "next-action", "After the slot: 0 stop, 1 or 2 go on to the other slot, 3 loop.",
            cxxopts::value<std::string>()->default_value("0"),
            "A")("at-run-end", "Change slots only at the end of the current run.")(
            "on-nodata", "When the other slot holds no data: 0 stop, 1 repeat, 2 repeat within the slot's length.",
            cxxopts::value<std::string>()->default_value("0"), "M");
    o.parse_positional({"file"});
}

void stream_options(Options& o) { list_options(o, false); }
void upload_options(Options& o) { list_options(o, true); }

int list_run(Context& c, const Result& r, bool upload) {
    if (!r.count("file")) throw UsageError("no pulse list given (FILE, or - for standard input)");
    PulseFormat format = PulseFormat::Auto;
    if (r.count("format")) {
        static const char* const names[] = {"csv", "bin", "little", "big"};
        const std::string f = r["format"].as<std::string>();
        const auto at = std::find(std::begin(names), std::end(names), f);
        if (at == std::end(names)) throw UsageError("--format must be csv, bin, little or big, not \"" + f + "\"");
        format = static_cast<PulseFormat>(static_cast<int>(PulseFormat::Csv) + (at - std::begin(names)));
    }
    const long long runs = integer(r["runs"].as<std::string>(), "--runs", -1, INT64_MAX);
    const Pulse final_state = output_state(r["final"].as<std::string>(), "--final");
    Chaining chaining;
    long long slot = 0;
    if (upload) {
        if (!r.count("slot")) throw UsageError("upload needs --slot 0 or --slot 1");
        slot = integer(r["slot"].as<std::string>(), "--slot", 0, 1);
        chaining.next_action = static_cast<uint8_t>(integer(r["next-action"].as<std::string>(), "--next-action", 0, 3));
        chaining.when = r.count("at-run-end") ? 1 : 0;
        chaining.on_nodata = static_cast<uint8_t>(integer(r["on-nodata"].as<std::string>(), "--on-nodata", 0, 2));
    }
    const std::string file = r["file"].as<std::string>();
    const PulseList list =
        PulseList::read(file, format, upload ? MAX_UPLOAD_PULSES : MAX_STREAM_PULSES, upload ? "upload" : "stream");
    Client t(c.host, c.timeout, c.ports);
    const auto begin = std::chrono::steady_clock::now();
    {
        ProgressBar bar(isatty(STDERR_FILENO) == 1);
        if (upload)
            t.upload(static_cast<unsigned>(slot), list.data(), list.size(), runs, final_state, chaining,
                     bar.callback());
        else
            t.stream(list.data(), list.size(), runs, final_state, bar.callback());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    uint64_t ticks = 0;
    for (size_t i = 0; i < list.size(); ++i) ticks += list[i].ticks;
    std::printf("%s", sequence_summary(list.size(), ticks, runs, upload, slot).c_str());
    std::printf("sent %s in %.3f s (%.1f MB/s)\n", upload ? "to the slot" : "to the instrument", seconds,
                static_cast<double>(list.size() * sizeof(Pulse)) / std::max(seconds, 1e-9) / 1e6);
    return OK;
}

int stream_run(Context& c, const Result& r) { return list_run(c, r, false); }
int upload_run(Context& c, const Result& r) { return list_run(c, r, true); }

void start_options(Options& o) {
    o.add_options()("s,slot", "Slot to start: 0 or 1.", cxxopts::value<std::string>()->default_value("0"), "N")(
        "slot-runs", "End after N slot plays; 0 no limit.", cxxopts::value<std::string>()->default_value("0"), "N");
}

int start_run(Context& c, const Result& r) {
    const long long slot = integer(r["slot"].as<std::string>(), "--slot", 0, 1);
    const long long runs = integer(r["slot-runs"].as<std::string>(), "--slot-runs", -1, INT64_MAX);
    Client t(c.host, c.timeout, c.ports);
    t.start(static_cast<unsigned>(slot), runs);
    std::printf("slot %lld started; streaming: %s\n", slot, t.isStreaming() ? "yes" : "no");
    return OK;
}

void readback_options(Options& o) {
    o.add_options()("s,slot", "Slot to read: 0 or 1.", cxxopts::value<std::string>(), "N")(
        "csv", "Write CSV (ticks,digital,ao0,ao1) to FILE (- standard output).", cxxopts::value<std::string>(), "FILE")(
        "vcd", "Write a value change dump to FILE (- standard output).", cxxopts::value<std::string>(), "FILE");
}

int readback_run(Context& c, const Result& r) {
    if (!r.count("slot")) throw UsageError("readback needs --slot 0 or --slot 1");
    const long long slot = integer(r["slot"].as<std::string>(), "--slot", 0, 1);
    if (r.count("csv") && r.count("vcd")) throw UsageError("give --csv or --vcd, not both");
    const bool vcd = r.count("vcd") > 0;
    const std::string path = vcd ? r["vcd"].as<std::string>() : r.count("csv") ? r["csv"].as<std::string>() : "-";
    Client t(c.host, c.timeout, c.ports);
    std::ofstream file;
    if (path != "-") {
        file.open(path, std::ios::binary | std::ios::trunc);
        if (!file) throw UsageError(path + ": " + std::strerror(errno));
    }
    std::ostream& out = path == "-" ? std::cout : file;
    uint64_t segments = 0, ticks = 0;
    if (c.json && path == "-") {
        // One document: the segments with their DAC codes, as the instrument reports them.
        std::string list;
        t.readback(static_cast<unsigned>(slot), [&](const std::vector<Segment>& page) {
            for (const Segment& s : page) {
                list += (list.empty() ? "[" : ",[") + std::to_string(s.ticks) + "," + std::to_string(s.digi) + "," +
                        std::to_string(s.code0) + "," + std::to_string(s.code1) + "]";
                ticks += s.ticks;
            }
            segments += page.size();
        });
        std::printf("%s\n", JsonOut()
                                .integer("slot", slot)
                                .integer("ticks", static_cast<long long>(ticks))
                                .raw("segments", "[" + list + "]")
                                .str()
                                .c_str());
        if (segments == 0) throw EmptySlot("slot " + std::to_string(slot) + " is empty: it holds no sequence");
        return OK;
    }
    const Calibration calibration = t.calibration();
    // Nothing is written before the first page has arrived.
    std::optional<CsvWriter> csv;
    std::optional<VcdWriter> dump;
    auto open_writer = [&] {
        if (vcd && !dump) dump.emplace(out, calibration);
        if (!vcd && !csv) csv.emplace(out, calibration);
    };
    t.readback(static_cast<unsigned>(slot), [&](const std::vector<Segment>& page) {
        open_writer();
        if (vcd)
            dump->write(page);
        else
            csv->write(page);
        segments += page.size();
        for (const Segment& s : page) ticks += s.ticks;
    });
    if (segments == 0)
        throw EmptySlot("slot " + std::to_string(slot) + " is empty: it holds no sequence; nothing was written");
    open_writer();
    if (vcd) dump->finish();
    out.flush();
    if (!out) throw UsageError(path + ": writing failed");
    if (path != "-") {
        const JsonOut json = JsonOut()
                                 .integer("slot", slot)
                                 .integer("segments", static_cast<long long>(segments))
                                 .integer("ticks", static_cast<long long>(ticks))
                                 .text("file", path);
        print(c, json,
              "slot " + std::to_string(slot) + ": " + std::to_string(segments) + " segments, " + std::to_string(ticks) +
                  " ns, written to " + path + "\n");
    }
    return OK;
}

void trigger_options(Options& o) {
    o.add_options()("start", "How a start begins: immediate, software, rising, falling, both.",
                    cxxopts::value<std::string>(),
                    "S")("rearm", "After a play: auto or manual.", cxxopts::value<std::string>(), "R")(
        "fire", "Give the software trigger now.")("rearm-now", "Rearm after a play in manual mode.");
}

int trigger_run(Context& c, const Result& r) {
    Client t(c.host, c.timeout, c.ports);
    std::optional<uint32_t> want_start, want_rearm;
    if (r.count("start")) want_start = choice(r["start"].as<std::string>(), start_names, "--start");
    if (r.count("rearm")) want_rearm = choice(r["rearm"].as<std::string>(), rearm_names, "--rearm");
    if (want_start || want_rearm)
        t.setTrigger(static_cast<TriggerStart>(want_start.value_or(static_cast<uint32_t>(t.triggerStart()))),
                     static_cast<Rearm>(want_rearm.value_or(static_cast<uint32_t>(t.triggerRearm()))));
    if (r.count("rearm-now") && !t.rearm())
        throw Error(Error::Refused, "the instrument did not rearm (result 0): nothing to rearm", c.grpc_endpoint());
    if (r.count("fire")) t.startNow();
    const uint32_t start = static_cast<uint32_t>(t.triggerStart()), rearm = static_cast<uint32_t>(t.triggerRearm());
    if ((want_start && *want_start != start) || (want_rearm && *want_rearm != rearm))
        throw Error(
            Error::Refused,
            "the instrument kept start " + name_of(start, start_names) + ", rearm " + name_of(rearm, rearm_names),
            c.grpc_endpoint());
    print(c, JsonOut().text("start", name_of(start, start_names)).text("rearm", name_of(rearm, rearm_names)),
          "trigger: start " + name_of(start, start_names) + ", rearm " + name_of(rearm, rearm_names) +
              (r.count("fire") ? " (software trigger given)" : "") + "\n");
    return OK;
}

void clock_options(Options& o) {
    o.add_options()("source", "Clock source: internal, ext125 (125 MHz), ext10 (reference, see --reference).",
                    cxxopts::value<std::string>(),
                    "S")("reference", "Frequency of the external reference in MHz.", cxxopts::value<std::string>(),
                         "MHZ")("phase", "Shift the clock phase by N steps.", cxxopts::value<std::string>(), "N");
}

int clock_run(Context& c, const Result& r) {
    Client t(c.host, c.timeout, c.ports);
    std::optional<uint32_t> want;
    if (r.count("source")) want = choice(r["source"].as<std::string>(), clock_names, "--source");
    std::optional<double> reference;
    if (r.count("reference")) reference = real(r["reference"].as<std::string>(), "--reference");
    std::optional<long long> phase;
    if (r.count("phase")) phase = integer(r["phase"].as<std::string>(), "--phase", INT32_MIN, INT32_MAX);
    if (reference) t.setClockReference(*reference);
    if (want) t.selectClock(static_cast<ClockSource>(*want));
    if (phase) t.shiftClockPhase(static_cast<int>(*phase));
    const uint32_t now = static_cast<uint32_t>(t.clock());
    if (want && *want != now)
        throw Error(Error::Refused, "the instrument kept the clock source " + name_of(now, clock_names),
                    c.grpc_endpoint());
    print(c, JsonOut().text("source", name_of(now, clock_names)), "clock: " + name_of(now, clock_names) + "\n");
    return OK;
}

void constant_options(Options& o) {
    o.add_options()("state", "Output state: digital,ao0,ao1.", cxxopts::value<std::string>(), "D,A0,A1");
    o.parse_positional({"state"});
}

int constant_run(Context& c, const Result& r) {
    if (!r.count("state")) throw UsageError("no output state given (D,A0,A1)");
    const Pulse state = output_state(r["state"].as<std::string>(), "the output state");
    Client t(c.host, c.timeout, c.ports);
    t.constant(state);
    std::printf("outputs constant: digital %u, ao0 %d, ao1 %d; streaming: %s\n", state.digi, state.ao0, state.ao1,
                t.isStreaming() ? "yes" : "no");
    return OK;
}

int stop_run(Context& c, const Result&) {
    Client t(c.host, c.timeout, c.ports);
    t.forceFinal();
    if (t.isStreaming())
        throw Error(Error::Refused, "the instrument is still streaming after the stop", c.grpc_endpoint());
    std::printf("stopped: the outputs show the final state, both slots are cleared\n");
    return OK;
}

int reset_run(Context& c, const Result&) {
    Client t(c.host, c.timeout, c.ports);
    t.reset();
    std::printf("reset: outputs off, both slots cleared; streaming: %s\n", t.isStreaming() ? "yes" : "no");
    return OK;
}

void yes_option(Options& o) { o.add_options()("yes", "Go ahead although the instrument reboots."); }

int reboot_run(Context& c, const Result& r) {
    need_yes(r, "reboot");
    Client t(c.host, c.timeout, c.ports);
    t.reboot();
    std::printf("the instrument reboots\n");
    return OK;
}

void calibration_options(Options& o) {
    yes_option(o);
    o.add_options()("offsets", "DC offsets of outputs 0 and 1 (fractions of full scale).",
                    cxxopts::value<std::string>(),
                    "O0,O1")("slopes", "Slopes of outputs 0 and 1.", cxxopts::value<std::string>(), "S0,S1");
}

int calibration_run(Context& c, const Result& r) {
    Client t(c.host, c.timeout, c.ports);
    if (r.count("offsets") || r.count("slopes")) {
        if (!r.count("offsets") || !r.count("slopes")) throw UsageError("give both --offsets and --slopes");
        const auto offsets = split(r["offsets"].as<std::string>(), ','),
                   slopes = split(r["slopes"].as<std::string>(), ',');
        if (offsets.size() != 2 || slopes.size() != 2)
            throw UsageError("--offsets and --slopes take two numbers each, separated by a comma");
        need_yes(r, "a new calibration");
        Calibration k{real(offsets[0], "--offsets"), real(offsets[1], "--offsets"), real(slopes[0], "--slopes"),
                      real(slopes[1], "--slopes")};
        t.setCalibration(k);
    }
    const Calibration k = t.calibration();
    char words[160];
    std::snprintf(words, sizeof words, "calibration: offsets %g, %g; slopes %g, %g\n", k.dc_offset_a0, k.dc_offset_a1,
                  k.slope_a0, k.slope_a1);
    print(c,
          JsonOut()
              .number("dc_offset_a0", k.dc_offset_a0)
              .number("dc_offset_a1", k.dc_offset_a1)
              .number("slope_a0", k.slope_a0)
              .number("slope_a1", k.slope_a1),
          words);
    return OK;
}

void network_options(Options& o) {
    yes_option(o);
    o.add_options()("dhcp", "Take the address by DHCP.")("ip", "Static address.", cxxopts::value<std::string>(), "A")(
        "netmask", "Network mask.", cxxopts::value<std::string>(), "M")(
        "gateway", "Gateway.", cxxopts::value<std::string>()->default_value(""), "G")(
        "test", "Try the settings on the running interface only (no reboot; undone by a reboot).")(
        "apply", "Store the settings being tried (reboots).")("stored",
                                                              "Show the stored settings instead of the current ones.");
}

int network_run(Context& c, const Result& r) {
    Client t(c.host, c.timeout, c.ports);
    const bool change = r.count("dhcp") || r.count("ip") || r.count("netmask");
    if (change) {
        NetworkSettings s;
        s.dhcp = r.count("dhcp") > 0;
        if (!s.dhcp && (!r.count("ip") || !r.count("netmask"))) throw UsageError("give --dhcp, or --ip and --netmask");
        if (!s.dhcp) {
            s.ip = r["ip"].as<std::string>();
            s.netmask = r["netmask"].as<std::string>();
            s.gateway = r["gateway"].as<std::string>();
        }
        const bool test = r.count("test") > 0;
        if (!test) need_yes(r, "storing network settings");
        t.setNetwork(s, test);
    } else if (r.count("apply")) {
        need_yes(r, "storing the settings being tried");
        t.applyNetwork();
    }
    const NetworkSettings s = t.network(r.count("stored") > 0);
    print(c, JsonOut().flag("dhcp", s.dhcp).text("ip", s.ip).text("netmask", s.netmask).text("gateway", s.gateway),
          std::string("network") + (r.count("stored") ? " (stored)" : "") + ": " +
              (s.dhcp ? "DHCP" : "static " + s.ip + " netmask " + s.netmask + " gateway " + s.gateway) + "\n");
    return OK;
}

void hostname_options(Options& o) {
    o.add_options()("name", "New hostname.", cxxopts::value<std::string>(), "NAME");
    o.parse_positional({"name"});
}

// A host name as the network knows it: labels of letters, digits and '-' (not first or last),
// 1 to 63 characters each, 253 in all. The instrument writes whatever it gets into its hostname
// file and hands it to the system, line breaks and all; such names are refused here.
bool valid_hostname(const std::string& name) {
    if (name.empty() || name.size() > 253) return false;
    for (const std::string& label : split(name, '.')) {
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
        for (const char ch : label)
            if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-') return false;
    }
    return true;
}

int hostname_run(Context& c, const Result& r) {
    if (r.count("name") && !valid_hostname(r["name"].as<std::string>()))
        throw UsageError("\"" + r["name"].as<std::string>() +
                         "\" is not a host name (labels of letters, digits and '-', 1 to 63 characters)");
    Client t(c.host, c.timeout, c.ports);
    if (r.count("name")) {
        const std::string want = r["name"].as<std::string>();
        t.setHostname(want);
        const std::string now = t.hostname();
        if (now != want)
            throw Error(Error::Refused, "the instrument's hostname is \"" + now + "\", not \"" + want + "\"",
                        c.grpc_endpoint());
    }
    const std::string name = t.hostname();
    print(c, JsonOut().text("hostname", name), "hostname: " + name + "\n");
    return OK;
}

const char* const EXIT_TEXT =
    "EXIT STATUS\n"
    "    0  done\n"
    "    1  the instrument refused (its status and message are shown)\n"
    "    2  usage error or unusable input; nothing was sent\n"
    "    3  the instrument cannot be reached (the address and port are shown); discover: none answered\n"
    "    4  readback: the slot is empty\n"
    "    5  the binary port is busy: another client holds it\n";

const Command commands[] = {
    {"discover", "find instruments on the local network",
     "tarvex discover [-T S] [--port P] [--json] [ADDRESS[:PORT]...]",
     "Sends the discovery request by broadcast, to the multicast group and to every ADDRESS given, collects the "
     "answers until "
     "the time-out and prints one row per instrument: address, hostname, serial number, model, firmware and whether it "
     "runs "
     "its update environment. An instrument that answers several requests is listed once.",
     true, discover_options, discover_run},
    {"status", "identity and state of an instrument", "tarvex [-H HOST] status [--json]",
     "Shows hostname, serial number, firmware, hardware and FPGA identifiers, temperature, supply, streaming state and "
     "counters, status word, trigger and clock.",
     true, no_options, status_run},
    {"stream", "play a pulse list at once",
     "tarvex [-H HOST] stream FILE [--runs N] [--final D,A0,A1] [--format csv|bin|little|big]",
     "Sends the pulse list in FILE over the binary protocol and plays it from slot 0, N times (-1, the default: "
     "endlessly); "
     "afterwards the outputs show the final state. FILE is CSV (ticks,digital,ao0,ao1 per line; header optional; "
     "digital "
     "0-255 or eight 0/1 characters, output 7 first), a binary file (the TVXPULSE header, then 9-byte records), bare "
     "9-byte "
     "records with their byte order given by --format little or big (never guessed), or - for "
     "standard input. Every bad line is reported with its number (beyond the first 1,000 only their count) and nothing "
     "is sent; so is a list above 2,000,000 pulses. "
     "A progress bar is drawn when standard error is a terminal.",
     false, stream_options, stream_run},
    {"upload", "load a pulse list into a slot",
     "tarvex [-H HOST] upload FILE --slot N [--runs N] [--final D,A0,A1] "
     "[--next-action A] [--at-run-end] [--on-nodata M] [--format csv|bin|little|big]",
     "Loads the pulse list into slot 0 or 1 without starting it (see start), with its run count and how the slot "
     "chains to "
     "the other one. FILE as for stream; at most 1,000,000 pulses.",
     false, upload_options, upload_run},
    {"start", "start a loaded slot", "tarvex [-H HOST] start [--slot N] [--slot-runs N]",
     "Starts playing from a slot loaded with upload; the trigger settings decide when it begins.", false, start_options,
     start_run},
    {"readback", "what a slot plays", "tarvex [-H HOST] readback --slot N [--csv FILE | --vcd FILE] [--json]",
     "Reads what the slot plays, as segments of constant output, and writes them as CSV (the pulse-list format, so it "
     "can "
     "be streamed again; the default, to standard output) or as a value change dump (IEEE 1364; 1 ns timescale; wires "
     "d0-d7; the analog outputs as real variables ao0 and ao1). Analog values are those that the instrument's "
     "calibration "
     "turns into the DAC codes played. With --json and no file: the segments with their DAC codes as one JSON "
     "document.",
     true, readback_options, readback_run},
    {"trigger", "show or set how a start begins",
     "tarvex [-H HOST] trigger [--start S] [--rearm R] [--fire] [--rearm-now] [--json]",
     "Without options shows the trigger settings; with them, changes them and shows what the instrument reports "
     "afterwards.",
     true, trigger_options, trigger_run},
    {"clock", "show or set the clock", "tarvex [-H HOST] clock [--source S] [--reference MHZ] [--phase N] [--json]",
     "Without options shows the clock source; with them, changes it and shows what the instrument reports afterwards.",
     true, clock_options, clock_run},
    {"constant", "hold the outputs at one state", "tarvex [-H HOST] constant D,A0,A1",
     "Stops playing and holds the outputs at the state given (digital 0-255 or eight 0/1 characters; analog -32768 to "
     "32767).",
     false, constant_options, constant_run},
    {"stop", "stop playing", "tarvex [-H HOST] stop",
     "Stops playing: the outputs show the final state of the last list (or the last constant state) and both slots are "
     "cleared.",
     false, no_options, stop_run},
    {"final", "show the final state now", "tarvex [-H HOST] final",
     "The same as stop: the outputs go to the final state.", false, no_options, stop_run},
    {"reset", "reset the outputs", "tarvex [-H HOST] reset",
     "Stops playing, clears both slots and switches the outputs to zero.", false, no_options, reset_run},
    {"reboot", "reboot the instrument", "tarvex [-H HOST] reboot --yes", "Reboots the instrument.", false, yes_option,
     reboot_run},
    {"calibration", "show or set the analog calibration",
     "tarvex [-H HOST] calibration [--offsets O0,O1 --slopes S0,S1 --yes] [--json]",
     "Without options shows the calibration; with them, stores a new one, which takes effect after the reboot that "
     "follows.",
     true, calibration_options, calibration_run},
    {"network", "show or set the network settings",
     "tarvex [-H HOST] network [--stored] [--dhcp | --ip A --netmask M [--gateway G]] [--test | --yes] [--apply --yes] "
     "[--json]",
     "Without options shows the current network settings (--stored: those stored for the next start). Storing settings "
     "reboots the instrument; --test tries them on the running interface only.",
     true, network_options, network_run},
    {"hostname", "show or set the hostname", "tarvex [-H HOST] hostname [NAME] [--json]",
     "Without NAME shows the hostname; with it, sets it (refused while streaming) and shows what the instrument "
     "reports "
     "afterwards. Discovery answers carry the new name.",
     true, hostname_options, hostname_run},
};

const Command* find_command(const std::string& name) {
    for (const Command& c : commands)
        if (name == c.name) return &c;
    return nullptr;
}

std::string wrap(const std::string& text, size_t indent, size_t width = 96) {
    std::string out, line;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            out += std::string(indent, ' ') + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        at = end + 1;
    }
    if (!line.empty()) out += std::string(indent, ' ') + line + "\n";
    return out;
}

const char* const GLOBAL_OPTIONS =
    "    -H, --host HOST     the instrument: NAME, IPv4, [IPv6], each with :PORT for another gRPC port\n"
    "                        (default $TARVEX_HOST, else 127.0.0.1)\n"
    "    -T, --timeout S     seconds allowed to connect and for each answer (default 10; discover: collect\n"
    "                        answers for S seconds, default 2)\n"
    "    --http-port P       the instrument's HTTP port (default 8050)\n"
    "    --binary-port P     its binary-protocol port (default 21328)\n"
    "    Global options may stand before or after the command.\n"
    "    -h, --help          this text\n";

void add_common(Options& o, const Command& c) {
    o.add_options()("H,host", "The instrument: NAME, IPv4 or [IPv6], with :PORT for another gRPC port.",
                    cxxopts::value<std::string>(), "HOST")(
        "T,timeout", "Seconds allowed to connect and for each answer.", cxxopts::value<std::string>(), "S")(
        "http-port", "The instrument's HTTP port.", cxxopts::value<std::string>(), "P")(
        "binary-port", "Its binary-protocol port.", cxxopts::value<std::string>(), "P")("h,help", "This text.");
    if (c.reads) o.add_options()("json", "Print one JSON document.");
}

void command_help(const Command& c) {
    Options o(std::string("tarvex ") + c.name, "");
    c.options(o);
    add_common(o, c);
    std::string options = o.help();
    const size_t table = options.find("\n\n");
    options = table == std::string::npos ? options : options.substr(table + 2);
    std::printf("NAME\n    tarvex %s - %s\n\nSYNOPSIS\n%s\nDESCRIPTION\n%s\nOPTIONS\n%s\n%s", c.name, c.summary,
                wrap(c.synopsis, 4).c_str(), wrap(c.description, 4).c_str(), options.c_str(), EXIT_TEXT);
}

void overall_help() {
    std::printf(
        "NAME\n    tarvex - discover, inspect, load and read back Tarvex pulse generators\n\n"
        "SYNOPSIS\n    tarvex [-H HOST] [-T S] COMMAND [OPTIONS]\n    tarvex COMMAND --help\n\n"
        "DESCRIPTION\n%s\nCOMMANDS\n",
        wrap("Talks to the instrument over gRPC (port 50051) for settings and state, over the binary protocol "
             "(port 21328) for pulse lists and over HTTP (port 8050) for readback. Read commands print one "
             "JSON document with --json.",
             4)
            .c_str());
    for (const Command& c : commands) std::printf("    %-12s %s\n", c.name, c.summary);
    std::printf("\nOPTIONS\n%s\n%s", GLOBAL_OPTIONS, EXIT_TEXT);
}

int usage(const std::string& where, const std::string& message) {
    std::fprintf(stderr, "tarvex%s: %s\nTry 'tarvex%s --help'.\n", where.c_str(), message.c_str(), where.c_str());
    return USAGE;
}

std::chrono::milliseconds seconds_option(const std::string& text) {
    const double s = real(text, "--timeout");
    if (!(s > 0 && s <= 3600)) throw UsageError("--timeout must be above 0 and at most 3600 seconds");
    return std::chrono::milliseconds(static_cast<long long>(s * 1000));
}

// A global option, before or after the command.
void global_option(Context& c, const std::string& option, const std::string& value) {
    if (option == "-H" || option == "--host") {
        c.host = value;
    } else if (option == "-T" || option == "--timeout") {
        c.timeout = seconds_option(value);
        c.timeout_given = true;
    } else {
        const auto port = static_cast<uint16_t>(integer(value, option, 1, 65535));
        (option == "--http-port" ? c.ports.http : c.ports.binary) = port;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Context context;
    const char* env_host = std::getenv("TARVEX_HOST");
    context.host = env_host && *env_host ? env_host : "127.0.0.1";
    context.timeout = std::chrono::seconds(10);

    // Options before the command name belong to tarvex itself.
    int i = 1;
    try {
        for (; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "-h" || a == "--help") {
                overall_help();
                return OK;
            }
            const size_t eq = a.find('=');
            const std::string option = a.substr(0, a.rfind("--", 0) == 0 ? eq : std::string::npos);
            if (option == "-H" || option == "--host" || option == "-T" || option == "--timeout" ||
                option == "--http-port" || option == "--binary-port") {
                if (option == a && i + 1 >= argc) throw UsageError(a + " needs a value");
                global_option(context, option, option == a ? argv[++i] : a.substr(eq + 1));
            } else if (!a.empty() && a[0] == '-') {
                throw UsageError("unknown option " + a + " (before the command)");
            } else {
                break;
            }
        }
    } catch (const UsageError& e) {
        return usage("", e.what());
    }
    if (i == argc) return usage("", "no command given");
    const std::string name = argv[i];
    if (name == "help") {
        if (i + 1 < argc && find_command(argv[i + 1]))
            command_help(*find_command(argv[i + 1]));
        else
            overall_help();
        return OK;
    }
    const Command* command = find_command(name);
    if (!command) return usage("", "unknown command \"" + name + "\"");

    const std::string where = " " + name;
    try {
        Options options(std::string("tarvex ") + name, command->summary);
        command->options(options);
        add_common(options, *command);
        std::vector<std::string> args_text(argv + i, argv + argc);
        std::vector<char*> args;
        for (std::string& a : args_text) args.push_back(a.data());
        const Result result = options.parse(static_cast<int>(args.size()), args.data());
        if (result.count("help")) {
            command_help(*command);
            return OK;
        }
        if (!result.unmatched().empty()) throw UsageError("unexpected argument \"" + result.unmatched().front() + "\"");
        for (const char* option : {"host", "timeout", "http-port", "binary-port"})
            if (result.count(option))
                global_option(context, std::string("--") + option, result[option].as<std::string>());
        std::string host;
        uint16_t port = 0;
        if (!splitAddress(context.host, host, port))
            throw UsageError("\"" + context.host + "\" is not an address: host, host:port, [ipv6] or [ipv6]:port");
        context.json = command->reads && result.count("json");
        return command->run(context, result);
    } catch (const cxxopts::exceptions::exception& e) {
        return usage(where, e.what());
    } catch (const UsageError& e) {
        return usage(where, e.what());
    } catch (const EmptySlot& e) {
        std::fprintf(stderr, "tarvex%s: %s\n", where.c_str(), e.what());
        return EMPTY;
    } catch (const Error& e) {
        std::fprintf(stderr, "tarvex%s: %s\n", where.c_str(), e.what());
        switch (e.kind()) {
            case Error::Refused: return REFUSED;
            case Error::Input: return USAGE;
            case Error::Busy: return BUSY;
            case Error::Unreachable:
            case Error::Protocol: return UNREACHABLE;
        }
        return UNREACHABLE;
    }
}

}  // namespace tarvex::cli

int main(int argc, char** argv) {
    const int status = tarvex::cli::main(argc, argv);
    // Done: the output flushed, the process ends without running the libraries' static clean-up
    // (a millisecond or two at every call of a script).
    std::cout.flush();
    std::fflush(nullptr);
    _exit(status);
}

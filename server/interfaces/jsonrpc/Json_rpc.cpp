// The JSON-RPC methods: each checks its parameters, calls one device operation while holding the
// device lock, and writes its result or one error member.
#include "interfaces/jsonrpc/Json_rpc.h"
#include "interfaces/jsonrpc/HostCheck.h"
#include "interfaces/jsonrpc/SlotReadback.h"

#include <unistd.h>

#include <iostream>
#include <mutex>
#include <new>
#include <sstream>
#include <stdexcept>

#include "device/Pulse.h"
#include "device/Pulser.h"
#include "interfaces/interfaces.h"

namespace {

using Reply = std::ostream;

bool given(const jsVar* v) { return v && v->kind != jsVar::JS_NULL; }
bool is_array(const jsVar* v) { return v->kind == jsVar::JS_ARRAY; }
bool is_object(const jsVar* v) { return v->kind == jsVar::JS_OBJECT; }
bool is_number(const jsVar* v) { return v && v->kind == jsVar::JS_NUMBER; }
bool is_string(const jsVar* v) { return v && v->kind == jsVar::JS_STRING; }

Reply& result(Reply& os) { return os << ",\"result\":"; }

void bad_parameters(Reply& os) { write_invalid_parameter(os, "bad parameters"); }
void wrong_number(Reply& os) { write_invalid_parameter(os, "wrong number of arguments"); }

// Methods without parameters: given ones (an empty array or object included) are refused.
bool no_params(Reply& os, jsVar* p) {
    if (!given(p)) return true;
    write_invalid_parameter(os, "number of arguments is not 0");
    return false;
}

// The one parameter of a method taking [x] or {"key": x}: null when the method has answered
// (an error, or nothing at all for a silent method with params of another kind).
const jsVar* single(Reply& os, const jsVar* p, const char* key, const char* missing, bool silent) {
    if (is_array(p)) {
        if (p->length() != 1) {
            wrong_number(os);
            return nullptr;
        }
        return p->getValue(0);
    }
    if (is_object(p)) {
        const jsVar* v = p->getValue(key);
        if (!given(v)) {
            write_invalid_parameter(os, missing);
            return nullptr;
        }
        return v;
    }
    if (!silent) bad_parameters(os);
    return nullptr;
}

// A bool, or the number 0 or 1.
bool flag(const jsVar* v, bool& out) { return v && v->getBool(out); }

// ---- the methods ----

void m_reset(DeviceAccess& device, Reply& os, jsVar* p) {
    if (given(p)) return bad_parameters(os);
    device.locked([](Pulser& pulser) { return pulser.reset(); });
    result(os) << 0;
}

void m_reboot(DeviceAccess& device, Reply& os, jsVar* p) {
    if (given(p)) return bad_parameters(os);
    device.locked([](Pulser& pulser) { return pulser.reboot(); });
    result(os) << 0;
}

void m_constant(DeviceAccess& device, Reply& os, jsVar* p) {
    const jsVar* v = single(os, p, "pulse", "missing parameter pulse", false);
    if (!v) return;
    Pulse pulse{};
    if (!read_json_pulse(v, pulse, os)) return;
    device.locked([&](Pulser& pulser) { return pulser.constant(pulse); });
    result(os) << 0;
}

void m_forceFinal(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([](Pulser& pulser) { return pulser.forceFinal(); });
    result(os) << 0;
}

void m_startNow(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([](Pulser& pulser) { pulser.startNow(); });
    result(os) << 0;
}

void m_stream(DeviceAccess& device, Reply& os, jsVar* p) {
    jsVar* sequence = nullptr;
    long long n_runs = -1;
    Pulse final_state{0, 0, 0, 0};
    const jsVar* runs = nullptr;
    const jsVar* fin = nullptr;

    if (!given(p)) {
        write_json_error(os, JSONRPC_SERVER_ERROR, "server error", "No sequence in memory. Stream a sequence first!");
        return;
    }
    if (is_array(p)) {
        if (p->length() > 3) return wrong_number(os);
        sequence = p->getValue(0);
        if (!is_string(sequence)) {
            write_invalid_parameter(os, "first argument has wrong type");
            return;
        }
        runs = p->getValue(1);
        fin = p->getValue(2);
    } else if (is_object(p)) {
        sequence = p->getValue("sequence");
        runs = p->getValue("n_runs");
        fin = p->getValue("final");
        if (!given(sequence)) {
            if (given(runs) || given(fin))
                write_invalid_parameter(os, "final and n_runs must not be passed when calling without a sequence");
            return;  // no sequence and nothing else: nothing to do, nothing to answer
        }
    } else {
        return bad_parameters(os);
    }
    if (given(runs) && !runs->getNumber(n_runs)) return bad_parameters(os);
    if (given(fin) && !read_json_pulse(fin, final_state, os)) return;

    std::vector<Pulse> seq;
    if (!read_json_seq(sequence, seq)) {
        write_json_error(os, JSONRPC_SERVER_ERROR, "server error", "Sequence too long.");
        return;
    }
    if (seq.empty()) return write_json_error(os, JSONRPC_SERVER_ERROR, "server error", EMPTY_SEQUENCE);
    // The text (up to 24 MB) is not needed while the device works on the pulses.
    if (std::string* text = sequence->strValue()) std::string().swap(*text);
    print_json_call(seq, n_runs, final_state);
    const LoadOutcome out = device.locked(
        [&](Pulser& pulser) { return loadSequence([&] { return pulser.stream(seq, n_runs, final_state); }); });
    // Not loaded (too large for the sequence memory, or no memory for it): nothing plays.
    if (out.kind != LoadOutcome::LOADED) return write_json_error(os, JSONRPC_SERVER_ERROR, "server error", out.error);
    // Loaded but not started (the outputs did not take the sequence in time): nothing plays.
    if (out.value < 0) return write_json_error(os, JSONRPC_SERVER_ERROR, "server error", "Sequence did not start.");
    result(os) << 0;
}

void m_start(DeviceAccess& device, Reply& os, jsVar* p) {
    const jsVar* slot = nullptr;
    const jsVar* count = nullptr;
    if (is_array(p)) {
        if (p->length() > 2) return wrong_number(os);
        slot = p->getValue(0);
        count = p->getValue(1);
    } else if (is_object(p)) {
        slot = p->getValue("slot_nr");
        count = p->getValue("n_slots_to_run");
    } else if (given(p)) {
        return bad_parameters(os);
    }
    unsigned int slot_nr = 0;
    long long n_slots_to_run = -1;
    if (given(slot) && !slot->getNumber(slot_nr)) return bad_parameters(os);
    if (given(count) && !count->getNumber(n_slots_to_run)) return bad_parameters(os);
    int r = device.locked([&](Pulser& pulser) { return pulser.start(slot_nr, n_slots_to_run); });
    result(os) << r;
}

void m_setTrigger(DeviceAccess& device, Reply& os, jsVar* p) {
    const jsVar* start = nullptr;
    const jsVar* rearm = nullptr;
    if (is_array(p)) {
        if (p->length() == 0) {
            write_invalid_parameter(os, "first argument has wrong type");
            return;
        }
        if (p->length() > 2) return wrong_number(os);
        start = p->getValue(0);
        rearm = p->getValue(1);
    } else if (is_object(p)) {
        start = p->getValue("start");
        rearm = p->getValue("rearm");
        if (!given(start)) {
            write_invalid_parameter(os, "first argument has wrong type");
            return;
        }
    } else {
        return bad_parameters(os);
    }
    start_t start_mode = IMMEDIATE;
    trigger_rearm_t rearm_mode = AUTO;  // what the other interfaces pass when it is not given
    if (!read_json_start(start, start_mode, os)) return;
    if (given(rearm) && !read_json_rearm(rearm, rearm_mode, os)) return;
    device.locked([&](Pulser& pulser) { return pulser.setTrigger(start_mode, rearm_mode); });
    result(os) << 0;
}

void m_getTriggerStart(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { result(os) << static_cast<unsigned>(pulser.getTriggerStart()); });
}

void m_getTriggerRearm(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { result(os) << static_cast<unsigned>(pulser.getTriggerRearm()); });
}

void m_rearm(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { result(os) << (pulser.rearm() ? 1 : 0); });
}

void m_selectClock(DeviceAccess& device, Reply& os, jsVar* p) {
    const jsVar* v = single(os, p, "clock_source", "missing argument 'clock_source'", false);
    if (!v) return;
    clocksource_t src = INTERNAL;
    if (!read_json_clock(v, src, os)) return;
    // The device's own result: -1 when it refused or the clock did not follow.
    result(os) << device.locked([&](Pulser& pulser) { return pulser.selectClock(src); });
}

void m_getClock(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { result(os) << static_cast<unsigned>(pulser.getClock()); });
}

void m_setSquareWave125MHz(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!is_array(p)) return;  // no named form; silent
    if (p->length() != 1) return wrong_number(os);
    unsigned char mask = 0;
    if (!p->getNumber(0, mask)) return bad_parameters(os);
    device.locked([&](Pulser& pulser) { pulser.setSquareWave125MHz(mask); });
    result(os) << 0;
}

void m_shiftClkPhase(DeviceAccess& device, Reply& os, jsVar* p) {
    const jsVar* v = single(os, p, "value", "missing argument 'clk_frequency'", true);
    if (!v) return;
    int steps = 0;
    if (!is_number(v) || !v->getNumber(steps)) return bad_parameters(os);
    if (steps > MAX_PHASE_STEPS || steps < -MAX_PHASE_STEPS)
        return write_invalid_parameter(os, "value beyond " + std::to_string(MAX_PHASE_STEPS) + " steps");
    // The device's own result: -1 when it refused or the clock did not follow.
    result(os) << device.locked([&](Pulser& pulser) { return pulser.shiftClkPhase(steps); });
}

void m_setClkParam(DeviceAccess& device, Reply& os, jsVar* p) {
    const jsVar* v = single(os, p, "value", "missing argument 'clk_frequency'", true);
    if (!v) return;
    double ref_mhz = 0;
    if (!is_number(v) || !v->getNumber(ref_mhz)) return bad_parameters(os);
    // The device's own result: -1 when it refused or the clock did not follow.
    result(os) << device.locked([&](Pulser& pulser) { return pulser.setClkParam(ref_mhz); });
}

void m_getFirmwareVersion(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { write_json_text(result(os), pulser.getFirmwareVersion()); });
}

void m_getHardwareVersion(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { write_json_text(result(os), pulser.getHardwareVersion()); });
}

void m_programSerial(DeviceAccess& device, Reply& os, jsVar* p) {
    const jsVar* v = single(os, p, "serial", "missing argument 'serial'", true);
    if (!v) return;
    std::string text;
    if (!v->getStr(text)) return bad_parameters(os);
    int r = device.locked([&](Pulser& pulser) { return pulser.programSerial(text); });
    result(os) << r;
}

void m_getSerial(DeviceAccess& device, Reply& os, jsVar* p) {
    serial_t which = MAC;
    if (given(p)) {
        if (!is_array(p) || p->length() != 1) {
            write_invalid_parameter(os, "number of arguments is not 0");
            return;
        }
        if (!read_serial(p->getValue(0), which, os)) return;
        std::cout << "Use backwards compatibility of getSerial()" << std::endl;
    }
    device.locked(
        [&](Pulser& pulser) { write_json_text(result(os), which == ID ? pulser.getFPGAID() : pulser.getSerial()); });
}

void m_getFPGAID(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { write_json_text(result(os), pulser.getFPGAID()); });
}

void m_hasSequence(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { result(os) << (pulser.hasSequence() ? 1 : 0); });
}

void m_isStreaming(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { result(os) << (pulser.isStreaming() ? 1 : 0); });
}

void m_hasFinished(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { result(os) << (pulser.hasFinished() ? 1 : 0); });
}

// The checks of this method throw std::invalid_argument (answered by the guard).
void m_setNetworkConfiguration(DeviceAccess& device, Reply& os, jsVar* p) {
    const jsVar *dhcp_v, *ip_v, *mask_v, *gw_v, *test_v;
    if (is_array(p)) {
        if (p->length() > 5) throw std::invalid_argument("wrong number of arguments");
        dhcp_v = p->getValue(0);
        ip_v = p->getValue(1);
        mask_v = p->getValue(2);
        gw_v = p->getValue(3);
        test_v = p->getValue(4);
    } else if (is_object(p)) {
        dhcp_v = p->getValue("dhcp");
        ip_v = p->getValue("ip");
        mask_v = p->getValue("netmask");
        gw_v = p->getValue("gateway");
        test_v = p->getValue("testmode");
    } else {
        throw std::invalid_argument("bad parameters");
    }
    if (!given(dhcp_v)) throw std::invalid_argument("parameter dhcp is missing");
    bool dhcp = false, testmode = false;
    std::string ip, netmask, gateway;
    if (!flag(dhcp_v, dhcp)) throw std::invalid_argument("bad parameters");
    if (given(ip_v) && !ip_v->getStr(ip)) throw std::invalid_argument("bad parameters");
    if (given(mask_v) && !mask_v->getStr(netmask)) throw std::invalid_argument("bad parameters");
    if (given(gw_v) && !gw_v->getStr(gateway)) throw std::invalid_argument("bad parameters");
    if (given(test_v) && !flag(test_v, testmode)) throw std::invalid_argument("bad parameters");
    int r = device.locked(
        [&](Pulser& pulser) { return pulser.setNetworkConfiguration(dhcp, ip, netmask, gateway, testmode); });
    result(os) << r;
}

void m_getNetworkConfiguration(DeviceAccess& device, Reply& os, jsVar* p) {
    const jsVar* v = single(os, p, "permanent", "missing argument 'permanent'", true);
    if (!v) return;
    bool permanent = false;
    if (!flag(v, permanent)) return bad_parameters(os);
    const bool named = is_object(p);
    device.locked([&](Pulser& pulser) {
        network_settings s = pulser.getNetworkConfiguration(permanent);
        result(os) << '{';
        ObjectWriter::FirstKeyWriter(os) << (named ? "DHCP" : "dhcp") << (s.dhcp ? 1 : 0);
        write_json_text(ObjectWriter::KeyWriter(os) << (named ? "IP" : "ip"), s.ip);
        write_json_text(ObjectWriter::KeyWriter(os) << "netmask", s.netmask);
        write_json_text(ObjectWriter::KeyWriter(os) << "gateway", s.gateway);
        os << '}';
    });
}

void m_applyNetworkConfiguration(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    int r = device.locked([](Pulser& pulser) { return pulser.applyNetworkConfiguration(); });
    result(os) << r;
}

void m_setHostname(DeviceAccess& device, Reply& os, jsVar* p) {
    const jsVar* v = single(os, p, "hostname", "missing argument 'hostname'", true);
    if (!v) return;
    std::string name;
    if (!v->getStr(name)) return bad_parameters(os);
    int r = device.locked([&](Pulser& pulser) { return pulser.setHostname(name); });
    result(os) << r;
}

void m_getHostname(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { write_json_text(result(os), pulser.getHostname()); });
}

// The further names the front end answers under (see HostCheck.h): [["name", ...]] or
// {"names":[...]}; 0 when stored, -1 for a bad list.
void m_setAllowedHosts(DeviceAccess&, Reply& os, jsVar* p) {
    const jsVar* v = single(os, p, "names", "missing argument 'names'", false);
    if (!v) return;
    if (v->kind != jsVar::JS_ARRAY) return bad_parameters(os);
    std::vector<std::string> names;
    for (unsigned i = 0; i < v->length() && i <= hostcheck::MAX_ALLOWED_HOSTS; ++i) {
        std::string name;
        if (!v->getStr(int(i), name)) return bad_parameters(os);
        names.push_back(name);
    }
    if (v->length() > hostcheck::MAX_ALLOWED_HOSTS) names.emplace_back();  // refused as too many
    result(os) << hostcheck::set_allowed_hosts(names);
}

void m_getAllowedHosts(DeviceAccess&, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    std::ostream& out = result(os);
    out << '[';
    const std::vector<std::string> names = hostcheck::allowed_hosts();
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out << ',';
        write_json_text(out, names[i]);
    }
    out << ']';
}

void m_getTemperature(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { write_json_text(result(os), pulser.getTemperature()); });
}

void m_getSupplyState(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) {
        SupplyState s = pulser.getSupplyState();
        result(os) << '{';
        ObjectWriter::FirstKeyWriter(os) << "Current/A" << s.current;
        ObjectWriter::KeyWriter(os) << "Voltage_12/V" << s.voltage_12;
        ObjectWriter::KeyWriter(os) << "Voltage_3.3/V" << s.voltage_3_3;
        os << '}';
    });
}

void m_getStreamingState(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) {
        StreamingState s = pulser.getStreamingState();
        result(os) << '{';
        ObjectWriter::FirstKeyWriter(os) << "TotalTime" << s.total_time;
        ObjectWriter::KeyWriter(os) << "StreamingTime" << s.streaming_time;
        ObjectWriter::KeyWriter(os) << "UnderflowTime" << s.underflow_time;
        ObjectWriter::KeyWriter(os) << "WaitingDataTime" << s.waiting_data_time;
        ObjectWriter::KeyWriter(os) << "State" << s.state;
        ObjectWriter::KeyWriter(os) << "StateCondition" << s.state_condition;
        write_json_text(ObjectWriter::KeyWriter(os) << "ErrorMessage", s.error_message);
        ObjectWriter::KeyWriter(os) << "SlotChanges" << s.slot_changes;
        os << '}';
    });
}

// The slot number of getSequenceControlData and isReadyForData: [n] or {"seq_nr": n}.
bool read_seq_nr(Reply& os, const jsVar* p, int& seq_nr) {
    const jsVar* v = single(os, p, "seq_nr", "missing argument 'seq_nr'", true);
    if (!v) return false;
    if (!is_number(v) || !v->getNumber(seq_nr)) {
        bad_parameters(os);
        return false;
    }
    return true;
}

void m_getSequenceControlData(DeviceAccess& device, Reply& os, jsVar* p) {
    int seq_nr = 0;
    if (!read_seq_nr(os, p, seq_nr)) return;
    device.locked([&](Pulser& pulser) {
        SequenceControlData d = pulser.getSequenceControlData(seq_nr);
        result(os) << '{';
        ObjectWriter::FirstKeyWriter(os) << "NumberOfBytes" << d.nBytes;
        ObjectWriter::KeyWriter(os) << "NumberOfPulses (low-level)" << d.nPulses;
        ObjectWriter::KeyWriter(os) << "WholeTicks (low_level)" << d.wholeTicks;
        ObjectWriter::KeyWriter(os) << "DataRate (GBit/s)" << d.dataRate;
        os << '}';
    });
}

void m_isReadyForData(DeviceAccess& device, Reply& os, jsVar* p) {
    int seq_nr = 0;
    if (!read_seq_nr(os, p, seq_nr)) return;
    device.locked(
        [&](Pulser& pulser) { result(os) << (pulser.isReadyForData(static_cast<sequences_t>(seq_nr)) ? 1 : 0); });
}

// The checks of this method throw std::invalid_argument (answered by the guard).
void m_setAnalogCalibration(DeviceAccess& device, Reply& os, jsVar* p) {
    AnalogCalibData data;
    double* fields[] = {&data.dc_offset_a0, &data.dc_offset_a1, &data.slope_a0, &data.slope_a1};
    const char* keys[] = {"dc_offset_a0", "dc_offset_a1", "slope_a0", "slope_a1"};
    if (is_array(p)) {
        if (p->length() != 4) throw std::invalid_argument("wrong number of arguments");
        for (int i = 0; i < 4; ++i)
            if (!is_number(p->getValue(i)) || !p->getNumber(i, *fields[i]))
                throw std::invalid_argument("bad parameters");
    } else if (is_object(p)) {
        for (int i = 0; i < 4; ++i) {
            const jsVar* v = p->getValue(keys[i]);
            if (!given(v)) throw std::invalid_argument("wrong number of arguments");
            if (!is_number(v) || !v->getNumber(*fields[i])) throw std::invalid_argument("bad parameters");
        }
    } else {
        throw std::invalid_argument("bad parameters");
    }
    int32_t r = device.locked([&](Pulser& pulser) { return pulser.setAnalogCalibration(data); });
    result(os) << r;
}

void m_getAnalogCalibration(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) {
        AnalogCalibData d = pulser.getAnalogCalibration();
        result(os) << '{';
        ObjectWriter::FirstKeyWriter(os) << "dc_offset_a0" << d.dc_offset_a0;
        ObjectWriter::KeyWriter(os) << "dc_offset_a1" << d.dc_offset_a1;
        ObjectWriter::KeyWriter(os) << "slope_a0" << d.slope_a0;
        ObjectWriter::KeyWriter(os) << "slope_a1" << d.slope_a1;
        os << '}';
    });
}

void m_getUnderflow(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { result(os) << pulser.getUnderflow(); });
}

void m_getStatusRegister(DeviceAccess& device, Reply& os, jsVar* p) {
    if (!no_params(os, p)) return;
    device.locked([&](Pulser& pulser) { result(os) << pulser.getStatusRegister(); });
}

void m_setDebugRegister(DeviceAccess& device, Reply& os, jsVar* p) {
    const jsVar *val_v, *mask_v;
    if (is_array(p)) {
        if (p->length() != 2) {
            write_invalid_parameter(os, "number of arguments is not 2");
            return;
        }
        val_v = p->getValue(0);
        mask_v = p->getValue(1);
    } else if (is_object(p)) {
        val_v = p->getValue("val");
        mask_v = p->getValue("mask");
        if (!given(val_v) || !given(mask_v)) {
            write_invalid_parameter(os, "missing parameter. val and mask are required.");
            return;
        }
    } else {
        return bad_parameters(os);
    }
    unsigned int val = 0, mask = 0;
    if (!is_number(val_v) || !is_number(mask_v) || !val_v->getNumber(val) || !mask_v->getNumber(mask))
        return bad_parameters(os);
    device.locked([&](Pulser& pulser) { pulser.setDebugRegister(val, mask); });
    result(os) << 0;
}

struct Method {
    const char* name;
    void (*run)(DeviceAccess&, Reply&, jsVar*);
};

const Method methods[] = {
    {"reset", m_reset},
    {"reboot", m_reboot},
    {"constant", m_constant},
    {"forceFinal", m_forceFinal},
    {"startNow", m_startNow},
    {"stream", m_stream},
    {"start", m_start},
    {"setTrigger", m_setTrigger},
    {"getTriggerStart", m_getTriggerStart},
    {"getTriggerRearm", m_getTriggerRearm},
    {"rearm", m_rearm},
    {"selectClock", m_selectClock},
    {"getClock", m_getClock},
    {"setSquareWave125MHz", m_setSquareWave125MHz},
    {"shiftClkPhase", m_shiftClkPhase},
    {"setClkParam", m_setClkParam},
    {"getFirmwareVersion", m_getFirmwareVersion},
    {"getHardwareVersion", m_getHardwareVersion},
    {"programSerial", m_programSerial},
    {"getSerial", m_getSerial},
    {"getFPGAID", m_getFPGAID},
    {"hasSequence", m_hasSequence},
    {"isStreaming", m_isStreaming},
    {"hasFinished", m_hasFinished},
    {"setNetworkConfiguration", m_setNetworkConfiguration},
    {"getNetworkConfiguration", m_getNetworkConfiguration},
    {"applyNetworkConfiguration", m_applyNetworkConfiguration},
    {"setHostname", m_setHostname},
    {"getHostname", m_getHostname},
    {"setAllowedHosts", m_setAllowedHosts},
    {"getAllowedHosts", m_getAllowedHosts},
    {"getTemperature", m_getTemperature},
    {"getSupplyState", m_getSupplyState},
    {"getStreamingState", m_getStreamingState},
    {"getSequenceControlData", m_getSequenceControlData},
    {"isReadyForData", m_isReadyForData},
    {"setAnalogCalibration", m_setAnalogCalibration},
    {"getAnalogCalibration", m_getAnalogCalibration},
    {"getUnderflow", m_getUnderflow},
    {"getStatusRegister", m_getStatusRegister},
    {"setDebugRegister", m_setDebugRegister},
};

}  // namespace

int JsonHttpd::jsonRPC(std::string& method, ObjectWriter::KeyWriter& reply, jsVar* params) {
    const Method* found = nullptr;
    for (const Method& m : methods) {
        if (method == m.name) {
            found = &m;
            break;
        }
    }
    if (!found) return 404;

    jsVar null_params;  // absent params: every method sees a value of some kind
    jsVar* p = params ? params : &null_params;

    // The method's answer is collected apart, so a failure part-way leaves no partial result.
    std::ostringstream part;
    try {
        found->run(device_, part, p);
    } catch (const std::invalid_argument& e) {
        std::cout << "Caught exception std::invalid_argument: " << e.what() << std::endl;
        part.str("");
        part.clear();
        write_invalid_parameter(part, e.what());
    } catch (const std::exception& e) {
        std::cout << "Caught exception: " << e.what() << std::endl;
        part.str("");
        part.clear();
        write_json_error(part, JSONRPC_SERVER_ERROR, "server error", e.what());
    }
    // A reply carries a result or an error: a method that wrote neither (params of a kind it
    // has no form for) has refused its parameters.
    if (part.tellp() == 0) bad_parameters(part);
    const std::string text = part.str();
    reply.os.write(text.data(), static_cast<std::streamsize>(text.size()));
    return 0;
}

JsonHttpd::JsonHttpd(DeviceAccess device, SlotReadback& readback)
    : Httpd({{"/api/slot/", &readback}}), device_(device) {}

void run_json_httpd(DeviceAccess device) {
    std::cout << "Starting Json Http Daemon..." << std::endl;
    SlotReadback readback(device);
    JsonHttpd server(device, readback);
    server.start();  // serves until the process ends
    for (;;) sleep(1);
}

// Plays a square wave with an analog ramp on an instrument, then shows what slot 0 plays.
//
//   square_wave [HOST]        (default 127.0.0.1)
//
// Build: part of the tree (target square_wave); a program of your own links tarvex_client.
#include <cstdio>
#include <vector>

#include "tarvex/Client.h"

int main(int argc, char** argv) {
    tarvex::Client instrument(argc > 1 ? argv[1] : "127.0.0.1");
    try {
        std::printf("%s, firmware %s, %s\n", instrument.hostname().c_str(), instrument.firmwareVersion().c_str(),
                    instrument.temperature().c_str());

        // 1000 periods of 2 x 400 ns: output 0 toggles, analog output 0 steps up, output 1 mirrors it.
        std::vector<tarvex::Pulse> pulses;
        for (int i = 0; i < 1000; ++i) {
            const auto step = static_cast<int16_t>(i * 32 - 16000);
            pulses.push_back({400, 0x01, step, static_cast<int16_t>(-step)});
            pulses.push_back({400, 0x00, step, static_cast<int16_t>(-step)});
        }
        instrument.stream(pulses.data(), pulses.size(), -1, tarvex::Pulse{});  // endlessly
        std::printf("streaming: %s\n", instrument.isStreaming() ? "yes" : "no");

        size_t segments = 0;
        instrument.readback(0, [&](const std::vector<tarvex::Segment>& page) { segments += page.size(); });
        std::printf("slot 0 plays %zu segments\n", segments);
        instrument.forceFinal();
    } catch (const tarvex::Error& e) {
        // The instrument's own status and message, or the address and port that failed.
        std::fprintf(stderr, "%s\n", e.what());
        return e.kind() == tarvex::Error::Refused ? 1 : 3;
    }
    return 0;
}

// Placeholders that keep the program linking until these operations land; each reports
// that it is not available and fails. This file goes away with its last placeholder.
#include <iostream>

#include "Pulser.h"

int Pulser::upload(sequences_t, const std::vector<Pulse>&, long long, const Pulse&, next_action_t, when_t, on_nodata_t) {
    std::cout << "upload: not available" << std::endl;
    return -1;
}

int Pulser::stream(const std::vector<Pulse>&, long long, const Pulse&) {
    std::cout << "stream: not available" << std::endl;
    return -1;
}

int Pulser::start(unsigned int, long long) {
    std::cout << "start: not available" << std::endl;
    return -1;
}

bool Pulser::startable(unsigned int) {
    std::cout << "startable: not available" << std::endl;
    return false;
}

void Pulser::setSequenceConfig(unsigned int, SequenceControlData, long long, next_action_t, when_t, on_nodata_t) {
    std::cout << "setSequenceConfig: not available" << std::endl;
}

void Pulser::setFinalState(const Pulse&, sequences_t) {
    std::cout << "setFinalState: not available" << std::endl;
}

int Pulser::constant(const Pulse&) {
    std::cout << "constant: not available" << std::endl;
    return -1;
}

int Pulser::forceFinal() {
    std::cout << "forceFinal: not available" << std::endl;
    return -1;
}

StreamingState Pulser::getStreamingState() {
    std::cout << "getStreamingState: not available" << std::endl;
    return StreamingState();
}

SequenceControlData Pulser::getSequenceControlData(int) {
    std::cout << "getSequenceControlData: not available" << std::endl;
    return SequenceControlData();
}

bool Pulser::isReadyForData(sequences_t) {
    std::cout << "isReadyForData: not available" << std::endl;
    return false;
}

bool Pulser::hasSequence() {
    std::cout << "hasSequence: not available" << std::endl;
    return false;
}

bool Pulser::isStreaming() {
    std::cout << "isStreaming: not available" << std::endl;
    return false;
}

bool Pulser::hasFinished() {
    std::cout << "hasFinished: not available" << std::endl;
    return false;
}

unsigned int Pulser::getUnderflow() {
    std::cout << "getUnderflow: not available" << std::endl;
    return 0;
}

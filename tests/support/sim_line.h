#pragma once
// The simulated meter served on a pseudo-terminal, with the program's port opened on it.

#include <vector>

#include "link/meter_protocol.h"
#include "sim/meter_server.h"
#include "support/scripted_dialogs.h"

namespace lumo::test {

class SimLine {
public:
    // The port is opened by the line's link where it has one, else by the device's path.
    explicit SimLine(const sim::MeterConfig& config = {}, const sim::LineOptions& line = {})
        : meter(config, {}, line) {
        opened = port.OpenPort(line.link.empty() ? meter.devicePath() : line.link);
    }

    // One worker-path exchange into `fields`.
    bool send(char command, std::uint32_t address) {
        return lumo::meter::SendRequest(port, dialogs, fields, command, address, 0);
    }

    // The requests the meter received in order, a request repeated at once (a resend, which
    // a busy computer delaying the line may cause) counted once.
    std::vector<sim::Request> requestsAsked() const {
        std::vector<sim::Request> asked;
        for (const auto& r : meter.requests())
            if (asked.empty() || !(asked.back() == r)) asked.push_back(r);
        return asked;
    }

    sim::MeterServer meter;
    ScriptedDialogs dialogs;
    SerialPort port{dialogs};
    lumo::meter::ReplyFields fields;
    bool opened = false;
};

}  // namespace lumo::test

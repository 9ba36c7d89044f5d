// Seeds for receive_fuzz: the simulated meter's replies to every command, fault-free and with
// each of its faults, as they arrive at once, late, in two pieces, after a late reply to the
// request before, and after the line's echo of the request. The input layout is
// receive_fuzz.cpp's.
//   usage: make_receive_seeds DIR
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "link/meter_protocol.h"
#include "sim/meter_model.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using lumo::sim::Fault;

// One chunk of the line: `silence` ms after the previous one, then the bytes.
void chunk(Bytes& out, int silence, const Bytes& bytes) {
    std::size_t i = 0;
    do {
        const std::size_t n = std::min<std::size_t>(255, bytes.size() - i);
        out.push_back(static_cast<std::uint8_t>(i == 0 ? silence : 0));
        out.push_back(static_cast<std::uint8_t>(n));
        out.insert(out.end(), bytes.begin() + static_cast<long>(i), bytes.begin() + static_cast<long>(i + n));
        i += n;
    } while (i < bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_receive_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const char commands[6] = {'D', 'O', 'N', 'X', 'A', 's'};
    const Fault faults[] = {Fault::None,       Fault::Silence,    Fault::StrayByte,
                            Fault::ShortReply, Fault::WrongEcho,  Fault::NotANumber,
                            Fault::NonHexParam, Fault::ParamNumber, Fault::LongReply,
                            Fault::Babble};
    int written = 0;
    for (int c = 0; c < 6; ++c)
        for (Fault fault : faults) {
            lumo::sim::MeterConfig config;
            config.periods = 12;
            config.longReplySize = 1100;
            config.babbleSize = 400;
            if (fault != Fault::None) config.faults.push_back({.fault = fault});
            lumo::sim::MeterModel meter(config);
            const int param = 7, period = c >= 2 && c <= 4 ? 3 : 0;
            const lumo::sim::Request request{commands[c], static_cast<std::uint16_t>(period * 256 + param), 0};
            const Bytes reply = meter.answer(request);
            const Bytes before = meter.answer({commands[c], static_cast<std::uint16_t>(period * 256 + 1), 0});
            const Bytes header = {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(param - 1),
                                  static_cast<std::uint8_t>(period), 0};
            const Bytes head(reply.begin(), reply.begin() + static_cast<long>(std::min<std::size_t>(8, reply.size())));
            const Bytes tail(reply.begin() + static_cast<long>(head.size()), reply.end());
            const auto frame = lumo::meter::buildRequest(commands[c], request.address, 0);
            std::vector<std::pair<std::string, Bytes>> seeds(5, {"", header});
            seeds[0].first = "at-once";
            chunk(seeds[0].second, 0, reply);
            seeds[1].first = "late";
            chunk(seeds[1].second, 60, reply);
            seeds[2].first = "in-two";
            chunk(seeds[2].second, 0, head);
            chunk(seeds[2].second, 20, tail);
            seeds[3].first = "after-late";
            chunk(seeds[3].second, 45, before);
            chunk(seeds[3].second, 5, reply);
            seeds[4].first = "echoed";
            chunk(seeds[4].second, 0, Bytes(frame.begin(), frame.end()));
            chunk(seeds[4].second, 3, reply);
            for (auto& [name, bytes] : seeds) {
                bytes[3] = written % 2;  // paced and unpaced alike
                const std::string path = dir + "/" + commands[c] + "-" + std::to_string(static_cast<int>(fault)) +
                                         "-" + name;
                std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                            static_cast<std::streamsize>(bytes.size()));
                ++written;
            }
        }
    std::printf("%d seeds in %s\n", written, dir.c_str());
    return 0;
}

// The serial ports of a Linux computer, through Qt's serial port module (udev underneath).
#include "app/serial_ports.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>

#include <QSerialPortInfo>

namespace lumo {

namespace {

// Names in the order a person expects: ttyS2 before ttyS10.
bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            const std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei, j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i, ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// Each device under /dev/serial/by-id/ with its link there (the first by name when several).
std::map<std::string, std::string> byIdLinks() {
    namespace fs = std::filesystem;
    std::vector<std::string> links;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(ByIdFolder, ec))
        links.push_back(entry.path().string());
    std::sort(links.begin(), links.end());
    std::map<std::string, std::string> byDevice;
    for (const std::string& link : links) {
        const fs::path target = fs::canonical(link, ec);
        if (!ec) byDevice.emplace(target.string(), link);
    }
    return byDevice;
}

}  // namespace

std::vector<PortEntry> listSerialPorts() {
    struct Found {
        int rank;  // by-id names, then USB adapters, then the rest
        PortEntry entry;
    };
    std::vector<Found> found;
    std::map<std::string, std::string> byId = byIdLinks();
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        std::string description = info.manufacturer().toStdString();
        const std::string product = info.description().toStdString();
        if (!product.empty() && description.find(product) == std::string::npos)
            description += (description.empty() ? "" : " ") + product;
        if (info.hasVendorIdentifier())
            description = adapterDescription(description, info.vendorIdentifier(), info.productIdentifier());
        const std::string device = info.systemLocation().toStdString();
        if (auto link = byId.find(device); link != byId.end()) {
            description += (description.empty() ? "" : ", ") + device;
            found.push_back({0, {link->second, description}});
            byId.erase(link);
        } else {
            const bool usb = device.rfind("/dev/ttyUSB", 0) == 0 || device.rfind("/dev/ttyACM", 0) == 0;
            found.push_back({usb ? 1 : 2, {device, description}});
        }
    }
    for (const auto& [device, link] : byId) found.push_back({0, {link, device}});
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.rank != b.rank ? a.rank < b.rank : naturalLess(a.entry.name, b.entry.name);
    });
    std::vector<PortEntry> ports;
    for (Found& f : found) ports.push_back(std::move(f.entry));
    return ports;
}

}  // namespace lumo

#include "app/serial_ports.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>

#include "link/serial_port.h"

#ifdef LUMO_WITH_QT_SERIALPORT
#include <QSerialPortInfo>
#endif

namespace lumo {

namespace {

constexpr const char* ByIdFolder = "/dev/serial/by-id/";

bool isById(const std::string& name) { return name.rfind(ByIdFolder, 0) == 0; }

// The device a name opens, so that two names of one device count as one.
std::string deviceKey(const std::string& name) {
    std::string key = serial_device::devicePath(name);
#ifdef _WIN32
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
#endif
    return key;
}

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

#if defined(LUMO_WITH_QT_SERIALPORT) && !defined(_WIN32)
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
#endif

}  // namespace

std::vector<PortEntry> listSerialPorts() {
    std::vector<PortEntry> ports;
#ifdef LUMO_WITH_QT_SERIALPORT
    struct Found {
        int rank;  // by-id names, then USB adapters, then the rest
        PortEntry entry;
    };
    std::vector<Found> found;
#ifndef _WIN32
    std::map<std::string, std::string> byId = byIdLinks();
#endif
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        std::string description = info.manufacturer().toStdString();
        const std::string product = info.description().toStdString();
        if (!product.empty() && description.find(product) == std::string::npos)
            description += (description.empty() ? "" : " ") + product;
#ifdef _WIN32
        found.push_back({1, {info.portName().toStdString(), description}});
#else
        const std::string device = info.systemLocation().toStdString();
        if (auto link = byId.find(device); link != byId.end()) {
            description += (description.empty() ? "" : ", ") + device;
            found.push_back({0, {link->second, description}});
            byId.erase(link);
        } else {
            const bool usb = device.rfind("/dev/ttyUSB", 0) == 0 || device.rfind("/dev/ttyACM", 0) == 0;
            found.push_back({usb ? 1 : 2, {device, description}});
        }
#endif
    }
#ifndef _WIN32
    for (const auto& [device, link] : byId) found.push_back({0, {link, device}});
#endif
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.rank != b.rank ? a.rank < b.rank : naturalLess(a.entry.name, b.entry.name);
    });
    for (Found& f : found) ports.push_back(std::move(f.entry));
#endif
    return ports;
}

std::vector<PortEntry> portComboItems(const std::vector<PortEntry>& found,
                                      const std::string& current) {
    std::vector<PortEntry> items{{"COM1", ""}, {"COM2", ""}, {"COM3", ""}, {"COM4", ""}};
    std::map<std::string, size_t> itemOfDevice;
    for (size_t i = 0; i < items.size(); ++i) itemOfDevice.emplace(deviceKey(items[i].name), i);

    auto add = [&](const PortEntry& entry) {
        if (entry.name.empty()) return;
        auto [at, added] = itemOfDevice.emplace(deviceKey(entry.name), items.size());
        if (added) {
            items.push_back(entry);
        } else if (items[at->second].description.empty()) {
            items[at->second].description = entry.description;
        }
    };
    for (const PortEntry& entry : found)
        if (isById(entry.name)) add(entry);
    for (const PortEntry& entry : found)
        if (!isById(entry.name)) add(entry);
    add({current, ""});
    return items;
}

}  // namespace lumo

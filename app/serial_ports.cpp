#include "app/serial_ports.h"

#include <cctype>
#include <map>

#include "common/messages.h"
#include "link/serial_port.h"

namespace lumo {

namespace {

bool isById(const std::string& name) { return name.rfind(ByIdFolder, 0) == 0; }

// The device a name opens, so that two names of one device count as one.
std::string deviceKey(const std::string& name) {
    std::string key = serial_device::devicePath(name);
#ifdef _WIN32
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
#endif
    return key;
}

}  // namespace

std::string adapterDescription(std::string product, std::uint16_t vendorId, std::uint16_t productId) {
    const std::string chip = usbChipName(vendorId, productId);
    if (!chip.empty() && product.find(chip) == std::string::npos)
        product += (product.empty() ? "" : ", ") + std::string(msg::AdapterChip) + chip;
    return product;
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

#pragma once
// A zip package written front to back into a file. Each entry's bytes are deflated as they
// arrive (zlib at its fastest level: the sheets of a report are large and repetitive, and a
// save must not keep the window waiting), and its local header gets the CRC and sizes when
// the entry ends. Nothing of an entry is kept in memory beyond the compressor's buffers.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lumo::spreadsheet {

// A zip could not be written (the file, the compressor, or a part beyond 4 GiB).
class ZipWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ZipWriter {
public:
    // Creates (or empties) the file.
    explicit ZipWriter(const std::filesystem::path& file);
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    void begin(std::string_view name);
    void write(const char* data, std::size_t size);
    void write(std::string_view bytes) { write(bytes.data(), bytes.size()); }
    void end();
    // An entry of another zip, its compressed bytes copied as they are (neither unpacked nor
    // checked): its name, method, CRC, sizes, time and name encoding stay.
    void copy(const struct ZipEntry& entry, std::string_view packed);
    // Writes the central directory and closes the file.
    void finish();

private:
    struct Entry {
        std::string name;
        std::uint64_t offset = 0, packed = 0, size = 0;
        std::uint32_t crc = 0;
        std::uint16_t flags = 0, method = 8, time = 0, date = 0;
    };
    struct Deflater;

    void deflateSome(int flush);
    void put(const std::string& bytes);
    std::uint64_t position();

    std::ofstream out_;
    std::unique_ptr<Deflater> z_;
    std::vector<char> packed_;
    std::vector<Entry> entries_;
    bool open_ = false;
    std::uint16_t dosTime_ = 0, dosDate_ = 0;
};

}  // namespace lumo::spreadsheet

#pragma once
// The zip format as far as packages (.xlsx, .ods) need it: reading a zip held in memory with
// every entry checked against the bytes it claims before anything is unpacked, and writing
// one of stored (uncompressed) entries. Damaged zips raise std::runtime_error.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lumo::spreadsheet {

// The CRC-32 of zip entries.
std::uint32_t crcOf(std::string_view data);

struct ZipEntry {
    std::string name;
    std::uint32_t method, crc, compressed, size;
    std::size_t header;  // offset of the local header
    std::size_t data;    // offset of the compressed bytes
    std::uint16_t flags, time, date;  // as the central directory gives them
};

// A zip in memory (the bytes must outlive the reader). Its central directory is read at once,
// and an entry is refused when it lies outside the bytes, is of zip64 or of a compression
// other than stored and deflate, or claims more than deflate can make of its bytes
// (1032 : 1), so a damaged file of a few kilobytes cannot ask for gigabytes; so is a zip whose
// entries overlap (one stream of bytes unpacked as many entries) or name one part twice.
class ZipReader {
public:
    explicit ZipReader(std::string_view zip);
    const std::vector<ZipEntry>& entries() const { return entries_; }
    // The compressed bytes of an entry, as they are: copied into another zip unread.
    std::string_view packed(const ZipEntry& e) const { return bytes_.substr(e.data, e.compressed); }
    // Unpacks the entry into `out` (room for its size) and checks it against its CRC.
    void unpackInto(const ZipEntry& e, char* out) const;
    std::string unpack(const ZipEntry& e) const;
    // Unpacks the entry a piece at a time, handing each piece (up to 1 MiB) to `piece`, and
    // checks its size and CRC once it is all out.
    void unpackPieces(const ZipEntry& e, const std::function<void(std::string_view)>& piece) const;

private:
    std::string_view bytes_;
    std::vector<ZipEntry> entries_;
};

// A zip of stored (uncompressed) entries built in one buffer that is never zero-filled, so
// entries can be unpacked straight into it.
class StoredZip {
public:
    explicit StoredZip(std::size_t expected) { reserve(expected); }

    // Starts an entry of `size` bytes and gives the room for its data.
    char* begin(const std::string& name, std::uint32_t size);
    // Ends the entry begun last, with the CRC of its data.
    void end(std::uint32_t crc);
    void add(const std::string& name, std::string_view data);
    // Takes back the entry begun last.
    void dropLast();

    // Adds the central directory and hands over the zip.
    struct Finished {
        std::unique_ptr<char[]> data;
        std::size_t size;
    };
    Finished finish();

private:
    struct Record {
        std::string name;
        std::uint32_t crc, size, offset;
    };
    void reserve(std::size_t n);
    char* extend(std::size_t n);

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0, capacity_ = 0;
    std::vector<Record> records_;
};

}  // namespace lumo::spreadsheet

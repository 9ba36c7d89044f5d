#include "spreadsheet/zip_archive.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace lumo::spreadsheet {

namespace {

void put16(std::string& out, std::uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

std::uint32_t get16(std::string_view b, size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}
std::uint32_t get32(std::string_view b, size_t at) { return get16(b, at) | get16(b, at + 2) << 16; }

[[noreturn]] void damaged(const std::string& why) { throw std::runtime_error("damaged package: " + why); }

}  // namespace

std::uint32_t crcOf(std::string_view data) {
    return static_cast<std::uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// --- Reading -----------------------------------------------------------------------------

ZipReader::ZipReader(std::string_view b) : bytes_(b) {
    if (b.size() < 22) damaged("too short");
    // The end record sits in the last 22 bytes plus at most a 64 KiB comment.
    size_t end = std::string_view::npos;
    for (size_t at = b.size() - 22;; --at) {
        if (get32(b, at) == 0x06054b50) {
            end = at;
            break;
        }
        if (at == 0 || b.size() - at > 22 + 0xFFFF) break;
    }
    if (end == std::string_view::npos) damaged("no central directory");
    std::uint32_t count = get16(b, end + 10), dirSize = get32(b, end + 12), dirOffset = get32(b, end + 16);
    if (std::uint64_t(dirOffset) + dirSize > end) damaged("central directory out of the file");
    size_t at = dirOffset;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (at + 46 > end || get32(b, at) != 0x02014b50) damaged("bad directory entry");
        ZipEntry e;
        e.flags = static_cast<std::uint16_t>(get16(b, at + 8));
        e.method = get16(b, at + 10);
        e.time = static_cast<std::uint16_t>(get16(b, at + 12));
        e.date = static_cast<std::uint16_t>(get16(b, at + 14));
        e.crc = get32(b, at + 16);
        e.compressed = get32(b, at + 20);
        e.size = get32(b, at + 24);
        std::uint32_t nameLen = get16(b, at + 28), extraLen = get16(b, at + 30), commentLen = get16(b, at + 32);
        std::uint64_t local = get32(b, at + 42);
        if (at + 46 + nameLen > end) damaged("bad directory entry");
        e.name.assign(b.substr(at + 46, nameLen));
        if (e.compressed == 0xFFFFFFFF || e.size == 0xFFFFFFFF) damaged("zip64 entries");
        if (e.method != 0 && e.method != 8) damaged("unknown compression");
        // A part may claim no more than deflate can make of its bytes (1032 : 1).
        if (e.method == 0 ? e.size != e.compressed : e.size > std::uint64_t(e.compressed) * 1032 + 1024)
            damaged("implausible size of " + e.name);
        if (local + 30 > end || get32(b, local) != 0x04034b50) damaged("bad local header");
        std::uint64_t data = local + 30 + get16(b, local + 26) + get16(b, local + 28);
        if (data + e.compressed > end) damaged("entry out of the file");
        e.header = static_cast<size_t>(local);
        e.data = static_cast<size_t>(data);
        entries_.push_back(std::move(e));
        at += 46 + nameLen + extraLen + commentLen;
    }
    // Each entry's bytes are its own: overlapping entries would unpack one stream of bytes
    // many times over (a kilobyte of directory naming gigabytes).
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    spans.reserve(entries_.size());
    for (const ZipEntry& e : entries_) spans.emplace_back(e.header, e.data + e.compressed);
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second) damaged("overlapping entries");
    std::vector<std::string_view> names;
    names.reserve(entries_.size());
    for (const ZipEntry& e : entries_) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    if (std::adjacent_find(names.begin(), names.end()) != names.end()) damaged("a part named twice");
}

void ZipReader::unpackInto(const ZipEntry& e, char* out) const {
    std::string_view packed = bytes_.substr(e.data, e.compressed);
    if (e.method == 0) {
        std::memcpy(out, packed.data(), packed.size());
    } else {
        z_stream z{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) damaged("cannot unpack");
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
        z.avail_in = static_cast<uInt>(packed.size());
        z.next_out = reinterpret_cast<Bytef*>(out);
        z.avail_out = static_cast<uInt>(e.size);
        int rc = inflate(&z, Z_FINISH);
        std::size_t produced = e.size - z.avail_out;
        inflateEnd(&z);
        if (rc != Z_STREAM_END || produced != e.size) damaged("cannot unpack " + e.name);
    }
    if (crcOf(std::string_view(out, e.size)) != e.crc) damaged("wrong checksum of " + e.name);
}

std::string ZipReader::unpack(const ZipEntry& e) const {
    std::string out(e.size, '\0');
    unpackInto(e, out.data());
    return out;
}

void ZipReader::unpackPieces(const ZipEntry& e, const std::function<void(std::string_view)>& piece) const {
    std::string_view packed = bytes_.substr(e.data, e.compressed);
    std::uint32_t crc = 0;
    std::size_t produced = 0;
    auto hand = [&](std::string_view out) {
        crc = static_cast<std::uint32_t>(::crc32(crc, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size())));
        produced += out.size();
        if (produced > e.size) damaged("cannot unpack " + e.name);
        piece(out);
    };
    constexpr std::size_t kPiece = 1 << 20;
    if (e.method == 0) {
        for (std::size_t at = 0; at < packed.size(); at += kPiece) hand(packed.substr(at, kPiece));
    } else {
        z_stream z{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) damaged("cannot unpack");
        std::unique_ptr<z_stream, int (*)(z_stream*)> end(&z, inflateEnd);
        std::unique_ptr<char[]> buffer(new char[kPiece]);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
        z.avail_in = static_cast<uInt>(packed.size());
        for (int rc = Z_OK; rc != Z_STREAM_END;) {
            z.next_out = reinterpret_cast<Bytef*>(buffer.get());
            z.avail_out = static_cast<uInt>(kPiece);
            rc = inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END) damaged("cannot unpack " + e.name);
            std::size_t out = kPiece - z.avail_out;
            if (out == 0 && rc == Z_OK && z.avail_in == 0) damaged("cannot unpack " + e.name);
            if (out) hand(std::string_view(buffer.get(), out));
        }
    }
    if (produced != e.size) damaged("cannot unpack " + e.name);
    if (crc != e.crc) damaged("wrong checksum of " + e.name);
}

// --- Writing -----------------------------------------------------------------------------

char* StoredZip::begin(const std::string& name, std::uint32_t size) {
    if (size_ + size + name.size() + 64 > 0xFFFFFFF0u) throw std::runtime_error("package too large");
    records_.push_back({name, 0, size, static_cast<std::uint32_t>(size_)});
    std::string header;
    put32(header, 0x04034b50);
    put16(header, 20), put16(header, 0x0800), put16(header, 0), put16(header, 0), put16(header, 0x21);
    put32(header, 0), put32(header, size), put32(header, size);  // the CRC goes in at end()
    put16(header, static_cast<std::uint32_t>(name.size())), put16(header, 0);
    header += name;
    std::memcpy(extend(header.size()), header.data(), header.size());
    return extend(size);
}

void StoredZip::end(std::uint32_t crc) {
    Record& r = records_.back();
    r.crc = crc;
    std::string field;
    put32(field, crc);
    std::memcpy(data_.get() + r.offset + 14, field.data(), 4);
}

void StoredZip::add(const std::string& name, std::string_view data) {
    std::memcpy(begin(name, static_cast<std::uint32_t>(data.size())), data.data(), data.size());
    end(crcOf(data));
}

void StoredZip::dropLast() {
    size_ = records_.back().offset;
    records_.pop_back();
}

StoredZip::Finished StoredZip::finish() {
    std::string central;
    for (const Record& r : records_) {
        put32(central, 0x02014b50);
        put16(central, 20), put16(central, 20), put16(central, 0x0800), put16(central, 0), put16(central, 0);
        put16(central, 0x21);
        put32(central, r.crc), put32(central, r.size), put32(central, r.size);
        put16(central, static_cast<std::uint32_t>(r.name.size())), put16(central, 0), put16(central, 0);
        put16(central, 0), put16(central, 0), put32(central, 0), put32(central, r.offset);
        central += r.name;
    }
    auto centralOffset = static_cast<std::uint32_t>(size_);
    auto centralSize = static_cast<std::uint32_t>(central.size());
    put32(central, 0x06054b50);
    put16(central, 0), put16(central, 0);
    put16(central, static_cast<std::uint32_t>(records_.size())), put16(central, static_cast<std::uint32_t>(records_.size()));
    put32(central, centralSize), put32(central, centralOffset);
    put16(central, 0);
    std::memcpy(extend(central.size()), central.data(), central.size());
    return Finished{std::move(data_), size_};
}

void StoredZip::reserve(std::size_t n) {
    if (n <= capacity_) return;
    std::unique_ptr<char[]> bigger(new char[n]);
    if (size_) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = n;
}

char* StoredZip::extend(std::size_t n) {
    if (size_ + n > capacity_) reserve(std::max(capacity_ * 2, size_ + n));
    char* at = data_.get() + size_;
    size_ += n;
    return at;
}

}  // namespace lumo::spreadsheet

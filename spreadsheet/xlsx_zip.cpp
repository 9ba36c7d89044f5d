#include "spreadsheet/xlsx_zip.h"

#include "spreadsheet/zip_archive.h"

#include <zlib.h>

#include <climits>
#include <ctime>

namespace lumo::spreadsheet {

namespace {

constexpr std::size_t kPackedBuffer = 256 * 1024;
constexpr std::uint64_t kZipLimit = 0xFFFFFFFFu;  // sizes and offsets without the 64-bit extension

[[noreturn]] void fail(const std::string& why) { throw ZipWriteError(why); }

void put16(std::string& out, std::uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& out, std::uint64_t v) {
    put16(out, static_cast<std::uint32_t>(v & 0xFFFF));
    put16(out, static_cast<std::uint32_t>((v >> 16) & 0xFFFF));
}

}  // namespace

struct ZipWriter::Deflater {
    z_stream z{};
    bool ready = false;
    ~Deflater() {
        if (ready) deflateEnd(&z);
    }
};

ZipWriter::ZipWriter(const std::filesystem::path& file)
    : out_(file, std::ios::binary | std::ios::trunc), z_(std::make_unique<Deflater>()), packed_(kPackedBuffer) {
    if (!out_) fail("cannot create the file");
    // Raw deflate (no zlib wrapper), level 1: several times faster than the default level for
    // a file about a fifth bigger.
    if (deflateInit2(&z_->z, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) fail("cannot start the compressor");
    z_->ready = true;
    // Entries carry the time of the save, in the local time that zip keeps.
    std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    if (local.tm_year >= 80) {
        dosTime_ = static_cast<std::uint16_t>(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
        dosDate_ = static_cast<std::uint16_t>((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    } else {
        dosDate_ = 1 << 5 | 1;  // 1.1.1980
    }
}

ZipWriter::~ZipWriter() = default;

std::uint64_t ZipWriter::position() {
    auto p = out_.tellp();
    if (p < 0) fail("cannot write the file");
    return static_cast<std::uint64_t>(p);
}

void ZipWriter::put(const std::string& bytes) {
    out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out_) fail("cannot write the file");
}

void ZipWriter::begin(std::string_view name) {
    if (open_) fail("an entry is still open");
    Entry e;
    e.name = name;
    e.offset = position();
    e.time = dosTime_, e.date = dosDate_;
    if (e.offset > kZipLimit) fail("the package is too big");
    // Local header; CRC and sizes are filled in by end().
    std::string h;
    put32(h, 0x04034b50);
    put16(h, 20), put16(h, 0), put16(h, 8), put16(h, dosTime_), put16(h, dosDate_);
    put32(h, 0), put32(h, 0), put32(h, 0);
    put16(h, static_cast<std::uint32_t>(name.size())), put16(h, 0);
    h += name;
    put(h);
    if (deflateReset(&z_->z) != Z_OK) fail("cannot restart the compressor");
    entries_.push_back(std::move(e));
    open_ = true;
}

void ZipWriter::deflateSome(int flush) {
    z_stream& z = z_->z;
    Entry& e = entries_.back();
    for (;;) {
        z.next_out = reinterpret_cast<Bytef*>(packed_.data());
        z.avail_out = static_cast<uInt>(packed_.size());
        int rc = deflate(&z, flush);
        if (rc == Z_STREAM_ERROR) fail("the compressor failed");
        std::size_t made = packed_.size() - z.avail_out;
        if (made) {
            out_.write(packed_.data(), static_cast<std::streamsize>(made));
            if (!out_) fail("cannot write the file");
            e.packed += made;
        }
        if (flush == Z_FINISH ? rc == Z_STREAM_END : (z.avail_in == 0 && z.avail_out != 0)) return;
    }
}

void ZipWriter::write(const char* data, std::size_t size) {
    if (!open_) fail("no entry is open");
    Entry& e = entries_.back();
    while (size > 0) {
        auto step = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX / 2));
        e.crc = static_cast<std::uint32_t>(crc32(e.crc, reinterpret_cast<const Bytef*>(data), step));
        e.size += step;
        z_->z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        z_->z.avail_in = step;
        deflateSome(Z_NO_FLUSH);
        data += step;
        size -= step;
    }
    if (e.size > kZipLimit) fail("a part is too big for the package");
}

void ZipWriter::end() {
    if (!open_) fail("no entry is open");
    z_->z.next_in = nullptr;
    z_->z.avail_in = 0;
    deflateSome(Z_FINISH);
    open_ = false;
    const Entry& e = entries_.back();
    if (e.packed > kZipLimit) fail("a part is too big for the package");
    std::uint64_t here = position();
    std::string fields;
    put32(fields, e.crc), put32(fields, e.packed), put32(fields, e.size);
    out_.seekp(static_cast<std::streamoff>(e.offset + 14));
    put(fields);
    out_.seekp(static_cast<std::streamoff>(here));
    if (!out_) fail("cannot write the file");
}

void ZipWriter::copy(const ZipEntry& entry, std::string_view packed) {
    if (open_) fail("an entry is still open");
    Entry e;
    e.name = entry.name;
    e.offset = position();
    if (e.offset > kZipLimit) fail("the package is too big");
    // The sizes go into the local header, so no data descriptor follows; the name's encoding
    // (bit 11) stays.
    e.flags = static_cast<std::uint16_t>(entry.flags & 0x0800);
    e.method = static_cast<std::uint16_t>(entry.method);
    e.time = entry.time, e.date = entry.date;
    e.crc = entry.crc, e.packed = entry.compressed, e.size = entry.size;
    std::string h;
    put32(h, 0x04034b50);
    put16(h, 20), put16(h, e.flags), put16(h, e.method), put16(h, e.time), put16(h, e.date);
    put32(h, e.crc), put32(h, e.packed), put32(h, e.size);
    put16(h, static_cast<std::uint32_t>(e.name.size())), put16(h, 0);
    h += e.name;
    put(h);
    out_.write(packed.data(), static_cast<std::streamsize>(packed.size()));
    if (!out_) fail("cannot write the file");
    entries_.push_back(std::move(e));
}

void ZipWriter::finish() {
    if (open_) fail("an entry is still open");
    std::uint64_t start = position();
    std::string d;
    for (const Entry& e : entries_) {
        put32(d, 0x02014b50);
        put16(d, 20), put16(d, 20), put16(d, e.flags), put16(d, e.method), put16(d, e.time), put16(d, e.date);
        put32(d, e.crc), put32(d, e.packed), put32(d, e.size);
        put16(d, static_cast<std::uint32_t>(e.name.size())), put16(d, 0), put16(d, 0);
        put16(d, 0), put16(d, 0), put32(d, 0), put32(d, e.offset);
        d += e.name;
    }
    const std::uint64_t directory = d.size();
    if (start + directory > kZipLimit || entries_.size() > 0xFFFF) fail("the package is too big");
    put32(d, 0x06054b50);
    put16(d, 0), put16(d, 0);
    put16(d, static_cast<std::uint32_t>(entries_.size())), put16(d, static_cast<std::uint32_t>(entries_.size()));
    put32(d, directory), put32(d, start), put16(d, 0);
    put(d);
    out_.close();
    if (!out_) fail("cannot write the file");
}

}  // namespace lumo::spreadsheet

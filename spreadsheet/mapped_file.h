#pragma once
// A file's bytes mapped into memory: the system reads a part only when it is touched, so a
// workbook's signature and zip directory are looked at before the rest is read, and a file that
// is no workbook costs a page, whatever its size.

#include <cstddef>
#include <string>
#include <string_view>

namespace lumo::spreadsheet {

class MappedFile {
public:
    // Maps the file (a UTF-8 path); raises std::runtime_error when it cannot.
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::string_view bytes() const { return {static_cast<const char*>(data_), size_}; }

private:
    const void* data_ = nullptr;
    std::size_t size_ = 0;
    void* mapping_ = nullptr;  // the mapping object's handle on Windows
};

}  // namespace lumo::spreadsheet

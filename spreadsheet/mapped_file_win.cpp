#include "spreadsheet/mapped_file.h"

#include <windows.h>

#include <stdexcept>

#include "common/atomic_file.h"

namespace lumo::spreadsheet {

MappedFile::MappedFile(const std::string& path) {
    // Others may read and write the file meanwhile (Excel keeps its own files so).
    HANDLE file = ::CreateFileW(pathFromUtf8(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size)) {
        ::CloseHandle(file);
        throw std::runtime_error("cannot read " + path);
    }
    size_ = static_cast<std::size_t>(size.QuadPart);
    if (size_ > 0) {
        HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping) data_ = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
        if (!data_) {
            if (mapping) ::CloseHandle(mapping);
            ::CloseHandle(file);
            throw std::runtime_error("cannot map " + path);
        }
        mapping_ = mapping;
    }
    ::CloseHandle(file);  // the mapping keeps the file open
}

MappedFile::~MappedFile() {
    if (data_) ::UnmapViewOfFile(data_);
    if (mapping_) ::CloseHandle(static_cast<HANDLE>(mapping_));
}

}  // namespace lumo::spreadsheet

#include "index/mapped_file.h"

#include <windows.h>

#include <cstdint>

namespace lookupd {

namespace {

std::string WinError(const char* what) {
    return std::string(what) + " (error " + std::to_string(::GetLastError()) + ")";
}

}  // namespace

std::string MappedFile::Open(const std::string& path) {
    Close();
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return WinError("cannot open it");
    std::string err;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file, &size)) {
        err = WinError("cannot read its size");
    } else if (static_cast<uint64_t>(size.QuadPart) > SIZE_MAX) {
        err = "too large to map";
    } else if (size.QuadPart > 0) {
        // A mapping of an empty file is refused, hence the test above.
        HANDLE mapping = ::CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (!mapping) {
            err = WinError("cannot map it");
        } else if (const void* p = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)) {
            m_mapping = mapping;
            m_data = static_cast<const char*>(p);
            m_size = static_cast<size_t>(size.QuadPart);
        } else {
            err = WinError("cannot map it");
            ::CloseHandle(mapping);
        }
    }
    ::CloseHandle(file);  // the view keeps the file open
    return err;
}

void MappedFile::Close() {
    if (m_data)
        ::UnmapViewOfFile(m_data);
    if (m_mapping)
        ::CloseHandle(m_mapping);
    m_data = nullptr;
    m_size = 0;
    m_mapping = nullptr;
}

}  // namespace lookupd

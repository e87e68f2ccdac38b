// A whole file mapped read-only, so that every process serving the same file shares
// one copy of it in the page cache.
#pragma once

#include <cstddef>
#include <string>

namespace lookupd {

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile() { Close(); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the file; returns an empty string or why it could not (without the path).
    // An empty file maps to Data() == nullptr and Size() == 0.
    std::string Open(const std::string& path);
    void Close();

    const char* Data() const { return m_data; }
    size_t Size() const { return m_size; }

private:
    const char* m_data = nullptr;
    size_t m_size = 0;
#ifdef _WIN32
    void* m_mapping = nullptr;
#endif
};

}  // namespace lookupd

#include "index/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace lookupd {

std::string MappedFile::Open(const std::string& path) {
    Close();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string("cannot open it (") + std::strerror(errno) + ")";
    struct stat st;
    std::string err;
    if (::fstat(fd, &st) != 0) {
        err = std::string("cannot read its size (") + std::strerror(errno) + ")";
    } else if (!S_ISREG(st.st_mode)) {
        err = "not a regular file";
    } else if (static_cast<uint64_t>(st.st_size) > SIZE_MAX) {
        err = "too large to map";
    } else if (st.st_size > 0) {
        // Not populated: start-up reads only the tables, and a lookup the few pieces it touches.
        void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            err = std::string("cannot map it (") + std::strerror(errno) + ")";
        } else {
            m_data = static_cast<const char*>(p);
            m_size = static_cast<size_t>(st.st_size);
        }
    }
    ::close(fd);  // the mapping keeps the file's pages
    return err;
}

void MappedFile::Close() {
    if (m_data)
        ::munmap(const_cast<char*>(m_data), m_size);
    m_data = nullptr;
    m_size = 0;
}

}  // namespace lookupd

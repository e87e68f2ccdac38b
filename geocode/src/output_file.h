// Where a run's rows go: standard output as they come, or -o FILE, which is written beside
// itself under a temporary name and renamed over FILE only when the run has ended well, so
// that a failed or interrupted run leaves FILE as it was and no temporary file behind.
#pragma once

#include <cstdio>
#include <string>

namespace geocode {

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { Discard(); }

    // Standard output for "" and "-"; else the temporary file beside `path` (or `path` itself
    // where it is no regular file, such as /dev/null or NUL). An empty string or why not.
    std::string Open(const std::string& path);
    std::FILE* Stream() const { return m_stream; }

    // Writes out what is buffered and puts the rows in place: the temporary file renamed over
    // the path. An empty string or why not (and then the path keeps what it held).
    std::string Commit();
    // Closes and removes the temporary file: the path keeps what it held.
    void Discard();

private:
    // Closes the stream, first onto the disk where `sync`; why not, if it failed.
    std::string Close(bool sync);

    std::FILE* m_stream = nullptr;
    std::string m_path, m_temp;  // m_temp is empty when writing straight to m_path or stdout
};

}  // namespace geocode

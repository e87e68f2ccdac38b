#include "output_file.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#endif

namespace geocode {

namespace {

// The temporary file a signal or a console event must remove. One run writes one output.
#ifdef _WIN32
CRITICAL_SECTION g_lock;
HANDLE g_handle = INVALID_HANDLE_VALUE;

// Runs on a thread of its own. The file cannot be deleted while it is open, so it is marked
// for deletion, which happens as the process ends; the default handler then ends it.
BOOL WINAPI OnConsoleEvent(DWORD) {
    EnterCriticalSection(&g_lock);
    if (g_handle != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO gone{TRUE};
        SetFileInformationByHandle(g_handle, FileDispositionInfo, &gone, sizeof gone);
    }
    LeaveCriticalSection(&g_lock);
    return FALSE;
}

void Watch(HANDLE h) {
    static bool once = [] {
        InitializeCriticalSection(&g_lock);
        SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
        return true;
    }();
    (void)once;
    EnterCriticalSection(&g_lock);
    g_handle = h;
    LeaveCriticalSection(&g_lock);
}

std::string LastError() {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0, text,
                   sizeof text, nullptr);
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    return s;
}
#else
char g_temp[PATH_MAX + 64];  // empty when there is none
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void OnSignal(int sig) {
    if (g_temp[0])
        unlink(g_temp);
    // Handled once (SA_RESETHAND): raised again, it ends the process as it would have.
    raise(sig);
}

void Watch() {
    for (int sig : kSignals) {
        struct sigaction was {};
        sigaction(sig, nullptr, &was);
        if (was.sa_handler == SIG_IGN)  // left ignored, as whoever started us wanted
            continue;
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sa.sa_flags = SA_RESETHAND;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}
#endif

}  // namespace

std::string OutputFile::Open(const std::string& path) {
    if (path.empty() || path == "-") {
        m_stream = stdout;
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        return {};
    }
    m_path = path;
#ifdef _WIN32
    // A device (NUL, CON) or a pipe is written as it is: there is nothing to rename over it.
    HANDLE probe = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    const bool regular = probe == INVALID_HANDLE_VALUE || GetFileType(probe) == FILE_TYPE_DISK;
    if (probe != INVALID_HANDLE_VALUE)
        CloseHandle(probe);
    if (!regular) {
        m_stream = std::fopen(path.c_str(), "wb");
        return m_stream ? std::string() : std::string(std::strerror(errno));
    }
    for (int n = 1;; ++n) {
        m_temp = path + "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(n) + ".tmp";
        HANDLE h = CreateFileA(m_temp.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS && n < 100)
                continue;
            std::string why = LastError();
            m_temp.clear();
            return why;
        }
        Watch(h);
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
        m_stream = fd < 0 ? nullptr : _fdopen(fd, "wb");
        if (!m_stream) {
            Watch(INVALID_HANDLE_VALUE);
            if (fd < 0)
                CloseHandle(h);
            else
                _close(fd);
            DeleteFileA(m_temp.c_str());
            m_temp.clear();
            return "cannot open a stream on the file";
        }
        return {};
    }
#else
    // A link is followed, so that the file it names gets the rows, as a plain write would do.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char real[PATH_MAX];
        if (realpath(path.c_str(), real))
            m_path = real;
    }
    const bool exists = stat(m_path.c_str(), &st) == 0;
    // A device (/dev/null) or a pipe is written as it is: renaming over it would replace it.
    if (exists && !S_ISREG(st.st_mode)) {
        m_stream = std::fopen(m_path.c_str(), "wb");
        return m_stream ? std::string() : std::string(std::strerror(errno));
    }
    // Renaming needs no right to the file itself: a file that may not be written stays.
    if (exists && access(m_path.c_str(), W_OK) != 0)
        return std::strerror(errno);
    // A file size limit makes a write fail (EFBIG) rather than end the process.
    signal(SIGXFSZ, SIG_IGN);
    Watch();
    // The signals wait while the file is made and named for them, so that none comes between.
    sigset_t block, was;
    sigemptyset(&block);
    for (int sig : kSignals)
        sigaddset(&block, sig);
    for (int n = 1;; ++n) {
        m_temp = m_path + "." + std::to_string(getpid()) + "-" + std::to_string(n) + ".tmp";
        if (m_temp.size() >= sizeof g_temp) {
            m_temp.clear();
            return std::strerror(ENAMETOOLONG);
        }
        pthread_sigmask(SIG_BLOCK, &block, &was);
        int fd = open(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        int err = errno;
        if (fd >= 0)
            std::memcpy(g_temp, m_temp.c_str(), m_temp.size() + 1);
        pthread_sigmask(SIG_SETMASK, &was, nullptr);
        if (fd < 0) {
            if (err == EEXIST && n < 100)
                continue;
            m_temp.clear();
            return std::strerror(err);
        }
        if (exists)
            fchmod(fd, st.st_mode & 07777);  // the file keeps its permissions
        m_stream = fdopen(fd, "wb");
        if (!m_stream) {
            const int why = errno;
            close(fd);
            Discard();
            return std::strerror(why);
        }
        return {};
    }
#endif
}

std::string OutputFile::Close(bool sync) {
    if (!m_stream)
        return {};
    std::string why;
    if (std::fflush(m_stream) != 0)
        why = std::strerror(errno);
    sync = sync && why.empty() && !m_temp.empty();
#ifdef _WIN32
    if (sync && !FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(m_stream)))))
        why = LastError();
#else
    // On the disk before the rename, so that a crash cannot leave FILE empty.
    if (sync && fsync(fileno(m_stream)) != 0 && errno != EINVAL)
        why = std::strerror(errno);
#endif
    if (m_stream != stdout && std::fclose(m_stream) != 0 && why.empty())
        why = std::strerror(errno);
    m_stream = nullptr;
    return why;
}

std::string OutputFile::Commit() {
    if (m_temp.empty())
        return Close(false);
#ifdef _WIN32
    // The console handler waits meanwhile: the file is either renamed or still marked.
    EnterCriticalSection(&g_lock);
    std::string why = Close(true);
    g_handle = INVALID_HANDLE_VALUE;
    if (why.empty() && !MoveFileExA(m_temp.c_str(), m_path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        why = LastError();
    if (!why.empty())
        DeleteFileA(m_temp.c_str());
    LeaveCriticalSection(&g_lock);
#else
    std::string why = Close(true);
    if (why.empty() && std::rename(m_temp.c_str(), m_path.c_str()) != 0)
        why = std::strerror(errno);
    if (!why.empty())
        unlink(m_temp.c_str());
    g_temp[0] = '\0';
#endif
    m_temp.clear();
    return why;
}

void OutputFile::Discard() {
    if (m_temp.empty()) {
        Close(false);
        return;
    }
#ifdef _WIN32
    EnterCriticalSection(&g_lock);
    Close(false);
    g_handle = INVALID_HANDLE_VALUE;
    DeleteFileA(m_temp.c_str());
    LeaveCriticalSection(&g_lock);
#else
    Close(false);
    unlink(m_temp.c_str());
    g_temp[0] = '\0';
#endif
    m_temp.clear();
}

}  // namespace geocode

#include "run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "places.h"
#include "positions.h"
#include "service_client.h"

#ifndef LUMENO_DEFAULT_INDEX
#define LUMENO_DEFAULT_INDEX ""
#endif

namespace geocode {

namespace {

using Clock = std::chrono::steady_clock;

// The radius the program asks with: 6000 map units, a sixtieth of a degree.
constexpr int64_t kNearRadius = 6000;
constexpr size_t kBatchPoints = 4096;

// The three levels and the code, in the output's encoding.
struct Named {
    std::string province, prefecture, district, code;
};

bool Encode(const Levels& l, bool gbk, Named& out) {
    out = Named();
    if (!gbk) {
        out.province = l.province;
        out.prefecture = l.prefecture;
        out.district = l.district;
        return true;
    }
    return Utf8ToGbk(l.province, out.province) && Utf8ToGbk(l.prefecture, out.prefecture) &&
           Utf8ToGbk(l.district, out.district);
}

// Answers for one worker thread.
class Engine {
public:
    virtual ~Engine() = default;
    // False (with `fatal`) when the engine itself failed; a refused point is no failure.
    virtual bool Ask(MapPoint p, const Named*& named, long& metres, std::string& fatal) = 0;
};

class LocalEngine : public Engine {
public:
    LocalEngine(const lookupd::PlaceIndex& index, const std::vector<Named>& names) : m_index(index), m_names(names) {}
    bool Ask(MapPoint p, const Named*& named, long& metres, std::string&) override {
        Answer a = FromMatch(m_index, m_index.Lookup(p.x, p.y, kNearRadius));
        named = a.kind == Answer::kNone ? nullptr : &m_names[a.district];
        metres = a.metres;
        return true;
    }

private:
    const lookupd::PlaceIndex& m_index;
    const std::vector<Named>& m_names;
};

class RemoteEngine : public Engine {
public:
    RemoteEngine(const std::string& host, const std::string& port, int timeoutMs, bool gbk)
        : m_client(host, port, timeoutMs), m_gbk(gbk) {}
    bool Ask(MapPoint p, const Named*& named, long& metres, std::string& fatal) override {
        char target[128];
        std::snprintf(target, sizeof target, "/GetTextByPos?x=%d&y=%d&radius=%d&service=gettext", static_cast<int>(p.x),
                      static_cast<int>(p.y), static_cast<int>(kNearRadius));
        int status = 0;
        std::string body, code;
        if (!m_client.Get(target, status, body, code, fatal))
            return false;
        Answer a;
        if (status != 200 || !FromServiceText(body, a)) {
            fatal = "the service answered " + std::to_string(status) +
                    " with a text that is no place: " + body.substr(0, 80);
            return false;
        }
        metres = a.metres;
        if (a.kind == Answer::kNone) {
            named = nullptr;
            return true;
        }
        auto it = m_cache.find(a.name);
        if (it == m_cache.end()) {
            std::string utf8;
            Named n;
            if (!GbkToUtf8(a.name, utf8) || !Encode(SplitFullName(utf8), m_gbk, n)) {
                fatal = "the service's answer is not GBK text";
                return false;
            }
            n.code = code;
            it = m_cache.emplace(a.name, std::move(n)).first;
        }
        named = &it->second;
        return true;
    }

private:
    ServiceClient m_client;
    bool m_gbk;
    std::unordered_map<std::string, Named> m_cache;
};

// Quoted when it holds the delimiter, a quote or a line end.
void PutCell(std::string& out, std::string_view cell, char delim) {
    if (cell.find_first_of(std::string("\"\r\n") + delim) == std::string_view::npos) {
        out.append(cell);
        return;
    }
    out += '"';
    for (char c : cell) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

void PutJson(std::string& out, std::string_view s) {
    out += '"';
    for (char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

struct Batch {
    uint64_t seq = 0;
    size_t input = 0;  // which input file
    std::vector<Record> records;
    uint64_t bytesDone = 0;  // of all inputs, after this batch
    // Filled by a worker:
    std::string out;
    std::vector<size_t> rowEnds;        // per record, the end of its row in `out`
    std::vector<std::string> messages;  // per record, for standard error; empty when none
    std::string fatal;
};

class Progress {
public:
    Progress(bool on, uint64_t totalBytes) : m_on(on), m_total(totalBytes), m_start(Clock::now()) {}
    void Update(uint64_t bytes, uint64_t points, bool force) {
        if (!m_on)
            return;
        auto now = Clock::now();
        if (!force && now - m_last < std::chrono::milliseconds(200))
            return;
        m_last = now;
        double secs = std::chrono::duration<double>(now - m_start).count();
        double rate = secs > 0 ? points / secs : 0;
        char line[160];
        if (m_total > 0) {
            double share = std::min(1.0, static_cast<double>(bytes) / m_total);
            int filled = static_cast<int>(share * 20);
            double left = share > 0 ? secs / share - secs : 0;
            std::snprintf(line, sizeof line, "\r[%-20.*s] %3d%% %.1f/%.1f MB %llu points %.0f points/s %d:%02d left",
                          filled, "####################", static_cast<int>(share * 100), bytes / 1e6, m_total / 1e6,
                          static_cast<unsigned long long>(points), rate, static_cast<int>(left) / 60,
                          static_cast<int>(left) % 60);
        } else {
            std::snprintf(line, sizeof line, "\r%.1f MB %llu points %.0f points/s", bytes / 1e6,
                          static_cast<unsigned long long>(points), rate);
        }
        std::fprintf(stderr, "%s\x1b[K", line);
        std::fflush(stderr);
        m_shown = true;
    }
    void Clear() {
        if (m_shown)
            std::fprintf(stderr, "\r\x1b[K");
    }

private:
    bool m_on;
    uint64_t m_total;
    Clock::time_point m_start, m_last;
    bool m_shown = false;
};

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(2) != 0;
#endif
}

std::string ProgramDir(const std::string& programPath) {
#ifdef _WIN32
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string exe(path, n < MAX_PATH ? n : 0);
    (void)programPath;
#else
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string exe = n > 0 ? std::string(path, static_cast<size_t>(n)) : programPath;
#endif
    size_t slash = exe.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

bool Exists(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f)
        std::fclose(f);
    return f != nullptr;
}

uint64_t FileSize(std::FILE* f) {
    if (std::fseek(f, 0, SEEK_END) != 0)
        return 0;
#ifdef _WIN32
    long long size = _ftelli64(f);
#else
    long long size = ftello(f);
#endif
    std::fseek(f, 0, SEEK_SET);
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

class Runner {
public:
    Runner(const Options& opt, std::vector<std::string> names, char delim)
        : m_opt(opt), m_inputNames(std::move(names)), m_delim(delim) {}

    // Reads every input through the workers and the writer; returns the exit status.
    int Go(std::vector<std::unique_ptr<ByteInput>>& inputs,
           std::vector<std::unique_ptr<Source>>& sources,
           std::vector<std::unique_ptr<Engine>>& engines,
           std::FILE* out,
           uint64_t totalBytes) {
        m_out = out;
        Progress progress(!m_opt.quiet && StderrIsTerminal(), totalBytes);
        std::vector<std::thread> workers;
        for (auto& e : engines)
            workers.emplace_back([this, &e] { Work(*e); });
        std::thread writer([this, &progress] { Write(progress); });

        uint64_t seq = 0, doneBefore = 0;
        for (size_t i = 0; i < sources.size() && !Stopped(); ++i) {
            Batch b;
            Record r;
            bool more = true;
            while (more && !Stopped()) {
                more = sources[i]->Next(r);
                if (more)
                    b.records.push_back(std::move(r));
                if (b.records.size() == kBatchPoints || (!more && !b.records.empty())) {
                    b.seq = seq++;
                    b.input = i;
                    b.bytesDone = doneBefore + inputs[i]->Consumed();
                    Submit(std::move(b));
                    b = Batch();
                }
            }
            if (inputs[i]->Failed()) {
                Fail("cannot read " + m_inputNames[i]);
                break;
            }
            doneBefore += inputs[i]->Consumed();
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lastSeq = seq;
            m_readDone = true;
        }
        m_cv.notify_all();
        for (auto& w : workers)
            w.join();
        writer.join();
        progress.Update(doneBefore, m_points, true);
        progress.Clear();

        if (!m_fatal.empty()) {
            std::fprintf(stderr, "lumeno-geocode: %s\n", m_fatal.c_str());
            return kUsageOrIo;
        }
        if (m_refused > 0) {
            std::fprintf(stderr, "lumeno-geocode: %llu of %llu rows refused%s\n",
                         static_cast<unsigned long long>(m_refused), static_cast<unsigned long long>(m_points),
                         m_opt.strict ? " (stopped at the first: --strict)" : "");
            return kSomeRefused;
        }
        return kAllAnswered;
    }

private:
    bool Stopped() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stop;
    }

    void Fail(const std::string& why) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_fatal.empty())
            m_fatal = why;
        m_stop = true;
        m_cv.notify_all();
    }

    // At most this many batches are read ahead of the writer: memory stays constant.
    size_t Window() const { return 4 + 2 * m_opt.threads; }

    void Submit(Batch&& b) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [&] { return m_stop || b.seq < m_written + Window(); });
        if (m_stop)
            return;
        m_todo.push_back(std::move(b));
        m_cv.notify_all();
    }

    void Work(Engine& engine) {
        for (;;) {
            Batch b;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cv.wait(lock, [&] { return m_stop || !m_todo.empty() || m_readDone; });
                if (m_stop || m_todo.empty())
                    return;
                b = std::move(m_todo.front());
                m_todo.pop_front();
            }
            Process(engine, b);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done.emplace(b.seq, std::move(b));
            m_cv.notify_all();
        }
    }

    void Process(Engine& engine, Batch& b) {
        b.out.reserve(b.records.size() * 96);
        b.rowEnds.resize(b.records.size());
        b.messages.resize(b.records.size());
        for (size_t i = 0; i < b.records.size(); ++i) {
            Record& r = b.records[i];
            const Named* named = nullptr;
            long metres = -1;
            if (r.error.empty() && !r.noRow) {
                MapPoint p{r.x, r.y};
                if (!r.exact)
                    r.error = ParseTypedPair(r.lon, r.lat, p);
                if (r.error.empty() && !InRegion(p))
                    r.error = "outside the service region";
                if (r.error.empty() && !engine.Ask(p, named, metres, b.fatal)) {
                    // The rows before it still go out; the run ends after them.
                    b.records.resize(i);
                    b.rowEnds.resize(i);
                    b.messages.resize(i);
                    return;
                }
            }
            std::string where = m_inputNames[b.input] + ":" + std::to_string(r.line) + ": ";
            if (!r.error.empty())
                b.messages[i] = where + r.error;
            else if (!r.note.empty())
                b.messages[i] = where + r.note;
            if (!r.noRow)
                PutRow(b.out, r, named, metres);
            b.rowEnds[i] = b.out.size();
        }
    }

    void PutRow(std::string& out, const Record& r, const Named* named, long metres) {
        static const Named kEmpty;
        const Named& n = named ? *named : kEmpty;
        std::string distance = metres >= 0 ? std::to_string(metres) : std::string();
        if (m_opt.jsonLines) {
            out += "{\"line\":" + std::to_string(r.line) + ",\"input\":{";
            const std::vector<std::string>& cols = m_columns;
            std::vector<std::string> cells;
            if (!r.raw.empty() || r.cells.empty())
                SplitDelimited(r.raw, m_delim, cells);
            const std::vector<std::string>& values = r.cells.empty() ? cells : r.cells;
            for (size_t c = 0; c < values.size(); ++c) {
                if (c)
                    out += ',';
                PutJson(out, c < cols.size() ? cols[c] : "column" + std::to_string(c + 1));
                out += ':';
                PutJson(out, values[c]);
            }
            out += "},\"province\":";
            PutJson(out, n.province);
            out += ",\"prefecture\":";
            PutJson(out, n.prefecture);
            out += ",\"district\":";
            PutJson(out, n.district);
            out += ",\"code\":";
            PutJson(out, n.code);
            out += ",\"distance_m\":" + (distance.empty() ? std::string("null") : distance) + ",\"error\":";
            if (r.error.empty())
                out += "null";
            else
                PutJson(out, r.error);
            out += "}\n";
            return;
        }
        if (r.cells.empty()) {
            out += r.raw;
        } else {
            for (size_t c = 0; c < r.cells.size(); ++c) {
                if (c)
                    out += m_delim;
                PutCell(out, r.cells[c], m_delim);
            }
        }
        for (const std::string* cell :
             std::initializer_list<const std::string*>{&n.province, &n.prefecture, &n.district, &n.code, &distance}) {
            out += m_delim;
            out += *cell;
        }
        out += m_delim;
        PutCell(out, r.error, m_delim);
        out += '\n';
    }

    void Write(Progress& progress) {
        for (;;) {
            Batch b;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cv.wait(lock,
                          [&] { return m_stop || m_done.count(m_written) || (m_readDone && m_written == m_lastSeq); });
                if (m_stop || !m_done.count(m_written))
                    return;
                auto it = m_done.find(m_written);
                b = std::move(it->second);
                m_done.erase(it);
            }
            size_t upTo = b.records.size();
            bool stop = false;
            for (size_t i = 0; i < b.records.size(); ++i) {
                if (!b.messages[i].empty())
                    std::fprintf(stderr, "%s\n", b.messages[i].c_str());
                if (!b.records[i].error.empty())
                    ++m_refused;
                if (!b.records[i].noRow)
                    ++m_points;
                if (!b.records[i].error.empty() && m_opt.strict) {
                    upTo = i + 1;
                    stop = true;
                    break;
                }
            }
            size_t bytes = upTo ? b.rowEnds[upTo - 1] : 0;
            if (bytes && std::fwrite(b.out.data(), 1, bytes, m_out) != bytes) {
                Fail("cannot write the output: " + std::string(std::strerror(errno)));
                return;
            }
            if (!b.fatal.empty()) {
                Fail(b.fatal);
                return;
            }
            progress.Update(b.bytesDone, m_points, false);
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_written;
            if (stop)
                m_stop = true;
            m_cv.notify_all();
            if (stop)
                return;
        }
    }

public:
    std::vector<std::string> m_columns;

private:
    const Options& m_opt;
    std::vector<std::string> m_inputNames;
    char m_delim;
    std::FILE* m_out = nullptr;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Batch> m_todo;
    std::map<uint64_t, Batch> m_done;
    uint64_t m_written = 0, m_lastSeq = 0;
    bool m_readDone = false, m_stop = false;
    std::string m_fatal;
    uint64_t m_points = 0, m_refused = 0;
};

}  // namespace

bool FormatFromName(const std::string& path, Format& f) {
    size_t dot = path.find_last_of('.');
    size_t slash = path.find_last_of("\\/");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return false;
    std::string ext = path.substr(dot + 1);
    for (char& c : ext)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    static const std::pair<const char*, Format> kExt[] = {
        {"csv", Format::kCsv},   {"tsv", Format::kTsv},  {"tab", Format::kTsv},   {"gpx", Format::kGpx},
        {"nmea", Format::kNmea}, {"nma", Format::kNmea}, {"txt", Format::kPlain},
    };
    for (auto& [e, fmt] : kExt)
        if (ext == e) {
            f = fmt;
            return true;
        }
    return false;
}

int Run(const Options& optIn, const std::string& programPath) {
    Options opt = optIn;
    if (opt.threads == 0)
        opt.threads = std::max(1u, std::thread::hardware_concurrency());
    if (opt.inputs.empty())
        opt.inputs.push_back("-");

    // Every input opened and its format known before anything is written.
    std::vector<Format> formats;
    std::vector<std::string> names;
    std::vector<std::FILE*> files;
    auto closeAll = [&] {
        for (std::FILE* f : files)
            if (f && f != stdin)
                std::fclose(f);
    };
    uint64_t total = 0;
    for (const std::string& in : opt.inputs) {
        Format f = opt.from;
        if (!opt.formatGiven && !FormatFromName(in, f)) {
            std::fprintf(stderr, "lumeno-geocode: %s: give the format with --from (csv, tsv, gpx, nmea, plain)\n",
                         in == "-" ? "standard input" : in.c_str());
            closeAll();
            return kUsageOrIo;
        }
        if (!formats.empty() &&
            (f == Format::kCsv || f == Format::kTsv) != (formats[0] == Format::kCsv || formats[0] == Format::kTsv)) {
            std::fprintf(stderr, "lumeno-geocode: %s: tables and track logs cannot go into one output\n", in.c_str());
            closeAll();
            return kUsageOrIo;
        }
        std::FILE* file = in == "-" ? stdin : std::fopen(in.c_str(), "rb");
        if (!file) {
            std::fprintf(stderr, "lumeno-geocode: cannot open %s: %s\n", in.c_str(), std::strerror(errno));
            closeAll();
            return kUsageOrIo;
        }
#ifdef _WIN32
        if (file == stdin)
            _setmode(_fileno(stdin), _O_BINARY);
#endif
        if (file != stdin)
            total += FileSize(file);
        formats.push_back(f);
        names.push_back(in == "-" ? "stdin" : in);
        files.push_back(file);
    }
    if (std::count(opt.inputs.begin(), opt.inputs.end(), "-") > 1) {
        std::fprintf(stderr, "lumeno-geocode: standard input can be read once\n");
        closeAll();
        return kUsageOrIo;
    }

    std::vector<std::unique_ptr<ByteInput>> inputs;
    std::vector<std::unique_ptr<Source>> sources;
    for (size_t i = 0; i < files.size(); ++i) {
        inputs.push_back(std::make_unique<ByteInput>(files[i]));
        sources.push_back(MakeSource(formats[i], *inputs.back(), opt.reader));
        std::string err = sources.back()->Start();
        if (!err.empty()) {
            std::fprintf(stderr, "lumeno-geocode: %s: %s\n", names[i].c_str(), err.c_str());
            closeAll();
            return kUsageOrIo;
        }
        if (i > 0 && sources[i]->Columns() != sources[0]->Columns()) {
            std::fprintf(stderr, "lumeno-geocode: %s: its columns differ from those of %s\n", names[i].c_str(),
                         names[0].c_str());
            closeAll();
            return kUsageOrIo;
        }
    }

    // The engine: the index in this process, or the service.
    lookupd::PlaceIndex index;
    std::vector<Named> districtNames;
    std::vector<std::unique_ptr<Engine>> engines;
    if (opt.service.empty()) {
        std::string path = opt.data;
        if (path.empty()) {
            path = ProgramDir(programPath) + "lookupd.idx";
            if (!Exists(path) && std::strlen(LUMENO_DEFAULT_INDEX) > 0)
                path = LUMENO_DEFAULT_INDEX;
        }
        std::string err = index.Load(path);
        if (!err.empty()) {
            std::fprintf(stderr, "lumeno-geocode: %s\n", err.c_str());
            closeAll();
            return kUsageOrIo;
        }
        districtNames.resize(index.DistrictCount());
        for (uint32_t d = 0; d < index.DistrictCount(); ++d) {
            std::string utf8;
            if (!GbkToUtf8(index.Name(d), utf8) || !Encode(SplitFullName(utf8), opt.gbk, districtNames[d])) {
                std::fprintf(stderr, "lumeno-geocode: %s: district %u's name is not GBK text\n", path.c_str(), d);
                closeAll();
                return kUsageOrIo;
            }
            districtNames[d].code = DistrictCode(index, d);
        }
        for (unsigned t = 0; t < opt.threads; ++t)
            engines.push_back(std::make_unique<LocalEngine>(index, districtNames));
    } else {
        size_t colon = opt.service.rfind(':');
        std::string host = opt.service.substr(0, colon), port = opt.service.substr(colon + 1);
        // Asked once before any output, so that an absent service is a plain start-up error.
        ServiceClient probe(host, port, opt.timeoutMs);
        int status = 0;
        std::string body, err;
        if (!probe.Get("/healthz", status, body, err) || status != 200) {
            std::fprintf(stderr, "lumeno-geocode: the service at %s is not ready: %s\n", opt.service.c_str(),
                         err.empty() ? ("/healthz answered " + std::to_string(status)).c_str() : err.c_str());
            closeAll();
            return kUsageOrIo;
        }
        for (unsigned t = 0; t < opt.threads; ++t)
            engines.push_back(std::make_unique<RemoteEngine>(host, port, opt.timeoutMs, opt.gbk));
    }

    std::FILE* out = stdout;
    bool toFile = !opt.output.empty() && opt.output != "-";
    if (toFile && !(out = std::fopen(opt.output.c_str(), "wb"))) {
        std::fprintf(stderr, "lumeno-geocode: cannot write %s: %s\n", opt.output.c_str(), std::strerror(errno));
        closeAll();
        return kUsageOrIo;
    }
#ifdef _WIN32
    if (!toFile)
        _setmode(_fileno(stdout), _O_BINARY);
#endif
    static char outBuffer[1 << 20];
    std::setvbuf(out, outBuffer, _IOFBF, sizeof outBuffer);

    char delim = formats[0] == Format::kTsv ? '\t' : ',';
    std::string head;
    if (opt.bom && !opt.gbk)
        head += "\xEF\xBB\xBF";
    std::vector<std::string> columns = sources[0]->Columns();
    if (!opt.jsonLines) {
        if (formats[0] == Format::kCsv || formats[0] == Format::kTsv) {
            head += sources[0]->RawHeader();
        } else {
            for (size_t c = 0; c < columns.size(); ++c) {
                if (c)
                    head += delim;
                head += columns[c];
            }
        }
        for (const char* c : {"province", "prefecture", "district", "code", "distance_m", "error"}) {
            head += delim;
            head += c;
        }
        head += '\n';
    }
    int status = kUsageOrIo;
    if (std::fwrite(head.data(), 1, head.size(), out) != head.size()) {
        std::fprintf(stderr, "lumeno-geocode: cannot write the output: %s\n", std::strerror(errno));
    } else {
        Runner runner(opt, names, delim);
        runner.m_columns = columns;
        status = runner.Go(inputs, sources, engines, out, total);
    }
    bool flushed = std::fflush(out) == 0;
    bool closed = !toFile || std::fclose(out) == 0;
    if (!flushed || !closed) {
        std::fprintf(stderr, "lumeno-geocode: cannot write %s\n", toFile ? opt.output.c_str() : "the output");
        status = kUsageOrIo;
    }
    engines.clear();
    closeAll();
    return status;
}

}  // namespace geocode

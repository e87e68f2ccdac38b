#include "runner.h"

#include <cerrno>
#include <cstring>
#include <thread>

namespace geocode {

namespace {

constexpr size_t kBatchPoints = 4096;

}  // namespace

int Runner::Go(std::vector<std::unique_ptr<ByteInput>>& inputs,
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
    bool stopped = false;
    for (size_t i = 0; i < sources.size() && !stopped; ++i) {
        Batch b = Spare();
        Record r;
        bool more = true;
        while (more && !stopped) {
            more = sources[i]->Next(r);
            if (more)
                b.records.push_back(std::move(r));
            if (b.records.size() == kBatchPoints || (!more && !b.records.empty())) {
                b.seq = seq++;
                b.input = i;
                b.bytesDone = doneBefore + inputs[i]->Consumed();
                // Asked once a batch, not once a row: the lock is shared with the workers.
                stopped = !Submit(std::move(b));
                b = Spare();
            }
        }
        stopped = stopped || Stopped();
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

bool Runner::Stopped() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

void Runner::Fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fatal.empty())
        m_fatal = why;
    m_stop = true;
    m_cv.notify_all();
}

bool Runner::Submit(Batch&& b) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [&] { return m_stop || b.seq < m_written + Window(); });
    if (m_stop)
        return false;
    m_todo.push_back(std::move(b));
    m_cv.notify_all();
    return true;
}

Batch Runner::Spare() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_spare.empty()) {
        Batch b;
        b.records.reserve(kBatchPoints);
        return b;
    }
    Batch b = std::move(m_spare.back());
    m_spare.pop_back();
    return b;
}

void Runner::Work(Engine& engine) {
    Lookups lookups;
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
        Process(engine, b, lookups);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done.emplace(b.seq, std::move(b));
        m_cv.notify_all();
    }
}

// The batch's positions are read first and looked up together, then its rows are written.
void Runner::Process(Engine& engine, Batch& b, Lookups& l) {
    l.points.clear();
    l.records.clear();
    for (size_t i = 0; i < b.records.size(); ++i) {
        Record& r = b.records[i];
        if (!r.error.empty() || r.noRow)
            continue;
        MapPoint p{r.x, r.y};
        if (!r.exact)
            r.error = ParseTypedPair(r.lon, r.lat, p);
        if (r.error.empty() && !InRegion(p))
            r.error = "outside the service region";
        if (r.error.empty()) {
            l.points.push_back(p);
            l.records.push_back(i);
        }
    }
    size_t done = 0;
    if (!engine.AskAll(l.points, l.answers, done, b.fatal)) {
        const size_t failed = l.records[done];
        b.fatal = m_inputNames[b.input] + ":" + std::to_string(b.records[failed].line) + ": " + b.fatal;
        // The rows before it still go out; the run ends after them.
        b.records.resize(failed);
    }
    b.out.reserve(b.records.size() * 96);
    b.rowEnds.resize(b.records.size());
    b.messages.resize(b.records.size());
    size_t k = 0;  // the next point looked up
    for (size_t i = 0; i < b.records.size(); ++i) {
        const Record& r = b.records[i];
        Asked a;
        const MapPoint* point = nullptr;
        if (k < l.records.size() && l.records[k] == i) {
            point = &l.points[k];
            a = l.answers[k++];
        }
        if (!r.error.empty() || !r.note.empty())
            b.messages[i] =
                m_inputNames[b.input] + ":" + std::to_string(r.line) + ": " + (r.error.empty() ? r.note : r.error);
        if (!r.noRow)
            PutRow(b.out, r, a.named, a.metres, point, RowFormat{m_opt.rows, m_delim, m_columns, m_opt.crs});
        b.rowEnds[i] = b.out.size();
    }
}

void Runner::Write(Progress& progress) {
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
        const char* rows = b.out.data();
        // The collection's first Feature goes without the separator the others begin with.
        if (bytes && m_opt.rows == RowKind::kGeoJson && !m_featureWritten) {
            rows += 2;
            bytes -= 2;
            m_featureWritten = true;
        }
        if (bytes && std::fwrite(rows, 1, bytes, m_out) != bytes) {
            Fail("cannot write the output: " + std::string(std::strerror(errno)));
            return;
        }
        if (!b.fatal.empty()) {
            Fail(b.fatal);
            return;
        }
        progress.Update(b.bytesDone, m_points, false);
        b.records.clear();
        b.out.clear();
        b.rowEnds.clear();
        b.messages.clear();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spare.size() < Window())
            m_spare.push_back(std::move(b));
        ++m_written;
        if (stop)
            m_stop = true;
        m_cv.notify_all();
        if (stop)
            return;
    }
}

}  // namespace geocode

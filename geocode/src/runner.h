// The pipeline of one run: the inputs read in batches, looked up on one worker thread per
// engine, and the rows written in input order by one writer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engines.h"
#include "output.h"
#include "readers.h"
#include "run.h"

namespace geocode {

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

// A worker's buffers for one batch's lookups, kept from batch to batch.
struct Lookups {
    std::vector<MapPoint> points;
    std::vector<size_t> records;  // the batch's record of each point
    std::vector<Asked> answers;
};

class Runner {
public:
    Runner(const Options& opt, std::vector<std::string> names, char delim)
        : m_opt(opt), m_inputNames(std::move(names)), m_delim(delim) {}

    // Reads every input through the workers and the writer; returns the exit status.
    int Go(std::vector<std::unique_ptr<ByteInput>>& inputs,
           std::vector<std::unique_ptr<Source>>& sources,
           std::vector<std::unique_ptr<Engine>>& engines,
           std::FILE* out,
           uint64_t totalBytes);

private:
    bool Stopped();
    void Fail(const std::string& why);

    // At most this many batches are read ahead of the writer: memory stays constant.
    size_t Window() const { return 4 + 2 * m_opt.threads; }

    // False once the run has stopped.
    bool Submit(Batch&& b);
    // An empty batch for the reader: one the writer is done with where there is one, so
    // that a long run does not keep allocating and faulting in fresh buffers.
    Batch Spare();
    void Work(Engine& engine);
    void Process(Engine& engine, Batch& b, Lookups& l);
    void Write(Progress& progress);

public:
    std::vector<std::string> m_columns;

private:
    const Options& m_opt;
    std::vector<std::string> m_inputNames;
    char m_delim;
    bool m_featureWritten = false;
    std::FILE* m_out = nullptr;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Batch> m_todo;
    std::map<uint64_t, Batch> m_done;
    std::vector<Batch> m_spare;
    uint64_t m_written = 0, m_lastSeq = 0;
    bool m_readDone = false, m_stop = false;
    std::string m_fatal;
    uint64_t m_points = 0, m_refused = 0;
};

}  // namespace geocode

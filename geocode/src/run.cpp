#include "run.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "engines.h"
#include "output.h"
#include "output_file.h"
#include "places.h"
#include "positions.h"
#include "runner.h"
#include "service_client.h"

#ifndef LUMENO_DEFAULT_INDEX
#define LUMENO_DEFAULT_INDEX ""
#endif

namespace geocode {

namespace {

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
        index.BuildCells();
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
            engines.push_back(std::make_unique<LocalEngine>(index, districtNames, opt.crs));
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
            engines.push_back(std::make_unique<RemoteEngine>(host, port, opt.timeoutMs, opt.gbk, opt.crs));
    }

    OutputFile output;
    std::string why = output.Open(opt.output);
    if (!why.empty()) {
        std::fprintf(stderr, "lumeno-geocode: cannot write %s: %s\n", opt.output.c_str(), why.c_str());
        closeAll();
        return kUsageOrIo;
    }
    std::FILE* out = output.Stream();
    static char outBuffer[1 << 20];
    std::setvbuf(out, outBuffer, _IOFBF, sizeof outBuffer);

    char delim = formats[0] == Format::kTsv ? '\t' : ',';
    std::string head;
    if (opt.bom && !opt.gbk)
        head += "\xEF\xBB\xBF";
    std::vector<std::string> columns = sources[0]->Columns();
    if (opt.rows == RowKind::kGeoJson)
        head += kCollectionHead;
    if (opt.rows == RowKind::kDelimited) {
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
        if (status != kUsageOrIo && opt.rows == RowKind::kGeoJson &&
            std::fwrite(kCollectionTail, 1, sizeof kCollectionTail - 1, out) != sizeof kCollectionTail - 1) {
            std::fprintf(stderr, "lumeno-geocode: cannot write the output: %s\n", std::strerror(errno));
            status = kUsageOrIo;
        }
    }
    // A file gets the rows of a run that ended well, as far as it went (--strict), or keeps
    // what it held; standard output has had them all along.
    if (status == kUsageOrIo) {
        output.Discard();
    } else if (!(why = output.Commit()).empty()) {
        std::fprintf(stderr, "lumeno-geocode: cannot write %s: %s\n",
                     opt.output.empty() || opt.output == "-" ? "the output" : opt.output.c_str(), why.c_str());
        status = kUsageOrIo;
    }
    engines.clear();
    closeAll();
    return status;
}

}  // namespace geocode

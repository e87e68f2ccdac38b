// Where lumeno-geocode's answers come from: the index in this process, or the service.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "output.h"
#include "places.h"
#include "positions.h"
#include "service_client.h"

namespace geocode {

// A point's answer: the place it lies in or near (null for none), and the distance to a place
// it is near (else negative).
struct Asked {
    const Named* named = nullptr;
    long metres = -1;
};

// Answers for one worker thread.
class Engine {
public:
    virtual ~Engine() = default;
    // The answers to a batch of points, in order. False (with `fatal`) when the engine itself
    // failed, and `done` then tells how many points were answered before it; a point without
    // a place is no failure.
    virtual bool AskAll(const std::vector<MapPoint>& points,
                        std::vector<Asked>& out,
                        size_t& done,
                        std::string& fatal) = 0;
};

class LocalEngine : public Engine {
public:
    LocalEngine(const lookupd::PlaceIndex& index, const std::vector<Named>& names, lookupd::Crs crs)
        : m_index(index), m_names(names), m_crs(crs) {}
    bool AskAll(const std::vector<MapPoint>& points,
                std::vector<Asked>& out,
                size_t& done,
                std::string& fatal) override;

private:
    // One answer from the index's; false for a damaged index.
    bool Take(const lookupd::Match& m, Asked& out, std::string& fatal) const;

    const lookupd::PlaceIndex& m_index;
    std::vector<lookupd::PlaceIndex::Query> m_queries;
    std::vector<lookupd::Match> m_matches;
    const std::vector<Named>& m_names;
    lookupd::Crs m_crs;
};

class RemoteEngine : public Engine {
public:
    RemoteEngine(const std::string& host, const std::string& port, int timeoutMs, bool gbk, lookupd::Crs crs)
        : m_client(host, port, timeoutMs), m_gbk(gbk), m_crs(crs) {}
    bool AskAll(const std::vector<MapPoint>& points,
                std::vector<Asked>& out,
                size_t& done,
                std::string& fatal) override;

private:
    bool Ask(MapPoint p, Asked& out, std::string& fatal);

    ServiceClient m_client;
    bool m_gbk;
    lookupd::Crs m_crs;
    std::unordered_map<std::string, Named> m_cache;
};

}  // namespace geocode

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
    bool Ask(MapPoint p, const Named*& named, long& metres, std::string& fatal) override;

private:
    const lookupd::PlaceIndex& m_index;
    const std::vector<Named>& m_names;
};

class RemoteEngine : public Engine {
public:
    RemoteEngine(const std::string& host, const std::string& port, int timeoutMs, bool gbk)
        : m_client(host, port, timeoutMs), m_gbk(gbk) {}
    bool Ask(MapPoint p, const Named*& named, long& metres, std::string& fatal) override;

private:
    ServiceClient m_client;
    bool m_gbk;
    std::unordered_map<std::string, Named> m_cache;
};

}  // namespace geocode

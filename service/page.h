// The map page the service serves at /: its files (built into the program), the position
// route it asks (/locate: the window's notations read by the window's parser, the district and
// the position in all three systems) and the outline routes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "service/outline_routes.h"

namespace lookupd {

// The page's files, from service/page/ (made at build time by embed_page.cmake).
struct PageFile {
    const char* path;
    const char* contentType;
    const char* body;
};
extern const PageFile kPageFiles[];
extern const size_t kPageFileCount;

// The Content-Security-Policy every page route is sent with: the service's own files and
// routes only, no inline script or style, no frames.
extern const char kPagePolicy[];

class PageAnswerer {
public:
    explicit PageAnswerer(const PlaceIndex& index) : m_index(index), m_outlines(index) {}

    // The answer for path, or nothing for a path that is not the page's.
    std::optional<PageReply> Answer(std::string_view path, const std::multimap<std::string, std::string>& params) const;

    const OutlineRoutes& Outlines() const { return m_outlines; }

    // /locate?pos=113.65735+34.79139167&coordtype=wgs84
    PageReply Locate(const std::multimap<std::string, std::string>& params) const;

private:
    const PlaceIndex& m_index;
    OutlineRoutes m_outlines;
};

}  // namespace lookupd

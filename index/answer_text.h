// The answer text that the service sends and the window shows, in GBK: written and read here
// alone, so that the service, the batch tool and their tests agree on every form of it.
#pragma once

#include <string>
#include <string_view>

namespace lookupd {

// A district's full name as it stands, or the near form: NAME附近(距其边界约 D米) below a
// kilometre, NAME附近(距其边界约 D.D公里) from one on.
std::string NearText(std::string_view name, double metres);

// The text for a position with no district within the radius.
std::string UnknownText();

// What a text says.
struct AnswerText {
    enum Kind { kNone, kInside, kNear } kind = kNone;
    std::string name;  // the full name, GBK
    long metres = -1;  // kNear: the distance as the text states it, in whole metres
};

// False for a text that is none of the forms above.
bool ReadAnswerText(const std::string& gbk, AnswerText& out);

// The metres that the near text states for a distance, as ReadAnswerText reads them back.
long StatedMetres(double metres);

}  // namespace lookupd

// The readers of each input format, for MakeSource to choose from.
#pragma once

#include <memory>

#include "readers.h"

namespace geocode {

std::unique_ptr<Source> MakeDelimitedSource(ByteInput& in, char delim, const ReaderOptions& opt);
std::unique_ptr<Source> MakeGpxSource(ByteInput& in);
std::unique_ptr<Source> MakeNmeaSource(ByteInput& in);
std::unique_ptr<Source> MakePlainSource(ByteInput& in);

}  // namespace geocode

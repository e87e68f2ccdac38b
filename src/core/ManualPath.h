// Where the manual lies: the document "Lumeno.doc" in the program's own
// directory.
#pragma once

#include <cstddef>

// Copies the program's full path into out with everything from its last
// backslash on replaced by "\Lumeno.doc". The search is byte by byte, like
// the rest of our string handling. Returns false, leaving out empty, when the
// path has no backslash or the result and its terminating zero do not fit
// into size bytes: a too long path opens nothing rather than a cut-off name.
bool ComposeManualPath(const char* pszProgramPath, char* out, std::size_t size);

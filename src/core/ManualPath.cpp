#include "core/ManualPath.h"

#include <cstring>

bool ComposeManualPath(const char* pszProgramPath, char* out, std::size_t size) {
    static const char kDocument[] = "\\Lumeno.doc";
    if (size > 0)
        out[0] = '\0';
    const char* slash = pszProgramPath ? std::strrchr(pszProgramPath, '\\') : nullptr;
    if (!slash)
        return false;
    std::size_t directory = static_cast<std::size_t>(slash - pszProgramPath);
    // The directory, the document name and the terminating zero (counted in sizeof).
    if (directory + sizeof(kDocument) > size)
        return false;
    std::memcpy(out, pszProgramPath, directory);
    std::memcpy(out + directory, kDocument, sizeof(kDocument));
    return true;
}

#!/usr/bin/python3
"""Checks a Windows build's shipped programs from their files alone, for a
machine that cannot run them: the PE format and machine, the subsystem, that
every import is a DLL of Windows itself (the binaries are linked statically),
and the program's version information.

    check-pe.py win32|win64 BUILD_DIR

Prints "pe-<build>-<program>: passed" for each program that passes (the test
command counts those lines) and the reasons for each that does not; exits 1
if any fails."""
import os
import sys

import pefile  # Debian's python3-pefile, hence the distribution's interpreter

MACHINE = {"win32": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
           "win64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]}
MAGIC = {"win32": pefile.OPTIONAL_HEADER_MAGIC_PE, "win64": pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS}
GUI = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]
CONSOLE = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll",
               "advapi32.dll", "ws2_32.dll", "mswsock.dll", "msvcrt.dll"}
# file in the build tree, subsystem, whether it carries version information
PROGRAMS = [("src/app/Lumeno.exe", GUI, True),
            ("src/launcher/Lumeno-start.exe", GUI, False),
            ("service/lumeno-lookupd.exe", CONSOLE, False),
            ("geocode/lumeno-geocode.exe", CONSOLE, False)]


def problems(path, build, subsystem, versioned, version):
    try:
        pe = pefile.PE(path)
    except (OSError, pefile.PEFormatError) as e:
        return [f"not a PE file: {e}"]
    found = []
    if pe.FILE_HEADER.Machine != MACHINE[build] or pe.OPTIONAL_HEADER.Magic != MAGIC[build]:
        found.append(f"machine {pe.FILE_HEADER.Machine:#x}, magic {pe.OPTIONAL_HEADER.Magic:#x}: not {build}")
    if pe.OPTIONAL_HEADER.Subsystem != subsystem:
        found.append(f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, expected {subsystem}")
    imports = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    if not imports:
        found.append("imports nothing: not a linked program")
    if imports - SYSTEM_DLLS:
        found.append("imports from DLLs Windows does not have: " + ", ".join(sorted(imports - SYSTEM_DLLS)))
    if versioned:
        fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
        if not fixed:
            found.append("no version information")
        else:
            ms, ls = fixed[0].FileVersionMS, fixed[0].FileVersionLS
            got = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
            if got != version:
                found.append(f"file version {got}, expected {version}")
    return found


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in MACHINE:
        sys.exit("usage: check-pe.py win32|win64 BUILD_DIR")
    build, tree = sys.argv[1], sys.argv[2]
    version = None
    with open(os.path.join(tree, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                version = line.split("=", 1)[1].strip()
    failed = 0
    for name, subsystem, versioned in PROGRAMS:
        found = problems(os.path.join(tree, name), build, subsystem, versioned, version)
        program = os.path.splitext(os.path.basename(name))[0]
        if found:
            failed += 1
            print(f"pe-{build}-{program}: FAILED: " + "; ".join(found))
        else:
            print(f"pe-{build}-{program}: passed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

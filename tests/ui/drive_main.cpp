// Drives a Lumeno window that something else opened (the run command, the
// package's start program): one query, a screenshot, then closes it.
//   lumeno_drive LONGITUDE|example LATITUDE SCREENSHOT.bmp
// Prints "LON LAT -> line 1" in UTF-8; exits 0 only when an answer came.
#include <cstdio>
#include <string>

#include "core/LocationQuery.h"
#include "index/gbk.h"
#include "resource.h"
#include "ui/program_driver.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: lumeno_drive LONGITUDE|example LATITUDE SCREENSHOT.bmp\n");
        return 2;
    }
    ProgramDriver program;
    // The window may come only after a new Wine prefix and the lookup service are up.
    if (!program.Attach(120000)) {
        std::fprintf(stderr, "lumeno_drive: no Lumeno window appeared\n");
        return 1;
    }
    if (std::string(argv[1]) == "example") {
        program.PostClick(program.Item(IDC_EXAMPLE));
        ProgramDriver::WaitFor([&] { return !program.ItemText(IDC_LONGITUDE).empty(); });
    } else {
        program.SetItemText(IDC_LONGITUDE, argv[1]);
        program.SetItemText(IDC_LATITUDE, argv[2]);
    }
    // Line 1 is cleared first so that an answer equal to the old line still shows as new.
    program.SetItemText(IDC_RESULT1, "");
    program.PostCommand(IDOK, BN_CLICKED);
    std::string line1;
    bool answered = ProgramDriver::WaitFor([&] {
        line1 = program.ItemText(IDC_RESULT1);
        return !line1.empty() && line1 != kWaitText;
    });
    std::string lon = program.ItemText(IDC_LONGITUDE), lat = program.ItemText(IDC_LATITUDE);
    std::printf("%s %s -> %s\n", lookupd::GbkToUtf8OrAsIs(lon).c_str(), lookupd::GbkToUtf8OrAsIs(lat).c_str(),
                answered ? lookupd::GbkToUtf8OrAsIs(line1).c_str() : "(no answer)");
    bool saved = program.SaveScreenshot(argv[3]);
    if (!saved)
        std::fprintf(stderr, "lumeno_drive: could not save %s\n", argv[3]);
    ::PostMessageA(program.Window(), WM_CLOSE, 0, 0);
    bool closed = program.WaitForExit(ProgramDriver::kWaitMs);
    if (!closed)
        std::fprintf(stderr, "lumeno_drive: the window did not close\n");
    return answered && saved && closed ? 0 : 1;
}

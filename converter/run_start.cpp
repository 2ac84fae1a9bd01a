#include "converter/run_start.hpp"

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "converter/fatal.hpp"
#include "converter/settings.hpp"
#include "gtp/stdio_file.hpp"

namespace sonokas {

const char kHelpText[] =
    "Usage: SONOKAS [options] INPUT [OUTPUT]\n"
    "\n"
    "Converts a sound recording of a Galaksija cassette into a GTP tape image.\n"
    "INPUT is a WAV, VOC or CSW file, or any file that libsndfile reads (FLAC, AIFF,\n"
    "Ogg, ...); \"-\" reads it from standard input, and then OUTPUT must be given.\n"
    "Without OUTPUT the output goes beside INPUT: TAPE.WAV gives TAPE.gtp (TAPE.bin).\n"
    "\n"
    "Options:\n"
    "  /bin         write the record's data bytes instead of a GTP file\n"
    "  /thr num     edge threshold (default 220); lower it for quiet recordings\n"
    "  /up          detect rising instead of falling edges (inverted polarity)\n"
    "  /exact num   exact decoder with value num\n"
    "  /name str    put a name block holding str before the record\n"
    "  /fail num    try again with rising exact values until the checksum is right\n"
    "  /inter       decide doubtful bits of the exact decoder in a window\n"
    "  /auto        calibrate every record from its lead-in: level, polarity, speed, channel\n"
    "  /multi       decode every record of the tape, into one GTP or numbered .bin files\n"
    "  /report FILE a report of the run: FILE.json or FILE.html\n"
    "  /with FILE   another recording of the same side, merged record by record (up to 8)\n"
    "  --help, -h   print this help and exit\n"
    "  --version    print the version and exit\n"
    "\n"
    "Exit status: 1 after a conversion, 0 after this help, the usage text or an error.\n";

std::optional<int> AnswerInfoRequest(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelpText, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("SONOKAS %s\n", TAPE_TOOLS_VERSION);
            return 0;
        }
    }
    return std::nullopt;
}

const char* OpenInput(input::SpoolFile& spool) {
    if (settings.inputPath.view() == "-") {
        if (!spool.Fill(stdin)) {
            ErrorExit("Cannot open input file!");
        }
        return spool.path();
    }
    if (!gtp::OpenFile(settings.inputPath.c_str(), "rb")) {
        ErrorExit("Cannot open input file!");
    }
    return settings.inputPath.c_str();
}

bool CanCreateOutput(const char* path) {
    std::error_code error;
    if (std::filesystem::exists(path, error)) {
        return gtp::OpenFile(path, "r+b") != nullptr;
    }
    if (!gtp::OpenFile(path, "wb")) {
        return false;
    }
    std::remove(path);
    return true;
}

}  // namespace sonokas

// The lister's whole run on arbitrary GTP bytes, with and without "/basic".
#include <cstdint>

#include "fuzz/fuzz_support.hpp"
#include "lister/lister.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::WriteScratch(data, size);
    const char* plain[] = {"KASDIR", fuzzing::ScratchPath()};
    const char* basic[] = {"KASDIR", fuzzing::ScratchPath(), "/basic"};
    fuzzing::Check(kasdir::RunLister(2, plain) == 0, "a listing that did not end with status 0");
    fuzzing::Check(kasdir::RunLister(3, basic) == 0, "a BASIC listing that did not end with status 0");
    fuzzing::Check(!kasdir::lister.inputFile, "the input file left open");
    return 0;
}

// Replays the kept inputs of one fuzz target (seeds, and every crash the fuzzer ever
// found) through the target's own entry function, which traps on any fault it checks
// for. Engine and reader errors are answers; the run must simply come back, for every
// file of the target's corpus folder.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The test is named after the target (QUORVANE_FUZZ_TARGET), so that the replays of
// several targets keep apart in the test list.
#define QUORVANE_REPLAY_TEST(target) TEST(FuzzCorpus, target)

QUORVANE_REPLAY_TEST(QUORVANE_FUZZ_TARGET) {
    int inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QUORVANE_FUZZ_TARGET_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0);
        ++inputs;
    }
    EXPECT_GE(inputs, 3) << "the seeds of " << QUORVANE_FUZZ_TARGET_CORPUS << " are missing";
}

}  // namespace

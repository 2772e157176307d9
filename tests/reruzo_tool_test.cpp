// The engine tool on the shipped knowledge base and on damaged copies of it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>

#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using quorvane::testing::TTempDir;

struct TRun {
    int code;
    std::string output;
};

TRun Reruzo(const std::string& arguments) {
    const std::string command = std::string(QUORVANE_BIN_DIR) + "reruzo " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    std::array<char, 4096> buffer{};
    while (pipe && std::fgets(buffer.data(), buffer.size(), pipe)) output += buffer.data();
    const int status = pipe ? ::pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

void CopyKnowledgeBase(const TTempDir& to) {
    for (const char* f : {"vrqinfo.DAT", "vrqinfo.IDX", "vrqdtl.DAT", "vrqdtl.IDX"})
        fs::copy_file(std::string(QUORVANE_BIN_DIR) + f, to.File(f));
}

TEST(ReruzoTool, VerifiesTheShippedTables) {
    TTempDir dir;
    CopyKnowledgeBase(dir);
    const TRun run = Reruzo("verify " + dir.File("vrqdtl"));
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_NE(run.output.find(": ok, "), std::string::npos) << run.output;
    const TRun info = Reruzo("info " + dir.File("vrqdtl.DAT"));
    EXPECT_EQ(info.code, 0);
    EXPECT_NE(info.output.find("Sys Deleted"), std::string::npos);
    EXPECT_NE(info.output.find("key"), std::string::npos);
    const TRun dump = Reruzo("dump " + dir.File("vrqinfo") + " --codepage 936");
    EXPECT_EQ(dump.code, 0);
    EXPECT_NE(dump.output.find("浏览器标题栏与主页修复"), std::string::npos);
}

TEST(ReruzoTool, ReportsDamageAndMissingTables) {
    TTempDir dir;
    CopyKnowledgeBase(dir);
    // Change a keyid in the data file: the index "key" no longer matches it.
    auto bytes = dir.Read("vrqdtl.DAT");
    const std::size_t recordSize = bytes[21] | bytes[22] << 8;
    const std::size_t fieldCount = bytes[23] | bytes[24] << 8;
    bytes[127 + 768 * fieldCount + 5 * recordSize + 212] ^= 0x40;  // keyid of slot 6
    dir.Write("vrqdtl.DAT", bytes);
    const TRun run = Reruzo("verify " + dir.File("vrqdtl"));
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.output.find("damaged"), std::string::npos) << run.output;
    const TRun missing = Reruzo("verify " + dir.File("nothing"));
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.output.find("RERUZO Engine Error # 11010 Table 'nothing' does not exist"), std::string::npos)
        << missing.output;
    EXPECT_EQ(Reruzo("bogus " + dir.File("vrqdtl")).code, 2);
}

}  // namespace

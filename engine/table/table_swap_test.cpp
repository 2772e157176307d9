// Swapping a rebuilt table's files in: the backups, the order of the renames, and
// finishing a swap that was cut short at any point, also twice.
#include "engine/table/table_swap.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

namespace fs = std::filesystem;

class TableSwap : public ::testing::Test {
protected:
    void Write(const std::string& name, const std::string& text) { std::ofstream(dir.File(name)) << text; }
    std::string Read(const std::string& name) {
        std::ifstream in(dir.File(name));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool Has(const std::string& name) { return fs::exists(dir.File(name)); }
    // The old table t (data, index, BLOB file) and the rebuilt 99 (data and index).
    void MakeFiles() {
        for (const char* ext : {".DAT", ".IDX", ".BLB"}) Write(std::string("t") + ext, std::string("old") + ext);
        for (const char* ext : {".DAT", ".IDX"}) Write(std::string("99") + ext, std::string("new") + ext);
    }
    quorvane::testing::TTempDir dir;
};

TEST_F(TableSwap, TheRebuiltFilesTakeTheNamesAndTheOldOnesBecomeBackups) {
    MakeFiles();
    SwapTableFiles(dir.Dir(), "t", "99", true);
    EXPECT_EQ(Read("t.DAT"), "new.DAT");
    EXPECT_EQ(Read("t.IDX"), "new.IDX");
    // The rebuilt table has no BLOB file: the old one goes, its backup stays.
    EXPECT_FALSE(Has("t.BLB"));
    EXPECT_EQ(Read("t.DBK"), "old.DAT");
    EXPECT_EQ(Read("t.IBK"), "old.IDX");
    EXPECT_EQ(Read("t.BBK"), "old.BLB");
    EXPECT_FALSE(Has("99.DAT"));
    EXPECT_FALSE(Has("t.RST"));
    EXPECT_FALSE(FinishTableSwap(dir.Dir(), "t"));
    // Without backups, an earlier backup is left as it was.
    MakeFiles();
    SwapTableFiles(dir.Dir(), "t", "99", false);
    EXPECT_EQ(Read("t.DAT"), "new.DAT");
    EXPECT_EQ(Read("t.DBK"), "old.DAT");
}

TEST_F(TableSwap, ASwapCutShortIsFinishedByWhoeverFindsTheMarker) {
    // Cut after the marker, before any rename.
    MakeFiles();
    Write("t.RST", "99\n.IDX.DAT\n");
    EXPECT_TRUE(FinishTableSwap(dir.Dir(), "t"));
    EXPECT_EQ(Read("t.DAT"), "new.DAT");
    EXPECT_EQ(Read("t.IDX"), "new.IDX");
    EXPECT_FALSE(Has("t.BLB"));
    EXPECT_FALSE(Has("t.RST"));
    // Cut after the index was renamed: the rest follows, and the new index stays.
    MakeFiles();
    fs::rename(dir.File("99.IDX"), dir.File("t.IDX"));
    Write("t.RST", "99\n.IDX.DAT\n");
    EXPECT_TRUE(FinishTableSwap(dir.Dir(), "t"));
    EXPECT_EQ(Read("t.DAT"), "new.DAT");
    EXPECT_EQ(Read("t.IDX"), "new.IDX");
    // Cut after the data file was renamed (the last rename): only the marker is left.
    // Finishing twice changes nothing more.
    Write("t.RST", "99\n.IDX.DAT\n");
    EXPECT_TRUE(FinishTableSwap(dir.Dir(), "t"));
    EXPECT_FALSE(FinishTableSwap(dir.Dir(), "t"));
    EXPECT_EQ(Read("t.DAT"), "new.DAT");
}

TEST_F(TableSwap, AMarkerCutShortNamesNothingAndTheOldTableStays) {
    MakeFiles();
    Write("t.RST", "99\n.IDX");  // written only in part
    EXPECT_TRUE(FinishTableSwap(dir.Dir(), "t"));
    EXPECT_EQ(Read("t.DAT"), "old.DAT");
    EXPECT_EQ(Read("t.BLB"), "old.BLB");
    EXPECT_FALSE(Has("t.RST"));
    // A marker may not lead out of the folder.
    Write("t.RST", "../99\n.IDX.DAT\n");
    EXPECT_TRUE(FinishTableSwap(dir.Dir(), "t"));
    EXPECT_EQ(Read("t.DAT"), "old.DAT");
}

}  // namespace
}  // namespace reruzo

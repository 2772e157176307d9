// Tests of the rollback journal: what a batch shows before it commits, what the
// files hold after, and what a rollback of a journal left behind restores.
#include "engine/storage/write_journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/storage/file_layer.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::TTempDir;
namespace fs = std::filesystem;

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void Put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

struct JournalFixture : ::testing::Test {
    TTempDir dir;
    std::string data = dir.File("t.DAT");
    std::string index = dir.File("t.IDX");
    std::string journalPath = dir.File("t.JNL");
    TFileHandler dataFile;
    TFileHandler indexFile;
    std::unique_ptr<TWriteJournal> journal;

    void SetUp() override {
        Put(data, "0123456789abcdefghij");
        Put(index, std::string(64, 'i'));
        dataFile.SetFileName(data);
        indexFile.SetFileName(index);
        dataFile.Open();
        indexFile.Open();
        journal = std::make_unique<TWriteJournal>(journalPath);
        journal->Attach(0, &dataFile);
        journal->Attach(1, &indexFile);
        dataFile.SetJournal(journal.get(), 0);
        indexFile.SetJournal(journal.get(), 1);
    }
    void TearDown() override {
        dataFile.SetJournal(nullptr, 0);
        indexFile.SetJournal(nullptr, 0);
        journal.reset();
        dataFile.Close();
        indexFile.Close();
    }
    std::string Read(TFileHandler& f) {
        std::string s(f.FileSize(), '\0');
        f.ReadAt(0, s.data(), s.size());
        return s;
    }
};

TEST_F(JournalFixture, ABatchIsSeenByItsReadsAndReachesTheFilesOnlyWhenItCommits) {
    journal->Begin();
    dataFile.WriteAt(2, "XY", 2);
    dataFile.WriteAt(3, "ZZZ", 3);     // overlaps the first write
    dataFile.WriteAt(22, "tail", 4);   // past the end: a gap of zero bytes
    indexFile.TruncateAt(10);
    indexFile.WriteAt(8, "jj", 2);
    EXPECT_EQ(Read(dataFile), std::string("01XZZZ6789abcdefghij\0\0tail", 26));
    EXPECT_EQ(Read(indexFile), "iiiiiiiijj");
    EXPECT_EQ(Contents(data), "0123456789abcdefghij");  // nothing written yet
    EXPECT_EQ(Contents(index).size(), 64u);

    journal->Commit();
    EXPECT_EQ(Contents(data), std::string("01XZZZ6789abcdefghij\0\0tail", 26));
    EXPECT_EQ(Contents(index), "iiiiiiiijj");
    EXPECT_FALSE(fs::exists(journalPath));
    EXPECT_EQ(journal->Stats().fileSyncs, 2u);
}

TEST_F(JournalFixture, ACutFollowedByALongerOneExtendsTheFileWithZeroBytes) {
    journal->Begin();
    dataFile.TruncateAt(5);
    dataFile.TruncateAt(30);
    dataFile.WriteAt(8, "w", 1);
    const std::string expected = std::string("01234") + std::string(3, '\0') + "w" + std::string(21, '\0');
    EXPECT_EQ(Read(dataFile), expected);
    journal->Commit();
    EXPECT_EQ(Contents(data), expected);
}

TEST_F(JournalFixture, AnAbandonedBatchLeavesTheFilesAsTheyWere) {
    journal->Begin();
    dataFile.WriteAt(0, "changed", 7);
    indexFile.TruncateAt(0);
    journal->Abandon();
    EXPECT_EQ(Contents(data), "0123456789abcdefghij");
    EXPECT_EQ(Contents(index), std::string(64, 'i'));
    EXPECT_EQ(Read(dataFile), "0123456789abcdefghij");
    EXPECT_FALSE(fs::exists(journalPath));
}

// What a process that died after its batch began to reach the files leaves behind,
// copied aside before the batch ends: the rollback must give back the old files.
TEST_F(JournalFixture, AJournalLeftByADeadWriterRestoresTheFilesExactly) {
    TTempDir crash;
    journal->Begin();
    dataFile.WriteAt(5, std::string(40, 'N').data(), 40);  // overwrites and extends
    indexFile.TruncateAt(3);
    // A batch larger than the spill size reaches the files before it commits.
    std::string big(kJournalSpillBytes + 1, 'B');
    indexFile.WriteAt(100, big.data(), 16);
    dataFile.WriteAt(0, big.data(), big.size());
    ASSERT_TRUE(fs::exists(journalPath));
    EXPECT_EQ(journal->Stats().spills, 1u);
    EXPECT_EQ(Contents(data).substr(0, 4), "BBBB");  // the spill reached the file
    for (const char* name : {"t.DAT", "t.IDX", "t.JNL"}) fs::copy_file(dir.File(name), crash.File(name));
    journal->Commit();
    EXPECT_FALSE(fs::exists(journalPath));

    TJournalRecovery files({crash.File("t.DAT"), crash.File("t.IDX"), crash.File("t.BLB")}, crash.Dir(), "t");
    files.Open();
    EXPECT_TRUE(RollBackJournal(crash.File("t.JNL"), files));
    EXPECT_EQ(Contents(crash.File("t.DAT")), "0123456789abcdefghij");
    EXPECT_EQ(Contents(crash.File("t.IDX")), std::string(64, 'i'));
    EXPECT_FALSE(fs::exists(crash.File("t.JNL")));
    EXPECT_FALSE(RollBackJournal(crash.File("t.JNL"), files));
}

TEST(WriteJournal, DamagedJournalsRestoreOnlyWhatTheyProtect) {
    TTempDir dir;
    Put(dir.File("t.DAT"), "abcdef");
    TJournalRecovery files({dir.File("t.DAT"), "", ""}, dir.Dir(), "t");
    files.Open();
    // A header cut short: the writer died before its first write, which came after it.
    Put(dir.File("t.JNL"), "RRZJRN");
    EXPECT_TRUE(RollBackJournal(dir.File("t.JNL"), files));
    EXPECT_EQ(Contents(dir.File("t.DAT")), "abcdef");
    EXPECT_FALSE(fs::exists(dir.File("t.JNL")));

    // A real journal whose last record was torn: the records before it are applied,
    // the torn one is not.
    TFileHandler f;
    f.SetFileName(dir.File("t.DAT"));
    f.Open();
    {
        TWriteJournal journal(dir.File("t.JNL"));
        journal.Attach(0, &f);
        f.SetJournal(&journal, 0);
        journal.Begin();
        f.WriteAt(0, "XX", 2);
        f.WriteAt(4, "YY", 2);
        std::string big(kJournalSpillBytes + 1, 'B');
        f.WriteAt(10, big.data(), big.size());  // spills: the journal is on the disk
        Put(dir.File("copy.JNL"), Contents(dir.File("t.JNL")));
        journal.Commit();
        f.SetJournal(nullptr, 0);
    }
    f.Close();
    std::string torn = Contents(dir.File("copy.JNL"));
    // Records: the size, bytes at 0..1, bytes at 4..5 (each 16 + 2 + 8 bytes). Tear
    // the last one.
    torn.resize(torn.size() - 3);
    Put(dir.File("t.JNL"), torn);
    EXPECT_TRUE(RollBackJournal(dir.File("t.JNL"), files));
    // The size was restored, the first saved range put back, the torn one not.
    EXPECT_EQ(Contents(dir.File("t.DAT")), "abcdYY");
}

}  // namespace
}  // namespace reruzo

// Tests of the file layer: the registry of open files, share modes, region locks
// between handlers and between processes, memory files and error mapping.
#include "engine/storage/file_layer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "engine/errors/engine_errors.h"
#include "tests/support/child_process.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::CodeOf;
using quorvane::testing::TChild;
using quorvane::testing::TTempDir;

void WriteBytes(const std::string& path, std::size_t n) {
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < n; ++i) out.put(static_cast<char>(i * 7));
}

TEST(FileLayer, SharedOpensShareOneRegisteredFile) {
    TTempDir dir;
    WriteBytes(dir.File("t.DAT"), 100);
    TFileHandler a, b, c;
    a.SetFileName(dir.File("t.DAT"));
    b.SetFileName(dir.File("t.DAT"));
    c.SetFileName(dir.File("t.DAT"));
    a.Open();
    b.Open();
    TAbstractFile* file = TFileList::Instance().Find(TFileKind::Disk, a.FileName());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file, b.File());
    EXPECT_EQ(file->OpenCount(), 2);
    // Exclusive while shared: refused by the list as -11013.
    TAbstractFile* out = nullptr;
    bool forced = false;
    EXPECT_EQ(TFileList::Instance().OpenFile(TFileKind::Disk, a.FileName(), false, true, out, forced),
              -11013);
    c.SetExclusive(true);
    EXPECT_EQ(CodeOf([&] { c.Open(); }), RERUZO_OSEACCES);
    EXPECT_FALSE(c.IsOpen());
    a.Close();
    EXPECT_EQ(file->OpenCount(), 1);
    b.Close();
    EXPECT_EQ(TFileList::Instance().Find(TFileKind::Disk, a.FileName()), nullptr);
    c.Open();  // now alone: exclusive works
    EXPECT_TRUE(c.File()->Exclusive());
    EXPECT_EQ(CodeOf([&] { a.Open(); }), RERUZO_OSEACCES);
}

TEST(FileLayer, FileNamesMatchWithoutLetterCase) {
    TTempDir dir;
    WriteBytes(dir.File("items.dat"), 10);
    TFileHandler h;
    h.SetFileName(dir.File("ITEMS.DAT"));
    EXPECT_TRUE(h.Exists());
    h.Open();
    EXPECT_EQ(h.FileSize(), 10u);
}

TEST(FileLayer, MissingFilesAndBadNames) {
    TTempDir dir;
    TFileHandler h;
    h.SetFileName(dir.File("none.DAT"));
    h.SetErrorContext(dir.Dir(), "none");
    try {
        h.Open();
        FAIL();
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_OSENOENT);
        EXPECT_EQ(e.ContextTable, "none");
        EXPECT_EQ(e.ContextDatabase, dir.Dir());
    }
    EXPECT_EQ(TFileList::Instance().Find(TFileKind::Disk, dir.File("none.DAT")), nullptr);
    TFileHandler onlyExtension;
    onlyExtension.SetFileName(dir.File(".DAT"));
    EXPECT_EQ(CodeOf([&] { onlyExtension.Create(); }), RERUZO_OSENOENT);
    TAbstractFile* f = nullptr;
    EXPECT_EQ(TFileList::Instance().CreateFile(TFileKind::Memory, "  .IDX", false, f), -11010);
}

TEST(FileLayer, ReadOnlyPermissionForcesReadOnly) {
    TTempDir dir;
    WriteBytes(dir.File("ro.DAT"), 64);
    ::chmod(dir.File("ro.DAT").c_str(), 0444);
    TFileHandler h;
    h.SetFileName(dir.File("ro.DAT"));
    h.Open();
    EXPECT_TRUE(h.ForcedReadOnly());
    EXPECT_TRUE(h.ReadOnly());
    std::uint8_t b[4] = {};
    EXPECT_EQ(h.ReadAt(0, b, 4), 4u);
    EXPECT_EQ(CodeOf([&] { h.WriteAt(0, b, 4); }), RERUZO_WRITEERR);
}

TEST(FileLayer, ShortReadsOnlyWhenAllowed) {
    TTempDir dir;
    WriteBytes(dir.File("s.DAT"), 10);
    TFileHandler h;
    h.SetFileName(dir.File("s.DAT"));
    h.Open();
    std::uint8_t b[20];
    EXPECT_EQ(CodeOf([&] { h.ReadAt(4, b, 10); }), RERUZO_READERR);
    EXPECT_EQ(h.ReadAt(4, b, 10, true), 6u);
    EXPECT_EQ(h.ReadAt(40, b, 10, true), 0u);
}

TEST(FileLayer, WriteOfNothingTruncatesAndSeekFromTheEnd) {
    TTempDir dir;
    TFileHandler h;
    h.SetFileName(dir.File("w.DAT"));
    h.Create();
    std::vector<std::uint8_t> data(5000, 0xAB);
    h.WriteAt(0, data.data(), data.size());
    EXPECT_EQ(h.FileSize(), 5000u);
    h.TruncateAt(1234);
    EXPECT_EQ(h.FileSize(), 1234u);
    EXPECT_EQ(h.Seek(soEnd, 0), 1234u);
}

TEST(FileLayer, RenameAndDeleteNeedAClosedFile) {
    TTempDir dir;
    TFileHandler h;
    h.SetFileName(dir.File("r.DAT"));
    h.Create();
    EXPECT_EQ(TFileList::Instance().RenameFile(TFileKind::Disk, h.FileName(), dir.File("q.DAT")), -11013);
    EXPECT_EQ(TFileList::Instance().DeleteFile(TFileKind::Disk, h.FileName()), -11013);
    h.Close();
    h.Rename(dir.File("q.DAT"));
    EXPECT_TRUE(std::filesystem::exists(dir.File("q.DAT")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("r.DAT")));
    h.Delete();
    EXPECT_FALSE(std::filesystem::exists(dir.File("q.DAT")));
    EXPECT_EQ(CodeOf([&] { h.Delete(); }), RERUZO_OSENOENT);
}

TEST(FileLayer, TemporaryDiskFileVanishesAtItsLastClose) {
    TTempDir dir;
    TFileHandler h;
    h.SetFileName(dir.File("tmp.TMP"));
    h.SetTemporary(true);
    h.Create();
    EXPECT_TRUE(std::filesystem::exists(dir.File("tmp.TMP")));
    h.Close();
    EXPECT_FALSE(std::filesystem::exists(dir.File("tmp.TMP")));
}

TEST(FileLayer, CopyToAndFromInPieces) {
    TTempDir dir;
    WriteBytes(dir.File("src.IDX"), 200000);  // more than three pieces
    TFileHandler src;
    src.SetFileName(dir.File("src.IDX"));
    src.Open();
    src.Seek(soBeginning, 777);
    src.CopyTo(dir.File("copy.IBK"));
    EXPECT_EQ(src.Seek(soCurrent, 0), 777u);  // position kept
    TTempDir other;
    (void)other;
    std::ifstream a(dir.File("src.IDX"), std::ios::binary), b(dir.File("copy.IBK"), std::ios::binary);
    EXPECT_TRUE(std::equal(std::istreambuf_iterator<char>(a), {}, std::istreambuf_iterator<char>(b)));
    // Copying a shorter file back replaces the whole contents.
    WriteBytes(dir.File("short.IBK"), 1000);
    src.Close();
    src.Open();
    src.CopyFrom(dir.File("short.IBK"));
    EXPECT_EQ(src.FileSize(), 1000u);
}

TEST(FileLayer, TwoHandlersOfOneProcessExcludeEachOthersRegions) {
    TTempDir dir;
    WriteBytes(dir.File("l.DAT"), 10);
    TFileHandler a, b;
    a.SetFileName(dir.File("l.DAT"));
    b.SetFileName(dir.File("l.DAT"));
    a.Open();
    b.Open();
    EXPECT_TRUE(a.LockRange(true, 4294967295ull, 1));
    EXPECT_FALSE(b.LockRange(true, 4294967295ull, 1));
    EXPECT_FALSE(b.LockRange(true, 4294901759ull, 65537));  // overlaps
    EXPECT_TRUE(b.LockRange(true, 4294967294ull, 1));       // adjacent
    EXPECT_TRUE(a.LockRange(false, 4294967295ull, 1));
    EXPECT_TRUE(b.LockRange(true, 4294967295ull, 1));
    EXPECT_FALSE(a.LockRange(false, 100, 1));  // nothing held there
}

TEST(FileLayer, RegionLocksAndShareModesHoldBetweenProcesses) {
    TTempDir dir;
    WriteBytes(dir.File("p.DAT"), 10);
    const std::string name = dir.File("p.DAT");
    TChild child([&](const TChild& self) {
        TFileHandler h;
        h.SetFileName(name);
        h.Open();
        if (!h.LockRange(true, 4294967294ull, 1)) return 1;
        self.Tell('L');
        self.Await();
        if (!h.LockRange(false, 4294967294ull, 1)) return 2;
        self.Tell('U');
        self.Await();
        return 0;
    });
    ASSERT_EQ(child.Hear(), 'L');
    TFileHandler h;
    h.SetFileName(name);
    h.Open();
    EXPECT_FALSE(h.LockRange(true, 4294967294ull, 1));
    EXPECT_TRUE(h.LockRange(true, 4294967293ull, 1));  // the next byte is free
    TFileHandler exclusive;
    exclusive.SetFileName(name);
    h.Close();
    exclusive.SetExclusive(true);
    // The other process has the file open shared: an exclusive open is refused.
    EXPECT_EQ(CodeOf([&] { exclusive.Open(); }), RERUZO_OSEACCES);
    h.Open();
    child.Say('u');
    ASSERT_EQ(child.Hear(), 'U');
    EXPECT_TRUE(h.LockRange(true, 4294967294ull, 1));
    child.Say('x');
    EXPECT_EQ(child.Wait(), 0);
}

TEST(FileLayer, AForkedChildDoesNotShareItsParentsLocks) {
    TTempDir dir;
    WriteBytes(dir.File("f.DAT"), 10);
    const std::string name = dir.File("f.DAT");
    TFileHandler h;
    h.SetFileName(name);
    h.Open();
    ASSERT_TRUE(h.LockRange(true, 4294967290ull, 1));
    // The child inherits the parent's open file, but opens the table afresh: the
    // parent's lock excludes it, and its own locks exclude the parent.
    TChild child([&](TChild& self) {
        TFileHandler c;
        c.SetFileName(name);
        c.Open();
        if (c.LockRange(true, 4294967290ull, 1)) return 1;
        if (!c.LockRange(true, 4294967289ull, 1)) return 2;
        self.Tell('L');
        self.Await();
        return 0;
    });
    ASSERT_EQ(child.Hear(), 'L');
    EXPECT_FALSE(h.LockRange(true, 4294967289ull, 1));
    child.Say('x');
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_TRUE(h.LockRange(true, 4294967289ull, 1));
}

TEST(MemoryFile, ContentsSurviveCloseUntilDeleted) {
    TFileHandler h;
    h.SetInMemory(true);
    h.SetFileName("mem-survive.DAT");
    h.Create();
    const char text[] = "in memory";
    h.WriteAt(0, text, sizeof text);
    h.Close();
    EXPECT_TRUE(h.Exists());
    h.Open();
    char back[sizeof text] = {};
    h.ReadAt(0, back, sizeof back);
    EXPECT_STREQ(back, "in memory");
    EXPECT_EQ(h.Seek(soEnd, 3), sizeof text - 3);  // from the end, counted back
    h.Close();
    h.Delete();
    EXPECT_FALSE(h.Exists());
    EXPECT_EQ(CodeOf([&] { h.Open(); }), RERUZO_OSENOENT);
}

TEST(MemoryFile, TemporaryOneVanishesAtItsLastClose) {
    TFileHandler h;
    h.SetInMemory(true);
    h.SetTemporary(true);
    h.SetFileName("mem-temp.TMP");
    h.Create();
    h.WriteAt(0, "x", 1);
    h.Close();
    EXPECT_FALSE(h.Exists());
}

TEST(MemoryFile, RegionsAndSizes) {
    TFileHandler h;
    h.SetInMemory(true);
    h.SetFileName("mem-regions.DAT");
    h.Create();
    EXPECT_TRUE(h.LockRange(true, 100, 10));
    EXPECT_FALSE(h.LockRange(true, 109, 5));  // overlaps the last byte
    EXPECT_TRUE(h.LockRange(true, 110, 5));   // adjacent
    EXPECT_TRUE(h.LockRange(true, 90, 10));   // adjacent below
    EXPECT_TRUE(h.LockRange(false, 100, 10));
    EXPECT_TRUE(h.LockRange(true, 105, 1));
    // Reads past the end give nothing; a write past it fills the gap with zeros.
    std::uint8_t b[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(h.ReadAt(0, b, 8, true), 0u);
    h.WriteAt(6000, "z", 1);
    EXPECT_EQ(h.FileSize(), 6001u);
    EXPECT_EQ(h.ReadAt(10, b, 8), 8u);
    EXPECT_EQ(b[0] | b[7], 0);
    h.TruncateAt(3);
    EXPECT_EQ(h.FileSize(), 3u);
    h.TruncateAt(9000);  // growing by truncation fills zeros too
    EXPECT_EQ(h.ReadAt(8990, b, 8), 8u);
    EXPECT_EQ(b[3], 0);
    h.Close();
    h.Delete();
}

TEST(FileLayer, ErrnoMapping) {
    EXPECT_EQ(EngineCodeOfErrno(ENOENT), RERUZO_OSENOENT);
    EXPECT_EQ(EngineCodeOfErrno(EMFILE), RERUZO_OSEMFILE);
    EXPECT_EQ(EngineCodeOfErrno(EROFS), RERUZO_OSEACCES);
    EXPECT_EQ(EngineCodeOfErrno(EBADF), RERUZO_OSEBADF);
    EXPECT_EQ(EngineCodeOfErrno(ENOMEM), RERUZO_OSENOMEM);
    EXPECT_EQ(EngineCodeOfErrno(ENXIO), RERUZO_OSENODEV);
    EXPECT_EQ(EngineCodeOfErrno(EXDEV), RERUZO_OSENOTSAM);
    EXPECT_EQ(EngineCodeOfErrno(EPIPE), RERUZO_OSUNKNOWN);
}

}  // namespace
}  // namespace reruzo

// BLOB fields through cursors: values of every length written with their records and
// read back, changes that make new chains and free the old ones, copies that never
// share a chain, deletes, rollback, another process rewriting a BLOB, the open-BLOB
// limit, and an encrypted table that keeps its BLOBs enciphered.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/storage/byte_order.h"
#include "engine/table/data_cursor.h"
#include "tests/support/child_process.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::CodeOf;
using quorvane::testing::TChild;
using quorvane::testing::TTempDir;

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed = 1) {
    std::vector<std::uint8_t> v(size);
    for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 13 + i / 509);
    return v;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CursorBlob : public ::testing::Test {
protected:
    void SetUp() override { Create("notes", {}); }

    // notes(id autoinc, name, body memo, picture graphic), with a primary index on id.
    void Create(const std::string& name, TNewTableOptions options) {
        TTableStructure s;
        static_cast<TNewTableOptions&>(s) = std::move(options);
        s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("name", kFieldString, 20),
                    MakeFieldDesc("body", kFieldBlob, 0, kSubMemo), MakeFieldDesc("picture", kFieldBlob, 0, kSubGraphic)};
        s.Primary.FieldCount = 1;
        s.Primary.FieldNumbers[0] = 1;
        TDataTable* t = nullptr;
        ASSERT_EQ(directory.CreateTable(name, s, t), 0);
        directory.CloseTable(t, false);
    }
    std::unique_ptr<TDataCursor> Open(const std::string& name = "notes") {
        auto c = std::make_unique<TDataCursor>(directory);
        c->SetTableName(name);
        c->OpenCursor();
        return c;
    }
    // Appends a record named `name` with the given BLOB values (empty: none written).
    static void Add(TDataCursor& c, const std::string& name, const std::vector<std::uint8_t>& body,
                    const std::vector<std::uint8_t>& picture = {}) {
        std::vector<std::uint8_t> r(c.RecordSize());
        c.InitRecord(r);
        PutStringField(r, c.Fields()[1], name);
        if (!body.empty()) c.PutBlob(r, 3, 0, body);
        if (!picture.empty()) c.PutBlob(r, 4, 0, picture);
        c.AppendRecord(r, false);
    }
    // The BLOB of field `field` of the record in natural position `position`.
    static std::vector<std::uint8_t> Read(TDataCursor& c, std::int32_t position, int field) {
        std::vector<std::uint8_t> r(c.RecordSize());
        c.SetToRecNo(position);
        EXPECT_EQ(c.GetCurRecord(r, false), 0);
        std::vector<std::uint8_t> value(c.GetBlobSize(r, field));
        EXPECT_EQ(c.GetBlob(r, field, 0, value), value.size());
        c.FreeBlob(r, field);
        return value;
    }

    TTempDir tmp;
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("db", tmp.Dir());
};

TEST_F(CursorBlob, ValuesOfEveryLengthComeBackWithTheirRecords) {
    const std::vector<std::size_t> sizes = {1, 493, 494, 495, 5000, 300000};
    {
        auto c = Open();
        Add(*c, "empty", {});
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            Add(*c, "n" + std::to_string(i), Pattern(sizes[i], static_cast<std::uint8_t>(i)),
                Pattern(sizes[sizes.size() - 1 - i], 99));
        }
        EXPECT_EQ(c->OpenBlobCount(), 0u);  // posting frees them
    }
    auto c = Open();
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToRecNo(1);
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    EXPECT_TRUE(FieldIsNull(r, c->Fields()[2]));  // an empty BLOB is NULL
    EXPECT_EQ(c->GetBlobSize(r, 3), 0u);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const auto position = static_cast<std::int32_t>(i + 2);
        EXPECT_EQ(Read(*c, position, 3), Pattern(sizes[i], static_cast<std::uint8_t>(i))) << sizes[i];
        EXPECT_EQ(Read(*c, position, 4), Pattern(sizes[sizes.size() - 1 - i], 99));
    }
    // Parts of a BLOB, and a read past its end.
    c->SetToRecNo(6);
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    std::vector<std::uint8_t> part(10);
    EXPECT_EQ(c->GetBlob(r, 3, 4990, part), 10u);
    const std::vector<std::uint8_t> whole = Pattern(5000, 4);
    EXPECT_EQ(part, std::vector<std::uint8_t>(whole.begin() + 4990, whole.end()));
    EXPECT_EQ(c->GetBlob(r, 3, 5000, part), 0u);
    // Only BLOB fields have BLOBs.
    EXPECT_EQ(CodeOf([&] { c->GetBlobSize(r, 2); }), RERUZO_INVALIDFLDTYPE);
    EXPECT_EQ(CodeOf([&] { c->GetBlobSize(r, 9); }), RERUZO_OUTOFRANGE);
}

TEST_F(CursorBlob, AChangeWritesANewChainAndFreesTheOldOneAndCopiesNeverShare) {
    auto c = Open();
    Add(*c, "a", Pattern(2000, 1), Pattern(100, 2));
    TBlobFile& blob = c->Table().Blob();
    const std::int32_t blocksBefore = blob.BlockCount();  // 5 + 1
    EXPECT_EQ(blocksBefore, 6);

    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToBegin();
    ASSERT_EQ(c->GetNextRecord(r), 0);
    ASSERT_EQ(c->GetCurRecord(r, true), 0);
    c->TruncateBlob(r, 3, 0);
    c->PutBlob(r, 3, 0, Pattern(600, 7));
    c->PutBlob(r, 3, 700, Pattern(10, 8));  // a gap of zero bytes between
    // A reference forged into the buffer is not taken: unchanged BLOBs keep the stored one.
    PutBlobReference(r, c->Fields()[3], 1, 12345);
    c->ModifyRecord(r, true, false);
    EXPECT_EQ(blob.Header().FirstFreeBlock != 0, true);  // the old 5 blocks are free
    std::vector<std::uint8_t> expected = Pattern(600, 7);
    expected.resize(700, 0);
    const std::vector<std::uint8_t> tail = Pattern(10, 8);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(Read(*c, 1, 3), expected);
    EXPECT_EQ(Read(*c, 1, 4), Pattern(100, 2));

    // A copy of the record carries copies of its BLOBs.
    c->SetToRecNo(1);
    std::vector<std::uint8_t> copy(c->RecordSize());
    ASSERT_EQ(c->CloneCurRecord(copy), 0);
    c->AppendRecord(copy, false);
    ASSERT_EQ(c->GetRecordCount(), 2);
    c->SetToRecNo(1);
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    ASSERT_EQ(c->GetCurRecord(r, true), 0);
    c->PutBlob(r, 4, 0, Pattern(3, 9));
    c->ModifyRecord(r, true, false);
    EXPECT_EQ(Read(*c, 2, 4), Pattern(100, 2));  // the copy keeps its own
    EXPECT_EQ(Read(*c, 2, 3), expected);
    std::vector<std::uint8_t> picture = Pattern(100, 2);
    std::copy_n(Pattern(3, 9).begin(), 3, picture.begin());
    EXPECT_EQ(Read(*c, 1, 4), picture);

    // Deleting records frees their chains; new BLOBs reuse the blocks before the file grows.
    const std::int32_t blocks = blob.BlockCount();
    while (c->GetRecordCount() > 0) {
        c->SetToBegin();
        ASSERT_EQ(c->GetNextRecord(r), 0);
        c->DeleteRecord(r, false);
    }
    Add(*c, "b", Pattern(blocks * 494 - 100, 3));
    EXPECT_EQ(blob.BlockCount(), blocks);
    EXPECT_EQ(Read(*c, 1, 3), Pattern(blocks * 494 - 100, 3));
}

TEST_F(CursorBlob, RollbackLeavesTheBlobFileAsItWas) {
    {
        auto c = Open();
        Add(*c, "kept", Pattern(1500, 4));
    }
    const std::string before = FileText(tmp.File("notes.BLB"));
    auto c = Open();
    directory.StartTransaction();
    Add(*c, "gone", Pattern(40000, 5));
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToRecNo(1);
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    ASSERT_EQ(c->GetCurRecord(r, true), 0);
    c->PutBlob(r, 3, 0, Pattern(20, 6));
    c->ModifyRecord(r, true, false);
    EXPECT_EQ(FileText(tmp.File("notes.BLB")), before);  // nothing before the commit
    directory.Rollback();
    EXPECT_EQ(FileText(tmp.File("notes.BLB")), before);
    c->Refresh();
    EXPECT_EQ(c->GetRecordCount(), 1);
    EXPECT_EQ(Read(*c, 1, 3), Pattern(1500, 4));
}

TEST_F(CursorBlob, AnotherProcessRewritingABlobIsNoticedAndItsValueReadAfterARefresh) {
    auto c = Open();
    Add(*c, "shared", Pattern(3000, 1));
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToBegin();
    ASSERT_EQ(c->GetNextRecord(r), 0);  // the record as it is now
    const std::string dir = tmp.Dir();
    TChild child([&](TChild& self) {
        TDataSession other;
        TDataDirectory& d = other.OpenDirectory("db", dir);
        TDataCursor w(d);
        w.SetTableName("notes");
        w.OpenCursor();
        std::vector<std::uint8_t> rec(w.RecordSize());
        w.SetToBegin();
        if (w.GetNextRecord(rec) != 0 || w.GetCurRecord(rec, true) != 0) return 1;
        w.TruncateBlob(rec, 3, 0);
        w.PutBlob(rec, 3, 0, Pattern(4000, 2));
        w.ModifyRecord(rec, true, false);
        self.Tell('w');
        return 0;
    });
    ASSERT_EQ(child.Hear(), 'w');
    ASSERT_EQ(child.Wait(), 0);
    // The buffer still names the old chain, whose blocks now belong to another stamp.
    EXPECT_EQ(CodeOf([&] { c->GetBlobSize(r, 3); }), RERUZO_KEYORRECDELETED);
    c->FreeBlobs();
    c->Refresh();
    EXPECT_EQ(Read(*c, 1, 3), Pattern(4000, 2));
}

// On a file system that fills up, a BLOB that cannot be written fails the post with the
// write error; the record keeps its old BLOB, which still reads whole.
TEST_F(CursorBlob, ABlobWriteThatFillsTheDiskLeavesTheRecordAndItsOldBlob) {
    TTempDir small;
    const std::string dir = small.Dir();
    TChild child([&](TChild&) -> int {
        try {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k") != 0) {
            return 77;
        }
        TDataSession full;
        TDataDirectory& d = full.OpenDirectory("db", dir);
        TTableStructure s;
        s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("body", kFieldBlob, 0, kSubMemo)};
        TDataTable* t = nullptr;
        if (d.CreateTable("full", s, t) != 0) return 2;
        d.CloseTable(t, false);
        TDataCursor c(d);
        c.SetTableName("full");
        c.OpenCursor();
        std::vector<std::uint8_t> r(c.RecordSize());
        c.InitRecord(r);
        const std::vector<std::uint8_t> old = Pattern(3000, 5);
        c.PutBlob(r, 2, 0, old);
        c.AppendRecord(r, false);
        c.SetToBegin();
        if (c.GetNextRecord(r) != 0 || c.GetCurRecord(r, true) != 0) return 3;
        c.TruncateBlob(r, 2, 0);
        c.PutBlob(r, 2, 0, Pattern(1 << 20, 6));  // more than the file system holds
        const std::uint16_t code = CodeOf([&] { c.ModifyRecord(r, true, false); });
        if (code != RERUZO_WRITEERR) return 4;
        c.WriteUnlockRecord(0);
        c.FreeBlobs();
        std::vector<std::uint8_t> again(c.RecordSize());
        c.SetToBegin();
        if (c.GetNextRecord(again) != 0) return 5;
        std::vector<std::uint8_t> value(c.GetBlobSize(again, 2));
        c.GetBlob(again, 2, 0, value);
        return value == old ? 0 : 6;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child: %s\n", e.what());
            return 7;
        }
    });
    const int code = child.Wait();
    if (code == 77) GTEST_SKIP() << "no private mount namespace for a small file system here";
    EXPECT_EQ(code, 0) << "4: the post did not fail with the write error, 6: the old BLOB changed";
}

// One process rewrites a BLOB over and over while another reads it: every read gives
// one of the values written, whole, or learns that the record changed under it.
TEST_F(CursorBlob, AReaderNeverSeesAHalfWrittenBlob) {
    const std::vector<std::uint8_t> a = Pattern(5000, 1), b = Pattern(9000, 2);
    {
        auto c = Open();
        Add(*c, "shared", a);
    }
    const std::string dir = tmp.Dir();
    TChild writer([&](TChild& self) {
        TDataSession other;
        TDataCursor w(other.OpenDirectory("db", dir));
        w.SetTableName("notes");
        w.OpenCursor();
        std::vector<std::uint8_t> rec(w.RecordSize());
        self.Tell('r');
        for (int i = 0; i < 200; ++i) {
            w.Refresh();
            w.SetToBegin();
            if (w.GetNextRecord(rec) != 0 || w.GetCurRecord(rec, true) != 0) return 1;
            w.TruncateBlob(rec, 3, 0);
            w.PutBlob(rec, 3, 0, i % 2 == 0 ? b : a);
            w.ModifyRecord(rec, true, false);
        }
        return 0;
    });
    ASSERT_EQ(writer.Hear(), 'r');
    auto c = Open();
    int whole = 0, changed = 0;
    std::vector<std::uint8_t> r(c->RecordSize());
    for (int i = 0; i < 300; ++i) {
        c->FreeBlobs();
        c->SetToBegin();
        ASSERT_EQ(c->GetNextRecord(r), 0);
        try {
            std::vector<std::uint8_t> value(c->GetBlobSize(r, 3));
            c->GetBlob(r, 3, 0, value);
            EXPECT_TRUE(value == a || value == b) << "a read of " << value.size() << " bytes";
            ++whole;
        } catch (const ERERUZOEngineError& e) {
            EXPECT_EQ(e.EngineCode, RERUZO_KEYORRECDELETED);
            ++changed;
        }
    }
    EXPECT_EQ(writer.Wait(), 0);
    EXPECT_GT(whole, 0);
}

// A required BLOB field is satisfied by the BLOB given for the record, and refused
// without one.
TEST_F(CursorBlob, ARequiredBlobCountsTheValueGivenForTheRecord) {
    TTableStructure s;
    TFieldDesc body = MakeFieldDesc("body", kFieldBlob, 0, kSubMemo);
    body.Required = 1;
    s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), body};
    TDataTable* t = nullptr;
    ASSERT_EQ(directory.CreateTable("required", s, t), 0);
    directory.CloseTable(t, false);
    auto c = Open("required");
    std::vector<std::uint8_t> r(c->RecordSize());
    c->InitRecord(r);
    EXPECT_EQ(CodeOf([&] { c->AppendRecord(r, false); }), RERUZO_REQDERR);
    c->PutBlob(r, 2, 0, Pattern(10));
    c->AppendRecord(r, false);
    EXPECT_EQ(Read(*c, 1, 2), Pattern(10));
    // Emptying it is refused in turn, and the record keeps its value.
    c->SetToRecNo(1);
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    ASSERT_EQ(c->GetCurRecord(r, true), 0);
    c->TruncateBlob(r, 2, 0);
    EXPECT_EQ(CodeOf([&] { c->ModifyRecord(r, true, false); }), RERUZO_REQDERR);
    c->WriteUnlockRecord(0);
    c->FreeBlobs();
    EXPECT_EQ(Read(*c, 1, 2), Pattern(10));
}

TEST_F(CursorBlob, OpenBlobsAreLimitedAndAMissingBlobFileIsAnError) {
    auto c = Open();
    std::vector<std::uint8_t> r(c->RecordSize());
    for (std::size_t i = 0; i < kMaxOpenBlobs; ++i) {
        PutLE(r.data() + 1, static_cast<std::int32_t>(i + 1000));  // records that do not exist yet
        c->OpenBlob(r, 3);
    }
    PutLE(r.data() + 1, 5000);
    EXPECT_EQ(CodeOf([&] { c->OpenBlob(r, 3); }), RERUZO_OPENBLOBLIMIT);
    c->FreeBlobs();
    c->OpenBlob(r, 3);
    c.reset();
    std::filesystem::remove(tmp.File("notes.BLB"));
    EXPECT_EQ(CodeOf([&] { Open(); }), RERUZO_OSENOENT);
}

TEST_F(CursorBlob, AnEncryptedTableKeepsItsBlobsEnciphered) {
    Create("secret", {.Encrypted = true, .Password = "Lock1", .BlobBlockSize = 256});
    session.AddPassword("Lock1");
    const std::string text = "HKCU\\Software\\Example\\Start Page";
    {
        auto c = Open("secret");
        std::vector<std::uint8_t> body(text.begin(), text.end());
        Add(*c, "plain name", body, Pattern(1000, 3));
    }
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
        const std::string bytes = FileText(tmp.File(std::string("secret") + ext));
        EXPECT_EQ(bytes.find("Start Page"), std::string::npos) << ext;
        EXPECT_EQ(bytes.find("plain name"), std::string::npos) << ext;
    }
    {
        auto c = Open("secret");
        const std::vector<std::uint8_t> body = Read(*c, 1, 3);
        EXPECT_EQ(std::string(body.begin(), body.end()), text);
        EXPECT_EQ(Read(*c, 1, 4), Pattern(1000, 3));
    }
    session.RemoveAllPasswords();
    EXPECT_EQ(CodeOf([&] { Open("secret"); }), RERUZO_NOTSUFFTABLERIGHTS);
}

}  // namespace
}  // namespace reruzo

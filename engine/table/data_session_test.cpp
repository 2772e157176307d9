// Tests of sessions, directories and table objects: directory identity, sharing and
// exclusive opens, creation with its validation, deletion, renaming, temporary names,
// lost index files, passwords, and the in-memory database.
#include "engine/table/data_session.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/index/index_build.h"
#include "engine/table/data_cursor.h"
#include "tests/support/table_loader.h"
#include "engine/storage/byte_order.h"
#include "tests/support/table_builder.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::CodeOf;
using quorvane::testing::TTempDir;
namespace fs = std::filesystem;

TTableStructure ItemStructure() {
    TTableStructure s;
    s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("keyid", kFieldInteger),
                MakeFieldDesc("title", kFieldString, 40)};
    s.Primary.FieldCount = 1;
    s.Primary.FieldNumbers[0] = 1;
    TIndexDesc key;
    key.Name = "key";
    key.FieldCount = 1;
    key.FieldNumbers[0] = 2;
    s.Secondaries = {key};
    return s;
}

// Creates a table through the directory and closes it.
void Create(TDataDirectory& dir, const std::string& name, TTableStructure s = ItemStructure()) {
    TDataTable* t = nullptr;
    ASSERT_EQ(dir.CreateTable(name, std::move(s), t), 0);
    ASSERT_EQ(dir.CloseTable(t, false), 0);
}

TEST(DataSession, OneDirectoryObjectForEverySpellingOfAFolder) {
    TTempDir tmp;
    fs::create_directories(tmp.File("Db"));
    TDataSession session;
    TDataDirectory& a = session.OpenDirectory("db", tmp.Dir() + "Db");
    TDataDirectory& b = session.OpenDirectory("other", tmp.Dir() + "DB\\");
    EXPECT_EQ(&a, &b);
    EXPECT_EQ(a.ReferenceCount(), 2);
    EXPECT_EQ(a.Path(), tmp.Dir() + "Db/");
    session.CloseDirectory(b);
    EXPECT_EQ(a.ReferenceCount(), 1);
    session.CloseDirectory(a);
    EXPECT_TRUE(session.Directories().empty());
    TDataDirectory& def = session.OpenDirectory("", "");
    EXPECT_EQ(def.Path(), session.DefaultDirectory());
    session.CloseDirectory(def);
}

TEST(DataSession, PasswordsAndSettings) {
    TDataSession s;
    s.AddPassword("Secret");
    s.AddPassword("Secret");
    s.AddPassword("");
    EXPECT_EQ(s.Passwords().size(), 1u);
    EXPECT_TRUE(s.HasPassword("Secret"));
    EXPECT_FALSE(s.HasPassword("secret"));  // compared with case
    s.RemovePassword("never added");
    EXPECT_EQ(s.Passwords().size(), 1u);
    s.RemovePassword("Secret");
    EXPECT_TRUE(s.Passwords().empty());
    EXPECT_EQ(s.LockRetryCount(), 15);
    EXPECT_EQ(s.LockWaitTime(), 100);
    EXPECT_EQ(s.ProgressSteps(), 20);
    EXPECT_FALSE(s.ForceBufferFlush());
    EXPECT_FALSE(s.StrictChangeDetection());
    EXPECT_EQ(s.GetPrivateDir(), s.DefaultDirectory());
    s.SetPrivateDir("  ");
    EXPECT_EQ(s.GetPrivateDir(), s.DefaultDirectory());
    s.SetPrivateDir(" /tmp/private ");
    EXPECT_EQ(s.GetPrivateDir(), "/tmp/private/");
}

TEST(DataSession, TablesAreSharedAndExclusiveOpensExcludeOthers) {
    TTempDir tmp;
    TDataSession session;
    TDataDirectory& dir = session.OpenDirectory("db", tmp.Dir());
    Create(dir, "items");
    TDataTable *a = nullptr, *b = nullptr, *c = nullptr;
    ASSERT_EQ(dir.OpenTable("items", {}, a), 0);
    ASSERT_EQ(dir.OpenTable(" ITEMS ", {}, b), 0);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->OpenCount(), 2);
    TTableOpenOptions exclusive;
    exclusive.Exclusive = true;
    EXPECT_EQ(dir.OpenTable("items", exclusive, c), -RERUZO_OSEACCES);
    TTableOpenOptions shareAnyway = exclusive;
    shareAnyway.ShareEvenIfExclusive = true;
    EXPECT_EQ(dir.OpenTable("items", shareAnyway, c), 0);
    EXPECT_EQ(c->OpenCount(), 3);
    ASSERT_EQ(dir.CloseTable(a, false), 0);
    ASSERT_EQ(dir.CloseTable(a, false), 0);
    EXPECT_TRUE(a->IsOpen());  // one user left
    EXPECT_EQ(dir.DeleteTable("items", false), -RERUZO_OSEACCES);
    EXPECT_EQ(dir.RenameTable("items", "other", false, false), -RERUZO_OSEACCES);
    ASSERT_EQ(dir.CloseTable(a, false), 0);
    EXPECT_TRUE(dir.Tables().empty());
    EXPECT_EQ(dir.CloseTable(a, false), -RERUZO_OSENOENT);
    // Exclusive now works, and shuts the others out.
    ASSERT_EQ(dir.OpenTable("items", exclusive, a), 0);
    EXPECT_EQ(dir.OpenTable("items", {}, b), -RERUZO_OSEACCES);
    // Another session of the process is another table object: the files refuse it.
    TDataSession other;
    TDataDirectory& dir2 = other.OpenDirectory("db", tmp.Dir());
    EXPECT_EQ(dir2.OpenTable("items", {}, b), -RERUZO_OSEACCES);
    EXPECT_EQ(dir.OpenTable("missing", {}, b), -RERUZO_OSENOENT);
    session.CloseDirectory(dir);
    other.CloseDirectory(dir2);
}

TEST(DataSession, CreateUsesTheBareNameAndValidatesTheStructure) {
    TTempDir tmp;
    TDataSession session;
    TDataDirectory& dir = session.OpenDirectory("db", tmp.Dir());
    Create(dir, "/elsewhere/Items.xyz");
    EXPECT_TRUE(fs::exists(tmp.File("Items.DAT")));
    EXPECT_TRUE(fs::exists(tmp.File("Items.IDX")));
    EXPECT_FALSE(fs::exists(tmp.File("Items.BLB")));
    EXPECT_TRUE(dir.TableExists("items", false));
    TDataTable* t = nullptr;
    EXPECT_EQ(dir.CreateTable(".DAT", ItemStructure(), t), -RERUZO_OSENOENT);

    auto refused = [&](auto change) {
        TTableStructure s = ItemStructure();
        change(s);
        return CodeOf([&] { dir.CreateTable("bad", s, t); });
    };
    EXPECT_EQ(refused([](auto& s) { s.Encrypted = true, s.Password = "   "; }), RERUZO_INVALIDPASSWORD);
    EXPECT_EQ(refused([](auto& s) { s.Encrypted = true, s.Password = std::string(16, 'p'); }), RERUZO_INVALIDPASSWORD);
    EXPECT_EQ(refused([](auto& s) { s.LanguageId = 0x7777; }), RERUZO_CANNOTLOADLDDRV);
    EXPECT_EQ(refused([](auto& s) { s.Fields[2].Name = "ID "; }), RERUZO_INVALIDFIELDNAME);
    EXPECT_EQ(refused([](auto& s) { s.Fields[2].Name = "1st"; }), RERUZO_INVALIDFIELDNAME);
    EXPECT_EQ(refused([](auto& s) { s.Fields[2].Length = 251; }), RERUZO_INVALIDFLDTYPE);
    EXPECT_EQ(refused([](auto& s) { s.Fields[2].FieldType = 0; }), RERUZO_INVALIDFLDTYPE);
    EXPECT_EQ(refused([](auto& s) { s.Fields[1].DefaultValue = "many"; }), RERUZO_INVALIDVCHKSTRUCT);
    EXPECT_EQ(refused([](auto& s) { s.BlobBlockSize = 32; }), RERUZO_BLOBLIMIT);
    EXPECT_EQ(refused([](auto& s) { s.Fields.clear(); }), RERUZO_FLDLIMIT);
    EXPECT_EQ(refused([](auto& s) { s.Secondaries.assign(33, s.Secondaries[0]); }), RERUZO_INDEXLIMIT);
    // The index file has room for 30 secondary indexes and 30 bytes of each name.
    EXPECT_EQ(refused([](auto& s) {
                  for (int i = static_cast<int>(s.Secondaries.size()); i <= 30; ++i) {
                      s.Secondaries.push_back(s.Secondaries[0]);
                      s.Secondaries.back().Name = "k" + std::to_string(i);
                  }
              }),
              RERUZO_INDEXLIMIT);
    EXPECT_EQ(refused([](auto& s) { s.Secondaries[0].Name = std::string(31, 'n'); }), RERUZO_INVALIDINDEXNAME);
    EXPECT_EQ(refused([](auto& s) { s.Primary.FieldNumbers[0] = 9; }), RERUZO_INVALIDIDXDESC);
    EXPECT_EQ(refused([](auto& s) {
                  s.Secondaries.push_back(s.Secondaries[0]);
                  s.Secondaries.back().Name = "KEY";  // the same name in other letters
              }),
              RERUZO_INDEXEXISTS);
    EXPECT_FALSE(fs::exists(tmp.File("bad.DAT")));
    // Refused while the files are being made (the index file's name is taken by a
    // folder): the data file made before goes again.
    fs::create_directory(tmp.File("half.IDX"));
    EXPECT_LT(dir.CreateTable("half", ItemStructure(), t), 0);
    EXPECT_FALSE(fs::exists(tmp.File("half.DAT")));
    // Lengths and scales that do not belong to a type are cleared, not refused.
    TTableStructure lax = ItemStructure();
    lax.Fields[1].Length = 9;
    Create(dir, "lax", lax);
    ASSERT_EQ(dir.OpenTable("lax", {}, t), 0);
    EXPECT_EQ(t->Data().FieldDesc(2).Length, 0);
    dir.CloseTable(t, false);
    session.CloseDirectory(dir);
}

TEST(DataSession, DeleteRenameAndTemporaryNames) {
    TTempDir tmp;
    TDataSession session;
    TDataDirectory& dir = session.OpenDirectory("db", tmp.Dir());
    Create(dir, "t");
    ASSERT_EQ(dir.RenameTable("t", "u", false, false), 0);
    EXPECT_TRUE(fs::exists(tmp.File("u.DAT")));
    EXPECT_TRUE(fs::exists(tmp.File("u.IDX")));
    EXPECT_FALSE(fs::exists(tmp.File("t.DAT")));
    tmp.Write("u.DBK", {1, 2, 3});
    ASSERT_EQ(dir.RenameTable("u", "u", true, false), 0);  // to the backup names, replacing old ones
    EXPECT_EQ(fs::file_size(tmp.File("u.DBK")), 127u + 3 * 768);  // the stale backup was replaced
    EXPECT_TRUE(fs::exists(tmp.File("u.IBK")));
    EXPECT_FALSE(fs::exists(tmp.File("u.DAT")));
    Create(dir, "gone");
    ASSERT_EQ(dir.DeleteTable("gone", false), 0);
    EXPECT_FALSE(fs::exists(tmp.File("gone.DAT")));
    EXPECT_FALSE(fs::exists(tmp.File("gone.IDX")));
    EXPECT_EQ(dir.DeleteTable("gone", false), -RERUZO_OSENOENT);

    const std::string first = dir.TempTableName(false);
    const std::string base = first.substr(0, first.size() - 1);
    EXPECT_EQ(first, base + "0");
    Create(dir, base + "0");
    Create(dir, base + "1");
    EXPECT_EQ(dir.TempTableName(false), base + "2");
    session.CloseDirectory(dir);
}

TEST(DataSession, ALostIndexFileIsRecreatedAndRebuilt) {
    TTempDir tmp;
    {
        TTableBuilder b(tmp.Dir(), "t", ItemStructure().Fields);
        auto r = b.BlankRecord();
        for (int i = 0; i < 5; ++i) b.Append(r);
        b.Finish();
    }
    TDataSession session;
    TDataDirectory& dir = session.OpenDirectory("db", tmp.Dir());
    TDataTable* t = nullptr;
    ASSERT_EQ(dir.OpenTable("t", {}, t), 0);
    EXPECT_TRUE(t->IndexRebuilt());
    EXPECT_TRUE(fs::exists(tmp.File("t.IDX")));
    t->RebuildLostIndex();
    EXPECT_TRUE(t->Index().NoPrimaryIndex());
    EXPECT_EQ(t->Index().RecordCount(), 5);
    EXPECT_EQ(CheckTableIndexes(t->Data(), t->Index()), std::vector<std::string>{});
    dir.CloseTable(t, false);
    session.CloseDirectory(dir);
}

// A read-only open writes none of the table's files: without its index file the table
// is read through an index rebuilt in memory, and the next writable open makes the file.
TEST(DataSession, AReadOnlyOpenOfATableWithoutItsIndexWritesNothing) {
    TTempDir tmp;
    {
        TTableBuilder b(tmp.Dir(), "t", ItemStructure().Fields);
        auto r = b.BlankRecord();
        for (int i = 0; i < 238; ++i) b.Append(r);
        b.Finish();
    }
    TDataSession session;
    TDataDirectory& dir = session.OpenDirectory("db", tmp.Dir());
    auto count = [&](bool readOnly) {
        TDataCursor c(dir);
        c.SetTableName("t");
        c.SetReadOnly(readOnly);
        c.OpenCursor();
        std::vector<std::uint8_t> r(c.RecordSize());
        int rows = 0;
        c.SetToBegin();
        while (c.GetNextRecord(r) == 0) ++rows;
        EXPECT_EQ(c.GetRecordCount(), rows);
        return rows;
    };
    EXPECT_EQ(count(true), 238);
    EXPECT_EQ(count(true), 238);
    EXPECT_FALSE(fs::exists(tmp.File("t.IDX")));
    EXPECT_EQ(count(false), 238);
    EXPECT_TRUE(fs::exists(tmp.File("t.IDX")));
    EXPECT_EQ(count(true), 238);
    session.CloseDirectory(dir);
}

TEST(DataSession, TheMemoryDatabaseKeepsTablesInMemory) {
    TTempDir tmp;
    TDataSession session;
    TDataDirectory& mem = session.OpenDirectory("MEMORY", "");
    EXPECT_TRUE(mem.IsMemory());
    Create(mem, "scratch");
    EXPECT_TRUE(mem.TableExists("scratch", false));
    TDataTable* t = nullptr;
    ASSERT_EQ(mem.OpenTable("scratch", {}, t), 0);
    EXPECT_TRUE(t->InMemory());
    EXPECT_EQ(t->Data().FieldCount(), 3);
    mem.CloseTable(t, false);
    // A disk directory does not see it.
    TDataDirectory& disk = session.OpenDirectory("db", tmp.Dir());
    EXPECT_FALSE(disk.TableExists("scratch", false));
    ASSERT_EQ(mem.DeleteTable("scratch", false), 0);
    EXPECT_FALSE(mem.TableExists("scratch", false));
    session.CloseDirectory(disk);
    session.CloseDirectory(mem);
}

TEST(DataSession, LoadedTablesKeepTheirIndexesAndRefuseDuplicateKeys) {
    TTempDir tmp;
    TDataSession session;
    TDataDirectory& dir = session.OpenDirectory("db", tmp.Dir());
    TDataTable* t = nullptr;
    ASSERT_EQ(dir.CreateTable("t", ItemStructure(), t), 0);
    {
        TTableLoader loader(*t);
        for (int i = 0; i < 300; ++i) {
            auto r = loader.BlankRecord();
            PutIntegerField(r, loader.Fields()[1], i % 7);
            EXPECT_EQ(loader.Append(r), i + 1);
        }
        auto r = loader.BlankRecord();
        PutLE<std::int32_t>(r.data() + 5, 5);
        EXPECT_EQ(CodeOf([&] { loader.Append(r, true); }), RERUZO_KEYVIOL);  // id 5 exists
        PutLE<std::int32_t>(r.data() + 5, 1000);
        EXPECT_EQ(loader.Append(r, true), 1000);
    }
    EXPECT_EQ(t->Data().SlotCount(), 301);
    dir.CloseTable(t, false);
    ASSERT_EQ(dir.OpenTable("t", {}, t), 0);
    EXPECT_EQ(t->Data().LastAutoInc(), 1000);
    EXPECT_EQ(t->Index().RecordCount(), 301);
    EXPECT_EQ(CheckTableIndexes(t->Data(), t->Index()), std::vector<std::string>{});
    dir.CloseTable(t, false);
    session.CloseDirectory(dir);
}

TEST(DataSession, IndexBackupAndRestore) {
    TTempDir tmp;
    TDataSession session;
    TDataDirectory& dir = session.OpenDirectory("db", tmp.Dir());
    Create(dir, "t");
    TDataTable* t = nullptr;
    ASSERT_EQ(dir.OpenTable("t", {}, t), 0);
    t->BackupIndex();
    EXPECT_TRUE(fs::exists(tmp.File("t.IBK")));
    t->Index().SetRecordCount(42);
    t->Index().WriteHeader(false, false);
    t->RestoreIndex(true, true);
    EXPECT_EQ(t->Index().RecordCount(), 0);
    EXPECT_FALSE(fs::exists(tmp.File("t.IBK")));
    dir.CloseTable(t, false);
    session.CloseDirectory(dir);
}

}  // namespace
}  // namespace reruzo

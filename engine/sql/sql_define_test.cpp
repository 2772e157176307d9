// Running the table definition statements: tables and indexes created and dropped,
// nothing lost by CREATE TABLE over a table or a unique index over duplicates, and
// ALTER TABLE restructuring a table with its records, BLOBs, password and identifiers
// carried over, refusing what it cannot carry, and leaving the old table whole when
// it fails or is killed.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "engine/sql/sql_statement.h"
#include "engine/storage/field_text.h"
#include "engine/table/data_session.h"
#include "engine/table/table_swap.h"
#include "tests/support/engine_error.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::TChild;
namespace fs = std::filesystem;

class SqlDefine : public ::testing::Test {
protected:
    void SetUp() override { session.SetPrivateDir(privateDir.Dir()); }

    std::int32_t Exec(const std::string& text, TQueryStatement::TProgress progress = {}) {
        TQueryStatement s(directory, false, -1, std::move(progress));
        s.Prepare(text);
        s.Execute();
        return s.rowCount;
    }

    std::string Error(const std::string& text) { return quorvane::testing::SqlErrorOf([&] { Exec(text); }); }

    // Every row as "v1|v2|...", in record order, read by a session of its own.
    std::vector<std::string> Rows(const std::string& table, const std::vector<std::string>& passwords = {}) {
        TDataSession reader;
        for (const std::string& p : passwords) reader.AddPassword(p);
        TDataDirectory& d = reader.OpenDirectory("", dir.Dir());
        std::vector<std::string> rows;
        {
            TDataCursor c(d);
            c.SetTableName(table);
            c.SetNaturalOrder(true);
            c.OpenCursor();
            std::vector<std::uint8_t> r(c.RecordSize());
            c.SetToBegin();
            while (c.GetNextRecord(r) == 0) {
                std::string row;
                for (const TFieldDesc& f : c.Fields()) {
                    if (!row.empty()) row += "|";
                    if (FieldIsNull(r, f)) {
                        row += "NULL";
                    } else if (f.FieldType == kFieldBlob) {
                        std::vector<std::uint8_t> bytes(c.GetBlobSize(r, f.FieldNo));
                        c.GetBlob(r, f.FieldNo, 0, bytes);
                        c.FreeBlob(r, f.FieldNo);
                        row += std::string(bytes.begin(), bytes.end());
                    } else {
                        row += FieldDataText(f.FieldType, FieldData(r, f), TBooleanWords::Capitalised).value_or("?");
                    }
                }
                rows.push_back(row);
            }
        }
        reader.CloseDirectory(d);
        return rows;
    }

    // The fields of a table as "name:type:length", and its indexes as "name(fields)u".
    std::string Structure(const std::string& table, const std::vector<std::string>& passwords = {}) {
        TDataSession reader;
        for (const std::string& p : passwords) reader.AddPassword(p);
        TDataDirectory& d = reader.OpenDirectory("", dir.Dir());
        std::string out;
        {
            TDataCursor c(d);
            c.SetTableName(table);
            c.OpenCursor();
            for (const TFieldDesc& f : c.Fields()) {
                out += f.Name + ":" + std::to_string(f.FieldType) + ":" + std::to_string(f.Length) +
                       (f.Required ? "!" : "") + " ";
            }
            const TIndexFile& index = c.Table().Index();
            for (int slot = 0; slot <= index.Header().SecondaryCount; ++slot) {
                const TIndexDesc& x = index.Descriptor(slot);
                if (!x.Defined() || (slot == 0 && index.NoPrimaryIndex())) continue;
                out += (slot == 0 ? std::string("PRIMARY") : x.Name) + "(";
                for (int k = 0; k < x.FieldCount; ++k) out += (k ? "," : "") + std::to_string(x.FieldNumbers[k]);
                out += x.Unique ? ")u " : ") ";
            }
        }
        reader.CloseDirectory(d);
        return out;
    }

    // p(id autoinc, name char(10) unique by index, qty integer, note memo): 5 rows.
    void MakePeople() {
        Exec("create table p (id autoinc, name char(10), qty integer, note blob(1, 1), primary key (id))");
        Exec("create unique index byname on p (name)");
        for (int i = 1; i <= 5; ++i) {
            Exec("insert into p (name, qty, note) values ('n" + std::to_string(i) + "', " + std::to_string(i * 10) +
                 ", " + (i % 2 ? "'memo " + std::to_string(i) + "'" : std::string("NULL")) + ")");
        }
    }

    quorvane::testing::TTempDir dir;
    quorvane::testing::TTempDir privateDir;
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("", dir.Dir());
};

TEST_F(SqlDefine, CreateTableMakesTheFieldsAndThePrimaryIndexAndNeverReplacesATable) {
    EXPECT_EQ(Exec("create table t (id integer, name char(20) not null, primary key (id))"), 0);
    EXPECT_EQ(Structure("t"), "id:6:0 name:1:20! PRIMARY(1)u ");
    Exec("insert into t values (1, 'one')");
    // Over an existing table: refused, and its row stays; IF NOT EXISTS does nothing.
    EXPECT_EQ(Error("create table t (a integer)"), "RERUZO Engine Error # 13060 The table 't' already exists");
    Exec("create table if not exists t (a integer)");
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|one"}));
    // The "," before the primary key clause may be left out; a key column that names no
    // column is refused with its name, and nothing is created.
    Exec("create table u (id integer primary key (id))");
    EXPECT_EQ(Structure("u"), "id:6:0 PRIMARY(1)u ");
    EXPECT_EQ(Error("create table v (id integer, primary key (nope))"),
              "Index column 'nope' is not a column of the table 'v'");
    EXPECT_FALSE(fs::exists(dir.File("v.DAT")));
    // Duplicate columns, a BLOB in the key: the engine's errors, nothing created.
    EXPECT_NE(Error("create table w (a integer, A integer)").find("Invalid or duplicate field name"), std::string::npos);
    EXPECT_NE(Error("create table w (a blob(1, 1), primary key (a))").find("Invalid field type specified for the index"),
              std::string::npos);
    std::string columns;
    for (int i = 0; i < 1025; ++i) columns += (i ? ", c" : "c") + std::to_string(i) + " integer";
    EXPECT_NE(Error("create table w (" + columns + ")").find("Maximum or minimum limits on number of fields"),
              std::string::npos);
    EXPECT_NE(Error("create table w (d date default '2003-13-45')").find("Invalid default, min or max validity check"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(dir.File("w.DAT")));
    // Table options inside the parentheses: a password encrypts, an empty one does not.
    Exec("create table secret (a integer, encrypted with 'pw')");
    EXPECT_THROW(Rows("secret"), ERERUZOEngineError);
    EXPECT_TRUE(Rows("secret", {"pw"}).empty());
    Exec("create table open (a integer, encrypted with '')");
    EXPECT_TRUE(Rows("open").empty());
    // In memory.
    Exec("create table memory m (a integer)");
    EXPECT_EQ(Exec("insert into memory m values (7)"), 1);
    EXPECT_EQ(Error("create table memory m (a integer)"), "RERUZO Engine Error # 13060 The table 'm' already exists");
}

TEST_F(SqlDefine, IndexesAreCreatedAndDroppedAndAUniqueOneNeverDeletesRows) {
    MakePeople();
    Exec("insert into p (name, qty) values ('n9', 10)");
    // qty 10 is there twice: the unique index is refused, naming it and the key.
    EXPECT_EQ(Error("create unique index byqty on p (qty)"),
              "RERUZO Engine Error # 9729 Duplicate key found in the index 'byqty' of the table 'p': key '10'");
    EXPECT_EQ(Rows("p").size(), 6u);
    Exec("create index byqty on p (qty)");
    EXPECT_EQ(Structure("p"), "id:6:0 name:1:10 qty:6:0 note:3:0 PRIMARY(1)u byname(2)u byqty(3) ");
    EXPECT_EQ(Error("create index byx on p (nope)"), "Index column 'nope' is not a column of the table 'p'");
    Exec("drop index p.byqty");
    Exec("drop index p.primary");
    EXPECT_EQ(Structure("p"), "id:6:0 name:1:10 qty:6:0 note:3:0 byname(2)u ");
    EXPECT_NE(Error("drop index p.nosuch").find("Invalid secondary index name 'nosuch'"), std::string::npos);
    // DROP TABLE, with IF EXISTS on a table that is not there.
    Exec("drop table if exists nothing");
    EXPECT_NE(Error("drop table nothing").find("Table 'nothing' does not exist"), std::string::npos);
    Exec("drop table p");
    EXPECT_FALSE(fs::exists(dir.File("p.DAT")));
}

TEST_F(SqlDefine, AlterTableCarriesTheRecordsIntoTheNewStructure) {
    MakePeople();
    // Add a column in second place with a default, rename and widen one, drop one.
    Exec("alter table p add code char(4) at 2 default 'x', redefine qty amount char(6), drop note");
    EXPECT_EQ(Structure("p"), "id:6:0 code:1:4 name:1:10 amount:1:6 PRIMARY(1)u byname(3)u ");
    EXPECT_EQ(Rows("p"), (std::vector<std::string>{"1|x|n1|10", "2|x|n2|20", "3|x|n3|30", "4|x|n4|40", "5|x|n5|50"}));
    // The old files stay as backups; with NOBACKUP none is made.
    EXPECT_TRUE(fs::exists(dir.File("p.DBK")));
    EXPECT_TRUE(fs::exists(dir.File("p.IBK")));
    fs::remove(dir.File("p.DBK"));
    Exec("alter table p redefine amount integer nobackup");
    EXPECT_FALSE(fs::exists(dir.File("p.DBK")));
    // Identifiers stay; LAST AUTOINC sets the counter.
    Exec("alter table p last autoinc 100");
    Exec("insert into p (name) values ('n6')");
    EXPECT_EQ(Rows("p").back(), "101|x|n6|NULL");
    // The messages that refuse an alteration before anything changes.
    EXPECT_EQ(Error("alter table p add c integer at 9"), "AT column position must be between 1 and 4");
    EXPECT_EQ(Error("alter table p drop x"), "Column x not found");
    EXPECT_EQ(Error("alter table p add primary key (name)"), "Cannot REDEFINE the primary key using the ADD keyword");
    EXPECT_EQ(Error("alter table p drop name"), "The index 'byname' uses a column that is dropped; drop the index first");
    EXPECT_EQ(Rows("p").size(), 6u);
    EXPECT_FALSE(fs::exists(dir.File("p.RST")));
}

TEST_F(SqlDefine, ValuesThatDoNotConvertBecomeNullUnlessTheFieldIsRequired) {
    Exec("create table s (a char(10), b char(10))");
    for (const char* v : {"12", "abc", "-7", ""}) Exec(std::string("insert into s values ('") + v + "', '" + v + "')");
    const std::vector<std::string> before = Rows("s");
    const std::string structure = Structure("s");
    // A required field refuses the change, naming the field and the first record.
    EXPECT_EQ(Error("alter table s redefine a integer not null"),
              "RERUZO Engine Error # 9732 A value must be provided for the field 'a' in the table 's': record 2: 'abc' "
              "does not convert");
    EXPECT_EQ(Rows("s"), before);
    EXPECT_EQ(Structure("s"), structure);
    for (const auto& e : fs::directory_iterator(dir.Dir())) {
        EXPECT_EQ(e.path().stem().string(), "s") << e.path();  // nothing else is left behind
    }
    // Otherwise the value is NULL, and counted.
    TQueryStatement alter(directory);
    alter.Prepare("alter table s redefine a integer");
    alter.Execute();
    EXPECT_EQ(alter.MainQuery()->valuesNulled, 1);  // '' is NULL already
    alter.Unprepare();
    EXPECT_EQ(Rows("s"), (std::vector<std::string>{"12|12", "NULL|abc", "-7|-7", "NULL|NULL"}));
}

TEST_F(SqlDefine, AUniqueIndexTheRecordsViolateRefusesTheChange) {
    MakePeople();
    Exec("insert into p (name, qty) values ('n9', 10)");
    const std::vector<std::string> before = Rows("p");
    const std::string message = Error("alter table p redefine primary key (qty)");
    EXPECT_NE(message.find("Duplicate key found in the index '' of the table 'p': record 6"), std::string::npos)
        << message;
    EXPECT_EQ(Rows("p"), before);
}

TEST_F(SqlDefine, BlobsAndPasswordsAreCarriedAndBlobsAreCopied) {
    MakePeople();
    Exec("alter table p add extra integer, encrypted with 'pw'");
    const std::vector<std::string> rows = Rows("p", {"pw"});
    EXPECT_EQ(rows.front(), "1|n1|10|memo 1|NULL");
    EXPECT_EQ(rows[1], "2|n2|20|NULL|NULL");
    EXPECT_THROW(Rows("p"), ERERUZOEngineError);
    // The backup keeps its own BLOBs: deleting from the new table leaves them whole,
    // and the backup files renamed back are the table as it was.
    session.AddPassword("pw");
    Exec("delete from p where qty > 10");
    fs::create_directories(dir.File("restored"));
    for (const auto& [from, to] : {std::pair{".DBK", ".DAT"}, {".IBK", ".IDX"}, {".BBK", ".BLB"}}) {
        fs::copy_file(dir.File(std::string("p") + from), dir.File(std::string("restored/p") + to));
    }
    {
        TDataSession reader;
        TDataDirectory& restored = reader.OpenDirectory("", dir.File("restored"));
        {
            TDataCursor c(restored);
            c.SetTableName("p");
            c.OpenCursor();
            EXPECT_EQ(c.GetRecordCount(), 5);
            std::vector<std::uint8_t> r(c.RecordSize());
            c.SetToRecNo(3);
            ASSERT_EQ(c.GetCurRecord(r, false), 0);
            std::vector<std::uint8_t> memo(c.GetBlobSize(r, 4));
            c.GetBlob(r, 4, 0, memo);
            c.FreeBlobs();
            EXPECT_EQ(std::string(memo.begin(), memo.end()), "memo 3");
        }
        reader.CloseDirectory(restored);
    }
    // Without the option the password stays; a memo becomes a string and back.
    Exec("alter table p redefine note char(20)");
    Exec("alter table p redefine note blob(1, 1)");
    EXPECT_EQ(Rows("p", {"pw"}), (std::vector<std::string>{"1|n1|10|memo 1|NULL"}));
    EXPECT_THROW(Rows("p"), ERERUZOEngineError);
}

TEST_F(SqlDefine, AlterRefusesATableAnotherProcessHasOpen) {
    MakePeople();
    TChild holder([this](TChild& me) {
        TDataSession own;
        TDataDirectory& d = own.OpenDirectory("", dir.Dir());
        TDataCursor c(d);
        c.SetTableName("p");
        c.OpenCursor();
        me.Tell('o');
        me.Await();
        return 0;
    });
    ASSERT_EQ(holder.Hear(), 'o');
    const std::string message = Error("alter table p add x integer");
    EXPECT_NE(message.find("Access denied to table 'p'"), std::string::npos) << message;
    holder.Say('g');
    EXPECT_EQ(holder.Wait(), 0);
    EXPECT_EQ(Structure("p"), "id:6:0 name:1:10 qty:6:0 note:3:0 PRIMARY(1)u byname(2)u ");
}

TEST_F(SqlDefine, AKilledRestructureLeavesOneWholeTable) {
    Exec("create table big (id autoinc, v integer, s char(30), primary key (id))");
    Exec("create index byv on big (v)");
    {
        TDataCursor c(directory);
        c.SetTableName("big");
        c.OpenCursor();
        std::vector<std::uint8_t> r(c.RecordSize());
        directory.StartTransaction();
        for (int i = 1; i <= 20000; ++i) {
            c.InitRecord(r);
            PutIntegerField(r, c.Fields()[1], i);
            PutStringField(r, c.Fields()[2], "row " + std::to_string(i));
            c.AppendRecord(r, false);
        }
        directory.Commit(true, false);
    }
    const std::string oldStructure = Structure("big");
    static constexpr const char* kAlter = "alter table big add w integer, redefine s char(40)";
    auto start = std::chrono::steady_clock::now();
    {
        // How long one restructure takes, on a copy.
        fs::create_directories(dir.File("copy"));
        for (const char* ext : {".DAT", ".IDX"}) fs::copy_file(dir.File(std::string("big") + ext), dir.File(std::string("copy/big") + ext));
        TDataDirectory& copy = session.OpenDirectory("", dir.File("copy"));
        TQueryStatement s(copy);
        s.Prepare(kAlter);
        start = std::chrono::steady_clock::now();
        s.Execute();
        s.Unprepare();
        session.CloseDirectory(copy);
    }
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    int asOld = 0, asNew = 0;
    for (int trial = 0; trial < 6; ++trial) {
        TChild child([this](TChild& me) {
            TDataSession own;
            TDataDirectory& d = own.OpenDirectory("", dir.Dir());
            TQueryStatement s(d);
            s.Prepare(kAlter);
            me.Tell('s');
            s.Execute();
            return 0;
        });
        ASSERT_EQ(child.Hear(), 's');
        std::this_thread::sleep_for(std::chrono::microseconds(micros * (trial + 1) / 6));
        ::kill(child.Pid(), SIGKILL);
        child.Wait();
        const std::string now = Structure("big");
        const std::vector<std::string> rows = Rows("big");
        EXPECT_EQ(rows.size(), 20000u);
        EXPECT_EQ(rows[19999].substr(0, 12), "20000|20000|");
        {
            // The indexes hold every record: a walk along each finds them all.
            TDataSession reader;
            TDataDirectory& d = reader.OpenDirectory("", dir.Dir());
            for (const char* index : {"", "byv"}) {
                TDataCursor c(d);
                c.SetTableName("big");
                c.OpenCursor();
                c.SetIndexName(index);
                std::vector<std::uint8_t> r(c.RecordSize());
                int walked = 0;
                c.SetToBegin();
                while (c.GetNextRecord(r) == 0) ++walked;
                EXPECT_EQ(walked, 20000) << index;
            }
            reader.CloseDirectory(d);
        }
        EXPECT_FALSE(fs::exists(dir.File("big.RST")));
        if (now == oldStructure) {
            ++asOld;
        } else {
            ++asNew;
            // Back to the old structure for the next trial.
            Exec("alter table big drop w, redefine s char(30) nobackup");
        }
        EXPECT_EQ(Structure("big"), oldStructure);
    }
    EXPECT_EQ(asOld + asNew, 6);
}

}  // namespace
}  // namespace reruzo

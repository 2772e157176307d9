// `reruzo repair`, and the checks `reruzo verify` makes of every byte the engine
// refuses, run as a separate process: on tables a killed process left damaged
// (tests/data/killed), on tables damaged here byte by byte, on a table another process
// holds open, and on repairs that cannot finish.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/table/data_cursor.h"
#include "tests/support/reruzo_tool.h"
#include "tests/support/temp_dir.h"
#include "tools/reruzo/json.h"

namespace {

namespace fs = std::filesystem;
using namespace quorvane::testing;
using reruzo::cli::ParseJson;
using reruzo::cli::TJsonValue;
using TBytes = std::vector<unsigned char>;

const std::string kKilled = std::string(QUORVANE_TEST_DATA) + "killed/";
const char* const kExtensions[] = {"DAT", "IDX", "BLB"};

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

void PutLe(TBytes& b, std::size_t at, std::int64_t value, int size) {
    for (int i = 0; i < size; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
}

std::int64_t Le(const TBytes& b, std::size_t at, int size) {
    std::int64_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = v << 8 | b[at + static_cast<std::size_t>(i)];
    return v;
}

// The tool run under a limit of its address space, in kilobytes.
TRun ReruzoWithin(std::size_t kilobytes, const std::string& arguments) {
    TTempDir io;
#ifdef __SANITIZE_ADDRESS__
    // The address sanitizer reserves terabytes of address space for its shadow: no
    // limit of virtual memory leaves it room. The plain build keeps the check.
    const std::string limit;
    (void)kilobytes;
#else
    const std::string limit = "ulimit -v " + std::to_string(kilobytes) + "; ";
#endif
    const std::string command = limit + std::string(QUORVANE_BIN_DIR) +
                                "reruzo " + arguments + " </dev/null 2>" + io.File("err");
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    std::size_t n;
    while (pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int status = pipe ? ::pclose(pipe) : -1;
    std::ifstream err(io.File("err"));
    std::stringstream text;
    text << err.rdbuf();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, text.str()};
}

// ---- The tables a killed process left ------------------------------------------------

// What record i of the killed tables holds (tests/data/killed/README.md).
struct TOrder {
    std::string city;
    std::int64_t qty;
    std::string note;
};

TOrder OrderOf(const std::string& name) {
    static const char* const cities[] = {"Oslo", "Paris", "Lima", "Kyiv", "Quito"};
    const int i = std::stoi(name.substr(1));
    static const int lengths[] = {0, 10, 100, 300};
    return {cities[i % 5], i * 7919LL % 1000, std::string(static_cast<std::size_t>(lengths[i % 4]), 'x') + std::to_string(i)};
}

// The names of the records a data file holds in use, read from its bytes: slots with
// state 0 that are not all zero bytes.
std::multiset<std::string> NamesInUse(const TBytes& dat) {
    const auto recordSize = static_cast<std::size_t>(Le(dat, 21, 2));
    const auto fieldCount = static_cast<std::size_t>(Le(dat, 23, 2));
    const std::size_t start = 127 + 768 * fieldCount;
    // The field "name" is the second; its slot starts with the null indicator.
    const auto nameOffset = static_cast<std::size_t>(Le(dat, 127 + 768 + 90, 2)) + 1;
    std::multiset<std::string> names;
    for (std::size_t at = start; at + recordSize <= dat.size(); at += recordSize) {
        const bool blank = std::all_of(dat.begin() + static_cast<std::ptrdiff_t>(at),
                                       dat.begin() + static_cast<std::ptrdiff_t>(at + recordSize),
                                       [](unsigned char c) { return c == 0; });
        if (dat[at] != 0 || blank) continue;
        const char* p = reinterpret_cast<const char*>(&dat[at + nameOffset]);
        names.insert(std::string(p, strnlen(p, 16)));
    }
    return names;
}

struct TKilledCase {
    const char* table;
    std::vector<std::string> report;  // "{DIR}" stands for the table's folder
    std::int64_t records;
    std::int64_t slots;
    std::vector<std::int64_t> emptiedNotes;  // slots whose note the repair emptied
    std::size_t rejected;
};

std::vector<std::int64_t> Range(std::int64_t first, std::int64_t last) {
    std::vector<std::int64_t> v;
    for (std::int64_t n = first; n <= last; ++n) v.push_back(n);
    return v;
}

const std::string kIndexes = "indexes rebuilt from the records: the primary index, index 'byCity', index 'byQty'";

TEST(ReruzoRepair, MendsTheTablesAKilledProcessLeft) {
    const TKilledCase cases[] = {
        {"load",
         {"slot count was 0, now 200 (the slots the data file holds)",
          "29 records with a broken BLOB reference, the BLOB field emptied (slots 172, 173, 174, 175, 176, 177, "
          "178, 179, 180, 181 and 19 more)",
          "BLOB block count was 0, now 255 (the blocks the BLOB file holds)", "record count was 0, now 200", kIndexes,
          "auto-increment was 0, now 200"},
         200, 200, Range(172, 200), 0},
        {"append",
         {"slot count was 200, now 300 (the slots the data file holds)",
          "100 records with a broken BLOB reference, the BLOB field emptied (slots 201, 202, 203, 204, 205, 206, "
          "207, 208, 209, 210 and 90 more)",
          "record count was 200, now 300", kIndexes, "auto-increment was 200, now 300"},
         300, 300, Range(201, 300), 0},
        {"append-reuse",
         {"1 record with a broken BLOB reference, the BLOB field emptied (slot 1)", "1 free slot re-chained",
          "record count was 172, now 173", kIndexes, "auto-increment was 200, now 228"},
         173, 200, {1}, 0},
        {"delete",
         {"11 unused BLOB blocks freed", "7 free slots re-chained, the first free slot was 0, now 2",
          "record count was 200, now 193", kIndexes},
         193, 200, {}, 0},
        {"append-retried",
         {"100 records kept out of the table, the key held by another record in a unique index (the primary index: "
          "100); written to {DIR}orders.rejected.json",
          "100 free slots re-chained, the first free slot was 0, now 201", kIndexes,
          // The slots of the rejected records take new identifiers: theirs stay free.
          "auto-increment was 400, now 500"},
         300, 400, {}, 100},
    };
    for (const TKilledCase& k : cases) {
        SCOPED_TRACE(k.table);
        TTempDir dir;
        std::map<std::string, TBytes> damaged;
        for (const char* e : kExtensions) {
            fs::copy_file(kKilled + k.table + "/orders." + e, dir.File(std::string("orders.") + e));
            damaged[e] = dir.Read(std::string("orders.") + e);
        }
        const std::string t = dir.File("orders");
        const TRun before = Reruzo("verify " + t);
        EXPECT_EQ(before.code, 1);
        ASSERT_FALSE(before.out.empty());
        EXPECT_TRUE(Contains(Lines(before.out).back(), ": damaged") &&
                    Contains(Lines(before.out).back(), "; try \"reruzo repair " + t + "\""))
            << before.out;

        const TRun repair = Reruzo("repair " + t);
        ASSERT_EQ(repair.code, 0) << repair.err;
        EXPECT_EQ(repair.err, "");
        std::vector<std::string> report = k.report;
        report.push_back("{DIR}orders.DAT: repaired, " + std::to_string(k.records) + " records in " +
                         std::to_string(k.slots) + " slots; the old files are kept as orders.DBK, orders.IBK, orders.BBK");
        EXPECT_EQ(repair.out, Replaced(Joined(report), "{DIR}", dir.Dir()));

        const TRun after = Reruzo("verify " + t);
        EXPECT_EQ(after.code, 0) << after.out;
        EXPECT_EQ(after.out, dir.File("orders.DAT") + ": ok, " + std::to_string(k.records) + " records in " +
                                 std::to_string(k.slots) + " slots\n");

        // Every record the damaged file held in use is in the table or among the
        // rejected ones, each holding what it was given; only the notes the report
        // names are emptied.
        const TRun dump = Reruzo("dump " + t + " --meta");
        ASSERT_EQ(dump.code, 0) << dump.err;
        std::vector<std::string> rows = Lines(dump.out);
        EXPECT_EQ(static_cast<std::int64_t>(rows.size()), k.records);
        std::vector<std::string> rejected;
        if (k.rejected > 0) {
            std::ifstream in(dir.File("orders.rejected.json"));
            for (std::string line; std::getline(in, line);) rejected.push_back(line);
        }
        EXPECT_EQ(rejected.size(), k.rejected);
        EXPECT_FALSE(fs::exists(dir.File("orders.rejected.json")) && k.rejected == 0);
        std::multiset<std::string> names;
        std::set<std::string> kept;
        std::vector<std::int64_t> emptied;
        for (const std::string& line : rows) {
            const TJsonValue row = ParseJson(line);
            const std::string name = row.Find("name")->Text();
            names.insert(name);
            EXPECT_TRUE(kept.insert(name).second) << "twice in the table: " << name;
            const TOrder order = OrderOf(name);
            EXPECT_EQ(row.Find("city")->Text(), order.city) << line;
            EXPECT_EQ(row.Find("qty")->AsInteger(), order.qty) << line;
            if (row.Find("note")->IsNull()) {
                emptied.push_back(*row.Find("_slot")->AsInteger());
            } else {
                EXPECT_EQ(row.Find("note")->Text(), order.note) << line;
            }
        }
        std::sort(emptied.begin(), emptied.end());
        EXPECT_EQ(emptied, k.emptiedNotes);
        for (const std::string& line : rejected) {
            const TJsonValue row = ParseJson(line);
            const std::string name = row.Find("name")->Text();
            names.insert(name);
            // The rejected copy of a record repeats the name of one the table kept.
            EXPECT_TRUE(kept.count(name)) << line;
            EXPECT_EQ(row.Find("city")->Text(), OrderOf(name).city) << line;
            EXPECT_EQ(row.Find("qty")->AsInteger(), OrderOf(name).qty) << line;
            EXPECT_NE(row.Find("_slot"), nullptr) << line;
            EXPECT_EQ(row.Find("_id")->AsInteger(), row.Find("id")->AsInteger()) << line;
        }
        EXPECT_EQ(names, NamesInUse(damaged["DAT"]));

        // The old files are kept as they were; nothing is left under a temporary name.
        EXPECT_EQ(dir.Read("orders.DBK"), damaged["DAT"]);
        EXPECT_EQ(dir.Read("orders.IBK"), damaged["IDX"]);
        EXPECT_EQ(dir.Read("orders.BBK"), damaged["BLB"]);
        for (const char* e : kExtensions) EXPECT_FALSE(fs::exists(dir.File(std::string("orders.") + e + ".repair")));

        // A second repair finds nothing to mend and writes nothing.
        const TBytes repaired = dir.Read("orders.DAT");
        const TRun again = Reruzo("repair " + t);
        EXPECT_EQ(again.out, dir.File("orders.DAT") + ": sound, nothing to mend, " + std::to_string(k.records) +
                                 " records in " + std::to_string(k.slots) + " slots\n");
        EXPECT_EQ(dir.Read("orders.DAT"), repaired);
        EXPECT_EQ(dir.Read("orders.DBK"), damaged["DAT"]);
    }
}

// ---- Tables damaged here ---------------------------------------------------------------

const char* const kMemoSchema = R"({
  "fields": [
    {"name": "id", "type": "autoinc"},
    {"name": "name", "type": "char", "length": 10},
    {"name": "body", "type": "memo"}
  ],
  "primary": {"fields": ["name"]},
  "indexes": [{"name": "byId", "fields": ["id"], "unique": true}],
  "blobBlockSize": 64
})";

// In blocks of 46 data bytes: a's note takes blocks 1 and 2, b's block 3, d's block 4,
// e's block 5.
const char* const kMemoInput =
    "{\"name\":\"a\",\"body\":\"a first note, long enough to take two blocks of 46 bytes each\"}\n"
    "{\"name\":\"b\",\"body\":\"second\"}\n"
    "{\"name\":\"c\"}\n"
    "{\"name\":\"d\",\"body\":\"fourth\"}\n"
    "{\"name\":\"e\",\"body\":\"fifth\"}\n";

class ReruzoRepairTool : public ReruzoTool {
protected:
    std::map<std::string, TBytes> Files(const std::string& table) const {
        std::map<std::string, TBytes> files;
        for (const char* e : kExtensions) {
            if (fs::exists(dir.File(table + "." + e))) files[e] = dir.Read(table + "." + e);
        }
        return files;
    }
    // Files a repair makes besides the table's own: temporary files, backups, rejected records.
    std::vector<std::string> Extras() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.Dir())) {
            const std::string name = entry.path().filename().string();
            if (Contains(name, ".repair") || Contains(name, "BK") || Contains(name, "rejected")) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string Text(const std::string& name) const {
        const TBytes bytes = dir.Read(name);
        return std::string(bytes.begin(), bytes.end());
    }
};

TEST_F(ReruzoRepairTool, LeavesASoundTableAsItIs) {
    Load("notes", kMemoSchema, kMemoInput);
    ASSERT_EQ(Reruzo("delete " + Table("notes") + " --filter " + Quote("name = 'b'")).code, 0);
    const auto files = Files("notes");
    const TRun run = Reruzo("repair " + Table("notes"));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, dir.File("notes.DAT") + ": sound, nothing to mend, 4 records in 5 slots\n");
    EXPECT_EQ(Files("notes"), files);
    EXPECT_EQ(Extras(), std::vector<std::string>{});
}

TEST_F(ReruzoRepairTool, KeepsTheRowsWhenOnlyTheIndexIsDamaged) {
    Load("people", kPeopleSchema, kPeopleInput);
    const std::string t = Table("people");
    ASSERT_EQ(Reruzo("delete " + t + " --filter " + Quote("name = 'bob'")).code, 0);
    const std::string rows = Reruzo("dump " + t + " --meta").out;
    const std::string byAge = Reruzo("dump " + t + " --index byAge").out;
    const TBytes data = dir.Read("people.DAT");
    TBytes index = dir.Read("people.IDX");
    PutLe(index, 3974, 7, 4);  // the record count
    dir.Write("people.IDX", index);

    const TRun run = Reruzo("repair " + t);
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, Joined({"record count was 7, now 3",
                               "indexes rebuilt from the records: the primary index, index 'byAge', index 'byCity'",
                               dir.File("people.DAT") +
                                   ": repaired, 3 records in 4 slots; the old files are kept as people.DBK, people.IBK"}));
    ExpectSound("people");
    // Slots, identifiers, values and both orders are what they were.
    EXPECT_EQ(Reruzo("dump " + t + " --meta").out, rows);
    EXPECT_EQ(Reruzo("dump " + t + " --index byAge").out, byAge);
    // The data file differs only in its header's change counter and time of writing.
    TBytes repaired = dir.Read("people.DAT");
    ASSERT_EQ(repaired.size(), data.size());
    EXPECT_EQ(Le(repaired, 0, 4), Le(data, 0, 4) + 1);
    std::copy(data.begin(), data.begin() + 4, repaired.begin());
    std::copy(data.begin() + 27, data.begin() + 35, repaired.begin() + 27);
    EXPECT_TRUE(repaired == data);
    EXPECT_EQ(dir.Read("people.IBK"), index);
    EXPECT_EQ(dir.Read("people.DBK"), data);
}

TEST_F(ReruzoRepairTool, MendsIdentifiersBlobsAndRecordsAUniqueIndexRefuses) {
    Load("notes", kMemoSchema, kMemoInput);
    const std::string t = Table("notes");
    TBytes data = dir.Read("notes.DAT");
    const auto recordSize = static_cast<std::size_t>(Le(data, 21, 2));
    auto slot = [&](std::size_t n) { return 127 + 768 * 3 + (n - 1) * recordSize; };
    const auto nameOffset = static_cast<std::size_t>(Le(data, 127 + 768 + 90, 2));
    const auto bodyOffset = static_cast<std::size_t>(Le(data, 127 + 768 * 2 + 90, 2));
    ASSERT_EQ(Le(data, slot(2) + bodyOffset + 1, 4), 3);  // b's note: block 3, stamp 2
    ASSERT_EQ(Le(data, slot(2) + bodyOffset + 5, 4), 2);
    // Slot 2 ("b") takes the name "d": the record of slot 4 repeats its key.
    data[slot(2) + nameOffset + 1] = 'd';
    // Slot 3 ("c") gets the identifier of slot 1, and a note past the file's end.
    PutLe(data, slot(3) + 5, 1, 4);
    data[slot(3) + bodyOffset] = 1;
    PutLe(data, slot(3) + bodyOffset + 1, 500, 4);
    PutLe(data, slot(3) + bodyOffset + 5, 9, 4);
    // Slot 5 ("e") names b's note instead of its own.
    PutLe(data, slot(5) + bodyOffset + 1, 3, 4);
    PutLe(data, slot(5) + bodyOffset + 5, 2, 4);
    // The last identifier handed out goes back to 2; a slot of zero bytes follows the
    // last, as a file extended but never written leaves it.
    PutLe(data, 17, 2, 4);
    data.resize(data.size() + recordSize, 0);
    PutLe(data, 13, 7, 4);
    dir.Write("notes.DAT", data);
    const TRun damaged = Reruzo("dump " + t);
    EXPECT_EQ(damaged.code, 1);

    const TRun run = Reruzo("repair " + t);
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out,
              Joined({"1 slot of zero bytes only marked deleted (slot 6)",
                      "1 record renumbered, the identifier not positive or another record's (slot 3)",
                      "1 record kept out of the table, the key held by another record in a unique index (the primary "
                      "index: 1); written to " + dir.File("notes.rejected.json"),
                      "1 record with a broken BLOB reference, the BLOB field emptied (slot 3)",
                      "1 BLOB copied to new blocks, the old chain unsound or shared",
                      "2 unused BLOB blocks freed",
                      "2 free slots re-chained, the first free slot was 0, now 4",
                      "record count was 5, now 4",
                      "indexes rebuilt from the records: the primary index, index 'byId'",
                      "auto-increment was 2, now 7",
                      dir.File("notes.DAT") + ": repaired, 4 records in 6 slots; the old files are kept as notes.DBK, "
                                              "notes.IBK, notes.BBK"}));
    ExpectSound("notes");
    EXPECT_EQ(Lines(Reruzo("dump " + t + " --meta").out),
              (std::vector<std::string>{
                  R"({"_slot":1,"_id":1,"id":1,"name":"a","body":"a first note, long enough to take two blocks of 46 bytes each"})",
                  R"({"_slot":3,"_id":6,"id":6,"name":"c","body":null})",
                  R"({"_slot":2,"_id":2,"id":2,"name":"d","body":"second"})",
                  R"({"_slot":5,"_id":5,"id":5,"name":"e","body":"second"})"}));
    EXPECT_EQ(Text("notes.rejected.json"), "{\"_slot\":4,\"_id\":4,\"id\":4,\"name\":\"d\",\"body\":\"fourth\"}\n");
    // The rejected records load back as they are, once their key is free again.
    ASSERT_EQ(Reruzo("delete " + t + " --filter " + Quote("name = 'd'")).code, 0);
    const TRun back = Reruzo("append " + t + " --keep-ids", Text("notes.rejected.json"));
    EXPECT_EQ(back.code, 0) << back.err;
    EXPECT_EQ(Lines(Reruzo("dump " + t + " --filter " + Quote("name = 'd'")).out),
              std::vector<std::string>{R"({"id":4,"name":"d","body":"fourth"})"});
    ExpectSound("notes");

    // A second repair that rejects records leaves the first one's file alone.
    WriteText(dir.File("notes.rejected.json"), "kept\n");
    TBytes again = dir.Read("notes.DAT");
    again[slot(1) + nameOffset + 1] = 'd';
    dir.Write("notes.DAT", again);
    const TRun second = Reruzo("repair " + t);
    ASSERT_EQ(second.code, 0) << second.err;
    EXPECT_TRUE(Contains(second.out, "written to " + dir.File("notes.rejected.2.json"))) << second.out;
    EXPECT_EQ(Text("notes.rejected.json"), "kept\n");
    EXPECT_EQ(Lines(Text("notes.rejected.2.json")).size(), 1u);
    ExpectSound("notes");
}

// Another process holds the table: the engine refuses to let go of it.
TEST_F(ReruzoRepairTool, RefusesATableInUse) {
    Load("people", kPeopleSchema, kPeopleInput);
    TBytes index = dir.Read("people.IDX");
    PutLe(index, 3974, 9, 4);
    dir.Write("people.IDX", index);
    const auto files = Files("people");
    {
        reruzo::TDataSession session;
        reruzo::TDataDirectory& directory = session.OpenDirectory("held", dir.Dir());
        reruzo::TDataCursor cursor(directory);
        cursor.SetTableName("people");
        cursor.SetReadOnly(true);
        cursor.OpenCursor();
        const TRun run = Reruzo("repair " + Table("people"));
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "reruzo: RERUZO Engine Error # 11013 Access denied to table 'people'\n");
        EXPECT_EQ(Files("people"), files);
        EXPECT_EQ(Extras(), std::vector<std::string>{});
        cursor.CloseCursor();
        session.CloseDirectory(directory);
    }
    EXPECT_EQ(Reruzo("repair " + Table("people")).code, 0);
    ExpectSound("people");
}

// A repair that cannot finish leaves the table's files as they were and removes what
// it wrote.
TEST_F(ReruzoRepairTool, LeavesTheTableAsItWasWhenItCannotFinish) {
    for (const char* e : kExtensions) {
        fs::copy_file(kKilled + "delete/orders." + e, dir.File(std::string("orders.") + e));
    }
    const std::string t = Table("orders");
    const auto files = Files("orders");
    struct TObstacle {
        const char* path;  // a folder where the repair needs a file
        std::string message;
    };
    const std::string refused = "reruzo: RERUZO Engine Error # 11013 Access denied to table 'orders'\n";
    const TObstacle obstacles[] = {
        {"orders.DAT.repair", refused},
        {"orders.IDX.repair", refused},
        {"orders.BLB.repair", refused},
        {"orders.IBK", "reruzo: cannot remove the old backup " + dir.File("orders.IBK") + ": Is a directory\n"},
    };
    for (const TObstacle& o : obstacles) {
        SCOPED_TRACE(o.path);
        fs::create_directory(dir.File(o.path));
        WriteText(dir.File(std::string(o.path) + "/inside"), "x");
        const TRun run = Reruzo("repair " + t);
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, o.message);
        EXPECT_EQ(Files("orders"), files);
        EXPECT_EQ(Extras(), std::vector<std::string>{o.path});
        fs::remove_all(dir.File(o.path));
    }
    // Without write permission on the folder nothing can be made beside the table
    // (the superuser writes anyway: there this case proves nothing and is left out).
    if (::geteuid() != 0) {
        fs::permissions(dir.Dir(), fs::perms::owner_read | fs::perms::owner_exec);
        const TRun run = Reruzo("repair " + t);
        fs::permissions(dir.Dir(), fs::perms::owner_all);
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(Files("orders"), files);
        EXPECT_EQ(Extras(), std::vector<std::string>{});
    }
    EXPECT_EQ(Reruzo("repair " + t).code, 0);
    EXPECT_EQ(Reruzo("verify " + t).code, 0);
}

TEST_F(ReruzoRepairTool, NeedsThePasswordOfAnEncryptedTable) {
    std::string schema = kMemoSchema;
    schema.replace(schema.rfind('}'), 1, ", \"password\": \"k3y\"}");
    Load("secret", schema, kMemoInput);
    const std::string t = Table("secret");
    const std::string rows = Reruzo("dump " + t + " --password k3y").out;
    TBytes data = dir.Read("secret.DAT");
    PutLe(data, 17, 1, 4);  // the last identifier: not enciphered
    dir.Write("secret.DAT", data);
    const auto files = Files("secret");
    for (const std::string& passwords : {std::string(), std::string(" --password wrong")}) {
        const TRun run = Reruzo("repair " + t + passwords);
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.err, "reruzo: RERUZO Engine Error # 10498 Insufficient rights to the table 'secret', a password is "
                           "required\n");
        EXPECT_EQ(Files("secret"), files);
        EXPECT_EQ(Extras(), std::vector<std::string>{});
    }
    const TRun run = Reruzo("repair " + t + " --password wrong --password k3y");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, Joined({"indexes rebuilt from the records: the primary index, index 'byId'",
                               "auto-increment was 1, now 5",
                               dir.File("secret.DAT") + ": repaired, 5 records in 5 slots; the old files are kept as "
                                                        "secret.DBK, secret.IBK, secret.BBK"}));
    ExpectSound("secret");
    EXPECT_EQ(Reruzo("dump " + t + " --password k3y").out, rows);
    // The new files are enciphered like the old ones.
    const std::string note = "long enough to take two blocks";
    const TBytes blob = dir.Read("secret.BLB");
    EXPECT_EQ(std::search(blob.begin(), blob.end(), note.begin(), note.end()), blob.end());
}

TEST_F(ReruzoRepairTool, RefusesATableWhoseRecordsCannotBeRead) {
    Load("people", kPeopleSchema, kPeopleInput);
    TBytes data = dir.Read("people.DAT");
    PutLe(data, 21, 40, 2);  // the record size
    dir.Write("people.DAT", data);
    const auto files = Files("people");
    const TRun run = Reruzo("repair " + Table("people"));
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "reruzo: RERUZO Engine Error # 8961 Header information corrupt in the table 'people'\n");
    EXPECT_EQ(Files("people"), files);
    EXPECT_EQ(Extras(), std::vector<std::string>{});
}

// Bytes changed at random in a sound table: whatever verify passes, dump reads; and
// repair either mends the table or refuses, leaving it as it was.
TEST_F(ReruzoRepairTool, RandomDamageIsFoundAndRepairedOrRefused) {
    for (const char* e : kExtensions) {
        fs::copy_file(kKilled + "delete/orders." + e, dir.File(std::string("orders.") + e));
    }
    const std::string t = Table("orders");
    ASSERT_EQ(Reruzo("repair " + t).code, 0);
    for (const char* e : {"DBK", "IBK", "BBK"}) fs::remove(dir.File(std::string("orders.") + e));
    const auto sound = Files("orders");
    std::mt19937 random(20241209);
    // Where a changed byte matters: the headers' fields, the descriptors' first bytes
    // (the rest is reserved), the index definitions in use, and the records, pages and
    // blocks.
    struct TRegion {
        const char* extension;
        std::size_t begin;
        std::size_t end;
    };
    std::vector<TRegion> regions = {{"DAT", 0, 127}, {"DAT", 127 + 768 * 5, sound.at("DAT").size()},
                                    {"IDX", 0, 14 + 120 * 4}, {"IDX", 3974, 3979},
                                    {"IDX", 4096, sound.at("IDX").size()}, {"BLB", 0, 18},
                                    {"BLB", 512, sound.at("BLB").size()}};
    for (std::size_t field = 0; field < 5; ++field) regions.push_back({"DAT", 127 + 768 * field, 127 + 768 * field + 100});
    int repaired = 0;
    for (int round = 0; round < 24; ++round) {
        for (const auto& [e, bytes] : sound) dir.Write("orders." + e, bytes);
        const TRegion& region = regions[random() % regions.size()];
        const std::string e = region.extension;
        TBytes bytes = sound.at(e);
        const std::size_t at = region.begin + random() % (region.end - region.begin);
        bytes[at] = static_cast<unsigned char>(bytes[at] + 1 + random() % 255);
        dir.Write("orders." + e, bytes);
        SCOPED_TRACE(e + " byte " + std::to_string(at));
        const auto damaged = Files("orders");

        const TRun verify = Reruzo("verify " + t);
        ASSERT_TRUE(verify.code == 0 || verify.code == 1) << verify.err;
        if (verify.code == 0) {
            EXPECT_EQ(Reruzo("dump " + t).code, 0);
            EXPECT_EQ(Reruzo("dump " + t + " --natural").code, 0);
            EXPECT_EQ(Reruzo("dump " + t + " --index byCity").code, 0);
        }
        const TRun repair = Reruzo("repair " + t);
        if (repair.code == 0) {
            if (verify.code == 1) ++repaired;
            EXPECT_EQ(Reruzo("verify " + t).code, 0) << repair.out;
            EXPECT_EQ(Reruzo("dump " + t).code, 0);
        } else {
            EXPECT_EQ(repair.code, 1) << repair.err;
            EXPECT_TRUE(Contains(repair.err, "reruzo: RERUZO Engine Error # ")) << repair.err;
            EXPECT_EQ(Files("orders"), damaged);
        }
        for (const char* x : kExtensions) EXPECT_FALSE(fs::exists(dir.File(std::string("orders.") + x + ".repair")));
        for (const char* x : {"DBK", "IBK", "BBK"}) fs::remove(dir.File(std::string("orders.") + x));
        fs::remove(dir.File("orders.rejected.json"));
    }
    // With this seed ten of the changes are damage that verify finds and repair mends.
    EXPECT_GE(repaired, 8);
}

// ---- verify ----------------------------------------------------------------------------

// Every byte the engine refuses before it reads a record: verify names the rule, dump
// (which opens the table) fails, and the last line points to repair.
TEST_F(ReruzoRepairTool, VerifyNamesEveryByteTheEngineRefuses) {
    Load("people", kPeopleSchema, kPeopleInput);
    Load("notes", kMemoSchema, kMemoInput);
    struct TDamage {
        const char* table;
        const char* file;
        std::function<void(TBytes&)> change;
        std::vector<std::string> problems;
        bool counted;  // the closing line counts records and slots
    };
    const std::size_t idx = 14 + 120;  // index descriptor 1
    const TDamage damages[] = {
        {"people", "DAT", [](TBytes& b) { b[8] = 4; }, {"the data file: its format version is 4, not 5"}, true},
        {"people", "DAT", [](TBytes& b) { PutLe(b, 23, 0, 2); }, {"the data file: its header counts no fields"}, true},
        {"people", "DAT", [](TBytes& b) { PutLe(b, 23, 5000, 2); },
         {"the data file: its header counts 5000 fields, at most 1024"}, false},
        {"people", "DAT", [](TBytes& b) { b.resize(100); }, {"the data file: it holds 100 bytes, its header takes 127"},
         false},
        {"people", "DAT", [](TBytes& b) { PutLe(b, 21, 40, 2); },
         {"the data file: its header gives records of 40 bytes, the fields take 36"}, true},
        {"people", "DAT", [](TBytes& b) { b[127 + 768 * 2 + 247] = 1; },
         {"the data file: field 3 ('age'): its computed flag is 1: a table's fields are never computed"}, true},
        {"people", "DAT", [](TBytes& b) { PutLe(b, 127 + 768 * 3 + 90, 30, 2); },
         {"the data file: field 4 ('city'): its offset is 30, the fields before it end at 24"}, true},
        {"people", "DAT", [](TBytes& b) { std::memcpy(&b[127 + 768 * 3 + 3], "name", 4); },  // was "city"
         {"the data file: field 4 ('name'): field 2 has that name already"}, true},
        {"people", "DAT", [](TBytes& b) { b[127 + 768 * 2 + 87] = 2; },
         {"the data file: field 3 ('age'): its scale is 2, only BCD fields have one"}, true},
        {"people", "DAT", [](TBytes& b) { b.push_back(0); b.push_back(0); b.push_back(0); },
         {"the data file: it ends with 3 bytes of a slot cut short"}, true},
        {"people", "DAT", [](TBytes& b) { PutLe(b, 13, 0x7FFFFFFF, 4); },
         {"the data file: its header counts 2147483646 slots, the file holds 4"}, true},
        {"notes", "DAT", [](TBytes& b) { PutLe(b, 25, 0, 2); },
         {"the data file: its header counts 0 BLOB fields, the fields hold 1"}, true},
        {"notes", "BLB", [](TBytes& b) { b[8] = 4; }, {"the BLOB file: its format version is 4, not 5"}, true},
        {"people", "IDX", [](TBytes& b) { b[8] = 4; }, {"the index file: its format version is 4, not 5"}, true},
        {"people", "IDX", [](TBytes& b) { b.resize(100); },
         {"the index file: it holds 100 bytes, its header page takes 4096"}, true},
        {"people", "IDX", [](TBytes& b) { b[13] = 31; }, {"the index file: it counts 31 secondary indexes, at most 30"},
         true},
        {"people", "IDX", [&](TBytes& b) { PutLe(b, idx + 31, 9, 2); },
         {"index 'byAge': its key length is 9, its fields give 7"}, true},
        {"people", "IDX", [&](TBytes& b) { PutLe(b, idx + 120 + 54, 9, 2); },
         {"index 'byCity': its key field 9 is no field of the table"}, true},
        {"people", "IDX", [&](TBytes& b) { std::memcpy(&b[idx + 120], "\x05" "byAGE", 6); },  // was "byCity"
         {"index 2 ('byAGE'): index 1 has that name already"}, true},
        {"people", "IDX", [](TBytes& b) { b[14 + 35] = 0; },
         {"the primary index: it is not unique", "the primary index: its key length is 12, its fields give 16"}, true},
    };
    for (const TDamage& d : damages) {
        SCOPED_TRACE(d.problems.front());
        const std::string file = std::string(d.table) + "." + d.file;
        const TBytes sound = dir.Read(file);
        TBytes bytes = sound;
        d.change(bytes);
        dir.Write(file, bytes);
        const std::string t = Table(d.table);
        // However many slots the header claims, memory stays within what the file holds.
        const TRun run = ReruzoWithin(200000, "verify " + t);
        EXPECT_EQ(run.code, 1) << run.err;
        std::vector<std::string> lines = Lines(run.out);
        ASSERT_FALSE(lines.empty()) << run.err;
        const std::string closing = lines.back();
        lines.pop_back();
        EXPECT_EQ(lines, d.problems);
        EXPECT_EQ(closing.rfind(dir.File(std::string(d.table) + ".DAT") + (d.counted ? ": damaged, " : ": damaged;"), 0), 0u)
            << closing;
        EXPECT_TRUE(Contains(closing, "; try \"reruzo repair " + t + "\"")) << closing;
        EXPECT_EQ(Reruzo("dump " + t).code, 1) << run.out;
        dir.Write(file, sound);
    }
    ExpectSound("people");
    ExpectSound("notes");
}

// Problems are written as they are found, up to a limit.
TEST_F(ReruzoRepairTool, VerifyStopsAfterAThousandProblems) {
    std::string input;
    for (int i = 0; i < 1100; ++i) input += "{\"name\":\"n" + std::to_string(i) + "\"}\n";
    Load("many", kMemoSchema, input);
    const std::string t = Table("many");
    TBytes data = dir.Read("many.DAT");
    PutLe(data, 17, 0, 4);  // no identifier handed out yet: every record's is out of range
    dir.Write("many.DAT", data);
    const TRun run = Reruzo("verify " + t);
    EXPECT_EQ(run.code, 1);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 1002u);
    for (int n = 1; n <= 1000; ++n) {
        EXPECT_EQ(lines[static_cast<std::size_t>(n) - 1],
                  "slot " + std::to_string(n) + ": record identifier " + std::to_string(n) + " is outside 1..0");
    }
    EXPECT_EQ(lines[1000], "verify stopped after 1000 problems; there may be more");
    EXPECT_EQ(lines[1001], dir.File("many.DAT") + ": damaged; try \"reruzo repair " + t + "\"");
    const TRun repair = Reruzo("repair " + t);
    EXPECT_EQ(repair.code, 0) << repair.err;
    EXPECT_TRUE(Contains(repair.out, "auto-increment was 0, now 1100\n")) << repair.out;
    ExpectSound("many");
}

}  // namespace

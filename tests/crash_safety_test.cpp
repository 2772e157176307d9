// Crash safety between processes: a writer killed with SIGKILL at random moments of
// its commit leaves the table exactly as it was before or as it is after the commit,
// readable and whole; and several processes appending, modifying and deleting at once
// lose and duplicate nothing.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "engine/errors/engine_errors.h"
#include "engine/sql/expression_filter.h"
#include "engine/sql/sql_statement.h"
#include "engine/table/data_cursor.h"
#include "engine/table/data_session.h"
#include "tests/support/child_process.h"
#include "tests/support/reruzo_tool.h"
#include "tests/support/temp_dir.h"
#include "tests/support/write_table.h"

namespace reruzo {
namespace {

using quorvane::testing::MakeRowsTable;
using quorvane::testing::Quote;
using quorvane::testing::Reruzo;
using quorvane::testing::TChild;
using quorvane::testing::TTempDir;
namespace fs = std::filesystem;

constexpr int kTag = 2;
constexpr int kValue = 3;
constexpr int kName = 4;
constexpr int kMemo = 5;

std::vector<std::uint8_t> Memo(int seed, std::size_t size) {
    std::vector<std::uint8_t> m(size);
    for (std::size_t i = 0; i < size; ++i) m[i] = static_cast<std::uint8_t>('a' + (seed + i * 7) % 26);
    return m;
}

std::vector<std::uint8_t> Row(TDataCursor& c, std::int64_t tag, std::int64_t value, const std::string& name) {
    std::vector<std::uint8_t> r(c.RecordSize());
    c.InitRecordDefaults(r);
    PutIntegerField(r, c.Fields()[kTag - 1], tag);
    PutIntegerField(r, c.Fields()[kValue - 1], value);
    PutStringField(r, c.Fields()[kName - 1], name);
    return r;
}

std::unique_ptr<TDataCursor> OpenCursor(TDataDirectory& d, bool exclusive) {
    auto c = std::make_unique<TDataCursor>(d);
    c->SetTableName("t");
    c->SetExclusive(exclusive);
    c->OpenCursor();
    return c;
}

// The table: id (primary), tag, value, name (unique) and a memo; 300 rows, every
// third with a memo.
void MakeTable(const std::string& dir) {
    MakeRowsTable(dir, "t", true, [](TTableStructure& s) {
        s.Fields.push_back(MakeFieldDesc("memo", kFieldBlob, 0, kSubMemo));
    });
    TDataSession session;
    TDataDirectory& d = session.OpenDirectory("db", dir);
    {
        auto c = OpenCursor(d, true);
        d.StartTransaction();
        for (int i = 1; i <= 300; ++i) {
            std::vector<std::uint8_t> r = Row(*c, i % 5, i, "r" + std::to_string(i));
            if (i % 3 == 0) c->PutBlob(r, kMemo, 0, Memo(i, 700));
            c->AppendRecord(r, false);
        }
        d.Commit(true, false);
    }
    session.CloseDirectory(d);
}

// Every row, in the order of the unique name, with its memo: what a reader sees.
std::string Rows(const std::string& dir) {
    TDataSession session;
    TDataDirectory& d = session.OpenDirectory("db", dir);
    std::string out;
    {
        auto c = OpenCursor(d, false);
        c->SetIndexName("name");
        std::vector<std::uint8_t> r(c->RecordSize());
        c->SetToBegin();
        while (c->GetNextRecord(r) == 0) {
            out += std::to_string(GetIntegerField(r, c->Fields()[0])) + "," +
                   std::to_string(GetIntegerField(r, c->Fields()[kTag - 1])) + "," +
                   std::to_string(GetIntegerField(r, c->Fields()[kValue - 1])) + "," +
                   GetStringField(r, c->Fields()[kName - 1]) + ",";
            std::vector<std::uint8_t> memo(c->GetBlobSize(r, kMemo));
            c->GetBlob(r, kMemo, 0, memo);
            c->FreeBlobs();
            out.append(memo.begin(), memo.end());
            out += '\n';
        }
    }
    session.CloseDirectory(d);
    return out;
}

// The commit the killed writer makes: appends with memos, modified values and memos,
// deletes, all in one transaction. `beforeCommit` runs just before it commits.
void Change(const std::string& dir, bool exclusive, const std::function<void()>& beforeCommit) {
    TDataSession session;
    TDataDirectory& d = session.OpenDirectory("db", dir);
    {
        auto c = OpenCursor(d, exclusive);
        d.StartTransaction();
        std::vector<std::uint8_t> r(c->RecordSize());
        c->SetToBegin();
        int seen = 0;
        while (c->GetNextRecord(r) == 0) {
            ++seen;
            if (seen % 7 == 0) {
                c->DeleteRecord(r, false);
                continue;
            }
            if (seen % 4 == 0) {
                PutIntegerField(r, c->Fields()[kValue - 1], 100000 + seen);
                if (seen % 8 == 0) c->PutBlob(r, kMemo, 0, Memo(seen + 1, 1500));
                c->ModifyRecord(r, true, false);
            }
        }
        for (int i = 1; i <= 150; ++i) {
            std::vector<std::uint8_t> n = Row(*c, 9, 500000 + i, "new" + std::to_string(i));
            if (i % 2 == 0) c->PutBlob(n, kMemo, 0, Memo(i, 2000));
            c->AppendRecord(n, false);
        }
        beforeCommit();
        d.Commit(true, false);
    }
    session.CloseDirectory(d);
}

void CopyTable(const std::string& from, const std::string& to) {
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
        fs::copy_file(from + "/t" + ext, to + "/t" + ext, fs::copy_options::overwrite_existing);
    }
    fs::remove(to + "/t.JNL");
}

TEST(CrashSafety, AWriterKilledDuringItsCommitLeavesTheTableBeforeOrAfter) {
    TTempDir original;
    MakeTable(original.Dir());
    const std::string before = Rows(original.Dir());

    // The commit done to the end, and how long it takes, in a copy.
    TTempDir done;
    CopyTable(original.Dir(), done.Dir());
    std::chrono::steady_clock::time_point start;
    Change(done.Dir(), false, [&] { start = std::chrono::steady_clock::now(); });
    const auto commitMicros = std::max<long long>(
        200, std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
    const std::string after = Rows(done.Dir());
    ASSERT_NE(before, after);

    std::mt19937 rng(20261209);
    // Most kills fall inside the commit, some just before or after it.
    std::uniform_int_distribution<long long> delay(0, commitMicros * 3 / 2);
    TTempDir work;
    int asBefore = 0;
    int asAfter = 0;
    for (int trial = 0; trial < 50; ++trial) {
        CopyTable(original.Dir(), work.Dir());
        const bool exclusive = trial % 2 == 1;
        {
            TChild child([&](const TChild& self) {
                Change(work.Dir(), exclusive, [&] { self.Tell('c'); });
                self.Tell('d');
                return 0;
            });
            ASSERT_EQ(child.Hear(), 'c') << "trial " << trial;
            std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
            ::kill(child.Pid(), SIGKILL);
            child.Wait();
        }
        const std::string rows = Rows(work.Dir());
        EXPECT_FALSE(fs::exists(work.File("t.JNL"))) << "trial " << trial;
        if (rows == before) {
            ++asBefore;
        } else if (rows == after) {
            ++asAfter;
        } else {
            ADD_FAILURE() << "trial " << trial << ": the rows are neither those before nor those after the commit";
        }
        const quorvane::testing::TRun verify = Reruzo("verify " + Quote(work.File("t")));
        EXPECT_EQ(verify.code, 0) << "trial " << trial << ": " << verify.out << verify.err;
    }
    EXPECT_EQ(asBefore + asAfter, 50);
    // Both outcomes occur: the kills did fall inside commits.
    EXPECT_GT(asBefore, 0);
    EXPECT_GT(asAfter, 0);
}

// An UPDATE through SQL commits every 25 rows: killed at any moment it leaves whole
// rows, a multiple of 25 of them changed (or all), and nothing for repair to do.
TEST(CrashSafety, AnSqlUpdateKilledPartWayKeepsItsIntermediateCommits) {
    TTempDir original;
    MakeTable(original.Dir());
    const char* const update = "update t set value = -value, name = name + 'x', memo = memo + 'y' commit interval 25";
    auto run = [&](const std::string& dir, const TChild* self) {
        TDataSession session;
        TDataDirectory& d = session.OpenDirectory("db", dir);
        {
            TQueryStatement statement(d);
            statement.Prepare(update);
            if (self) self->Tell('s');
            statement.Execute();
        }
        session.CloseDirectory(d);
    };
    // How long the whole statement takes, in a copy.
    TTempDir done;
    CopyTable(original.Dir(), done.Dir());
    const auto start = std::chrono::steady_clock::now();
    run(done.Dir(), nullptr);
    const auto micros = std::max<long long>(
        200, std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());

    std::mt19937 rng(20261210);
    std::uniform_int_distribution<long long> delay(0, micros * 11 / 10);
    TTempDir work;
    std::set<int> counts;
    for (int trial = 0; trial < 20; ++trial) {
        CopyTable(original.Dir(), work.Dir());
        {
            TChild child([&](const TChild& self) {
                run(work.Dir(), &self);
                return 0;
            });
            ASSERT_EQ(child.Hear(), 's') << "trial " << trial;
            std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
            ::kill(child.Pid(), SIGKILL);
            child.Wait();
        }
        // Each row changed whole or not at all.
        int changed = 0;
        std::istringstream rows(Rows(work.Dir()));
        for (std::string line; std::getline(rows, line);) {
            const bool negative = line.find(",-") != std::string::npos;
            const std::string name = line.substr(0, line.rfind(','));
            EXPECT_EQ(negative, name.back() == 'x') << "trial " << trial << ": " << line;
            changed += negative ? 1 : 0;
        }
        EXPECT_EQ(changed % 25, 0) << "trial " << trial;
        counts.insert(changed);
        const quorvane::testing::TRun verify = Reruzo("verify " + Quote(work.File("t")));
        EXPECT_EQ(verify.code, 0) << "trial " << trial << ": " << verify.out << verify.err;
    }
    // The kills fell at different points of the statement.
    EXPECT_GT(counts.size(), 2u);
}

// A writer that dies with half its commit in the files: the records and the data
// header of a change of 40 values to -1 are written, the rest is not.
void LeaveHalfACommit(const std::string& dir) {
    TChild writer([&](const TChild&) {
        SetJournalSpillBytesForTests(1);  // every write reaches the file at once
        TDataSession s;
        TDataDirectory& wd = s.OpenDirectory("db", dir);
        auto c = OpenCursor(wd, false);
        wd.StartTransaction();
        std::vector<std::uint8_t> r(c->RecordSize());
        c->SetToBegin();
        for (int i = 0; i < 40 && c->GetNextRecord(r) == 0; ++i) {
            PutIntegerField(r, c->Fields()[kValue - 1], -1);
            c->ModifyRecord(r, true, false);
        }
        TDataTable& t = c->Table();
        t.WriteLock();
        t.Journal()->Begin();
        t.Data().FlushRecords(false);
        t.Data().WriteHeader(true, false);
        ::_exit(fs::exists(t.JournalPath()) ? 0 : 1);
        return 1;
    });
    ASSERT_EQ(writer.Wait(), 0);
    ASSERT_TRUE(fs::exists(dir + "/t.JNL"));
}

// While a reader keeps the table open: the reader's next look rolls the journal
// back, without reopening.
TEST(CrashSafety, AReaderThatKeptTheTableOpenRollsBackAHalfCommit) {
    TTempDir dir;
    MakeTable(dir.Dir());
    const std::string before = Rows(dir.Dir());
    TDataSession session;
    TDataDirectory& d = session.OpenDirectory("db", dir.Dir());
    {
        auto reader = OpenCursor(d, false);
        EXPECT_EQ(reader->GetRecordCount(), 300);
        LeaveHalfACommit(dir.Dir());
        std::vector<std::uint8_t> r(reader->RecordSize());
        reader->SetToBegin();
        int rows = 0;
        while (reader->GetNextRecord(r) == 0) {
            EXPECT_NE(GetIntegerField(r, reader->Fields()[kValue - 1]), -1);
            ++rows;
        }
        EXPECT_EQ(rows, 300);
        EXPECT_FALSE(fs::exists(dir.File("t.JNL")));
    }
    session.CloseDirectory(d);
    EXPECT_EQ(Rows(dir.Dir()), before);
}

// The engine tool reads the files itself: it rolls the journal back first, says so,
// and then finds the table sound.
TEST(CrashSafety, TheEngineToolRollsBackAHalfCommitBeforeItLooks) {
    TTempDir dir;
    MakeTable(dir.Dir());
    const std::string before = Rows(dir.Dir());
    LeaveHalfACommit(dir.Dir());
    const quorvane::testing::TRun verify = Reruzo("verify " + Quote(dir.File("t")));
    EXPECT_EQ(verify.code, 0) << verify.out << verify.err;
    EXPECT_NE(verify.err.find("an unfinished commit of"), std::string::npos) << verify.err;
    EXPECT_FALSE(fs::exists(dir.File("t.JNL")));
    EXPECT_EQ(Rows(dir.Dir()), before);
}

// A commit that fills the disk fails with the write error and is undone whole: the
// table keeps exactly its rows from before and takes the next commit.
TEST(CrashSafety, ACommitThatFillsTheDiskIsUndoneWhole) {
    TTempDir small;
    const std::string dir = small.Dir();
    TChild child([&](const TChild&) -> int {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0) {
            return 77;
        }
        try {
            MakeTable(dir);
            const std::string before = Rows(dir);
            TDataSession session;
            TDataDirectory& d = session.OpenDirectory("db", dir);
            std::uint16_t code = 0;
            {
                auto c = OpenCursor(d, false);
                d.StartTransaction();
                for (int i = 1; i <= 300; ++i) {
                    std::vector<std::uint8_t> r = Row(*c, 7, i, "big" + std::to_string(i));
                    c->PutBlob(r, kMemo, 0, Memo(i, 4000));  // 1.2 MB in all: more than fits
                    c->AppendRecord(r, false);
                }
                try {
                    d.Commit(true, false);
                } catch (const ERERUZOEngineError& e) {
                    code = e.EngineCode;
                }
            }
            session.CloseDirectory(d);
            if (code != RERUZO_WRITEERR) return 2;
            if (fs::exists(dir + "/t.JNL")) return 3;
            if (Rows(dir) != before) return 4;
            Change(dir, false, [] {});  // a commit that fits
            return Rows(dir) != before ? 0 : 5;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child: %s\n", e.what());
            return 6;
        }
    });
    const int code = child.Wait();
    if (code == 77) GTEST_SKIP() << "no private mount namespace for a small file system here";
    EXPECT_EQ(code, 0) << "2: the commit did not fail with the write error, 3: its journal stayed, "
                          "4: the rows changed, 5: the next commit failed, 6: an engine error";
}

// Four processes each append their own rows, modify and delete them through filters,
// at the same time; afterwards every row is the one its process last wrote.
TEST(CrashSafety, FourWritingProcessesLoseAndDuplicateNothing) {
    TTempDir dir;
    MakeTable(dir.Dir());
    constexpr int kWriters = 4;
    constexpr int kRounds = 40;
    std::vector<std::unique_ptr<TChild>> children;
    for (int w = 1; w <= kWriters; ++w) {
        children.push_back(std::make_unique<TChild>([&, w](const TChild&) {
            TDataSession session;
            session.SetLockRetryCount(255);
            TDataDirectory& d = session.OpenDirectory("db", dir.Dir());
            int result = 0;
            {
                auto c = OpenCursor(d, false);
                const std::int64_t tag = 10 + w;
                TFilter* mine = AddExprFilter(*c, "tag = " + std::to_string(tag), {});
                std::vector<std::uint8_t> r(c->RecordSize());
                for (int round = 1; round <= kRounds; ++round) {
                    // Three new rows, each appended on its own.
                    for (int k = 0; k < 3; ++k) {
                        const int n = round * 3 + k;
                        std::vector<std::uint8_t> row = Row(*c, tag, n, "w" + std::to_string(w) + "-" + std::to_string(n));
                        if (k == 0) c->PutBlob(row, kMemo, 0, Memo(n, 300));
                        c->AppendRecord(row, false);
                    }
                    // In a transaction: every row of ours whose value is a multiple of
                    // 4 is deleted, every other one gets its value increased by 1000.
                    if (round % 5 == 0) {
                        d.StartTransaction();
                        c->ActivateFilter(mine);
                        c->SetToBegin();
                        while (c->GetNextRecord(r) == 0) {
                            const std::int64_t v = GetIntegerField(r, c->Fields()[kValue - 1]);
                            if (v % 4 == 0) {
                                c->DeleteRecord(r, false);
                            } else if (v < 1000) {
                                PutIntegerField(r, c->Fields()[kValue - 1], v + 1000);
                                c->ModifyRecord(r, true, false);
                            }
                        }
                        c->DeactivateFilter(mine);
                        d.Commit(true, false);
                    }
                }
            }
            session.CloseDirectory(d);
            return result;
        }));
    }
    for (auto& child : children) EXPECT_EQ(child->Wait(), 0);

    // What each writer must have left: rows 3..3*kRounds+2, those appended before its
    // last transaction (round 40) deleted when a multiple of 4, else raised by 1000.
    std::multiset<std::string> expected;
    for (int w = 1; w <= kWriters; ++w) {
        for (int n = 3; n <= kRounds * 3 + 2; ++n) {
            if (n % 4 == 0) continue;
            expected.insert("w" + std::to_string(w) + "-" + std::to_string(n) + "=" + std::to_string(n + 1000));
        }
    }
    std::multiset<std::string> found;
    TDataSession session;
    TDataDirectory& d = session.OpenDirectory("db", dir.Dir());
    {
        auto c = OpenCursor(d, false);
        std::vector<std::uint8_t> r(c->RecordSize());
        c->SetToBegin();
        while (c->GetNextRecord(r) == 0) {
            if (GetIntegerField(r, c->Fields()[kTag - 1]) < 10) continue;
            found.insert(GetStringField(r, c->Fields()[kName - 1]) + "=" +
                         std::to_string(GetIntegerField(r, c->Fields()[kValue - 1])));
        }
    }
    session.CloseDirectory(d);
    EXPECT_EQ(found, expected);
    const quorvane::testing::TRun verify = Reruzo("verify " + Quote(dir.File("t")));
    EXPECT_EQ(verify.code, 0) << verify.out << verify.err;
}

}  // namespace
}  // namespace reruzo

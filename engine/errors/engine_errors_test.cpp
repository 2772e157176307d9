// Tests of engine error raising, message building and the shared error record.
#include "engine/errors/engine_errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace reruzo {
namespace {

ERERUZOEngineError Catch(std::uint16_t code, const TErrorContext& ctx) {
    try {
        RaiseEngineError(code, ctx);
    } catch (const ERERUZOEngineError& e) {
        return e;
    }
    ADD_FAILURE() << "RaiseEngineError returned";
    return ERERUZOEngineError("", 0, {});
}

TEST(EngineErrors, MissingTableNamesTheTable) {
    auto e = Catch(RERUZO_OSENOENT, {.database = "/data/", .table = "vrqdtl"});
    EXPECT_STREQ(e.what(), "RERUZO Engine Error # 11010 Table 'vrqdtl' does not exist");
    EXPECT_EQ(e.EngineCode, 11010);
    EXPECT_EQ(e.ContextTable, "vrqdtl");
    EXPECT_EQ(e.ContextDatabase, "/data/");
    EXPECT_EQ(e.ContextField, "");
}

TEST(EngineErrors, PlaceholdersFollowTheContextOrderOfEachCode) {
    auto kv = Catch(RERUZO_KEYVIOL, {.table = "vrqdtl", .index = "key"});
    EXPECT_STREQ(kv.what(),
                 "RERUZO Engine Error # 9729 Duplicate key found in the index 'key' of the table "
                 "'vrqdtl'");
    auto idx = Catch(RERUZO_INVALIDIDXDESC, {.table = "t", .field = "7", .index = "i"});
    EXPECT_STREQ(idx.what(),
                 "RERUZO Engine Error # 10023 Invalid field number '7' specified in the index 'i' "
                 "for the table 't'");
    auto remote = Catch(RERUZO_REMOTEUNKNOWN, {.server = "10.0.0.1", .text = "boom"});
    EXPECT_STREQ(remote.what(),
                 "RERUZO Engine Error # 11279 An unknown error ('boom') occurred with the "
                 "connection to the database server at '10.0.0.1', please check the server log");
    auto auth = Catch(RERUZO_REMOTENOTAUTH, {.server = "s", .user = "u", .database = "d"});
    EXPECT_STREQ(auth.what(),
                 "RERUZO Engine Error # 11288 The user 'u' is not authorized to perform this "
                 "operation with the database 'd' on the database server at 's'");
}

TEST(EngineErrors, UnknownCodesAndCodesWithoutTextGiveTheUnknownMessage) {
    EXPECT_STREQ(Catch(12345, {.table = "x"}).what(),
                 "RERUZO Engine Error # 12345 An unknown error occurred");
    EXPECT_STREQ(Catch(RERUZO_REMOTECALLBACK, {}).what(),
                 "RERUZO Engine Error # 11284 An unknown error occurred");
    EXPECT_STREQ(Catch(0, {}).what(), "RERUZO Engine Error # 0 An unknown error occurred");
    EXPECT_EQ(EngineErrorName(12345), "");
    EXPECT_EQ(EngineErrorName(RERUZO_KEYVIOL), "RERUZO_KEYVIOL");
    EXPECT_EQ(EngineErrorName(RERUZO_CANNOTLOADLDDRV), "RERUZO_CANNOTLOADLDDRV");
    EXPECT_EQ(EngineErrorName(0), "RERUZO_NONE");
}

TEST(EngineErrors, ContextIsCutTo255AndMessageTo254) {
    const std::string longName(300, 'n');
    auto e = Catch(RERUZO_OSENOENT, {.table = longName});
    EXPECT_EQ(e.ContextTable.size(), 255u);
    EXPECT_EQ(EngineErrorContext(3).size(), 255u);
    const std::string prefix = "RERUZO Engine Error # 11010 ";
    const std::string text = e.what();
    ASSERT_EQ(text.size(), prefix.size() + 254);
    EXPECT_EQ(text.substr(prefix.size()), ("Table '" + longName).substr(0, 254));
}

TEST(EngineErrors, ContextTextHoldingPlaceholdersIsTakenLiterally) {
    auto e = Catch(RERUZO_INVALIDFILTER, {.table = "%s%s", .text = "bad"});
    EXPECT_STREQ(e.what(), "RERUZO Engine Error # 10051 Filter error for the table '%s%s' - bad");
}

TEST(EngineErrors, RecordKeepsTheLastErrorAndIsClearedByTheNext) {
    Catch(RERUZO_KEYVIOL, {.table = "first", .index = "key"});
    EXPECT_EQ(LastEngineErrorCode(), RERUZO_KEYVIOL);
    EXPECT_EQ(EngineErrorContext(5), "key");
    Catch(RERUZO_EOF, {.table = "second"});
    EXPECT_EQ(LastEngineErrorCode(), RERUZO_EOF);
    EXPECT_EQ(EngineErrorContext(3), "second");
    EXPECT_EQ(EngineErrorContext(5), "");  // cleared, not left over from the first
    EXPECT_EQ(EngineErrorContext(7), "");
    EXPECT_EQ(EngineErrorContext(-1), "");
    EXPECT_EQ(EngineErrorMessage(RERUZO_NOCURRREC), "No current record in the table 'second'");
}

TEST(EngineErrors, RaiseForResultUsesTheRecordAsItStands) {
    Catch(RERUZO_LOCKED, {.database = "/db/", .table = "earlier"});
    try {
        RaiseForResult(RERUZO_RECLOCKFAILED);
        FAIL() << "no exception";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_RECLOCKFAILED);
        EXPECT_EQ(e.ContextTable, "earlier");
        EXPECT_EQ(e.ContextDatabase, "/db/");
        EXPECT_STREQ(e.what(),
                     "RERUZO Engine Error # 10258 Record in the table 'earlier' is in use by "
                     "another user");
    }
    // The record is not rewritten by raising for a result code.
    EXPECT_EQ(LastEngineErrorCode(), RERUZO_LOCKED);
    EXPECT_NO_THROW(RaiseForResult(0));
}

TEST(EngineErrors, EngineErrorIsADatabaseError) {
    try {
        RaiseEngineError(RERUZO_TABLEEXISTS, "", "", "", "t", "", "", "");
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "RERUZO Engine Error # 13060 The table 't' already exists");
        return;
    }
    FAIL();
}

TEST(EngineErrors, ConcurrentRaisesNeverMixTheirContexts) {
    std::vector<std::thread> threads;
    std::atomic<int> mixed{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &mixed] {
            const std::string table = "table" + std::to_string(t);
            for (int i = 0; i < 2000; ++i) {
                try {
                    RaiseEngineError(RERUZO_KEYVIOL, {.table = table, .index = table});
                } catch (const ERERUZOEngineError& e) {
                    if (e.ContextTable != table || e.ContextIndex != table) ++mixed;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mixed.load(), 0);
}

}  // namespace
}  // namespace reruzo

// The table the cursor-writing tests work on: id (auto-increment), tag, value and
// name, with the indexes "tag" and (unique) "name", and optionally a primary index
// on id; and a fixture that opens cursors on it and makes its rows.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/table/data_cursor.h"
#include "tests/support/temp_dir.h"

namespace quorvane::testing {

inline reruzo::TIndexDesc OneFieldIndex(const char* name, std::uint16_t field, bool unique) {
    reruzo::TIndexDesc d;
    d.Name = name;
    d.Unique = unique ? 1 : 0;
    d.FieldCount = 1;
    d.FieldNumbers[0] = field;
    return d;
}

inline void MakeRowsTable(const std::string& dir, const std::string& table, bool primary,
                          const std::function<void(reruzo::TTableStructure&)>& adjust = {}) {
    using namespace reruzo;
    TDataSession session;
    TDataDirectory& d = session.OpenDirectory("db", dir);
    TTableStructure s;
    s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("tag", kFieldInteger),
                MakeFieldDesc("value", kFieldInteger), MakeFieldDesc("name", kFieldString, 16)};
    if (primary) s.Primary = OneFieldIndex("", 1, true);
    s.Secondaries = {OneFieldIndex("tag", 2, false), OneFieldIndex("name", 4, true)};
    if (adjust) adjust(s);
    TDataTable* t = nullptr;
    ASSERT_EQ(d.CreateTable(table, s, t), 0);
    d.CloseTable(t, false);
    session.CloseDirectory(d);
}

struct TRowsTableFixture : ::testing::Test {
    TTempDir tmp;
    reruzo::TDataSession session;
    reruzo::TDataDirectory* dir = nullptr;
    void SetUp() override { dir = &session.OpenDirectory("db", tmp.Dir()); }
    void TearDown() override { session.CloseDirectory(*dir); }

    std::unique_ptr<reruzo::TDataCursor> Open(const std::string& table, bool natural = false, bool readOnly = false) {
        auto c = std::make_unique<reruzo::TDataCursor>(*dir);
        c->SetTableName(table);
        c->SetNaturalOrder(natural);
        c->SetReadOnly(readOnly);
        c->OpenCursor();
        return c;
    }
    static std::vector<std::uint8_t> Row(reruzo::TDataCursor& c, std::int64_t tag, std::int64_t value,
                                         const std::string& name) {
        std::vector<std::uint8_t> r(c.RecordSize());
        c.InitRecordDefaults(r);
        reruzo::PutIntegerField(r, c.Fields()[1], tag);
        reruzo::PutIntegerField(r, c.Fields()[2], value);
        if (!name.empty()) reruzo::PutStringField(r, c.Fields()[3], name);
        return r;
    }
    // Appends rows named r1..rn, tag i % 3 and value i.
    static void Fill(reruzo::TDataCursor& c, int n) {
        for (int i = 1; i <= n; ++i) c.AppendRecord(Row(c, i % 3, i, "r" + std::to_string(i)), false);
    }
    static std::string Name(reruzo::TDataCursor& c, const std::vector<std::uint8_t>& r) {
        return reruzo::GetStringField(r, c.Fields()[3]);
    }
    // The names of the view, from the first row.
    static std::vector<std::string> Names(reruzo::TDataCursor& c) {
        std::vector<std::string> out;
        std::vector<std::uint8_t> r(c.RecordSize());
        c.SetToBegin();
        while (c.GetNextRecord(r) == 0) out.push_back(Name(c, r));
        return out;
    }
};

}  // namespace quorvane::testing

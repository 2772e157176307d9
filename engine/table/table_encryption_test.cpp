// Encrypted tables: opening only with the table's password (exact letter case), the
// password callback asked until it gives up, the key stream starting afresh in every
// record slot, and all three files free of the plain values whatever the index
// compression.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "engine/table/data_cursor.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::CodeOf;
using quorvane::testing::TTempDir;

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class TableEncryption : public ::testing::Test {
protected:
    // secret(id autoinc, name char(30), note memo), primary on id, index on name with
    // the given leaf compression; encrypted with `password`.
    void Create(const std::string& table, std::uint8_t compression, const std::string& password = "Key-7") {
        TTableStructure s;
        s.Encrypted = true;
        s.Password = password;
        s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("name", kFieldString, 30),
                    MakeFieldDesc("note", kFieldBlob, 0, kSubMemo)};
        s.Primary.FieldCount = 1;
        s.Primary.FieldNumbers[0] = 1;
        TIndexDesc byName;
        byName.Name = "byName";
        byName.FieldCount = 1;
        byName.FieldNumbers[0] = 2;
        byName.Compression = compression;
        s.Secondaries = {byName};
        TDataTable* t = nullptr;
        ASSERT_EQ(directory.CreateTable(table, s, t), 0);
        directory.CloseTable(t, false);
    }
    std::unique_ptr<TDataCursor> Open(const std::string& table, std::function<bool()> callback = {}) {
        auto c = std::make_unique<TDataCursor>(directory);
        c->SetTableName(table);
        c->PasswordCallback = std::move(callback);
        c->OpenCursor();
        return c;
    }

    TTempDir tmp;
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("db", tmp.Dir());
};

TEST_F(TableEncryption, OnlyTheExactPasswordOpensAndTheCallbackIsAskedUntilItGivesUp) {
    Create("secret", 0);
    EXPECT_EQ(CodeOf([&] { Open("secret"); }), RERUZO_NOTSUFFTABLERIGHTS);
    session.AddPassword("key-7");  // other letter case
    EXPECT_EQ(CodeOf([&] { Open("secret"); }), RERUZO_NOTSUFFTABLERIGHTS);

    // A callback that supplies the password opens the table on the second look.
    int asked = 0;
    auto opened = Open("secret", [&] {
        ++asked;
        session.AddPassword("Key-7");
        return true;
    });
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(opened->IsOpen());
    opened.reset();

    // Every open checks again, also while the table object is open for others.
    auto holder = Open("secret");
    session.RemovePassword("Key-7");
    asked = 0;
    EXPECT_EQ(CodeOf([&] {
                  Open("secret", [&] {
                      ++asked;
                      return asked < 3;  // "try again" twice, then give up
                  });
              }),
              RERUZO_NOTSUFFTABLERIGHTS);
    EXPECT_EQ(asked, 3);
    EXPECT_TRUE(holder->IsOpen());
}

TEST_F(TableEncryption, EverySlotStartsTheKeyStreamAfresh) {
    Create("secret", 0);
    session.AddPassword("Key-7");
    std::vector<std::vector<std::uint8_t>> written;
    {
        auto c = Open("secret");
        std::vector<std::uint8_t> r(c->RecordSize());
        for (const char* name : {"alpha", "beta", "gamma"}) {
            c->InitRecord(r);
            PutStringField(r, c->Fields()[1], name);
            c->AppendRecord(r, false);
        }
        c->SetToBegin();
        while (c->GetNextRecord(r) == 0) written.push_back(r);
    }
    ASSERT_EQ(written.size(), 3u);
    auto c = Open("secret");
    const std::string disk = FileText(tmp.File("secret.DAT"));
    const TDataFile& data = c->Table().Data();
    std::vector<std::uint8_t> first;
    for (std::int32_t n = 1; n <= 3; ++n) {
        const std::uint64_t at = data.SlotOffset(n);
        std::vector<std::uint8_t> stream(data.RecordSize());
        for (std::size_t i = 0; i < stream.size(); ++i) {
            // Bytes 1..4 of a cached record hold its slot number, not what is stored.
            const std::uint8_t plain = i >= 1 && i <= 4 ? 0 : written[static_cast<std::size_t>(n - 1)][i];
            stream[i] = static_cast<std::uint8_t>(disk.at(at + i)) ^ plain;
        }
        if (first.empty()) {
            first = stream;
        } else {
            for (std::size_t i = 0; i < stream.size(); ++i) {
                if (i >= 1 && i <= 4) continue;
                EXPECT_EQ(stream[i], first[i]) << "slot " << n << " byte " << i;
            }
        }
    }
}

TEST_F(TableEncryption, NoFileHoldsThePlainValuesWhateverTheIndexCompression) {
    session.AddPassword("Key-7");
    for (std::uint8_t compression = 0; compression <= 3; ++compression) {
        const std::string table = "c" + std::to_string(compression);
        Create(table, compression);
        {
            auto c = Open(table);
            std::vector<std::uint8_t> r(c->RecordSize());
            for (int i = 0; i < 300; ++i) {
                c->InitRecord(r);
                PutStringField(r, c->Fields()[1], "Visible Name " + std::to_string(1000 + i));
                const std::string note = "Plain note number " + std::to_string(i);
                c->PutBlob(r, 3, 0, {reinterpret_cast<const std::uint8_t*>(note.data()), note.size()});
                c->AppendRecord(r, false);
            }
        }
        for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
            const std::string bytes = FileText(tmp.File(table + ext));
            EXPECT_EQ(bytes.find("Visible Name"), std::string::npos) << table << ext;
            EXPECT_EQ(bytes.find("Plain note"), std::string::npos) << table << ext;
            EXPECT_EQ(bytes.find("Key-7"), std::string::npos) << table << ext;
        }
        // Read back through the index on the name, and every BLOB.
        auto c = Open(table);
        c->SetIndexName("byName");
        std::vector<std::uint8_t> r(c->RecordSize());
        int i = 0;
        c->SetToBegin();
        while (c->GetNextRecord(r) == 0) {
            EXPECT_EQ(GetStringField(r, c->Fields()[1]), "Visible Name " + std::to_string(1000 + i));
            std::string note(c->GetBlobSize(r, 3), '\0');
            c->GetBlob(r, 3, 0, {reinterpret_cast<std::uint8_t*>(note.data()), note.size()});
            c->FreeBlob(r, 3);
            EXPECT_EQ(note, "Plain note number " + std::to_string(i));
            ++i;
        }
        EXPECT_EQ(i, 300) << table;
    }
}

}  // namespace
}  // namespace reruzo

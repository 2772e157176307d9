// Makes the seed inputs of the table fuzz target: small tables written by the engine
// itself (field types of every kind, primary and secondary indexes with each leaf
// compression, BLOBs over several blocks, an encrypted table, a B+-tree of two levels,
// a lost index file), each packed in the target's input layout (table_fuzz.cpp):
// u32 data length, u32 index length, then the data, index and BLOB files.
//
//   table_fuzz_seeds FOLDER      writes FOLDER/seed-NAME for every seed
#include <cstdint>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/storage/byte_order.h"
#include "engine/storage/record_values.h"
#include "engine/table/data_cursor.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace reruzo;
using quorvane::testing::TTempDir;

constexpr char kPassword[] = "fuzz";

TIndexDesc Index(const char* name, std::vector<std::uint16_t> fields, bool unique = false, std::uint8_t compression = 0,
                 bool descending = false, bool noCase = false) {
    TIndexDesc d;
    d.Name = name;
    d.Unique = unique ? 1 : 0;
    d.Compression = compression;
    d.Descending = descending ? 1 : 0;
    d.CaseInsensitive = noCase ? 1 : 0;
    for (std::uint16_t f : fields) d.FieldNumbers[d.FieldCount++] = f;
    return d;
}

// One record: the writer sets its fields (and BLOBs) on the fresh buffer.
using TFill = std::function<void(TDataCursor&, std::vector<std::uint8_t>&, int)>;

struct TSeed {
    std::string name;
    TTableStructure structure;
    int records;
    TFill fill;
    // Records deleted again after the appends (by position in natural order).
    std::vector<int> deleted;
    bool withoutIndexFile = false;
};

void Put(TDataCursor& c, std::vector<std::uint8_t>& r, int field, const std::string& text) {
    c.PutField(field, r, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), false);
}

template <typename T>
void PutValue(TDataCursor& c, std::vector<std::uint8_t>& r, int field, T value) {
    std::vector<std::uint8_t> bytes(sizeof value);
    PutLE(bytes.data(), value);
    c.PutField(field, r, bytes, false);
}

std::string Pattern(std::size_t n, int seed) {
    std::string s(n, ' ');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + static_cast<std::size_t>(seed)) % 26);
    return s;
}

void BuildTable(const std::string& folder, const TSeed& seed) {
    TDataSession session;
    session.AddPassword(kPassword);
    TDataDirectory& directory = session.OpenDirectory("seeds", folder);
    TDataTable* table = nullptr;
    if (directory.CreateTable(seed.name, seed.structure, table) != 0) throw std::runtime_error("cannot create " + seed.name);
    directory.CloseTable(table, false);
    {
        TDataCursor c(directory);
        c.SetTableName(seed.name);
        c.OpenCursor();
        for (int i = 1; i <= seed.records; ++i) {
            std::vector<std::uint8_t> r(c.RecordSize());
            c.InitRecordDefaults(r);
            seed.fill(c, r, i);
            c.AppendRecord(r, false);
        }
        c.CloseCursor();
        c.SetNaturalOrder(true);
        c.OpenCursor();
        std::vector<std::uint8_t> r(c.RecordSize());
        for (int n : seed.deleted) {
            c.SetToRecNo(n);
            if (c.GetCurRecord(r, false) == 0) c.DeleteRecord(r, false);
        }
        c.FlushBuffers({.trim = true, .flushOs = false});
        c.CloseCursor();
    }
    session.CloseDirectory(directory);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string Pack(const std::string& data, const std::string& index, const std::string& blob) {
    std::string out(8, '\0');
    PutLE(reinterpret_cast<std::uint8_t*>(out.data()), static_cast<std::uint32_t>(data.size()));
    PutLE(reinterpret_cast<std::uint8_t*>(out.data()) + 4, static_cast<std::uint32_t>(index.size()));
    return out + data + index + blob;
}

std::vector<TSeed> Seeds() {
    std::vector<TSeed> seeds;

    // Every plain field type, a primary index and two secondary ones, one record deleted.
    {
        TSeed s{.name = "types", .records = 5};
        s.structure.Fields = {
            MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("name", kFieldString, 12),
            MakeFieldDesc("small", kFieldSmallInt),             MakeFieldDesc("amount", kFieldFloat),
            MakeFieldDesc("price", kFieldBCD, 0),               MakeFieldDesc("born", kFieldDate),
            MakeFieldDesc("at", kFieldTime),                    MakeFieldDesc("stamp", kFieldTimeStamp),
            MakeFieldDesc("flag", kFieldBoolean),               MakeFieldDesc("code", kFieldBytes, 3),
            MakeFieldDesc("big", kFieldLargeInt),               MakeFieldDesc("w", kFieldWord)};
        s.structure.Fields[4].Scale = 2;
        s.structure.Fields[1].DefaultValue = "none";
        s.structure.Fields[2].MinValue = "-100";
        s.structure.Fields[2].MaxValue = "100";
        s.structure.Primary = Index("", {1}, true);
        s.structure.Secondaries = {Index("byName", {2}, false, 0, false, true), Index("byAmount", {4, 3}, false, 0, true)};
        s.fill = [](TDataCursor& c, std::vector<std::uint8_t>& r, int i) {
            Put(c, r, 2, i == 3 ? "" : "Name " + std::to_string(6 - i));
            PutValue<std::int16_t>(c, r, 3, static_cast<std::int16_t>(i * 7 - 20));
            PutValue<double>(c, r, 4, i * 1.25 - 2);
            c.PutField(5, r, *FieldValueFromText(c.Fields()[4], std::to_string(i * 37 - 100) + ".25"), false);
            PutValue<std::int32_t>(c, r, 6, 730000 + i);
            PutValue<std::int32_t>(c, r, 7, i * 3600000);
            PutValue<double>(c, r, 8, 63000000000000.0 + i * 1000.0);
            PutValue<std::uint16_t>(c, r, 9, static_cast<std::uint16_t>(i % 2));
            Put(c, r, 10, std::string{static_cast<char>(i), '\x7f', '\xff'});
            PutValue<std::int64_t>(c, r, 11, -(std::int64_t{1} << 40) * i);
            PutValue<std::uint16_t>(c, r, 12, static_cast<std::uint16_t>(65535 - i));
        };
        s.deleted = {2};
        seeds.push_back(s);
        TSeed lost = s;
        lost.name = "lost-index";
        lost.withoutIndexFile = true;
        seeds.push_back(lost);
    }

    // Memo, binary and graphic BLOBs in 64-byte blocks: empty, one block, a chain of
    // several, and a record whose BLOBs were freed when it was deleted.
    {
        TSeed s{.name = "blobs", .records = 4};
        s.structure.BlobBlockSize = 64;
        s.structure.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc),
                              MakeFieldDesc("note", kFieldBlob, 0, kSubMemo),
                              MakeFieldDesc("data", kFieldBlob, 0, kSubBinary),
                              MakeFieldDesc("picture", kFieldBlob, 0, kSubGraphic)};
        s.structure.Primary = Index("", {1}, true);
        s.fill = [](TDataCursor& c, std::vector<std::uint8_t>& r, int i) {
            const std::string note = Pattern(static_cast<std::size_t>(i * i * 20), i);
            if (i != 1) c.PutBlob(r, 2, 0, std::span(reinterpret_cast<const std::uint8_t*>(note.data()), note.size()));
            if (i % 2 == 0) c.PutBlob(r, 3, 0, std::vector<std::uint8_t>(static_cast<std::size_t>(40 * i), 0xA5));
            if (i == 3) c.PutBlob(r, 4, 0, std::vector<std::uint8_t>{0x47, 0x49, 0x46, 0x38, 0x39, 0x61});
        };
        s.deleted = {4};
        seeds.push_back(s);
    }

    // An encrypted table ("fuzz") with a memo and a compressed secondary index.
    {
        TSeed s{.name = "encrypted", .records = 4};
        s.structure.Encrypted = true;
        s.structure.Password = kPassword;
        s.structure.BlobBlockSize = 64;
        s.structure.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("name", kFieldString, 16),
                              MakeFieldDesc("note", kFieldBlob, 0, kSubMemo)};
        s.structure.Primary = Index("", {1}, true);
        s.structure.Secondaries = {Index("byName", {2}, true, 3)};
        s.fill = [](TDataCursor& c, std::vector<std::uint8_t>& r, int i) {
            Put(c, r, 2, "secret " + std::to_string(i));
            const std::string note = Pattern(static_cast<std::size_t>(30 * i), i);
            c.PutBlob(r, 3, 0, std::span(reinterpret_cast<const std::uint8_t*>(note.data()), note.size()));
        };
        seeds.push_back(s);
    }

    // Text collated by a language, with one index of each leaf compression and keys
    // sharing prefixes and trailing zero bytes; records in natural order.
    {
        TSeed s{.name = "compressions", .records = 8};
        s.structure.LanguageId = 0x0409;
        s.structure.Fields = {MakeFieldDesc("name", kFieldString, 10), MakeFieldDesc("n", kFieldInteger)};
        s.structure.Secondaries = {Index("plain", {1}, false, 0), Index("prefix", {1}, false, 1),
                                   Index("suffix", {1, 2}, false, 2), Index("both", {1}, true, 3, true, true)};
        s.fill = [](TDataCursor& c, std::vector<std::uint8_t>& r, int i) {
            Put(c, r, 1, std::string(i % 2 ? "Apple" : "apple") + std::string(static_cast<std::size_t>(i % 4), 'x') +
                             std::to_string(i));
            if (i != 5) PutValue<std::int32_t>(c, r, 2, i % 3);
        };
        s.deleted = {3, 6};
        seeds.push_back(s);
    }

    // A table with a primary index and no records.
    {
        TSeed s{.name = "empty", .records = 0};
        s.structure.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("name", kFieldString, 8)};
        s.structure.Primary = Index("", {1}, true);
        s.fill = [](TDataCursor&, std::vector<std::uint8_t>&, int) {};
        seeds.push_back(s);
    }

    // Long keys over enough records for a tree of two levels.
    {
        TSeed s{.name = "two-levels", .records = 150};
        s.structure.Fields = {MakeFieldDesc("key", kFieldString, 40)};
        s.structure.Secondaries = {Index("byKey", {1})};
        s.fill = [](TDataCursor& c, std::vector<std::uint8_t>& r, int i) {
            Put(c, r, 1, "k" + std::to_string(i * 7919 % 1000));
        };
        seeds.push_back(s);
    }
    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: table_fuzz_seeds FOLDER\n";
        return 2;
    }
    const std::string out = argv[1];
    try {
        for (const TSeed& seed : Seeds()) {
            TTempDir tmp;
            BuildTable(tmp.Dir(), seed);
            const std::string base = tmp.Dir() + seed.name;
            const std::string packed = Pack(ReadFile(base + ".DAT"), seed.withoutIndexFile ? "" : ReadFile(base + ".IDX"),
                                            ReadFile(base + ".BLB"));
            std::ofstream file(out + "/seed-" + seed.name, std::ios::binary | std::ios::trunc);
            file.write(packed.data(), static_cast<std::streamsize>(packed.size()));
            if (!file) throw std::runtime_error("cannot write " + out + "/seed-" + seed.name);
            std::cout << "seed-" << seed.name << ": " << packed.size() << " bytes\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "table_fuzz_seeds: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

// Parsing, checking and compiling of the knowledge-base sources.
#include "tools/kbbuild/kb_source.h"

#include <strings.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include <filesystem>

#include "engine/errors/engine_errors.h"
#include "engine/table/data_session.h"
#include "engine/table/data_cursor.h"
#include "engine/storage/value_text.h"
#include "platform/codepage.h"

namespace quorvane::kb {
namespace {

using reruzo::TFieldDesc;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw TSourceError(path + ":0: cannot be read");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

[[noreturn]] void Fail(const std::string& file, int line, const std::string& what) {
    throw TSourceError(file + ":" + std::to_string(line) + ": " + what);
}

std::string RTrim(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r' || s.back() == '\t')) s.pop_back();
    return s;
}

// Source file being compiled, for error messages.
struct TSource {
    std::string file;
    std::vector<TSourceBlock> blocks;
};

const TSourceField& Require(const TSource& src, const TSourceBlock& b, const std::string& name) {
    const TSourceField* f = b.Find(name);
    if (!f) Fail(src.file, b.line, "the field '" + name + "' is missing");
    return *f;
}

std::int32_t IntegerOf(const TSource& src, const TSourceField& f, const std::string& name) {
    auto v = reruzo::ParseInt32(f.value);
    if (!v || f.value.empty() || f.value[0] == ' ')
        Fail(src.file, f.line, "'" + f.value + "' is not a valid integer for '" + name + "'");
    return *v;
}

// The GBK form of a value, checked against the column's length in bytes.
std::string GbkOf(const TSource& src, const TSourceField& f, const std::string& name,
                  std::size_t maxBytes) {
    auto gbk = Utf8ToGbk(f.value);
    if (!gbk) Fail(src.file, f.line, "the text of '" + name + "' has characters outside GBK");
    if (gbk->size() > maxBytes) {
        Fail(src.file, f.line,
             "the text of '" + name + "' takes " + std::to_string(gbk->size()) +
                 " bytes in GBK; at most " + std::to_string(maxBytes) + " fit");
    }
    return *gbk;
}

void CheckOneOf(const TSource& src, const TSourceField& f, const std::string& name,
                const std::set<std::string>& allowed) {
    if (!allowed.count(f.value)) Fail(src.file, f.line, "'" + f.value + "' is not a valid " + name);
}

// The Windows versions an item names, oldest first; "A-B" names every version from
// A to B.
const std::vector<std::string>& WindowsVersions() {
    static const std::vector<std::string> versions = {"95", "98",   "ME", "NT4", "2000", "XP", "2003",
                                                      "Vista", "7", "8",  "8.1", "10",   "11"};
    return versions;
}

// The versions the `windows` field names ("98, ME", "XP-11", "10, 11"); fails on an
// empty list or a name that is not a version.
std::set<std::string> VersionsOf(const TSource& src, const TSourceField& f) {
    const std::vector<std::string>& all = WindowsVersions();
    const auto indexOf = [&](std::string name) -> std::ptrdiff_t {
        while (!name.empty() && name.front() == ' ') name.erase(0, 1);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        const auto it = std::find(all.begin(), all.end(), name);
        if (it == all.end())
            Fail(src.file, f.line, "'" + name + "' is not a Windows version (one of 95, 98, ME, NT4, 2000, XP, 2003, "
                                   "Vista, 7, 8, 8.1, 10, 11, or a range such as XP-11)");
        return it - all.begin();
    };
    std::set<std::string> versions;
    std::istringstream parts(f.value);
    std::string part;
    while (std::getline(parts, part, ',')) {
        const std::size_t dash = part.find('-');
        const std::ptrdiff_t from = indexOf(part.substr(0, dash));
        const std::ptrdiff_t to = dash == std::string::npos ? from : indexOf(part.substr(dash + 1));
        if (to < from) Fail(src.file, f.line, "the range '" + part + "' runs backwards");
        for (std::ptrdiff_t i = from; i <= to; ++i) versions.insert(all[static_cast<std::size_t>(i)]);
    }
    if (versions.empty()) Fail(src.file, f.line, "name the Windows versions the item applies to");
    return versions;
}

// Values whose writing weakens a system's security or keeps it from being updated,
// with the data that does it: an item writing one must warn in its description.
bool WeakensTheSystem(const std::string& keyname, const std::string& keytype, const std::string& info) {
    static const std::vector<std::pair<const char*, const char*>> kWeakening = {
        {"EnableLUA", "0"},           {"ConsentPromptBehaviorAdmin", "0"}, {"PromptOnSecureDesktop", "0"},
        {"DisableAntiSpyware", "1"},  {"DisableRealtimeMonitoring", "1"},  {"DisableAntiVirus", "1"},
        {"NoAutoUpdate", "1"},        {"DisableWindowsUpdateAccess", "1"}, {"EnableFirewall", "0"},
        {"AutoShareWks", "0"},        {"AutoShareServer", "0"},            {"SFCDisable", "1"},
        {"EnableSmartScreen", "0"},   {"SmartScreenEnabled", "Off"}};
    if (keytype != "dword" && keytype != "str") return false;
    for (const auto& [name, data] : kWeakening) {
        if (::strcasecmp(keyname.c_str(), name) == 0 && info == data) return true;
    }
    return false;
}

}  // namespace

const TSourceField* TSourceBlock::Find(const std::string& name) const {
    auto it = fields.find(name);
    return it == fields.end() ? nullptr : &it->second;
}

std::vector<TSourceBlock> ParseBlocks(const std::string& text, const std::string& fileName,
                                      const std::vector<std::string>& allowed) {
    std::vector<TSourceBlock> blocks;
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    bool inBlock = false;
    while (std::getline(in, raw)) {
        ++lineNo;
        if (lineNo == 1 && raw.rfind("\xEF\xBB\xBF", 0) == 0) raw.erase(0, 3);
        const std::string line = RTrim(raw);
        if (line.empty()) {
            inBlock = false;
            continue;
        }
        if (line[0] == '#') continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            Fail(fileName, lineNo, "expected 'name: value'");
        const std::string name = line.substr(0, colon);
        std::string value;
        if (colon + 1 < line.size()) {
            if (line[colon + 1] != ' ') Fail(fileName, lineNo, "expected a blank after ':'");
            value = line.substr(colon + 2);
        }
        if (value.find('\t') != std::string::npos)
            Fail(fileName, lineNo, "tab characters are not allowed in values");
        if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
            Fail(fileName, lineNo, "unknown field '" + name + "'");
        if (!inBlock) {
            blocks.push_back(TSourceBlock{lineNo, {}});
            inBlock = true;
        }
        auto [it, fresh] = blocks.back().fields.emplace(name, TSourceField{value, lineNo});
        if (!fresh) Fail(fileName, lineNo, "the field '" + name + "' appears twice in one block");
    }
    return blocks;
}

std::vector<TFieldDesc> ItemTableFields() {
    return {reruzo::MakeFieldDesc("id", reruzo::kFieldInteger, 0, reruzo::kSubAutoInc),
            reruzo::MakeFieldDesc("parent", reruzo::kFieldInteger),
            reruzo::MakeFieldDesc("imgid", reruzo::kFieldInteger),
            reruzo::MakeFieldDesc("title", reruzo::kFieldString, 40),
            reruzo::MakeFieldDesc("intro", reruzo::kFieldString, 250),
            reruzo::MakeFieldDesc("type", reruzo::kFieldString, 20)};
}

std::vector<TFieldDesc> DetailTableFields() {
    return {reruzo::MakeFieldDesc("oldinfo", reruzo::kFieldString, 200),
            reruzo::MakeFieldDesc("id", reruzo::kFieldInteger, 0, reruzo::kSubAutoInc),
            reruzo::MakeFieldDesc("keyid", reruzo::kFieldInteger),
            reruzo::MakeFieldDesc("path", reruzo::kFieldString, 200),
            reruzo::MakeFieldDesc("keyname", reruzo::kFieldString, 50),
            reruzo::MakeFieldDesc("keytype", reruzo::kFieldString, 10),
            reruzo::MakeFieldDesc("info", reruzo::kFieldString, 200),
            reruzo::MakeFieldDesc("rootkey", reruzo::kFieldString, 10),
            reruzo::MakeFieldDesc("bk1", reruzo::kFieldString, 20),
            reruzo::MakeFieldDesc("bk2", reruzo::kFieldString, 20)};
}

std::optional<std::string> Utf8ToGbk(const std::string& utf8) {
    return codepage::FromUtf8(utf8, codepage::kProgramCodePage);
}

std::string GbkToUtf8(const std::string& gbk) {
    return codepage::ToUtf8(gbk, codepage::kProgramCodePage);
}

TCompileResult CompileKnowledgeBase(const std::string& sourceDir, const std::string& outputDir) {
    const std::string dir = sourceDir.empty() || sourceDir.back() == '/' ? sourceDir : sourceDir + "/";
    TSource items{dir + "vrqinfo.txt", {}};
    TSource details{dir + "vrqdtl.txt", {}};
    items.blocks = ParseBlocks(ReadFile(items.file), items.file,
                               {"id", "parent", "imgid", "type", "title", "intro", "windows"});
    details.blocks = ParseBlocks(
        ReadFile(details.file), details.file,
        {"keyid", "rootkey", "path", "keyname", "keytype", "info", "bk1", "bk2", "oldinfo"});

    // vrqinfo: identifiers kept as written so that parents and detail rows refer to them.
    // The tables are built in a folder of their own and moved into place only when both
    // are complete, so a failed build never leaves half a knowledge base behind.
    namespace fs = std::filesystem;
    const fs::path staging = fs::path(outputDir.empty() ? "." : outputDir) / ".kbbuild";
    fs::remove_all(staging);
    fs::create_directories(staging);
    struct TCleanup {
        fs::path path;
        ~TCleanup() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } cleanup{staging};
    const std::string stagingDir = staging.string() + "/";

    // Both tables are made through the table layer: vrqinfo indexed by id; vrqdtl by
    // id, with the index "key" on keyid for the rows of an item.
    reruzo::TDataSession session;
    reruzo::TDataDirectory& directory = session.OpenDirectory("kb", stagingDir);
    auto create = [&](const char* name, std::vector<reruzo::TFieldDesc> fields, std::uint16_t idField,
                      std::vector<reruzo::TIndexDesc> secondaries) {
        reruzo::TTableStructure structure;
        structure.Fields = std::move(fields);
        structure.Primary.FieldCount = 1;
        structure.Primary.FieldNumbers[0] = idField;
        structure.Secondaries = std::move(secondaries);
        reruzo::TDataTable* table = nullptr;
        const int code = directory.CreateTable(name, structure, table);
        if (code < 0) reruzo::RaiseEngineError(static_cast<std::uint16_t>(-code), {.database = stagingDir, .table = name});
        directory.CloseTable(table, false);
        // Records go in through a cursor, with every check a write makes.
        auto cursor = std::make_unique<reruzo::TDataCursor>(directory);
        cursor->SetTableName(name);
        cursor->SetExclusive(true);
        cursor->OpenCursor();
        return cursor;
    };
    reruzo::TIndexDesc key;
    key.Name = "key";
    key.FieldCount = 1;
    key.FieldNumbers[0] = 3;  // keyid
    auto itemTable = create("vrqinfo", ItemTableFields(), 1, {});
    auto detailTable = create("vrqdtl", DetailTableFields(), 2, {key});
    itemTable->SetSuppressAutoInc(true);  // identifiers are kept as written
    const auto& itemCols = itemTable->Fields();
    std::vector<std::uint8_t> r(itemTable->RecordSize());
    std::map<std::int32_t, std::string> itemTypes;
    std::map<std::int32_t, std::string> intros;  // UTF-8, for the checks of the rows
    std::int32_t lastId = 0;
    for (const auto& b : items.blocks) {
        const std::int32_t id = IntegerOf(items, Require(items, b, "id"), "id");
        if (id <= lastId) Fail(items.file, Require(items, b, "id").line, "ids must increase through the file");
        lastId = id;
        const auto& parentField = Require(items, b, "parent");
        const std::int32_t parent = IntegerOf(items, parentField, "parent");
        if (parent != -1 && !itemTypes.count(parent))
            Fail(items.file, parentField.line, "the parent " + std::to_string(parent) + " is not defined above");
        const auto& imgField = Require(items, b, "imgid");
        const std::int32_t imgid = IntegerOf(items, imgField, "imgid");
        if (imgid < 0 || imgid > 2) Fail(items.file, imgField.line, "imgid must be 0, 1 or 2");
        const auto& typeField = Require(items, b, "type");
        const std::string type = GbkOf(items, typeField, "type", 20);
        const std::string title = GbkOf(items, Require(items, b, "title"), "title", 40);
        if (title.empty()) Fail(items.file, b.line, "the title is empty");
        const std::string intro = GbkOf(items, Require(items, b, "intro"), "intro", 250);
        // Every leaf names the Windows versions it applies to; one that only old
        // Windows (95, 98, ME) knows says so in its description.
        const bool leaf = typeField.value == "single" || typeField.value == "chg" || typeField.value == "list";
        if (leaf) {
            const std::set<std::string> versions = VersionsOf(items, Require(items, b, "windows"));
            const bool onlyOld = std::all_of(versions.begin(), versions.end(), [](const std::string& v) {
                return v == "95" || v == "98" || v == "ME";
            });
            const std::string& shown = Require(items, b, "intro").value;
            if (onlyOld && shown.find("98") == std::string::npos && shown.find("ME") == std::string::npos &&
                shown.find("9x") == std::string::npos)
                Fail(items.file, Require(items, b, "intro").line,
                     "an item only for Windows 95, 98 or ME says so in its description");
        } else if (const TSourceField* windows = b.Find("windows")) {
            VersionsOf(items, *windows);
        }
        intros[id] = Require(items, b, "intro").value;

        itemTable->InitRecordDefaults(r);
        reruzo::PutIntegerField(r, itemCols[0], id);
        reruzo::PutIntegerField(r, itemCols[1], parent);
        reruzo::PutIntegerField(r, itemCols[2], imgid);
        reruzo::PutStringField(r, itemCols[3], title);
        reruzo::PutStringField(r, itemCols[4], intro);
        reruzo::PutStringField(r, itemCols[5], type);
        itemTable->AppendRecord(r, false);
        itemTypes[id] = typeField.value;
    }

    const auto& cols = detailTable->Fields();
    int passwordRows = 0;
    for (const auto& b : details.blocks) {
        const auto& keyField = Require(details, b, "keyid");
        const std::int32_t keyid = IntegerOf(details, keyField, "keyid");
        std::vector<std::uint8_t> r(detailTable->RecordSize());
        detailTable->InitRecordDefaults(r);
        reruzo::PutIntegerField(r, cols[2], keyid);
        if (keyid == 0) {
            ++passwordRows;
            const auto& flag = Require(details, b, "oldinfo");
            CheckOneOf(details, flag, "password switch (yes or no)", {"yes", "no"});
        } else {
            auto it = itemTypes.find(keyid);
            if (it == itemTypes.end())
                Fail(details.file, keyField.line, "no repair item has the id " + std::to_string(keyid));
            const bool lists = it->second == "list";
            if (it->second != "single" && it->second != "chg" && !lists)
                Fail(details.file, keyField.line, "the item " + std::to_string(keyid) + " of type '" +
                                                      it->second + "' takes no registry rows");
            if (b.Find("oldinfo"))
                Fail(details.file, b.Find("oldinfo")->line, "oldinfo is filled by the program, not shipped");
            CheckOneOf(details, Require(details, b, "rootkey"), "root key",
                       {"root", "currusr", "machine", "usr", "config", "data"});
            const auto& kt = Require(details, b, "keytype");
            // A list item's rows name the keys whose values or subkeys it lists.
            if (lists)
                CheckOneOf(details, kt, "key type of a list item", {"values", "subkeys"});
            else
                CheckOneOf(details, kt, "key type", {"delkey", "delval", "str", "expand", "dword", "bin"});
            const TSourceField* written = b.Find("info");
            if (WeakensTheSystem(Require(details, b, "keyname").value, kt.value, written ? written->value : "") &&
                intros[keyid].find("警告") == std::string::npos)
                Fail(details.file, kt.line,
                     "the item " + std::to_string(keyid) + " turns a protection off (" +
                         Require(details, b, "keyname").value + "): its description must warn (警告) first");
            Require(details, b, "path");
            Require(details, b, "keyname");
            const TSourceField* info = b.Find("info");
            if (info && it->second == "single") {
                if (kt.value == "dword" && !reruzo::ParseInt32(info->value))
                    Fail(details.file, info->line, "'" + info->value + "' is not a valid integer value");
                if (kt.value == "bin" && info->value.find_first_not_of("0123456789ABCDEF") != std::string::npos)
                    Fail(details.file, info->line, "binary values are written as upper-case hexadecimal digits");
            }
        }
        static const std::pair<const char*, int> kColumns[] = {
            {"oldinfo", 0}, {"path", 3}, {"keyname", 4}, {"keytype", 5},
            {"info", 6},    {"rootkey", 7}, {"bk1", 8},   {"bk2", 9}};
        for (const auto& [name, col] : kColumns) {
            if (const TSourceField* f = b.Find(name)) {
                const auto& desc = cols[static_cast<std::size_t>(col)];
                reruzo::PutStringField(r, desc, GbkOf(details, *f, name, desc.Length));
            }
        }
        detailTable->AppendRecord(r, false);
    }
    if (passwordRows != 1) {
        Fail(details.file, details.blocks.empty() ? 1 : details.blocks.front().line,
             "exactly one password row (keyid 0) is needed, found " + std::to_string(passwordRows));
    }

    itemTable->CloseCursor();
    detailTable->CloseCursor();
    session.CloseDirectory(directory);
    const fs::path target = fs::path(outputDir.empty() ? "." : outputDir);
    for (const char* name : {"vrqinfo.DAT", "vrqinfo.IDX", "vrqdtl.DAT", "vrqdtl.IDX"}) {
        fs::rename(staging / name, target / name);
    }
    return {static_cast<int>(items.blocks.size()), static_cast<int>(details.blocks.size())};
}

}  // namespace quorvane::kb

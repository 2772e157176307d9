// Running the engine tool `reruzo` as a separate process in tests: its exit code and
// outputs, the tables the tests load through it, and the fixture that keeps them.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tools/reruzo/json.h"

namespace quorvane::testing {

struct TRun {
    int code;
    std::string out;
    std::string err;
};

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Runs the tool with `input` on standard input.
inline TRun Reruzo(const std::string& arguments, const std::string& input = "") {
    TTempDir io;
    WriteText(io.File("in"), input);
    const std::string command = std::string(QUORVANE_BIN_DIR) + "reruzo " + arguments + " <" + io.File("in") + " 2>" +
                                io.File("err");
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    std::array<char, 4096> buffer{};
    std::size_t n;
    while (pipe && (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
    const int status = pipe ? ::pclose(pipe) : -1;
    std::ifstream err(io.File("err"));
    std::stringstream text;
    text << err.rdbuf();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, text.str()};
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every type the tool knows, two secondary indexes, header options.
inline const char* const kEveryTypeSchema = R"({
  "fields": [
    {"name": "id", "type": "autoinc"},
    {"name": "name", "type": "char", "length": 12, "description": "display name"},
    {"name": "raw", "type": "bytes", "length": 3},
    {"name": "var", "type": "varbytes", "length": 4},
    {"name": "day", "type": "date"},
    {"name": "clock", "type": "time"},
    {"name": "stamp", "type": "timestamp"},
    {"name": "flag", "type": "boolean"},
    {"name": "small", "type": "smallint"},
    {"name": "w", "type": "word", "default": 7},
    {"name": "n", "type": "integer"},
    {"name": "big", "type": "largeint"},
    {"name": "f", "type": "float"},
    {"name": "cash", "type": "money"},
    {"name": "amount", "type": "bcd", "scale": 2},
    {"name": "note", "type": "memo"},
    {"name": "pic", "type": "blob"}
  ],
  "primary": {"fields": ["id"]},
  "indexes": [
    {"name": "byName", "fields": ["name"], "nocase": true, "compression": "full"},
    {"name": "byN", "fields": ["n"], "descending": true}
  ],
  "description": "every type",
  "blobBlockSize": 1024,
  "userMajor": 2,
  "userMinor": 5
})";

inline const char* const kEveryTypeInput =
    R"({"id":5,"name":"alpha","raw":"0a0B0c","var":"0102","day":"2024-02-29","clock":"13:45:30.250",)"
    R"("stamp":"1999-12-31 23:59:59.999","flag":true,"small":-32768,"w":65535,"n":-7,"big":9007199254740993,)"
    R"("f":0.1,"cash":12.5,"amount":"-1234.56","note":null,"pic":null})"
    "\n"
    R"({"name":"中文 ","w":null})"
    "\n\n"
    R"({"name":"Beta","day":"0001-01-01","clock":"00:00:00","stamp":"9999-12-31 00:00:00","flag":false,)"
    R"("small":32767,"n":2147483647,"big":-9223372036854775808,"f":-1e300,"cash":-0.25,"amount":12,"raw":"ffffff"})"
    "\n";

// What dump gives for that input: new identifiers, defaults for missing fields, bytes
// filled up to their length, times with milliseconds, BLOBs as null.
inline const char* const kEveryTypeDump[] = {
    R"({"id":1,"name":"alpha","raw":"0a0b0c","var":"01020000","day":"2024-02-29","clock":"13:45:30.250",)"
    R"("stamp":"1999-12-31 23:59:59.999","flag":true,"small":-32768,"w":65535,"n":-7,"big":9007199254740993,)"
    R"("f":0.1,"cash":12.5,"amount":"-1234.56","note":null,"pic":null})",
    R"({"id":2,"name":"中文","raw":null,"var":null,"day":null,"clock":null,"stamp":null,"flag":null,)"
    R"("small":null,"w":null,"n":null,"big":null,"f":null,"cash":null,"amount":null,"note":null,"pic":null})",
    R"({"id":3,"name":"Beta","raw":"ffffff","var":null,"day":"0001-01-01","clock":"00:00:00.000",)"
    R"("stamp":"9999-12-31 00:00:00.000","flag":false,"small":32767,"w":7,"n":2147483647,)"
    R"("big":-9223372036854775808,"f":-1e+300,"cash":-0.25,"amount":"12","note":null,"pic":null})",
};

// Four people; the primary index orders by name (bytewise), "byAge" descending,
// "byCity" ignoring case.
inline const char* const kPeopleSchema = R"({
  "fields": [
    {"name": "id", "type": "autoinc"},
    {"name": "name", "type": "char", "length": 10},
    {"name": "age", "type": "smallint"},
    {"name": "city", "type": "char", "length": 10}
  ],
  "primary": {"fields": ["name"]},
  "indexes": [
    {"name": "byAge", "fields": ["age"], "descending": true},
    {"name": "byCity", "fields": ["city"], "nocase": true}
  ]
})";

inline const char* const kPeopleInput =
    "{\"name\":\"carol\",\"age\":30,\"city\":\"Paris\"}\n"
    "{\"name\":\"Alice\",\"age\":25,\"city\":\"berlin\"}\n"
    "{\"name\":\"bob\",\"age\":41,\"city\":\"Oslo\"}\n"
    "{\"name\":\"dave\",\"age\":12,\"city\":\"athens\"}\n";

class ReruzoTool : public ::testing::Test {
protected:
    TTempDir dir;

    std::string Table(const std::string& name) const { return dir.File(name); }
    // Creates a table from a schema text and input lines, expecting success.
    void Load(const std::string& name, const std::string& schema, const std::string& input) {
        WriteText(dir.File(name + ".json"), schema);
        const TRun run = Reruzo("load " + Table(name) + " --schema " + dir.File(name + ".json"), input);
        ASSERT_EQ(run.code, 0) << run.err;
    }
    // The identifiers of a dump's records, in order.
    static std::vector<std::int64_t> Ids(const TRun& run) {
        std::vector<std::int64_t> ids;
        for (const std::string& line : Lines(run.out)) ids.push_back(*reruzo::cli::ParseJson(line).Find("id")->AsInteger());
        return ids;
    }
    void ExpectSound(const std::string& name) {
        const TRun run = Reruzo("verify " + Table(name));
        EXPECT_EQ(run.code, 0) << run.out << run.err;
        EXPECT_TRUE(Contains(run.out, ": ok, ")) << run.out;
    }
};

}  // namespace quorvane::testing

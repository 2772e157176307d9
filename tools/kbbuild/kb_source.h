// The knowledge-base sources (data/kb/*.txt) and their compilation into the tables
// vrqinfo and vrqdtl. A source is UTF-8 text made of blocks of "name: value" lines
// separated by blank lines; "#" starts a comment line. Values are checked against
// the columns they go into (after conversion to GBK, the program's code page) and
// every error names its file and line.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/storage/data_format.h"

namespace quorvane::kb {

// A malformed source: the message is "file:line: what is wrong".
class TSourceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TSourceField {
    std::string value;  // UTF-8 as written
    int line = 0;
};

struct TSourceBlock {
    int line = 0;  // line of the block's first field
    std::map<std::string, TSourceField> fields;
    const TSourceField* Find(const std::string& name) const;
};

// Splits a source text into blocks. `allowed` lists the field names a block may use.
std::vector<TSourceBlock> ParseBlocks(const std::string& text, const std::string& fileName,
                                      const std::vector<std::string>& allowed);

// Column definitions of the two tables, in column order.
std::vector<reruzo::TFieldDesc> ItemTableFields();    // vrqinfo
std::vector<reruzo::TFieldDesc> DetailTableFields();  // vrqdtl

// Converts UTF-8 text to GBK; nullopt when a character has no GBK form.
std::optional<std::string> Utf8ToGbk(const std::string& utf8);
std::string GbkToUtf8(const std::string& gbk);

struct TCompileResult {
    int items = 0;
    int details = 0;
};

// Reads sourceDir/vrqinfo.txt and sourceDir/vrqdtl.txt, checks them and writes
// outputDir/vrqinfo.DAT and outputDir/vrqdtl.DAT. Raises TSourceError for a
// malformed source and the engine's error when a table cannot be written.
TCompileResult CompileKnowledgeBase(const std::string& sourceDir, const std::string& outputDir);

}  // namespace quorvane::kb

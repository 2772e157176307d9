// `reruzo verify`: every check the engine makes of a table's files before it uses
// them, each broken rule named on its own line, and the walks of the records, the
// BLOB chains and the index trees with a cross check of the indexes against the
// records. Problems are written as they are found; memory stays bounded by what the
// files hold, whatever their headers claim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "engine/index/index_file.h"
#include "engine/storage/blob_file.h"
#include "engine/storage/data_file.h"
#include "tools/reruzo/values.h"

namespace reruzo::cli {

// Verify ends after this many problems.
inline constexpr std::size_t kMaxProblems = 1000;

// Raised by TProblems::Add when the limit is reached: the checks end there.
struct EProblemLimit {};

// Where problems go: each written as a line the moment it is found (or only counted
// when there is no stream), until the limit.
class TProblems {
public:
    TProblems(std::ostream* out, std::size_t limit) : out_(out), limit_(limit) {}
    void Add(const std::string& line);
    std::size_t Count() const { return count_; }

private:
    std::ostream* out_;
    std::size_t limit_;
    std::size_t count_ = 0;
};

// What the checks saw of the records.
struct TTableCount {
    std::int32_t live = 0;   // records in use among the slots checked
    std::int32_t slots = 0;  // the slot count of the header
};

// The index and BLOB files of the table when the caller holds them open already (a
// file held exclusively cannot be opened a second time); the checks open the others.
struct TOpenFiles {
    TIndexFile* index = nullptr;
    TBlobFile* blob = nullptr;
};

// Runs every check on a data file whose header and descriptors were read (nothing
// verified yet), and on the index and BLOB files beside it. Raises EProblemLimit when
// `problems` reaches its limit.
TTableCount CheckTable(TDataFile& data, const TTextCodec& codec, TProblems& problems, TOpenFiles files = {});

// `reruzo verify`: the problems one a line, then a closing line (with the command that
// mends the table, `repairCommand`, when there was a problem). Returns the exit
// status: 0 sound, 1 damaged.
int VerifyTable(TDataFile& data, const TTextCodec& codec, const std::string& repairCommand);

// The same for a data file whose header or descriptors could not even be read: the
// engine's message is the one problem.
int ReportUnreadable(const std::string& fileName, const std::string& message, const std::string& repairCommand);

}  // namespace reruzo::cli

// Sorting the records of a table in place: the one sort behind grouping, DISTINCT and
// ORDER BY of query results. The live records of a table are ordered by a sort key,
// optionally thinned to one record per set of equal sort values or combined into one
// output row per group, and the output replaces the table's records from slot 1 on.
//
// Sort key of a record: for each sort field in order its index key field (indicator
// byte, then the value encoded as in an index of the table: the table's language and
// sort order, the field's descending flag, the request's case-insensitive flag; BCD
// fields take 8 key bytes), then the record identifier as the 4-byte suffix of a
// non-unique index. Records with equal sort values therefore keep identifier order;
// the suffix is left out when two records are tested for equal values.
//
// Two ways to sort:
//   - in memory, when every slot of the table is in the data file's record cache: the
//     cached records are ordered directly;
//   - otherwise in runs: the cache is written out and cleared, the records are read in
//     slot order run by run (runCapacity records each), every run is ordered and
//     written to a temporary file of its own in the run directory, and the runs are
//     merged (in several passes when there are more than 128 of them). Memory stays
//     bounded by about twice the run capacity, whatever the size of the table.
// Either way the output is first complete in memory or in a temporary output file;
// only then is the table touched.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "engine/storage/data_format.h"
#include "engine/table/data_table.h"

namespace reruzo {

struct TSortField {
    TFieldDesc field;  // a copy of the table's descriptor of the field
    bool descending = false;
};

struct TSortRequest {
    std::vector<TSortField> fields;  // none: every record has the same sort values
    bool caseInsensitive = false;    // string fields compare without regard to case
    bool removeDuplicates = false;   // keep the first record of each set of equal sort values
    bool grouping = false;           // one output row per set of equal sort values (wins over removeDuplicates)
    // Grouping callbacks. accumulate(true, record, groupRow): `record` begins a group
    // and has been copied into groupRow (the group's output row) before the call.
    // accumulate(false, record, groupRow): `record` has the same sort values and is
    // added into groupRow; it is not output itself. finish(groupRow) follows a group's
    // last record; test(groupRow) returning false drops the group. Each may be empty.
    // groupRow keeps the record identifier of the group's first record; its slot state
    // and slot link bytes are set when it is written back.
    std::function<void(bool start, std::span<const std::uint8_t> record, std::span<std::uint8_t> groupRow)>
        accumulate;
    std::function<void(std::span<std::uint8_t> groupRow)> finish;
    std::function<bool(std::span<const std::uint8_t> groupRow)> test;
    // Records per run; 0 (or less) for Min(8192, 1048576 div RecordSize).
    std::int32_t runCapacity = 0;
    // Hears the percentage done while the output is produced (from 0, each percent at
    // most once, 100 just before the table is rewritten); false aborts the sort.
    std::function<bool(int percent)> progress;
};

// What a sort did, for callers and tests that want to know.
struct TSortStats {
    bool inMemory = false;         // the cached records were sorted without run files
    std::int32_t liveRecords = 0;  // records read
    std::int32_t runs = 0;         // run files written (0 in memory or for a single run)
    std::int32_t mergePasses = 0;  // passes over the runs, the final one included
};

// SortTable returns this when `progress` aborted the sort.
inline constexpr std::int32_t kSortAborted = -1;

// Sorts every live record of `table` by the sort key of `request`, produces the
// output described above and rewrites the records region with it: output record i
// goes to slot i (record identifiers stay with their records), the data file ends
// after the last one, NextRecordNo is the output count + 1, there are no deleted
// slots, and every index of the table ("Sys Deleted", the primary and the secondary
// indexes) is rebuilt over the new slots with the index file's record count set to the
// output count. Data and index file are written before the call returns. Returns the
// number of output records, or kSortAborted.
//
// The caller must hold:
//   - `table` open exclusively, for writing, with no transaction active and no record
//     of its data file pinned (no cursor in the middle of an operation);
//   - every sort field a descriptor of the table (offsets inside the record);
//   - `runDirectory` an existing, writable folder (empty: the current directory); run
//     and output files named RZS<process id>_<counter>.TMP are made there and deleted
//     when closed, also when the sort fails;
//   - grouping callbacks that leave the fields of a unique index alone (output rows
//     with a repeated unique key raise RERUZO_KEYVIOL while the table is rewritten).
//
// A failure (an error reading, a full disk for the run files, an exception from a
// callback) or an abort before the output is complete leaves the table's records and
// indexes as they were (its cache may have been written out and cleared) and no file in
// `runDirectory`; the exception goes on to the caller. A failure while the complete
// output is written back (a full disk, RERUZO_KEYVIOL) leaves the table damaged: its
// records and indexes must then be rebuilt or the table dropped.
//
// Dropped records' BLOBs (removeDuplicates, grouping) stay allocated in the BLOB file.
std::int32_t SortTable(TDataTable& table, const TSortRequest& request, const std::string& runDirectory,
                       TSortStats* stats = nullptr);

}  // namespace reruzo

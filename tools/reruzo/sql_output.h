// What `reruzo sql` shows of a statement that ran: the rows of a SELECT as JSON lines
// or as an aligned table, the row count and time, and a progress bar on the terminal
// while a statement runs long.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>
#include <vector>

#include "engine/sql/sql_statement.h"
#include "tools/reruzo/values.h"

namespace reruzo::cli {

struct TOutputSettings {
    bool json = false;   // rows as JSON lines instead of a table
    bool timer = true;   // the count line gives the execution time
};

// "N rows (T s)" ("1 row" for one; without the time when the timer is off); with
// `affected`, "N rows affected (T s)".
std::string RowCountLine(std::int32_t rows, double seconds, bool timer, bool affected = false);

// The text a value shows in a table: its JSON form, strings without their quotes,
// NULL as "NULL", control characters as JSON escapes so that a row stays one line.
std::string TableCellText(TDataCursor& cursor, std::span<const std::uint8_t> record, const TFieldDesc& field,
                          const TTextCodec& codec);

// Aligns rows under a header: two blanks between columns, a line of dashes under the
// header, numbers right-aligned (`rightAligned` per column), every width counted in
// display columns; lines carry no trailing blanks.
std::string AlignedTable(const std::vector<std::string>& header, const std::vector<bool>& rightAligned,
                         const std::vector<std::vector<std::string>>& rows);

// Prints the result of the statement that ran last. A SELECT's rows go to `out` (with
// the count line after a table); another statement's count line goes to `out`, or to
// `err` in JSON mode, which keeps `out` for rows.
void PrintResult(TQueryStatement& statement, const TTextCodec& codec, const TOutputSettings& settings,
                 std::ostream& out, std::ostream& err);

// A bar on standard error for a statement that runs longer than a second, drawn only
// when standard error is a terminal.
class TProgressBar {
public:
    TProgressBar();
    // A statement starts.
    void Start();
    // The statement's progress; always true (the statement goes on).
    bool Update(int percent);
    // Clears the bar when one was drawn.
    void Finish();

private:
    bool terminal_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace reruzo::cli

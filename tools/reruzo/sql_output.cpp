// Results of SQL statements as JSON lines or aligned tables, and the progress bar
// (see sql_output.h).
#include "tools/reruzo/sql_output.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "tools/reruzo/json.h"
#include "tools/reruzo/text_width.h"

namespace reruzo::cli {
namespace {

bool IsNumeric(const TFieldDesc& f) {
    switch (f.FieldType) {
        case kFieldSmallInt:
        case kFieldInteger:
        case kFieldFloat:
        case kFieldBCD:
        case kFieldWord:
        case kFieldLargeInt: return true;
        default: return false;
    }
}

// Control characters as JSON escapes; everything else as it is.
std::string Printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        }
    }
    return out;
}

// Pads `text` to `width` display columns, on the left when right-aligned.
std::string Padded(const std::string& text, std::size_t width, bool right) {
    const std::size_t used = DisplayWidth(text);
    const std::string blanks(width > used ? width - used : 0, ' ');
    return right ? blanks + text : text + blanks;
}

std::string TrimmedRight(std::string line) {
    line.erase(line.find_last_not_of(' ') + 1);
    return line;
}

// The first `columns` fields of the cursor are the result's columns; fields after them
// (the hidden counts of AVG) are not shown.
void PrintJsonRows(TDataCursor& cursor, std::size_t columns, const TTextCodec& codec, std::ostream& out) {
    std::vector<std::string> keys;
    for (std::size_t c = 0; c < columns; ++c) {
        const TFieldDesc& f = cursor.Fields()[c];
        std::string key;
        AppendJsonString(key, codec.ToUtf8(f.Name));
        keys.push_back(key + ":");
    }
    std::vector<std::uint8_t> record(cursor.RecordSize());
    std::string line;
    cursor.SetToBegin();
    while (cursor.GetNextRecord(record) == 0) {
        line.assign(1, '{');
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (i > 0) line += ',';
            line += keys[i];
            AppendColumnJson(line, cursor, record, cursor.Fields()[i], codec);
        }
        line += "}\n";
        out << line;
    }
}

void PrintTable(TDataCursor& cursor, std::size_t columns, const TTextCodec& codec, std::ostream& out) {
    const std::vector<TFieldDesc> fields(cursor.Fields().begin(), cursor.Fields().begin() + columns);
    std::vector<std::string> header;
    std::vector<bool> right;
    for (const TFieldDesc& f : fields) {
        header.push_back(Printable(codec.ToUtf8(f.Name)));
        right.push_back(IsNumeric(f));
    }
    std::vector<std::vector<std::string>> rows;
    std::vector<std::uint8_t> record(cursor.RecordSize());
    cursor.SetToBegin();
    while (cursor.GetNextRecord(record) == 0) {
        std::vector<std::string>& row = rows.emplace_back();
        for (const TFieldDesc& f : fields) row.push_back(TableCellText(cursor, record, f, codec));
    }
    out << AlignedTable(header, right, rows);
}

}  // namespace

std::string RowCountLine(std::int32_t rows, double seconds, bool timer, bool affected) {
    std::string line = std::to_string(rows) + (rows == 1 ? " row" : " rows") + (affected ? " affected" : "");
    if (timer) {
        char time[32];
        std::snprintf(time, sizeof time, " (%.3f s)", seconds);
        line += time;
    }
    return line;
}

std::string TableCellText(TDataCursor& cursor, std::span<const std::uint8_t> record, const TFieldDesc& field,
                          const TTextCodec& codec) {
    std::string json;
    AppendColumnJson(json, cursor, record, field, codec);
    if (json == "null") return "NULL";
    // Strings, dates, times, bytes and the words for infinities come quoted.
    if (!json.empty() && json[0] == '"') return Printable(ParseJson(json).Text());
    return json;
}

std::string AlignedTable(const std::vector<std::string>& header, const std::vector<bool>& rightAligned,
                         const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const std::string& name : header) widths.push_back(DisplayWidth(name));
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            widths[i] = std::max(widths[i], DisplayWidth(row[i]));
        }
    }
    auto line = [&](auto cell) {
        std::string text;
        for (std::size_t i = 0; i < widths.size(); ++i) {
            if (i > 0) text += "  ";
            text += cell(i);
        }
        return TrimmedRight(text) + "\n";
    };
    std::string table = line([&](std::size_t i) { return Padded(header[i], widths[i], rightAligned[i]); });
    table += line([&](std::size_t i) { return std::string(widths[i], '-'); });
    for (const auto& row : rows) {
        table += line([&](std::size_t i) { return Padded(i < row.size() ? row[i] : "", widths[i], rightAligned[i]); });
    }
    return table;
}

void PrintResult(TQueryStatement& statement, const TTextCodec& codec, const TOutputSettings& settings,
                 std::ostream& out, std::ostream& err) {
    const TStatementKind kind = statement.Kind();
    const bool changes = kind == skInsert || kind == skUpdate || kind == skDelete;
    const std::string count = RowCountLine(statement.rowCount, statement.executionTime, settings.timer, changes) + "\n";
    TDataCursor* cursor = statement.Kind() == skSelect ? statement.ResultCursor() : nullptr;
    if (!cursor) {
        (settings.json ? err : out) << count;
        if (const std::int32_t nulled = statement.MainQuery() ? statement.MainQuery()->valuesNulled : 0) {
            err << "reruzo: " << nulled
                << (nulled == 1 ? " value did not convert to the new type of its column and is NULL now\n"
                                : " values did not convert to the new type of their column and are NULL now\n");
        }
        return;
    }
    const std::size_t columns = std::min(cursor->Fields().size(), statement.MainQuery()->resultFields.size());
    if (settings.json) {
        PrintJsonRows(*cursor, columns, codec, out);
    } else {
        PrintTable(*cursor, columns, codec, out);
        out << count;
    }
    out.flush();
}

// ---- Progress -----------------------------------------------------------------------

namespace {
constexpr int kBarWidth = 40;
}

TProgressBar::TProgressBar() : terminal_(::isatty(STDERR_FILENO) == 1) {}

void TProgressBar::Start() {
    start_ = std::chrono::steady_clock::now();
    drawn_ = false;
}

bool TProgressBar::Update(int percent) {
    if (!terminal_ || std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1)) return true;
    percent = std::clamp(percent, 0, 100);
    const int filled = percent * kBarWidth / 100;
    std::cerr << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
              << std::string(static_cast<std::size_t>(kBarWidth - filled), '.') << "] " << percent << "%" << std::flush;
    drawn_ = true;
    return true;
}

void TProgressBar::Finish() {
    if (!drawn_) return;
    std::cerr << "\r" << std::string(kBarWidth + 8, ' ') << "\r" << std::flush;
    drawn_ = false;
}

}  // namespace reruzo::cli

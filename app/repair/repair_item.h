// A repair item without the windows: applies the registry rows of one item of the
// knowledge base and takes them back, asking its questions through an interface so
// that the window asks in message boxes and a command line on the terminal.
//
// The item's rows are the vrqdtl rows the dataset shows (the window's DT_dtl,
// restricted to one keyid). Each row names a root key ("root", "currusr", "machine",
// "usr", "config", "data"; any other text keeps the root key of the row before, the
// first row starting on HKEY_CURRENT_USER), a key path, a value name, a key type
// ("str", "expand", "dword", "bin", "delkey", "delval") and the text to write (info); oldinfo
// holds the value found before the first application.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/reruzo_dataset.h"
#include "platform/registry/registry.h"

namespace quorvane::repair {

// The questions an application or a restoration asks, in UTF-8.
inline constexpr const char kApplyQuestion[] = "您将要更新选定的内容!是否继续?";
inline constexpr const char kRestoreQuestion[] = "您将要还原选定的内容!是否继续?";
inline constexpr const char kRestartQuestion[] = "系统更新成功,必须重新启动电脑才能生效!是否继续?";

// Whoever answers the questions: message boxes in the window, the terminal on the
// command line.
class TRepairQuestions {
public:
    virtual ~TRepairQuestions() = default;
    // Asks `question` (UTF-8); true to go on.
    virtual bool Confirm(const std::string& question) = 0;
};

// Opens the registry store the rows are written to.
using TRegistryStoreFactory = std::function<std::unique_ptr<registry::TRegistryStore>()>;
// The store the program uses: the one the environment selects. Tests replace it.
extern TRegistryStoreFactory OpenRegistryStore;

// Applies and restores the rows of one item.
class TRepairItem {
public:
    // `rows` and `questions` must outlive the item; `openStore` is called once for
    // each application or restoration that is not declined.
    TRepairItem(reruzo::TRERUZODataSet& rows, TRepairQuestions& questions,
                TRegistryStoreFactory openStore = OpenRegistryStore);

    // Asks kApplyQuestion, then applies the rows from the first: a row whose value
    // exists and whose oldinfo is null captures the value into oldinfo first (the
    // value's name for "delkey" and "delval"; nothing for an unknown key type), the
    // row being stored when the dataset moves on; then the row's change is written,
    // its text being `value` when that is not empty, else the row's info. Asks
    // kRestartQuestion after the last row, and requests the restart on yes.
    void Apply(const std::string& value);
    // Asks kRestoreQuestion, then writes every "str", "expand", "dword" and "bin" row's oldinfo
    // back, and offers the restart as Apply does. Deleted keys and values stay deleted.
    void Restore();

    // While a row is being applied or restored: its number, from 1, the rows dataset
    // standing on it (so that an error escaping Apply or Restore can name the row);
    // 0 before the first row and after the last.
    int CurrentRow() const { return row_; }

private:
    // Asks `question`, then runs `row` on each row from the first, with the row's root
    // key selected and its key path opened (created when missing); flushes the
    // registry and offers the restart when every row went through.
    void RunRows(const std::string& question,
                 const std::function<void(registry::TRegistry& registry, const std::string& keytype,
                                          const std::string& keyname)>& row);

    reruzo::TRERUZODataSet& rows_;
    TRepairQuestions& questions_;
    TRegistryStoreFactory openStore_;
    int row_ = 0;
};

// The file a value-change item of kind "file" writes for `text` (GBK): the text
// itself when it names an existing file, else its first word, or the first quoted
// part when it starts with a quote (a command line with arguments).
std::string FileOfCommandLine(const std::string& text);

// The bytes a hexadecimal text stands for, two digits a byte (an odd length rounds
// half to even; a lone last digit is a byte of its own). A pair that is not
// hexadecimal fails with "'$..' is not a valid integer value".
std::vector<std::uint8_t> DecodeBinaryText(const std::string& text);
// Bytes as upper-case hexadecimal text.
std::string EncodeBinaryText(const std::vector<std::uint8_t>& bytes);
// A text as a 32-bit integer (decimal, or hexadecimal after "$", "x" or "0x", kept
// as its bit pattern); anything else fails with "'%s' is not a valid integer value".
std::int32_t IntegerText(const std::string& text);

}  // namespace quorvane::repair

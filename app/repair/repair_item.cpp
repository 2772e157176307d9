// Applying and restoring a repair item's registry rows, and the texts of the values
// the rows hold.
#include "app/repair/repair_item.h"

#include <filesystem>
#include <utility>

#include "app/repair/entries.h"
#include "platform/codepage.h"

#include "components/component_text.h"
#include "engine/errors/engine_errors.h"
#include "engine/storage/value_text.h"

namespace quorvane::repair {

namespace reg = quorvane::registry;

namespace {

// The root key a row names; any other text keeps the one in force.
std::uint32_t RootKeyOf(const std::string& name, std::uint32_t current) {
    const std::uint32_t root = RootKeyOfRow(name);
    return root != 0 ? root : current;
}

// Writes a "str", "expand", "dword" or "bin" row's text as its value; other key
// types write nothing.
void WriteRowValue(reg::TRegistry& registry, const std::string& keytype, const std::string& keyname,
                   const std::string& text) {
    if (keytype == "str") {
        registry.WriteString(keyname, text);
    } else if (keytype == "expand") {
        registry.WriteExpandString(keyname, text);
    } else if (keytype == "dword") {
        registry.WriteInteger(keyname, IntegerText(text));
    } else if (keytype == "bin") {
        registry.WriteBinaryData(keyname, DecodeBinaryText(text));
    }
}

}  // namespace

TRegistryStoreFactory OpenRegistryStore = [] { return reg::OpenDefaultStore(); };

std::int32_t IntegerText(const std::string& text) {
    const auto v = reruzo::ParseInt32(text);
    if (!v) throw reruzo::EDatabaseError(reruzo::FormatText("'%s' is not a valid integer value", text));
    return *v;
}

std::string FileOfCommandLine(const std::string& text) {
    std::error_code ec;
    if (!text.empty() && std::filesystem::is_regular_file(codepage::ToUtf8(text), ec)) return text;
    std::size_t i = text.find_first_not_of(' ');
    if (i == std::string::npos) return {};
    if (text[i] == '"') {
        const std::size_t end = text.find('"', i + 1);
        return text.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
    }
    const std::size_t end = text.find(' ', i);
    return text.substr(i, end == std::string::npos ? std::string::npos : end - i);
}

std::vector<std::uint8_t> DecodeBinaryText(const std::string& text) {
    // Two digits a byte; a length that is odd rounds half to even, and a lone last
    // digit is a byte of its own.
    const std::size_t half = text.size() / 2;
    const std::size_t count = text.size() % 2 == 1 && half % 2 == 1 ? half + 1 : half;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string pair = "$" + text.substr(2 * i, 2);
        bytes.push_back(static_cast<std::uint8_t>(IntegerText(pair)));
    }
    return bytes;
}

std::string EncodeBinaryText(const std::vector<std::uint8_t>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

TRepairItem::TRepairItem(reruzo::TRERUZODataSet& rows, TRepairQuestions& questions, TRegistryStoreFactory openStore)
    : rows_(rows), questions_(questions), openStore_(std::move(openStore)) {}

void TRepairItem::RunRows(const std::string& question,
                          const std::function<void(reg::TRegistry& registry, const std::string& keytype,
                                                   const std::string& keyname)>& row) {
    if (!questions_.Confirm(question)) return;
    reg::TRegistry registry(openStore_());
    std::uint32_t root = reg::HKEY_CURRENT_USER;
    row_ = 0;
    for (rows_.First(); !rows_.Eof(); rows_.Next()) {
        ++row_;
        root = RootKeyOf(rows_.FieldByName("rootkey").AsString(), root);
        registry.SetRootKey(root);
        registry.OpenKey(rows_.FieldByName("path").AsString(), true);
        row(registry, rows_.FieldByName("keytype").AsString(), rows_.FieldByName("keyname").AsString());
        registry.CloseKey();
    }
    row_ = 0;
    registry.Flush();
    if (questions_.Confirm(kRestartQuestion)) registry.RequestRestart();
}

void TRepairItem::Apply(const std::string& value) {
    RunRows(kApplyQuestion, [&](reg::TRegistry& registry, const std::string& keytype, const std::string& keyname) {
        const std::string text = !value.empty() ? value : rows_.FieldByName("info").AsString();
        // The value found before the first application is kept; a captured oldinfo
        // is never overwritten. The row is stored when the dataset moves on.
        if (registry.ValueExists(keyname) && rows_.FieldByName("oldinfo").IsNull()) {
            rows_.Edit();
            std::string old;
            if (keytype == "delkey" || keytype == "delval") {
                old = keyname;
            } else if (keytype == "str" || keytype == "expand") {
                old = registry.ReadString(keyname);
            } else if (keytype == "dword") {
                old = std::to_string(registry.ReadInteger(keyname));
            } else if (keytype == "bin") {
                old = EncodeBinaryText(registry.ReadBinaryData(keyname));
            }
            if (!old.empty()) rows_.FieldByName("oldinfo").SetAsString(old);
            rows_.UpdateRecord();
        }
        if (keytype == "delkey") {
            registry.DeleteKey(keyname);
        } else if (keytype == "delval") {
            registry.DeleteValue(keyname);
        } else {
            WriteRowValue(registry, keytype, keyname, text);
        }
    });
}

void TRepairItem::Restore() {
    RunRows(kRestoreQuestion, [&](reg::TRegistry& registry, const std::string& keytype, const std::string& keyname) {
        WriteRowValue(registry, keytype, keyname, rows_.FieldByName("oldinfo").AsString());
    });
}

}  // namespace quorvane::repair

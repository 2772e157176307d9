// Tests of the repair item on a detail table and a test Wine prefix: what applying
// and restoring write, what they capture, and when they ask and restart.
#include "app/repair/repair_item.h"

#include <gtest/gtest.h>

#include <optional>

#include "engine/errors/engine_errors.h"
#include "platform/registry/registry_test_prefix.h"
#include "platform/registry/registry_text.h"
#include "tests/support/table_builder.h"
#include "tests/support/temp_dir.h"

namespace quorvane::repair {
namespace {

namespace reg = quorvane::registry;
using quorvane::testing::TTempDir;

const std::string kApply = "ask: 您将要更新选定的内容!是否继续?";
const std::string kRestore = "ask: 您将要还原选定的内容!是否继续?";
const std::string kRestart = "ask: 系统更新成功,必须重新启动电脑才能生效!是否继续?";

// Answers the questions in turn (yes when no answer is left) and notes them.
class TScriptedQuestions : public TRepairQuestions {
public:
    explicit TScriptedQuestions(std::vector<std::string>& events) : events_(events) {}
    bool Confirm(const std::string& question) override {
        events_.push_back("ask: " + question);
        if (answers.empty()) return true;
        const bool answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    }
    std::vector<bool> answers;

private:
    std::vector<std::string>& events_;
};

// A store that notes its flushes, restart requests and closing before passing them
// on. The registry flushes its store once more when it goes away.
class TRecordingStore : public reg::TRegistryStore {
public:
    TRecordingStore(std::unique_ptr<reg::TRegistryStore> store, std::vector<std::string>& events)
        : store_(std::move(store)), events_(events) {}
    ~TRecordingStore() override { events_.push_back("close"); }
    std::unique_ptr<reg::TStoreKey> OpenKey(std::uint32_t root, const std::vector<std::u16string>& path,
                                            bool create) override {
        return store_->OpenKey(root, path, create);
    }
    void Flush() override {
        events_.push_back("flush");
        store_->Flush();
    }
    void RequestRestart() override {
        events_.push_back("restart");
        store_->RequestRestart();
    }
    std::string Description() const override { return store_->Description(); }

private:
    std::unique_ptr<reg::TRegistryStore> store_;
    std::vector<std::string>& events_;
};

class RepairItemTest : public ::testing::Test {
protected:
    void SetUp() override {
        // An empty detail table with the fields of vrqdtl.
        using reruzo::MakeFieldDesc;
        reruzo::TTableBuilder(tables.Dir(), "vrqdtl",
                              {MakeFieldDesc("oldinfo", reruzo::kFieldString, 200),
                               MakeFieldDesc("id", reruzo::kFieldInteger, 0, reruzo::kSubAutoInc),
                               MakeFieldDesc("keyid", reruzo::kFieldInteger),
                               MakeFieldDesc("path", reruzo::kFieldString, 200),
                               MakeFieldDesc("keyname", reruzo::kFieldString, 50),
                               MakeFieldDesc("keytype", reruzo::kFieldString, 10),
                               MakeFieldDesc("info", reruzo::kFieldString, 200),
                               MakeFieldDesc("rootkey", reruzo::kFieldString, 10),
                               MakeFieldDesc("bk1", reruzo::kFieldString, 20),
                               MakeFieldDesc("bk2", reruzo::kFieldString, 20)})
            .Finish();
        rows.SetDatabaseName(tables.Dir());
        rows.SetTableName("vrqdtl");
        rows.Open();

        auto r = prefix.Registry();
        r.OpenKey("Software\\Repair Test", true);
        r.WriteString("Title", "Old title");
        r.WriteInteger("Count", 7);
        r.WriteBinaryData("Blob", {0xFF});
        r.WriteString("Gone", "bye");
        r.OpenKey("Software\\Repair Test\\Sub", true);
        r.WriteString("X", "y");
        r.SetRootKey(reg::HKEY_LOCAL_MACHINE);
        r.OpenKey("Software\\Repair Test", true);
        r.WriteBinaryData("Blob", {0xEE});
    }

    // Appends rows of item `keyid` (rootkey, path, keyname, keytype, info each) and
    // restricts the table to that item's rows, as the window does.
    void AddItem(std::int32_t keyid, const std::vector<std::vector<std::string>>& items) {
        static const char* kColumns[] = {"rootkey", "path", "keyname", "keytype", "info"};
        rows.SetFiltered(false);
        for (const auto& row : items) {
            rows.Append();
            rows.FieldByName("keyid").SetAsInteger(keyid);
            for (std::size_t i = 0; i < row.size(); ++i) rows.FieldByName(kColumns[i]).SetAsString(row[i]);
            rows.Post();
        }
        ShowItem(keyid);
    }
    void ShowItem(std::int32_t keyid) {
        rows.SetFiltered(false);
        rows.SetFilter("keyid=" + std::to_string(keyid));
        rows.SetFiltered(true);
    }

    // The oldinfo of each row the table shows; nullopt for NULL.
    std::vector<std::optional<std::string>> OldInfo() {
        std::vector<std::optional<std::string>> out;
        for (rows.First(); !rows.Eof(); rows.Next()) {
            const reruzo::TField& field = rows.FieldByName("oldinfo");
            out.push_back(field.IsNull() ? std::nullopt : std::optional<std::string>(field.AsString()));
        }
        return out;
    }

    TRepairItem Item() {
        return TRepairItem(rows, questions, [this] {
            events.push_back("open");
            return std::make_unique<TRecordingStore>(prefix.Store(), events);
        });
    }

    TTempDir tables;
    reruzo::TRERUZOTable rows;
    reg::samples::TPrefix prefix;
    std::vector<std::string> events;
    TScriptedQuestions questions{events};
};

TEST_F(RepairItemTest, ApplyWritesEveryKeyTypeAndCapturesTheValuesFoundBefore) {
    AddItem(2, {{"currusr", "Software\\Repair Test", "Other", "str", "Other item"}});
    AddItem(1, {{"currusr", "Software\\Repair Test", "Title", "str", "New title"},
                {"currusr", "Software\\Repair Test", "Count", "dword", "$FFFFFFFF"},
                {"machine", "Software\\Repair Test", "Blob", "bin", "0A1F"},
                {"misspelt", "Software\\Repair Test\\Odd", "Fresh", "bin", "ABC"},
                {"currusr", "Software\\Repair Test", "Gone", "delval", ""},
                {"currusr", "Software\\Repair Test", "Sub", "delkey", ""}});
    questions.answers = {true, false};
    Item().Apply("");
    EXPECT_EQ(events, (std::vector<std::string>{kApply, "open", "flush", kRestart, "flush", "close"}));

    auto r = prefix.Registry();
    ASSERT_TRUE(r.OpenKey("Software\\Repair Test", false));
    EXPECT_EQ(r.ReadString("Title"), "New title");
    EXPECT_EQ(r.ReadInteger("Count"), -1);
    EXPECT_FALSE(r.ValueExists("Gone"));
    EXPECT_FALSE(r.ValueExists("Other"));  // another item's row
    EXPECT_FALSE(r.OpenKey("Software\\Repair Test\\Sub", false));
    r.SetRootKey(reg::HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(r.OpenKey("Software\\Repair Test", false));
    EXPECT_EQ(r.ReadBinaryData("Blob"), (std::vector<std::uint8_t>{0x0A, 0x1F}));
    // The unknown root word keeps the machine's root key of the row before.
    ASSERT_TRUE(r.OpenKey("Software\\Repair Test\\Odd", false));
    EXPECT_EQ(r.ReadBinaryData("Fresh"), (std::vector<std::uint8_t>{0xAB, 0x0C}));

    // A deleted key is no value of its own: nothing is captured for it.
    EXPECT_EQ(OldInfo(), (std::vector<std::optional<std::string>>{"Old title", "7", "EE", std::nullopt, "Gone",
                                                                  std::nullopt}));
}

TEST_F(RepairItemTest, ExpandableStringsAreWrittenCapturedAndRestoredWithTheirType) {
    {
        auto r = prefix.Registry();
        r.OpenKey("Software\\Repair Test", true);
        ASSERT_TRUE(r.Store().OpenKey(reg::HKEY_CURRENT_USER, {u"Software", u"Repair Test"}, false)->SetValue(
            u"Personal", {reg::REG_EXPAND_SZ, reg::text::ToBytes(u"%USERPROFILE%\\Old", true)}));
    }
    AddItem(1, {{"currusr", "Software\\Repair Test", "Personal", "expand", "%USERPROFILE%\\Documents"},
                {"currusr", "Software\\Repair Test", "Fresh", "expand", "%SystemRoot%"}});
    questions.answers = {true, false};
    Item().Apply("");
    const auto value = [&](const char16_t* name) {
        auto r = prefix.Registry();
        return r.Store().OpenKey(reg::HKEY_CURRENT_USER, {u"Software", u"Repair Test"}, false)->QueryValue(name);
    };
    EXPECT_EQ(value(u"Personal"),
              (reg::TValue{reg::REG_EXPAND_SZ, reg::text::ToBytes(u"%USERPROFILE%\\Documents", true)}));
    EXPECT_EQ(value(u"Fresh"), (reg::TValue{reg::REG_EXPAND_SZ, reg::text::ToBytes(u"%SystemRoot%", true)}));
    EXPECT_EQ(OldInfo(), (std::vector<std::optional<std::string>>{"%USERPROFILE%\\Old", std::nullopt}));
    questions.answers = {true, false};
    Item().Restore();
    EXPECT_EQ(value(u"Personal"),
              (reg::TValue{reg::REG_EXPAND_SZ, reg::text::ToBytes(u"%USERPROFILE%\\Old", true)}));
}

TEST_F(RepairItemTest, ASecondApplyKeepsTheFirstCapturedValuesAndRestoreWritesThemBack) {
    AddItem(1, {{"currusr", "Software\\Repair Test", "Title", "str", "New title"},
                {"currusr", "Software\\Repair Test", "Count", "dword", "12"},
                {"currusr", "Software\\Repair Test", "Blob", "bin", "0A"}});
    questions.answers = {true, false, true, false};
    Item().Apply("");
    Item().Apply("99");  // the given value replaces every row's info
    {
        auto r = prefix.Registry();
        r.OpenKey("Software\\Repair Test", false);
        EXPECT_EQ(r.ReadString("Title"), "99");
        EXPECT_EQ(r.ReadInteger("Count"), 99);
        EXPECT_EQ(r.ReadBinaryData("Blob"), std::vector<std::uint8_t>{0x99});
    }
    EXPECT_EQ(OldInfo(), (std::vector<std::optional<std::string>>{"Old title", "7", "FF"}));

    events.clear();
    questions.answers = {true, false};
    Item().Restore();
    EXPECT_EQ(events, (std::vector<std::string>{kRestore, "open", "flush", kRestart, "flush", "close"}));
    auto r = prefix.Registry();
    r.OpenKey("Software\\Repair Test", false);
    EXPECT_EQ(r.ReadString("Title"), "Old title");
    EXPECT_EQ(r.ReadInteger("Count"), 7);
    EXPECT_EQ(r.ReadBinaryData("Blob"), std::vector<std::uint8_t>{0xFF});
}

TEST_F(RepairItemTest, DecliningChangesNeitherTheRegistryNorTheTable) {
    AddItem(1, {{"currusr", "Software\\Repair Test", "Title", "str", "New title"},
                {"currusr", "Software\\Repair Test", "Gone", "delval", ""}});
    const std::string before = prefix.ReadFile("user.reg");
    questions.answers = {false, false};
    Item().Apply("");
    Item().Restore();
    EXPECT_EQ(events, (std::vector<std::string>{kApply, kRestore}));  // the store is never opened
    EXPECT_EQ(prefix.ReadFile("user.reg"), before);
    EXPECT_EQ(OldInfo(), (std::vector<std::optional<std::string>>{std::nullopt, std::nullopt}));
}

TEST_F(RepairItemTest, TheRestartIsRequestedOnlyOnYesAfterTheFlush) {
    AddItem(1, {{"currusr", "Software\\Repair Test", "Title", "str", "New title"}});
    questions.answers = {true, false};
    Item().Apply("");
    EXPECT_EQ(events, (std::vector<std::string>{kApply, "open", "flush", kRestart, "flush", "close"}));
    EXPECT_TRUE(prefix.commands.empty());

    events.clear();
    Item().Restore();  // yes to both
    EXPECT_EQ(events,
              (std::vector<std::string>{kRestore, "open", "flush", kRestart, "restart", "flush", "close"}));
    ASSERT_EQ(prefix.commands.size(), 1u);
    EXPECT_EQ(prefix.commands[0].argv, (std::vector<std::string>{"wineboot", "--restart"}));
}

TEST_F(RepairItemTest, ABadDwordTextStopsAtItsRowWithoutTheRestartQuestion) {
    AddItem(1, {{"currusr", "Software\\Repair Test", "Title", "str", "New title"},
                {"currusr", "Software\\Repair Test", "Count", "dword", "12x"},
                {"currusr", "Software\\Repair Test", "Later", "str", "x"}});
    try {
        Item().Apply("");
        ADD_FAILURE() << "the DWORD text was accepted";
    } catch (const reruzo::EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "'12x' is not a valid integer value");
    }
    // The flush is the registry's as it goes away; the restart question is not asked.
    EXPECT_EQ(events, (std::vector<std::string>{kApply, "open", "flush", "close"}));
    auto r = prefix.Registry();
    r.OpenKey("Software\\Repair Test", false);
    EXPECT_EQ(r.ReadString("Title"), "New title");
    EXPECT_EQ(r.ReadInteger("Count"), 7);
    EXPECT_FALSE(r.ValueExists("Later"));
}

}  // namespace
}  // namespace quorvane::repair

// Tests of the session and database components: names and their messages, automatic
// session names, settings reaching the engine, temporary and shared databases, the
// in-memory database, and password requests.
#include "components/reruzo_session.h"

#include <gtest/gtest.h>

#include "components/reruzo_dataset.h"
#include "tests/support/table_builder.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::TTempDir;

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

void MakeTable(const TTempDir& dir, const char* name) {
    TTableBuilder b(dir.Dir(), name, {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("n", kFieldInteger)});
    auto r = b.BlankRecord();
    b.Append(r);
    b.Finish();
}

TEST(SessionComponent, NamesAndTheirMessages) {
    TRERUZOSession s("Work");
    EXPECT_EQ(&TRERUZOSession::Find("work"), &s);
    EXPECT_EQ(&TRERUZOSession::Find(""), &TRERUZOSession::Default());
    EXPECT_EQ(&TRERUZOSession::Find("DEFAULT"), &TRERUZOSession::Default());
    EXPECT_EQ(MessageOf([] { TRERUZOSession::Find("nobody"); }), "Session name nobody is not valid.");
    TRERUZOSession t("Other");
    EXPECT_EQ(MessageOf([&] { t.SetSessionName("WORK"); }), "Session name WORK already exists.");
    s.SetActive(true);
    EXPECT_TRUE(TRERUZOSession::Default().Active());  // the default session comes first
    EXPECT_EQ(MessageOf([&] { s.SetSessionName("x"); }), "Cannot perform this operation on an active session.");
    EXPECT_EQ(MessageOf([&] { s.SetRemotePort(1); }), "Cannot perform this operation on an active session.");
    s.SetActive(false);
    TRERUZOSession unnamed;
    EXPECT_EQ(MessageOf([&] { unnamed.SetActive(true); }), "Session name is missing.");
    EXPECT_EQ(s.EngineVersion(), "3.01");
    EXPECT_EQ(s.RemotePort(), 12001);
    EXPECT_EQ(s.RemoteAddress(), "127.0.0.1");
    EXPECT_TRUE(s.KeepConnections());
}

TEST(SessionComponent, AutomaticNamesFollowTheOwner) {
    TRERUZOSession a("", "Form_main");
    a.SetAutoSessionName(true);
    EXPECT_EQ(a.SessionName(), "Form_main_1");
    EXPECT_EQ(MessageOf([&] { a.SetSessionName("x"); }), "Cannot perform this operation on the active auto-session.");
    TRERUZOSession b("", "Form_main");
    EXPECT_EQ(MessageOf([&] { b.SetAutoSessionName(true); }), "This auto-session already exists.");
    TRERUZOSession c("", "Form_two");
    c.SetAutoSessionName(true);
    EXPECT_EQ(c.SessionName(), "Form_two_2");
    a.SetAutoSessionName(false);
    TRERUZOSession d("", "Form_three");
    d.SetAutoSessionName(true);
    EXPECT_EQ(d.SessionName(), "Form_three_1");  // the lowest free number
    c.SetActive(true);
    EXPECT_EQ(MessageOf([&] { d.SetActive(true); }), "The active auto-session can be the only active session.");
    c.SetActive(false);
}

TEST(SessionComponent, SettingsReachTheEngineAtOnce) {
    TRERUZOSession s("Tuned");
    s.SetLockRetryCount(3);
    s.SetActive(true);
    ASSERT_NE(s.Engine(), nullptr);
    EXPECT_NE(s.Engine(), &TDataSession::Default());  // a session of its own
    EXPECT_EQ(s.Engine()->LockRetryCount(), 3);
    s.SetLockWaitTime(7);
    s.SetStrictChangeDetection(true);
    s.SetForceBufferFlush(true);
    s.SetPrivateDir("/tmp/q");
    EXPECT_EQ(s.Engine()->LockWaitTime(), 7);
    EXPECT_TRUE(s.Engine()->StrictChangeDetection());
    EXPECT_TRUE(s.Engine()->ForceBufferFlush());
    EXPECT_EQ(s.Engine()->GetPrivateDir(), "/tmp/q/");
    s.AddPassword("pw");
    EXPECT_TRUE(s.Engine()->HasPassword("pw"));
    s.RemoveAllPasswords();
    EXPECT_FALSE(s.Engine()->HasPassword("pw"));
    s.SetActive(false);
    TRERUZOSession remote("Remote");
    remote.SetSessionType(TSessionType::stRemote);
    remote.SetRemoteHost("server");
    EXPECT_EQ(MessageOf([&] { remote.SetActive(true); }),
              "RERUZO Engine Error # 11280 A connection to the database server at 'server' cannot be established");
}

TEST(SessionComponent, PasswordRequestsAskTheEventFirst) {
    TRERUZOSession s("Passwords");
    EXPECT_FALSE(s.PasswordRequest());  // no event and no dialog: give up
    int asked = 0;
    s.OnPassword = [&](TRERUZOSession& session, bool& again) {
        EXPECT_FALSE(again);  // the flag starts false
        ++asked;
        session.AddPassword("secret");
        again = true;
    };
    EXPECT_TRUE(s.PasswordRequest());
    EXPECT_EQ(asked, 1);
    s.OnPassword = nullptr;
    SetPasswordDialog([](TRERUZOSession&) { return true; });
    EXPECT_TRUE(s.PasswordRequest());
    SetPasswordDialog(nullptr);
}

TEST(DatabaseComponent, NamesDirectoriesAndSharedHandles) {
    TTempDir dir;
    MakeTable(dir, "items");
    TRERUZODatabase a("Form_a"), b("Form_b");
    a.SetDatabaseName("kb");
    a.SetDirectory(dir.Dir());
    a.SetHandleShared(true);
    EXPECT_EQ(MessageOf([&] { b.SetDatabaseName("KB"); }), "Database name KB already exists.");
    b.SetHandleShared(true);
    b.SetDatabaseName("KB");  // both share handles: allowed
    a.Open();
    b.Open();
    EXPECT_EQ(a.DirectoryObject(), b.DirectoryObject());  // borrowed
    EXPECT_EQ(a.DirectoryObject()->ReferenceCount(), 1);
    b.Close();
    EXPECT_TRUE(a.Connected());
    a.Close();
    TRERUZODatabase c;
    EXPECT_EQ(MessageOf([&] { c.SetDatabaseName("/tmp/x"); }), "Database name /tmp/x is not valid.");
    EXPECT_EQ(MessageOf([&] { c.SetDatabaseName("_ok"); }), "");
}

TEST(DatabaseComponent, TemporaryDatabasesComeAndGoWithTheirDatasets) {
    TTempDir dir;
    MakeTable(dir, "items");
    TRERUZOSession& session = TRERUZOSession::Default();
    session.SetKeepConnections(false);
    {
        TRERUZOTable t;
        t.SetDatabaseName(dir.Dir());
        t.SetTableName("items");
        t.Open();
        TRERUZODatabase* db = t.Database();
        ASSERT_NE(db, nullptr);
        EXPECT_TRUE(db->Temporary());
        EXPECT_EQ(session.FindDatabase(dir.Dir()), db);
        t.Close();
        EXPECT_EQ(session.FindDatabase(dir.Dir()), nullptr);  // freed with its last user
    }
    session.SetKeepConnections(true);
}

TEST(DatabaseComponent, TheMemoryDatabaseHoldsInMemoryTables) {
    TRERUZODatabase db;
    db.SetDatabaseName("Memory");
    db.Open();
    ASSERT_NE(db.DirectoryObject(), nullptr);
    EXPECT_TRUE(db.DirectoryObject()->IsMemory());
    TTableStructure s;
    s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc)};
    TDataTable* t = nullptr;
    ASSERT_EQ(db.DirectoryObject()->CreateTable("scratch", s, t), 0);
    db.DirectoryObject()->CloseTable(t, false);
    TRERUZOTable table;
    table.SetInMemory(true);
    EXPECT_EQ(table.DatabaseName(), "Memory");
    table.SetTableName("scratch");
    table.Open();
    EXPECT_EQ(table.FieldDefs().size(), 1u);
    table.Close();
    db.Close();
}

}  // namespace
}  // namespace reruzo

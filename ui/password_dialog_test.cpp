// Tests of the password dialog's buttons and what they do to the session.
#include "ui/password_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>

#include "components/reruzo_session.h"

namespace quorvane::ui {
namespace {

TEST(PasswordDialog, ButtonsFollowTheTextAndChangeTheSession) {
    reruzo::TRERUZOSession session("Dialog");
    TRERUZOPasswordDialog dialog(session);
    EXPECT_EQ(dialog.windowTitle(), "Enter password");
    EXPECT_EQ(dialog.Edit()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog.RemoveAllButton()->text(), "Re&move all");
    EXPECT_FALSE(dialog.AddButton()->isEnabled());
    EXPECT_FALSE(dialog.RemoveButton()->isEnabled());
    EXPECT_FALSE(dialog.OkButton()->isEnabled());
    EXPECT_TRUE(dialog.RemoveAllButton()->isEnabled());

    dialog.Edit()->setText("first");
    EXPECT_TRUE(dialog.AddButton()->isEnabled());
    EXPECT_TRUE(dialog.OkButton()->isEnabled());
    dialog.AddButton()->click();
    EXPECT_TRUE(dialog.Edit()->text().isEmpty());
    EXPECT_FALSE(dialog.AddButton()->isEnabled());
    EXPECT_TRUE(dialog.OkButton()->isEnabled());  // a password was added

    dialog.Edit()->setText("second");
    dialog.AddButton()->click();
    dialog.Edit()->setText("first");
    dialog.RemoveButton()->click();
    session.SetActive(true);
    EXPECT_FALSE(session.Engine()->HasPassword("first"));
    EXPECT_TRUE(session.Engine()->HasPassword("second"));
    dialog.RemoveAllButton()->click();
    EXPECT_FALSE(session.Engine()->HasPassword("second"));

    dialog.Edit()->setText("last");
    dialog.OkButton()->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(session.Engine()->HasPassword("last"));
    session.SetActive(false);
}

TEST(PasswordDialog, CancelReportsFailure) {
    reruzo::TRERUZOSession session("Cancelled");
    TRERUZOPasswordDialog dialog(session);
    dialog.Edit()->setText("typed");
    dialog.CancelButton()->click();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
}

}  // namespace
}  // namespace quorvane::ui

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

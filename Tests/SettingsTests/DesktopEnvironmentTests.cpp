#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "SettingsSupport.hpp"

namespace talkweft::testing {
namespace {

// Clicks the button titled `title` of the message box once it is up.
void answerWhenShown(const QString& title, QString* shownText) {
    QTimer::singleShot(0, [title, shownText] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        *shownText = box->text() + "|" + box->informativeText();
        for (QAbstractButton* button : box->buttons())
            if (button->text() == title) button->click();
    });
}

TEST(DesktopConfirmation, AsksWithAMessageBoxWhoseDestructiveButtonConfirms) {
    ensureQApplication();
    SettingsEnvironment env = makeDesktopEnvironment(nullptr);
    const Confirmation question{"Allow connectors to make changes?", "Really?", "Allow"};
    QString shown;
    answerWhenShown("Allow", &shown);
    EXPECT_TRUE(env.confirm(question));
    EXPECT_EQ(shown.toStdString(), "Allow connectors to make changes?|Really?");
    answerWhenShown("Cancel", &shown);
    EXPECT_FALSE(env.confirm(question));
}

}  // namespace
}  // namespace talkweft::testing

#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include "SettingsSupport.hpp"

namespace talkweft::testing {
namespace {

using AppsTab = SettingsViewTest;

// The rows of one list: (shown name, shown id) in order.
std::vector<std::pair<std::string, std::string>> appRows(QWidget* list) {
    std::vector<std::pair<std::string, std::string>> rows;
    for (QWidget* row : list->findChildren<QWidget*>()) {
        if (!row->property("bundleID").isValid()) continue;
        rows.emplace_back(row->findChild<QLabel*>("name")->text().toStdString(),
                          row->findChild<QLabel*>("id")->text().toStdString());
    }
    return rows;
}

QToolButton* removeButton(QWidget* list, const std::string& id) {
    for (QWidget* row : list->findChildren<QWidget*>())
        if (row->property("bundleID").toString().toStdString() == id) return row->findChild<QToolButton*>("remove");
    return nullptr;
}

TEST_F(AppsTab, AddingAppendsOnceAndCancellingChangesNothing) {
    store.update([](Settings& s) { s.noHistoryApps = {"org.example.Editor"}; });
    makeView();
    auto* list = find<QWidget>("noHistoryApps");
    ASSERT_TRUE(list);
    auto* add = find<QPushButton>("addApp", list);
    ASSERT_TRUE(add);
    const int saves = desktop.defaults().writeCount();
    picked.reset();  // cancelled
    add->click();
    picked = "org.example.Editor";  // already there
    add->click();
    EXPECT_EQ(desktop.defaults().writeCount(), saves);

    picked = "org.example.Mail";
    add->click();
    EXPECT_EQ(saved().noHistoryApps, (std::vector<std::string>{"org.example.Editor", "org.example.Mail"}));
    EXPECT_EQ(appRows(list), (std::vector<std::pair<std::string, std::string>>{
                                 {"Editor", "org.example.Editor"}, {"org.example.Mail", "org.example.Mail"}}))
        << "an app that is not installed shows its id in both texts";
    EXPECT_EQ(saved().disabledApps, DEFAULT_DISABLED_APPS()) << "each list is edited on its own";

    // The same app may stand in both lists.
    add = find<QPushButton>("addApp", find<QWidget>("disabledApps"));
    add->click();
    EXPECT_EQ(saved().disabledApps.back(), "org.example.Mail");
}

TEST_F(AppsTab, RemovingTakesEveryCopyAndKeepsTheOrder) {
    store.update([](Settings& s) { s.disabledApps = {"a.one", "b.two", "a.one", "c.three"}; });
    makeView();
    auto* list = find<QWidget>("disabledApps");
    ASSERT_TRUE(list);
    QToolButton* remove = removeButton(list, "a.one");
    ASSERT_TRUE(remove);
    remove->click();
    EXPECT_EQ(saved().disabledApps, (std::vector<std::string>{"b.two", "c.three"}));
    EXPECT_EQ(appRows(list).size(), 2u);
    removeButton(list, "c.three")->click();
    EXPECT_EQ(saved().disabledApps, (std::vector<std::string>{"b.two"}));
}

}  // namespace
}  // namespace talkweft::testing

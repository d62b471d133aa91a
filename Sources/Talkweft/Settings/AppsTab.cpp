// The Apps tab: the apps in which the program is off, and those in which it keeps no history.
#include <algorithm>

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "Talkweft/Settings/SettingsView.hpp"
#include "Talkweft/Settings/Widgets.hpp"

namespace talkweft {

QWidget* SettingsView::buildApps() {
    QVBoxLayout* column = nullptr;
    QWidget* page = makeFormPage(column);

    auto* off = makeSection("Off in these apps", "disabledAppsSection");
    auto* offForm = static_cast<QFormLayout*>(off->layout());
    offForm->addRow(appList("disabledApps", &Settings::disabledApps));
    offForm->addRow(makeFootnote("Talkweft ignores the hotkeys and keeps no history in these apps. The tray menu can "
                                 "turn the current app on or off."));
    column->addWidget(off);

    auto* noHistory = makeSection("No history in these apps", "noHistoryAppsSection");
    auto* noHistoryForm = static_cast<QFormLayout*>(noHistory->layout());
    noHistoryForm->addRow(appList("noHistoryApps", &Settings::noHistoryApps));
    noHistoryForm->addRow(makeFootnote("Talkweft works here but doesn't record edits or show earlier history to the agent."));
    column->addWidget(noHistory);
    column->addStretch(1);
    return page;
}

QWidget* SettingsView::appList(const QString& name, std::vector<std::string> Settings::*list) {
    auto* box = new QWidget;
    box->setObjectName(name);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* rows = new QVBoxLayout;
    layout->addLayout(rows);
    auto* add = new QPushButton(QString::fromUtf8("Add App…"));
    add->setObjectName("addApp");
    add->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    layout->addWidget(add);
    connect(add, &QPushButton::clicked, this, [this, list] {
        auto id = env_.pickApp();
        if (!id || id->empty()) return;
        const auto& current = store_.value().*list;
        if (std::find(current.begin(), current.end(), *id) != current.end()) return;
        store_.update([&](Settings& s) { (s.*list).push_back(*id); });
    });

    // The rows are built again whenever the list changes; names are looked up each time.
    auto shown = std::make_shared<std::vector<std::string>>();
    shown->push_back("\x01");  // never a stored list: the first refresh builds the rows
    refreshers_.push_back([this, rows, list, shown](const Settings& s) {
        const auto& ids = s.*list;
        if (ids == *shown) return;
        *shown = ids;
        // A row may be the one whose remove button is being clicked: take it out of the window
        // now and delete it once its click has returned.
        while (QLayoutItem* item = rows->takeAt(0)) {
            if (QWidget* row = item->widget()) {
                row->hide();
                row->setParent(nullptr);
                row->deleteLater();
            }
            delete item;
        }
        for (const std::string& id : ids) {
            auto* row = new QWidget;
            row->setProperty("bundleID", QString::fromStdString(id));
            auto* line = new QHBoxLayout(row);
            line->setContentsMargins(0, 0, 0, 0);
            auto* title = new QLabel(QString::fromStdString(env_.appName(id).value_or(id)));
            title->setObjectName("name");
            auto* caption = makeFootnote(QString::fromStdString(id));
            caption->setWordWrap(false);
            caption->setObjectName("id");
            auto* remove = new QToolButton;
            remove->setObjectName("remove");
            remove->setAutoRaise(true);
            remove->setText(QString::fromUtf8("⊖"));
            remove->setToolTip("Remove");
            remove->setAccessibleName("Remove " + QString::fromStdString(id));
            connect(remove, &QToolButton::clicked, this, [this, list, id] {
                store_.update([&](Settings& s) { std::erase(s.*list, id); });
            });
            line->addWidget(title);
            line->addWidget(caption);
            line->addStretch(1);
            line->addWidget(remove);
            rows->addWidget(row);
        }
    });
    return box;
}

}  // namespace talkweft

// The History tab: the history switches, the stored contexts with reveal and clear, and clearing
// everything. Neither clear asks first. Clearing runs on the worker; a failure is shown under the
// list.
#include <chrono>
#include <cmath>
#include <cstdlib>

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "Talkweft/Settings/SettingsView.hpp"
#include "Talkweft/Settings/Widgets.hpp"

namespace talkweft {

namespace {

// "1 day ago" / "in 3 days"; `named` replaces a single unit, e.g. "yesterday".
std::string relativeUnits(long long count, const char* unit, bool past, const char* lastName, const char* nextName) {
    if (count == 1 && lastName) return past ? lastName : nextName;
    std::string amount = std::to_string(count) + " " + unit + (count == 1 ? "" : "s");
    return past ? amount + " ago" : "in " + amount;
}

}  // namespace

std::string calcRelativeDate(Date date, Date now) {
    const double seconds = std::chrono::duration<double>(date - now).count();
    const bool past = seconds < 0;
    const auto whole = static_cast<long long>(std::trunc(std::fabs(seconds)));
    if (whole < 1) return "now";
    if (whole < 60) return relativeUnits(whole, "second", past, nullptr, nullptr);
    if (whole < 3600) return relativeUnits(whole / 60, "minute", past, nullptr, nullptr);
    if (whole < 86400) return relativeUnits(whole / 3600, "hour", past, nullptr, nullptr);
    const long long days = whole / 86400;
    if (days < 7) return relativeUnits(days, "day", past, "yesterday", "tomorrow");
    if (days < 30) return relativeUnits(days / 7, "week", past, "last week", "next week");
    if (days < 365) return relativeUnits(std::min(days / 30, 11LL), "month", past, "last month", "next month");
    return relativeUnits(days / 365, "year", past, "last year", "next year");
}

QString calcContextTitle(const ContextRecord& record) {
    const std::string& title = record.documentPath ? *record.documentPath
                               : record.url        ? *record.url
                               : record.windowTitle ? *record.windowTitle
                                                    : record.key.subject;
    return QString::fromStdString(title);
}

QString calcContextCaption(const ContextRecord& record, Date now) {
    const std::string dot = " \u00B7 ";
    return QString::fromStdString(record.appName + dot + record.key.user + dot + std::to_string(record.editCount) +
                                  " edits" + dot + calcRelativeDate(record.lastSeen, now));
}

QWidget* SettingsView::buildHistory() {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->setSpacing(12);

    column->addWidget(settingToggle("Keep context history (a private git repo per context)", "keepHistory",
                                    [](Settings& s) -> bool& { return s.keepHistory; }));
    auto* limit = new Stepper(0, 50, 1, [](double n) {
        return QString("Recent edits shown to the agent: %1").arg(static_cast<long long>(n));
    });
    limit->setObjectName("historyLimit");
    limit->onChange = [this](double v) {
        store_.update([&](Settings& s) { s.historyLimit = static_cast<std::int64_t>(v); });
    };
    column->addWidget(limit);
    refreshers_.push_back([limit](const Settings& s) {
        limit->setValue(static_cast<double>(s.historyLimit));
    });

    contextList_ = new QListWidget;
    contextList_->setObjectName("contexts");
    contextList_->setSelectionMode(QAbstractItemView::NoSelection);
    column->addWidget(contextList_, 1);

    historyError_ = new QLabel;
    historyError_->setObjectName("historyError");
    historyError_->setWordWrap(true);
    QPalette palette = historyError_->palette();
    palette.setColor(QPalette::WindowText, QColor(0xc0, 0x1c, 0x28));
    historyError_->setPalette(palette);
    historyError_->hide();
    column->addWidget(historyError_);

    auto* bottom = new QHBoxLayout;
    auto* refreshButton = new QPushButton("Refresh");
    refreshButton->setObjectName("refresh");
    connect(refreshButton, &QPushButton::clicked, this, [this] { reload(); });
    clearAll_ = new QPushButton("Clear All History");
    clearAll_->setObjectName("clearAll");
    QPalette red = clearAll_->palette();
    red.setColor(QPalette::ButtonText, QColor(0xc0, 0x1c, 0x28));
    clearAll_->setPalette(red);
    clearAll_->setEnabled(false);
    connect(clearAll_, &QPushButton::clicked, this, [this] { clearAllHistory(); });
    bottom->addWidget(refreshButton);
    bottom->addStretch(1);
    bottom->addWidget(clearAll_);
    column->addLayout(bottom);
    return page;
}

void SettingsView::showContexts() {
    contextList_->clear();
    const Date now = env_.now();
    for (const StoredContext& context : contexts_) {
        auto* row = new QWidget;
        row->setProperty("dir", QString::fromStdString(context.dir.string()));
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(6, 4, 6, 4);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(2);
        const QString fullTitle = calcContextTitle(context.record);
        auto* title = new QLabel;
        title->setObjectName("title");
        title->setToolTip(fullTitle);
        title->setText(title->fontMetrics().elidedText(fullTitle, Qt::ElideMiddle, 480));
        auto* caption = makeFootnote(calcContextCaption(context.record, now));
        caption->setWordWrap(false);
        caption->setObjectName("caption");
        texts->addWidget(title);
        texts->addWidget(caption);
        line->addLayout(texts, 1);
        auto* reveal = new QToolButton;
        reveal->setObjectName("reveal");
        reveal->setAutoRaise(true);
        reveal->setIcon(QIcon::fromTheme("folder", style()->standardIcon(QStyle::SP_DirIcon)));
        reveal->setToolTip("Show in File Manager");
        connect(reveal, &QToolButton::clicked, this, [this, dir = context.dir] { env_.reveal(dir); });
        auto* clear = new QToolButton;
        clear->setObjectName("clear");
        clear->setAutoRaise(true);
        clear->setIcon(QIcon::fromTheme("user-trash", style()->standardIcon(QStyle::SP_TrashIcon)));
        clear->setToolTip("Clear this context's history");
        connect(clear, &QToolButton::clicked, this, [this, dir = context.dir] { clearContext(dir); });
        line->addWidget(reveal);
        line->addWidget(clear);
        auto* item = new QListWidgetItem(contextList_);
        item->setSizeHint(row->sizeHint());
        contextList_->setItemWidget(item, row);
    }
    clearAll_->setEnabled(!contexts_.empty());
}

void SettingsView::clearContext(const std::filesystem::path& dir) {
    work_.run([history = history_, dir, this] {
        std::string error;
        try {
            history.clear(dir);
        } catch (const std::exception& e) {
            error = e.what();
        }
        return [this, error] { showClearResult(error); };
    });
}

void SettingsView::clearAllHistory() {
    work_.run([history = history_, this] {
        std::string error;
        try {
            history.clearAll();
        } catch (const std::exception& e) {
            error = e.what();
        }
        return [this, error] { showClearResult(error); };
    });
}

// Reports a failed clear under the list (a success hides an earlier report), then shows what is
// left on disk.
void SettingsView::showClearResult(const std::string& error) {
    historyError_->setText(error.empty() ? QString() : "Couldn't clear the history: " + QString::fromStdString(error));
    historyError_->setVisible(!error.empty());
    reload();
}

}  // namespace talkweft

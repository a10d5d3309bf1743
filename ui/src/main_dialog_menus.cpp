// The window's menus and keyboard shortcuts.
#include "ui/main_dialog.h"

#include "controls/app.h"
#include "controls/dialogs.h"
#include "platform/environment.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QTableView>
#include <array>

namespace ui {
namespace {

struct MenuRow
{
    const char* menu;
    int id;
    const char* text;
    void (CPelimoorDlg::*handler)();
};

constexpr std::array<MenuRow, 10> kMenuItems{{
    {"&File", kMenuOpen, "&Open", &CPelimoorDlg::OnBrowse},
    {"&File", kMenuScan, "&Scan", &CPelimoorDlg::OnScan},
    {"&File", kMenuConvert, "&Convert", &CPelimoorDlg::OnConvert},
    {"&File", kMenuUpload, "&Upload to address book server...", &CPelimoorDlg::OnUpload},
    {"&File", kMenuExit, "E&xit", &CPelimoorDlg::OnExit},
    {"&Edit", kMenuCopy, "&Copy", &CPelimoorDlg::OnCopy},
    {"&Edit", kMenuConvertSelected, "Convert &selected...", &CPelimoorDlg::OnConvertSelected},
    {"&Edit", kMenuDuplicates, "Possible &duplicates...", &CPelimoorDlg::OnDuplicates},
    {"&Help", kMenuContent, "&Content", &CPelimoorDlg::OnHelpContent},
    {"&Help", kMenuAbout, "About Tressoly Pelimoor ", &CPelimoorDlg::OnAbout},
}};

// The Sources menu's check boxes, in the order of engine::kSources.
constexpr std::array<const char*, engine::kSources.size()> kSourceTexts{{
    "&Contacts",
    "&Autocomplete list",
    "&Recipient cache",
    "&People in the mail",
}};

struct ShortcutRow
{
    const char* keys;
    int gate; // the control whose enabled state the shortcut follows; 0: always on
    void (CPelimoorDlg::*handler)();
};

} // namespace

void CPelimoorDlg::buildMenu()
{
    m_menuBar = new QMenuBar(this);
    std::map<QString, QMenu*> menus;
    for (const MenuRow& item : kMenuItems) {
        const QString title = QString::fromLatin1(item.menu);
        QMenu*& menu = menus[title];
        if (menu == nullptr)
            menu = m_menuBar->addMenu(title);
        QAction* action = menu->addAction(QString::fromLatin1(item.text));
        action->setProperty("controlId", item.id);
        action->setObjectName(QStringLiteral("id%1").arg(item.id));
        connect(action, &QAction::triggered, this, [this, handler = item.handler] { (this->*handler)(); });
        m_actions[item.id] = action;
    }
}

QAction* CPelimoorDlg::menuAction(int id) const
{
    auto it = m_actions.find(id);
    return it == m_actions.end() ? nullptr : it->second;
}

void CPelimoorDlg::buildShortcuts()
{
    const std::array<ShortcutRow, 5> kShortcuts{{
        {"Ctrl+O", ui::kBrowseButton, &CPelimoorDlg::OnBrowse},
        {"F5", ui::kScanButton, &CPelimoorDlg::OnScan},
        {"Ctrl+E", ui::kConvertButton, &CPelimoorDlg::OnConvert},
        {"Ctrl+F", 0, &CPelimoorDlg::focusFind},
        {"Ctrl+Q", 0, &CPelimoorDlg::OnExit},
    }};
    for (const ShortcutRow& row : kShortcuts) {
        auto* shortcut = new QShortcut(QKeySequence(QString::fromLatin1(row.keys)), this);
        connect(shortcut, &QShortcut::activated, this, [this, row] {
            if (row.gate == 0 || isControlEnabled(row.gate))
                (this->*row.handler)();
        });
    }
    menuAction(kMenuCopy)->setShortcut(QKeySequence::Copy);
    menuAction(kMenuCopy)->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    m_list->addAction(menuAction(kMenuCopy));
}

void CPelimoorDlg::focusFind()
{
    m_find->setFocus(Qt::ShortcutFocusReason);
    m_find->selectAll();
}

void CPelimoorDlg::buildRecentMenu()
{
    QAction* exit = menuAction(kMenuExit);
    auto* file = qobject_cast<QMenu*>(exit->parent());
    m_recentMenu = new QMenu(QStringLiteral("&Recent"), this);
    QAction* entry = file->insertMenu(exit, m_recentMenu);
    entry->setProperty("controlId", int(kMenuRecent));
    m_actions[kMenuRecent] = entry;
    connect(m_recentMenu, &QMenu::aboutToShow, this, [this] {
        m_recentMenu->clear();
        // An entry is one file, or a set opened together (its paths one per line).
        for (const QString& entry : m_recent) {
            const QStringList paths = entry.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            QAction* action = m_recentMenu->addAction(paths.join(QStringLiteral("; ")));
            connect(action, &QAction::triggered, this, [this, entry, paths] {
                for (const QString& path : paths) {
                    if (!QFileInfo(path).isFile()) {
                        m_recent.removeAll(entry);
                        saveSettings();
                        platform::environment().showMessage(
                            this, {QStringLiteral("%1 is no longer there; it is taken off the recent files.").arg(path),
                                   controls::caption(), QMessageBox::Information, QMessageBox::Ok});
                        return;
                    }
                }
                OpenFiles(paths);
            });
        }
    });
}

void CPelimoorDlg::buildSourcesMenu()
{
    QAction* help = qobject_cast<QMenu*>(menuAction(kMenuContent)->parent())->menuAction();
    auto* menu = new QMenu(QStringLiteral("&Sources"), this);
    m_menuBar->insertMenu(help, menu);
    menu->menuAction()->setProperty("controlId", int(kMenuSources));
    m_actions[kMenuSources] = menu->menuAction();
    for (std::size_t i = 0; i < engine::kSources.size(); ++i) {
        const engine::Source source = engine::kSources[i].source;
        const int id = kMenuSourceFirst + int(i);
        QAction* action = menu->addAction(QString::fromLatin1(kSourceTexts[i]));
        action->setCheckable(true);
        action->setChecked(m_sourceOptions.sources.has(source));
        action->setProperty("controlId", id);
        action->setObjectName(QStringLiteral("id%1").arg(id));
        m_actions[id] = action;
        connect(action, &QAction::toggled, this, [this, source, action](bool on) {
            engine::Sources sources = m_sourceOptions.sources;
            sources.set(source, on);
            if (sources.bits == 0) { // a scan of no source finds nothing: the last one stays
                action->setChecked(true);
                return;
            }
            if (sources == m_sourceOptions.sources)
                return;
            setSources(sources);
            saveSettings();
        });
    }
}

void CPelimoorDlg::buildOfflineAction()
{
    QAction* exit = menuAction(kMenuExit);
    auto* file = qobject_cast<QMenu*>(exit->parent());
    QAction* action = new QAction(QStringLiteral("Read offline folder files (OST)"), file);
    action->setCheckable(true);
    action->setProperty("controlId", int(kMenuReadOffline));
    action->setObjectName(QStringLiteral("id%1").arg(int(kMenuReadOffline)));
    file->insertAction(exit, action);
    file->insertSeparator(exit);
    m_actions[kMenuReadOffline] = action;
    connect(action, &QAction::toggled, this, [this](bool on) {
        if (on != m_sourceOptions.offline)
            setReadOffline(on);
    });
}

} // namespace ui

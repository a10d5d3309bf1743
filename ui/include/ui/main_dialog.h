// The main window: controls, menus, status bar, handlers, the scan thread and Stop, the file
// selection, the list fill and the status pages.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "controls/control_resizer.h"
#include "engine/pause_gate.h"
#include "engine/scan_observer.h"
#include "engine/scan_run.h"

class QAction;
class QLineEdit;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTableView;
class QTimer;

namespace contacts {
class ContactStore;
}
namespace controls {
class CFolderTreeCtrl1;
}

namespace ui {

class CExplorer1;
class ContactListModel;
class WindowObserver;

// Menu command ids.
enum MenuId : int
{
    kMenuOpen = 32771,
    kMenuScan = 32772,
    kMenuConvert = 32773,
    kMenuExit = 32774,
    kMenuContent = 32775,
    kMenuAbout = 32776,
};
inline constexpr int kPathEdit = 1001;
inline constexpr int kPathFrame = 1004;
inline constexpr int kContactList = 1005;
inline constexpr int kBrowserPane = 1012;
inline constexpr int kRightBanner = 1027;
inline constexpr int kLeftBanner = 1028;

// Questions and captions of the window.
inline constexpr auto kCaption = "Tressoly Pelimoor";
inline constexpr auto kStopScanQuestion = "Do you want to stop scan process ?";
inline constexpr auto kStopSaveQuestion = "Do you want to stop save process ?";
inline constexpr auto kFileDialogTitle = "Select File...";
inline constexpr auto kFileDialogFilter = "Microsoft Outlook PST File (*pst) (*.pst *.pst)";
inline constexpr auto kScratchDirectory = "Attachments";
inline constexpr auto kDestinationTitle = "Select Destination Folder";

class CPelimoorDlg : public QDialog
{
    Q_OBJECT
public:
    // `store` must outlive the dialog. Builds every control; the window is shown maximised by
    // the first show().
    explicit CPelimoorDlg(contacts::ContactStore& store, QWidget* parent = nullptr);
    // Ends and joins every worker first, so none uses the destroyed window.
    ~CPelimoorDlg() override;

    // The dialog pointer slot: the dialog constructed last and still alive, or null.
    static CPelimoorDlg* instance();

    // The PST reader and fallback code page of the scans to come (before the first Scan).
    void setSourceOptions(const engine::SourceOptions& options) { m_session.options = options; }

    // Handlers (buttons and menus call these).
    void OnBrowse();
    void OnScan();
    void OnConvert();
    void OnStop();
    void OnExit();
    void OnHelpContent();
    void OnAbout();
    // Part of the file selection run again after a failed scan.
    void ChooseFile();
    // A click on a tree entry: rebuilds the list for `key` on a fill thread.
    void StartListFill(const QString& key);

    // State for callers and tests.
    bool scanRunning() const { return m_scanActive.load(); }
    bool saveRunning() const { return m_saveActive.load(); }
    QString selectedFile() const { return m_selectedFile; }
    QString startupDirectory() const { return m_startupDirectory; }
    QAction* menuAction(int id) const;
    bool isControlEnabled(int id) const;
    ContactListModel* contactModel() const { return m_model; }
    controls::CFolderTreeCtrl1* folderTree() const { return m_tree; }
    CExplorer1* browserPane() const { return m_browser; }
    QTableView* contactList() const { return m_list; }
    QWidget* clientArea() const { return m_client; }
    const controls::CControlResizer& resizer() const { return m_resizer; }
    // Waits (processing events) until no scan, fill or save thread is left; for tests and
    // benchmarks. Returns false when `timeoutMs` passed first.
    bool waitForWorkers(int timeoutMs);
    // The next scan parks at its first checkpoint until Stop (or the end of the window) decides;
    // lets tests stop a scan that would otherwise finish first.
    void holdNextScan() { m_holdNextScan = true; }

    // Escape: ends and joins the workers, then ends the dialog.
    void reject() override;

    // Window-thread side of the scan observer.
    void setControlEnabled(int id, bool enabled);
    void showScanPage(engine::StatusPage page, int count);
    void flushScanRows();
    // Rows and progress are handed to the list in batches, at most every kFlushIntervalMs.
    void scheduleScanFlush();
    static constexpr int kFlushIntervalMs = 40;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildControls();
    void buildMenu();
    void buildStatusBar();
    void registerLayout();
    void onClientResized(int cx, int cy);
    void deleteScratchDirectory();
    bool pauseScanForQuestion();
    void endScanForGood();
    void joinScanThread();
    void joinFillThread();
    void endWorkers();
    void clearStore();
    void scanThreadEnded(std::uint64_t epoch);
    void deliverFill(std::uint64_t generation, std::vector<const contacts::ContactRecord*> rows,
                     const contacts::ContactRecord* last);
    void OnListClick(const QModelIndex& index);
    void startConversion(int format, const QString& destination);
    void conversionEnded(int outcome, const QString& reason);

    contacts::ContactStore& m_store;
    controls::CControlResizer m_resizer;
    QStatusBar* m_statusBar = nullptr;
    QIcon m_icon;
    QTableView* m_list = nullptr;
    ContactListModel* m_model = nullptr;
    controls::CFolderTreeCtrl1* m_tree = nullptr;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_scan = nullptr;
    QPushButton* m_convert = nullptr;
    QPushButton* m_browse = nullptr;
    QString m_startupDirectory;
    CExplorer1* m_browser = nullptr;

    QWidget* m_client = nullptr;
    QMenuBar* m_menuBar = nullptr;
    QLineEdit* m_pathEdit = nullptr;
    std::map<int, QAction*> m_actions;
    QString m_selectedFile;
    bool m_firstShow = true;
    QTimer* m_flushTimer = nullptr;

    // Scan thread slot.
    std::unique_ptr<WindowObserver> m_observer;
    engine::ScanSession m_session;
    engine::PauseGate m_scanGate;
    std::thread m_scanThread;
    std::atomic<bool> m_scanActive{false};
    bool m_holdNextScan = false;
    // Save thread slot.
    engine::PauseGate m_saveGate;
    std::thread m_saveThread;
    std::atomic<bool> m_saveActive{false};
    // Enables of Browse, Scan, Convert and their File items before the conversion took them.
    std::map<int, bool> m_enablesBeforeSave;
    // List fill: one at a time, the last click wins.
    std::thread m_fillThread;
    std::atomic<std::uint64_t> m_fillGeneration{0};
    std::atomic<bool> m_fillActive{false};
    // Scan rows: the newest number shown, and the numbers a fill has already listed.
    std::int32_t m_lastShownNumber = 0;
    std::int32_t m_fillCutoff = 0;
};

} // namespace ui

// The main window: controls, menus, status bar, handlers, the scan thread and Stop, the file
// selection, the list fill and the status pages. Its parts live in main_dialog_*.cpp, one job each.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "contacts/conversion.h"
#include "controls/control_resizer.h"
#include "engine/pst_source.h"
#include "engine/scan_events.h"
#include "ui/duplicates_view.h"

class QAction;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QMenu;
class QLineEdit;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QSettings;
class QStatusBar;
class QTableView;
class QTimer;

namespace contacts {
class ContactStore;
}
namespace controls {
class CFolderTreeCtrl1;
}
namespace merge {
struct StoreMerge;
}

namespace ui {

enum class WindowEvent;
class CExplorer1;
class ContactFindModel;
class ContactListModel;
class ListFiller;
class MergeController;
class SaveController;
class ScanController;
class UploadDialog;

// Control ids of the window.
enum ControlId : int
{
    kFolderTree = 1000,
    kBrowseButton = 1002,
    kScanButton = 1006,
    kConvertButton = 1007,
    kStopButton = 1008,
    kProgressBar = 1009,
    kUploadButton = 1010, // "Upload to address book server..."
};

// Menu command ids.
enum MenuId : int
{
    kMenuOpen = 32771,
    kMenuScan = 32772,
    kMenuConvert = 32773,
    kMenuExit = 32774,
    kMenuContent = 32775,
    kMenuAbout = 32776,
    kMenuCopy = 32780,
    kMenuConvertSelected = 32781,
    kMenuRecent = 32782,
    kMenuReadOffline = 32783, // File > "Read offline folder files (OST)", checkable
    kMenuSources = 32784,     // the Sources menu; its check boxes follow, one per engine::kSources row
    kMenuSourceFirst = 32785,
    kMenuDuplicates = 32795, // Edit > "Possible duplicates..."
    kMenuUpload = 32800,     // File > "Upload to address book server..."
};
inline constexpr int kPathEdit = 1001;
inline constexpr int kPathFrame = 1004;
inline constexpr int kContactList = 1005;
inline constexpr int kBrowserPane = 1012;
inline constexpr int kRightBanner = 1027;
inline constexpr int kLeftBanner = 1028;
inline constexpr int kFindEdit = 1040;
inline constexpr int kContactCount = 1041;
// How many files File > Recent keeps.
inline constexpr int kRecentFiles = 8;

// Titles and names of the window's dialogs.
inline constexpr auto kFileDialogTitle = "Select File...";
inline constexpr auto kFileDialogFilter = "Microsoft Outlook PST File (*pst) (*.pst *.pst)";
// Browse's filters while offline folder files are read: both kinds first, then each.
inline constexpr auto kFileDialogFilterOffline = "Microsoft Outlook PST and OST Files (*.pst *.ost);;"
                                                 "Microsoft Outlook PST File (*pst) (*.pst *.pst);;"
                                                 "Microsoft Outlook OST File (*.ost)";
// Browse's filter for Outlook's autocomplete lists, after the PST filters while that source is chosen.
inline constexpr auto kFileDialogFilterAutocomplete = ";;Outlook autocomplete list (*.nk2 *.dat)";
inline constexpr auto kScratchDirectory = "Attachments";
inline constexpr auto kDestinationTitle = "Select Destination Folder";
// The maker's web address: the status bar shows it, the preview opens on its start page.
inline constexpr auto kWebAddress = "www.tressoly.example";

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

    // The PST reader and fallback code page of the scans to come (before the first Scan). With
    // `options.offline` (pelimoor --ost) File > "Read offline folder files (OST)" is turned on.
    void setSourceOptions(const engine::SourceOptions& options);
    // File > "Read offline folder files (OST)": whether scans read OSTs; remembered between runs.
    void setReadOffline(bool on);
    bool readOffline() const { return m_sourceOptions.offline; }

    // Handlers (buttons and menus call these).
    void OnBrowse();
    void OnScan();
    void OnConvert();
    // "Upload to address book server...": the upload dialog over the scanned contacts (modal to
    // the window; the store is not cleared while it is open).
    void OnUpload();
    void OnStop();
    void OnExit();
    void OnHelpContent();
    void OnAbout();
    // Part of the file selection run again after a failed scan.
    void ChooseFile();
    // A click on a tree entry: rebuilds the list for `key` on a fill thread.
    void StartListFill(const QString& key);
    // Copy: the selected contacts as vCards (text/vcard, text/x-vcard) and as "Name <address>"
    // lines (plain text).
    void OnCopy();
    // The format and destination dialogs of Convert, then only the selected contacts.
    void OnConvertSelected();
    // Edit > "Possible duplicates...": the pairs a merge holds for review, side by side, each
    // merged or kept apart by the user for the conversions with "Merge duplicates" to come. The
    // merge runs on its thread under the progress bar and Stop; the view opens when it is done.
    void OnDuplicates();
    // The view while it is open (for tests), else null.
    DuplicatesView* duplicatesView() const { return m_duplicates; }
    const ReviewChoices& reviewChoices() const { return m_review; }
    // Takes `path` as if Browse had chosen it (the command line, a drop, File > Recent).
    void OpenFile(const QString& path);
    // Takes several files at once, scanned one after another into one list.
    void OpenFiles(const QStringList& paths);
    // Shows the record of list row `row` in the preview (as a click on the row does).
    void previewRow(int row);

    // State for callers and tests.
    bool scanRunning() const;
    bool saveRunning() const;
    // Whether a merge of the store (for the list or for Possible duplicates) is under way: its
    // thread works or its end has not been delivered yet.
    bool mergeRunning() const;
    // The upload dialog while it is open, else null.
    UploadDialog* uploadDialog() const;
    // The first of the chosen files, and all of them in their order.
    QString selectedFile() const { return m_selectedFiles.value(0); }
    QStringList selectedFiles() const { return m_selectedFiles; }
    QString startupDirectory() const { return m_startupDirectory; }
    QAction* menuAction(int id) const;
    bool isControlEnabled(int id) const;
    ContactListModel* contactModel() const { return m_model; }
    // What the list view shows: the contact model filtered by the Find field and sorted.
    ContactFindModel* findModel() const { return m_findModel; }
    QLineEdit* findField() const { return m_find; }
    // The selected contacts, in the order shown.
    std::vector<const contacts::ContactRecord*> selectedRecords() const;
    // The entries of File > Recent, newest first: a file, or a set of files opened together
    // (their paths joined by line breaks).
    QStringList recentFiles() const { return m_recent; }
    controls::CFolderTreeCtrl1* folderTree() const { return m_tree; }
    CExplorer1* browserPane() const { return m_browser; }
    QTableView* contactList() const { return m_list; }
    QWidget* clientArea() const { return m_client; }
    const controls::CControlResizer& resizer() const { return m_resizer; }
    // Waits (processing events) until no scan, fill, merge or save thread is left; for tests and
    // benchmarks. Returns false when `timeoutMs` passed first.
    bool waitForWorkers(int timeoutMs);
    // The next scan parks at its first checkpoint until Stop (or the end of the window) decides;
    // lets tests stop a scan that would otherwise finish first.
    void holdNextScan() { m_holdNextScan = true; }
    // The same for the next merge of the store: it parks until Stop (or the end of the window).
    void holdNextMerge() { m_holdNextMerge = true; }
    // The same for the next conversion (with "Merge duplicates", it parks in its merge step).
    void holdNextConversion() { m_holdNextConversion = true; }

    // Escape: ends and joins the workers, then ends the dialog.
    void reject() override;

    // Sets the enabled state of a control or menu item; for the controls of the window's enable
    // table the state stands until an event changes it (shown off while a conversion holds it).
    void setControlEnabled(int id, bool enabled);
    // The window's settings: an INI file in the user's configuration directory. A damaged or
    // unreadable file reads as empty, so every value falls back to its default.
    static std::unique_ptr<QSettings> openSettings();
    // Rows and progress are handed to the list in batches, at most every kFlushIntervalMs.
    static constexpr int kFlushIntervalMs = 40;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The client area, the menu bar and the controls, at the template's size.
    void buildLayout();
    void buildControls();
    void buildMenu();
    void buildStatusBar();
    void buildShortcuts();
    void buildRecentMenu();
    void buildOfflineAction();
    void buildSourcesMenu();
    // The sources of the next scans (the Sources menu's check boxes follow them).
    void setSources(const engine::Sources& sources);
    void loadSettings();
    void saveSettings() const;
    // The list's default column widths for its column set, and the header layout last saved for it.
    void applyColumnWidths();
    void restoreHeader();
    void restoreHeader(QSettings& settings);
    void rememberFile(const QString& path);
    void updateContactCount();
    void showCurrentRow();
    void focusFind();
    void takeChosenFiles(const QStringList& paths);
    QString chooseDestination();
    void registerLayout();
    void onClientResized(int cx, int cy);
    // The list's height and the preview's top, moved by the split the user dragged (kept within
    // what the window's size allows).
    void placeListAndPreview();
    int appliedSplit() const;
    void deleteScratchDirectory();
    // Applies the event's row of the enable table, then shows the state.
    void apply(WindowEvent event);
    void showEnables();
    void showEnabled(int id, bool enabled);
    // Ends and joins every worker: the fill, the scan, the conversion.
    void stopAll();
    void endScanForGood();
    void clearStore();
    // With "Merge duplicates" on, the list shows the merged cards of the store (the user's
    // choices of pairs followed); turned off, the store's cards again. After a scan, the format
    // dialog and the Possible duplicates view.
    void showMergedList();
    // The list of the store's cards, unmerged.
    void showUnmergedList();
    // Starts the merge of the store for `list` (true) or for the review of held pairs, as a phase
    // like a conversion (window_events.h); mergeFinished() takes it over.
    void startMerge(bool list);
    void mergeFinished();
    // Stop on a merge: ended, nothing of it applied; a merge for the list leaves the unmerged list.
    void stopMerge();
    // The Possible duplicates view over the held pairs of `merged`.
    void showDuplicates(const merge::StoreMerge& merged);
    void scheduleScanFlush();
    void flushScanRows();
    void scanFinished(const engine::ScanResult& result);
    // The done page of the last scan, with `extra` as one more line (none when empty).
    void showDonePage(std::u16string_view extra);
    void deliverFill(const std::vector<const contacts::ContactRecord*>& rows, const contacts::ContactRecord* last);
    void OnListClick(const QModelIndex& index);
    // The format dialog; nullopt when no format was picked.
    std::optional<contacts::Format> pickFormat();
    void startConversion(contacts::Format format, const QString& destination,
                         std::vector<const contacts::ContactRecord*> selection = {});
    void conversionEnded(contacts::ConversionOutcome outcome, const QString& reason);

    contacts::ContactStore& m_store;
    controls::CControlResizer m_resizer;
    QStatusBar* m_statusBar = nullptr;
    QIcon m_icon;
    QTableView* m_list = nullptr;
    ContactListModel* m_model = nullptr;
    ContactFindModel* m_findModel = nullptr;
    QLineEdit* m_find = nullptr;
    QLabel* m_count = nullptr;
    QMenu* m_recentMenu = nullptr;
    QStringList m_recent;
    engine::SourceOptions m_sourceOptions;
    QString m_lastBrowseFolder;
    QString m_lastDestination;
    controls::CFolderTreeCtrl1* m_tree = nullptr;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_scan = nullptr;
    QPushButton* m_convert = nullptr;
    QPushButton* m_uploadButton = nullptr;
    QPointer<UploadDialog> m_upload;
    QPushButton* m_browse = nullptr;
    QString m_startupDirectory;
    CExplorer1* m_browser = nullptr;
    QWidget* m_splitHandle = nullptr;
    // Pixels the user moved the split down from its default (up when negative).
    int m_split = 0;
    int m_splitAtPress = 0;

    QWidget* m_client = nullptr;
    QMenuBar* m_menuBar = nullptr;
    QLineEdit* m_pathEdit = nullptr;
    std::map<int, QAction*> m_actions;
    QStringList m_selectedFiles;
    bool m_firstShow = true;
    QTimer* m_flushTimer = nullptr;

    // The workers.
    ScanController* m_scanner;
    SaveController* m_saver;
    // The last finished scan: its counts for the done page, its distribution lists for the saves.
    engine::ScanResult m_lastScan;
    ListFiller* m_filler;
    MergeController* m_merger;
    bool m_holdNextScan = false;
    bool m_holdNextMerge = false;
    bool m_holdNextConversion = false;
    // The enabled state the window's events gave the controls of kEnableControls, in its order,
    // and whether a conversion or a merge holds some of them off meanwhile (window_events.h).
    std::array<bool, 11> m_enables{true, true, true, true, true, true, true, true, true, true, true};
    // What the user chose in "Possible duplicates" for the pairs of the store's records.
    ReviewChoices m_review;
    DuplicatesView* m_duplicates = nullptr;
    // The merge the list shows, while it does: its records are the list's rows.
    std::unique_ptr<merge::StoreMerge> m_listMerge;
    bool m_converting = false;
    bool m_merging = false; // a merge phase (window_events.h): from startMerge() to its end or Stop
    // Scan rows: the newest number shown, and the numbers a fill has already listed.
    std::int32_t m_lastShownNumber = 0;
    std::int32_t m_fillCutoff = 0;
};

} // namespace ui

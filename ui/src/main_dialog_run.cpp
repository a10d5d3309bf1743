// The run controls: choosing the file, Scan and its rows, Stop, Convert, and the list fill.
#include "ui/main_dialog.h"

#include "contacts/contact_store.h"
#include "contacts/conversion.h"
#include "contacts/messages.h"
#include "controls/app.h"
#include "controls/dialogs.h"
#include "controls/folder_tree.h"
#include "engine/exchange_map.h"
#include "merge/merge.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "ui/contact_list.h"
#include "ui/explorer.h"
#include "ui/list_filler.h"
#include "ui/merge_controller.h"
#include "ui/save_controller.h"
#include "ui/scan_controller.h"
#include "ui/status_page.h"
#include "ui/upload_dialog.h"
#include "window_events.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QSettings>
#include <QStandardPaths>
#include <QTableView>
#include <QTimer>
#include <array>
#include <optional>
#include <unordered_map>
#include <utility>

namespace ui {
namespace {

using controls::qstring;

platform::MessageRequest question(std::u16string_view text)
{
    return {qstring(text), controls::caption(), QMessageBox::Question, QMessageBox::Yes | QMessageBox::No};
}

// The message box that tells how a scan ended, if any.
struct OutcomeMessage
{
    engine::ScanOutcome outcome;
    std::u16string_view text;
    std::u16string_view caption;
};
constexpr std::array<OutcomeMessage, 5> kOutcomeMessages{{
    {engine::ScanOutcome::Done, contacts::kMessageCompleted, contacts::kCaption},
    {engine::ScanOutcome::NotPst, contacts::kMessageNotPst, contacts::kCaptionNotPst},
    {engine::ScanOutcome::OpenFailed, contacts::kMessageOpenFailed, contacts::kCaption},
    {engine::ScanOutcome::WalkFailed, contacts::kMessageScanFailed, contacts::kCaption},
    {engine::ScanOutcome::Protected, contacts::kMessageProtected, contacts::kCaption},
}};

} // namespace

void CPelimoorDlg::setSourceOptions(const engine::SourceOptions& options)
{
    const bool offline = options.offline || m_sourceOptions.offline;
    m_sourceOptions = options;
    setReadOffline(offline);
}

void CPelimoorDlg::setSources(const engine::Sources& sources)
{
    m_sourceOptions.sources = sources;
    m_scanner->setSourceOptions(m_sourceOptions);
    for (std::size_t i = 0; i < engine::kSources.size(); ++i)
        if (QAction* action = menuAction(kMenuSourceFirst + int(i)))
            action->setChecked(sources.has(engine::kSources[i].source));
}

void CPelimoorDlg::setReadOffline(bool on)
{
    m_sourceOptions.offline = on;
    m_scanner->setSourceOptions(m_sourceOptions);
    menuAction(kMenuReadOffline)->setChecked(on);
}

void CPelimoorDlg::deleteScratchDirectory()
{
    platform::removeDirectoryTree(platform::environment().tempDirectory() / kScratchDirectory);
}

void CPelimoorDlg::clearStore()
{
    // Nothing may read the store while it is cleared: no fill, no conversion, no scan.
    stopAll();
    m_model->clear();
    m_listMerge.reset();
    m_lastScan = {}; // its groups name records of the store
    m_review = {};   // and so do the user's choices of pairs
    contacts::contact_store_clear(m_store);
}

void CPelimoorDlg::OnBrowse()
{
    ChooseFile();
}

void CPelimoorDlg::ChooseFile()
{
    deleteScratchDirectory();
    platform::FileDialogRequest request{
        QString::fromLatin1(kFileDialogTitle),
        QString::fromLatin1(m_sourceOptions.offline ? kFileDialogFilterOffline : kFileDialogFilter) +
            (m_sourceOptions.sources.has(engine::Source::autocomplete)
                 ? QString::fromLatin1(kFileDialogFilterAutocomplete)
                 : QString()),
        true, m_lastBrowseFolder}; // several files may be chosen: they are scanned one after another
    const QStringList files = platform::environment().chooseFiles(this, request);
    if (files.isEmpty()) {
        apply(WindowEvent::FileDialogCancelled);
        return;
    }
    m_lastBrowseFolder = QFileInfo(files.first()).absolutePath();
    takeChosenFiles(files);
}

void CPelimoorDlg::OpenFile(const QString& path)
{
    OpenFiles({path});
}

void CPelimoorDlg::OpenFiles(const QStringList& paths)
{
    if (paths.isEmpty())
        return;
    if (m_scanner->running() || m_saver->running()) {
        platform::environment().showMessage(
            this, {QStringLiteral("A scan or conversion is running: stop it before opening another file."),
                   controls::caption(), QMessageBox::Information, QMessageBox::Ok});
        return;
    }
    m_lastBrowseFolder = QFileInfo(paths.first()).absolutePath();
    QStringList absolute;
    for (const QString& path : paths)
        absolute.append(QFileInfo(path).absoluteFilePath());
    takeChosenFiles(absolute);
}

void CPelimoorDlg::takeChosenFiles(const QStringList& paths)
{
    deleteScratchDirectory();
    m_tree->Clear();
    clearStore();
    m_selectedFiles.clear();
    for (const QString& path : paths)
        m_selectedFiles.append(QDir::toNativeSeparators(path));
    m_selectedFiles.removeDuplicates();
    rememberFile(m_selectedFiles.join(QLatin1Char('\n')));
    // Several files: their paths side by side in the field and on the tree's top entry.
    const QString shown = m_selectedFiles.join(QStringLiteral("; "));
    m_pathEdit->setText(shown);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_tree->BuildForFile(shown);
    m_model->setSources(m_selectedFiles.size() > 1 ? &m_store : nullptr);
    apply(WindowEvent::FileChosen);
}

void CPelimoorDlg::OnScan()
{
    if (m_scanner->running())
        return;
    apply(WindowEvent::ScanPressed);
    clearStore();
    m_flushTimer->stop();
    ShowStatusPage(*m_browser, statusPageText(StatusPage::Started, 0));
    std::vector<std::string> paths;
    for (const QString& path : m_selectedFiles)
        paths.push_back(path.toStdString());
    m_scanner->start(paths, std::exchange(m_holdNextScan, false));
}

void CPelimoorDlg::scanFinished(const engine::ScanResult& result)
{
    if (result.outcome == engine::ScanOutcome::Stopped)
        return;
    // Of several files, those that could not be read: each named with its reason, in one box.
    if (!m_scanner->refused().empty()) {
        QString text = result.outcome == engine::ScanOutcome::Done
                           ? QStringLiteral("These files could not be read; the contacts of the others are listed:")
                           : QStringLiteral("None of the files could be read:");
        for (const ScanController::RefusedFile& file : m_scanner->refused()) {
            for (const OutcomeMessage& m : kOutcomeMessages) {
                if (m.outcome == file.outcome)
                    text +=
                        QStringLiteral("\n\n%1\n%2").arg(QString::fromStdString(file.path), qstring(m.text)) +
                        (file.reason.empty() ? QString() : QStringLiteral("\n") + QString::fromStdString(file.reason));
            }
        }
        platform::environment().showMessage(this, {text, controls::caption(), QMessageBox::Warning, QMessageBox::Ok});
        if (result.outcome != engine::ScanOutcome::Done) {
            ChooseFile();
            return;
        }
    }
    if (result.outcome == engine::ScanOutcome::Done) {
        flushScanRows();
        m_lastScan = result;
        showDonePage({});
        m_progress->setValue(0);
    }
    // The reason of a failed open follows the message on a paragraph of its own.
    for (const OutcomeMessage& m : kOutcomeMessages) {
        if (m.outcome != result.outcome)
            continue;
        QString text = qstring(m.text);
        if (!result.reason.empty())
            text += QStringLiteral("\n\n") + QString::fromStdString(result.reason);
        platform::environment().showMessage(this,
                                            {text, qstring(m.caption), QMessageBox::Information, QMessageBox::Ok});
    }
    if (result.outcome == engine::ScanOutcome::Done) {
        apply(WindowEvent::ScanEnded);
        showMergedList();
    } else {
        ChooseFile();
    }
}

void CPelimoorDlg::showDonePage(std::u16string_view extra)
{
    // The page counts the live contacts; those found beyond the live folders get a line below.
    const engine::ScanResult& result = m_lastScan;
    ShowStatusPage(*m_browser, statusPageText(StatusPage::Done, result.contacts) +
                                   statusPageLine(contacts::recovered_line(result.orphans, result.recovered)) +
                                   statusPageLine(result.recovery_failed ? contacts::kRecoveryIncompleteText
                                                                         : std::u16string_view()) +
                                   statusPageLine(extra));
}

void CPelimoorDlg::scheduleScanFlush()
{
    if (!m_flushTimer->isActive())
        m_flushTimer->start();
}

void CPelimoorDlg::flushScanRows()
{
    m_flushTimer->stop();
    int progress = 0;
    std::vector<const contacts::ContactRecord*> rows = m_scanner->takeRows(progress);
    std::erase_if(rows, [this](const contacts::ContactRecord* r) { return r->number() <= m_fillCutoff; });
    if (!rows.empty())
        m_lastShownNumber = rows.back()->number();
    m_model->addScanRows(rows);
    m_progress->setValue(progress);
}

void CPelimoorDlg::endScanForGood()
{
    m_scanner->end();
    deleteScratchDirectory();
    m_tree->Clear();
    clearStore();
    m_progress->setValue(0);
    apply(WindowEvent::ScanStopped);
    ShowStatusPage(*m_browser, kStoppedPage);
}

void CPelimoorDlg::OnStop()
{
    bool continues = false;
    if (m_merging)
        stopMerge(); // nothing is lost: the merge is made again when asked for
    if (m_scanner->running() && m_scanner->pause()) {
        if (platform::environment().showMessage(this, question(contacts::kStopScanQuestion)) == QMessageBox::Yes) {
            endScanForGood();
        } else {
            m_scanner->resume();
            continues = true;
        }
    }
    if (m_saver->running() && m_saver->pause()) {
        if (platform::environment().showMessage(this, question(contacts::kStopSaveQuestion)) == QMessageBox::Yes) {
            m_saver->end();
        } else {
            m_saver->resume();
            continues = true;
        }
    }
    if (!continues)
        apply(WindowEvent::NothingContinues);
}

void CPelimoorDlg::OnConvert()
{
    if (m_saver->running())
        return;
    const std::optional<contacts::Format> format = pickFormat();
    if (!format)
        return;
    const QString destination = chooseDestination();
    if (destination.isEmpty())
        return;
    startConversion(*format, destination);
}

void CPelimoorDlg::OnConvertSelected()
{
    if (m_saver->running() || !isControlEnabled(ui::kConvertButton))
        return;
    std::vector<const contacts::ContactRecord*> records = selectedRecords();
    if (m_listMerge) {
        // A merged card of the list stands for the store's cards it was made of: the conversion
        // merges them again, and its report names them.
        std::unordered_map<const contacts::ContactRecord*, const merge::MergedCard*> made;
        for (const merge::MergedCard& card : m_listMerge->result.cards)
            made.emplace(card.record, &card);
        std::vector<const contacts::ContactRecord*> cards;
        for (const contacts::ContactRecord* r : records) {
            const auto it = made.find(r);
            if (it == made.end()) {
                cards.push_back(r);
                continue;
            }
            for (std::size_t i : it->second->cards)
                cards.push_back(m_listMerge->cards[i].record);
        }
        records = std::move(cards);
    }
    if (records.empty()) {
        platform::environment().showMessage(this, {QStringLiteral("Select the contacts to convert in the list first."),
                                                   controls::caption(), QMessageBox::Information, QMessageBox::Ok});
        return;
    }
    const std::optional<contacts::Format> format = pickFormat();
    if (!format)
        return;
    const QString destination = chooseDestination();
    if (destination.isEmpty())
        return;
    startConversion(*format, destination, std::move(records));
}

void CPelimoorDlg::OnDuplicates()
{
    if (!isControlEnabled(kMenuDuplicates) || m_converting || m_merging)
        return;
    // The list's merge by the rules alone is the review's: no second merge for it.
    if (m_listMerge && m_review.merged.empty()) {
        showDuplicates(*m_listMerge);
        return;
    }
    startMerge(false);
}

void CPelimoorDlg::showDuplicates(const merge::StoreMerge& merged)
{
    std::vector<HeldView> pairs = held_pairs(merged);
    if (pairs.empty()) {
        platform::environment().showMessage(this, {QStringLiteral("No pairs of contacts are held for review."),
                                                   controls::caption(), QMessageBox::Information, QMessageBox::Ok});
        return;
    }
    DuplicatesView view(std::move(pairs), m_review, this);
    m_duplicates = &view;
    const std::vector<RecordPair> before = m_review.merged;
    view.exec();
    m_duplicates = nullptr;
    // A pair merged by hand is merged by the conversions that merge.
    if (!m_review.merged.empty() && !controls::mergeDuplicates()) {
        controls::mergeDuplicates() = true;
        saveSettings();
    }
    if (m_review.merged != before || (controls::mergeDuplicates() && !m_listMerge))
        showMergedList();
}

void CPelimoorDlg::showMergedList()
{
    if (scanRunning() || m_converting)
        return;
    const bool wanted = controls::mergeDuplicates() && m_store.size() > 0;
    if (wanted) {
        startMerge(true);
        return;
    }
    if (m_merging && m_merger->purpose() == MergeController::Purpose::list)
        stopMerge();
    else if (m_listMerge)
        showUnmergedList();
}

void CPelimoorDlg::showUnmergedList()
{
    std::vector<const contacts::ContactRecord*> rows;
    for (const contacts::ContactRecord* r = m_store.first(); r != nullptr; r = r->next())
        rows.push_back(r);
    m_model->setFillRows(std::move(rows));
    m_listMerge.reset(); // the rows of the merge before stay alive until here
    updateContactCount();
}

void CPelimoorDlg::startMerge(bool list)
{
    merge::MergeOptions options{merge::region_of_locale()};
    if (list)
        options.user_merged = m_review.merged; // the review itself sees the pairs the rules hold
    m_merging = true;
    apply(WindowEvent::MergeStarted);
    m_progress->setValue(0);
    m_merger->start(list ? MergeController::Purpose::list : MergeController::Purpose::review, std::move(options),
                    std::exchange(m_holdNextMerge, false));
}

void CPelimoorDlg::mergeFinished()
{
    m_merging = false;
    m_progress->setValue(0);
    showEnables();
    std::unique_ptr<merge::StoreMerge> merged = m_merger->take();
    if (!merged) {
        updateContactCount();
        platform::environment().showMessage(
            this, {QStringLiteral("There is not enough memory to merge the duplicates of these contacts."),
                   controls::caption(), QMessageBox::Critical, QMessageBox::Ok});
        return;
    }
    if (m_merger->purpose() == MergeController::Purpose::review) {
        updateContactCount();
        showDuplicates(*merged);
        return;
    }
    m_model->setFillRows(merged->result.records);
    m_listMerge = std::move(merged); // the rows of the merge before stay alive until here
    updateContactCount();
}

void CPelimoorDlg::stopMerge()
{
    const bool list = m_merger->purpose() == MergeController::Purpose::list;
    m_merger->end();
    m_merging = false;
    m_progress->setValue(0);
    showEnables();
    // Stopped half-way, the list goes back to the store's cards, never to a merge of other choices.
    if (list && m_listMerge)
        showUnmergedList();
    updateContactCount();
}

void CPelimoorDlg::OnUpload()
{
    if (m_saver->running() || m_scanner->running() || !isControlEnabled(kUploadButton))
        return;
    if (m_upload != nullptr) {
        m_upload->raise();
        return;
    }
    UploadSource source;
    source.store = &m_store;
    source.groups = m_lastScan.groups;
    source.exchange_map = [paths = m_scanner->paths(), options = m_scanner->sourceOptions()] {
        return engine::exchange_address_map(paths, options);
    };
    source.merge = controls::mergeDuplicates();
    source.user_merged = m_review.merged;
    // The report goes where conversions go; before the first one, to the documents folder.
    QString folder = m_lastDestination;
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    source.report_folder = folder.toStdString();
    source.settings = &CPelimoorDlg::openSettings;
    m_upload = new UploadDialog(std::move(source), this);
    m_upload->setAttribute(Qt::WA_DeleteOnClose);
    m_upload->open();
}

std::optional<contacts::Format> CPelimoorDlg::pickFormat()
{
    // Only a format picked in this opening counts: OK without one, or Cancel, does nothing.
    controls::SaveOption options(this);
    const bool merging = controls::mergeDuplicates();
    const bool accepted = options.exec() == QDialog::Accepted;
    if (accepted)
        saveSettings(); // the version and layout chosen beside the formats
    if (controls::mergeDuplicates() != merging)
        showMergedList();
    if (!accepted || !options.formatPicked())
        return std::nullopt;
    return controls::chosenFormatValue();
}

QString CPelimoorDlg::chooseDestination()
{
    const QString destination =
        platform::environment().chooseDirectory(this, QString::fromLatin1(kDestinationTitle), m_lastDestination);
    if (!destination.isEmpty()) {
        m_lastDestination = destination;
        saveSettings();
    }
    return destination;
}

void CPelimoorDlg::startConversion(contacts::Format format, const QString& destination,
                                   std::vector<const contacts::ContactRecord*> selection)
{
    // While the conversion reads the store nothing may clear or refill it.
    m_converting = true;
    apply(WindowEvent::ConversionStarted);
    // The SMTP addresses of Exchange DNs come from the scanned files, read again only when needed.
    auto exchangeMap = [paths = m_scanner->paths(), options = m_scanner->sourceOptions()] {
        return engine::exchange_address_map(paths, options);
    };
    m_saver->start(format, destination.toStdString(), std::move(selection), controls::outputChoices(), exchangeMap,
                   m_lastScan.groups, controls::mergeDuplicates(), m_review,
                   std::exchange(m_holdNextConversion, false));
}

void CPelimoorDlg::conversionEnded(contacts::ConversionOutcome outcome, const QString& reason)
{
    m_progress->setValue(0);
    m_converting = false;
    showEnables();
    if (outcome == contacts::ConversionOutcome::Stopped)
        return;
    const bool completed = outcome == contacts::ConversionOutcome::Completed;
    QStringList done;
    if (completed && !m_saver->mergeSummary().isEmpty())
        done << m_saver->mergeSummary() + QLatin1Char('.');
    if (completed && m_saver->groupsWritten() > 0)
        done << QStringLiteral("%1 group(s) written.").arg(m_saver->groupsWritten());
    if (!done.isEmpty())
        showDonePage(done.join(QLatin1Char(' ')).toStdU16String());
    platform::environment().showMessage(
        this, {completed ? qstring(contacts::kSaveCompletedText) : reason, controls::caption(),
               completed ? QMessageBox::Information : QMessageBox::Critical, QMessageBox::Ok});
}

void CPelimoorDlg::StartListFill(const QString& key)
{
    m_filler->fill(key.toStdU16String());
}

void CPelimoorDlg::deliverFill(const std::vector<const contacts::ContactRecord*>& rows,
                               const contacts::ContactRecord* last)
{
    m_model->setFillRows(rows);
    // The fill saw the store up to `last`. Scan rows already shown for later records go back on
    // top; rows still pending for records the fill has seen are not shown twice.
    std::vector<const contacts::ContactRecord*> later;
    for (const contacts::ContactRecord* r = last != nullptr ? last->next() : m_store.first();
         r != nullptr && r->number() <= m_lastShownNumber; r = r->next())
        later.push_back(r);
    m_model->addScanRows(later);
    m_fillCutoff = last != nullptr ? last->number() : m_fillCutoff;
}

} // namespace ui

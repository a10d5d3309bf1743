// The window's view of its surroundings: where temporary files go, where the program lives,
// message boxes, the file dialog, the desktop opener and process termination.
//
// The window calls `platform::environment()` for all of these. The real implementation talks to
// the system; `FakeEnvironment` answers from queued answers and records what was asked, so GUI
// tests never block on a modal box and never end the test process.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <deque>
#include <filesystem>
#include <vector>

class QWidget;

namespace platform {

// One message box request: the exact text, caption, icon and buttons.
struct MessageRequest
{
    QString text;
    QString caption;
    QMessageBox::Icon icon = QMessageBox::Information;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
};

// One open-file dialog request. `multiple` allows selecting several files; `directory` is where
// the dialog starts (empty: the dialog's own choice).
struct FileDialogRequest
{
    QString caption;
    QString filter;
    bool multiple = false;
    QString directory;
};

class Environment
{
public:
    virtual ~Environment() = default;

    // The private per-user temporary directory (see platform/files.h); exists on return.
    virtual std::filesystem::path tempDirectory() = 0;
    // The program's own executable path.
    virtual std::filesystem::path executablePath() = 0;
    // Directories searched for the program's pictures, in order: the executable's directory
    // and its "../share/pelimoor".
    virtual std::vector<std::filesystem::path> dataDirectories();
    // Shows an application-modal box owned by `owner` (may be null) and returns the button
    // pressed; Escape or closing the box gives QMessageBox::NoButton unless the box has one
    // button, which then counts as pressed.
    virtual QMessageBox::StandardButton showMessage(QWidget* owner, const MessageRequest& request) = 0;
    // Runs an open-file dialog. Returns the chosen file paths, empty when cancelled.
    virtual QStringList chooseFiles(QWidget* owner, const FileDialogRequest& request) = 0;
    // Runs a folder dialog starting in `start` (empty: the dialog's own choice). Returns the chosen
    // directory, empty when cancelled.
    virtual QString chooseDirectory(QWidget* owner, const QString& caption, const QString& start) = 0;
    // Hands `path` to the desktop's opener. Returns false when nothing was opened.
    virtual bool openWithDesktop(const QString& path) = 0;
    // Ends the process with `code`. The real implementation never returns.
    virtual void terminateProcess(int code) = 0;
};

// The environment in use: the real one unless a test installed another.
Environment& environment();

// Installs `env` (not owned; must outlive its use) as the environment; null restores the real one.
void installEnvironment(Environment* env);

// A test double: answers from queues, records every request.
class FakeEnvironment : public Environment
{
public:
    // Files go under `root`: temporary directory `root`/tmp, executable `root`/bin/pelimoor.
    explicit FakeEnvironment(const std::filesystem::path& root);

    std::filesystem::path tempDirectory() override { return m_tempDirectory; }
    std::filesystem::path executablePath() override { return m_executablePath; }
    std::vector<std::filesystem::path> dataDirectories() override;
    QMessageBox::StandardButton showMessage(QWidget* owner, const MessageRequest& request) override;
    QStringList chooseFiles(QWidget* owner, const FileDialogRequest& request) override;
    QString chooseDirectory(QWidget* owner, const QString& caption, const QString& start) override;
    bool openWithDesktop(const QString& path) override;
    void terminateProcess(int code) override;

    // Answers for the next message boxes, in order; when empty a box answers Ok if it has it,
    // else Yes if it has it, else NoButton.
    std::deque<QMessageBox::StandardButton> nextAnswers;
    // Results of the next file dialogs, in order; when empty a dialog is cancelled.
    std::deque<QStringList> nextFiles;
    // Results of the next folder dialogs, in order; when empty a dialog is cancelled.
    std::deque<QString> nextDirectories;

    std::vector<MessageRequest> messages;
    std::vector<FileDialogRequest> fileDialogs;
    QStringList directoryDialogs;
    QStringList directoryStarts;
    QStringList opened;
    std::vector<int> terminations;

    std::filesystem::path m_tempDirectory;
    std::filesystem::path m_executablePath;
    std::vector<std::filesystem::path> m_dataDirectories;
};

} // namespace platform

#include "platform/environment.h"

#include "platform/files.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QUrl>

namespace platform {
namespace {

class RealEnvironment : public Environment
{
public:
    std::filesystem::path tempDirectory() override { return privateTempDirectory(); }
    std::filesystem::path executablePath() override { return ownExecutablePath(); }

    QMessageBox::StandardButton showMessage(QWidget* owner, const MessageRequest& request) override
    {
        QMessageBox box(request.icon, request.caption, request.text, request.buttons, owner);
        box.setWindowModality(Qt::ApplicationModal);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    }

    QStringList chooseFiles(QWidget* owner, const FileDialogRequest& request) override
    {
        if (request.multiple)
            return QFileDialog::getOpenFileNames(owner, request.caption, request.directory, request.filter);
        QString file = QFileDialog::getOpenFileName(owner, request.caption, request.directory, request.filter);
        return file.isEmpty() ? QStringList() : QStringList{file};
    }

    QString chooseDirectory(QWidget* owner, const QString& caption, const QString& start) override
    {
        return QFileDialog::getExistingDirectory(owner, caption, start);
    }

    bool openWithDesktop(const QString& path) override
    {
        if (!QFileInfo::exists(path))
            return false;
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    }

    void terminateProcess(int code) override { platform::terminateProcess(code); }
};

Environment* g_installed = nullptr;

} // namespace

std::vector<std::filesystem::path> Environment::dataDirectories()
{
    std::filesystem::path dir = executablePath().parent_path();
    return {dir, dir.parent_path() / "share" / "pelimoor"};
}

Environment& environment()
{
    static RealEnvironment real;
    return g_installed != nullptr ? *g_installed : real;
}

void installEnvironment(Environment* env)
{
    g_installed = env;
}

FakeEnvironment::FakeEnvironment(const std::filesystem::path& root)
    : m_tempDirectory(root / "tmp"), m_executablePath(root / "bin" / "pelimoor")
{
    std::filesystem::create_directories(m_tempDirectory);
    std::filesystem::create_directories(m_executablePath.parent_path());
}

std::vector<std::filesystem::path> FakeEnvironment::dataDirectories()
{
    if (!m_dataDirectories.empty())
        return m_dataDirectories;
    return Environment::dataDirectories();
}

QMessageBox::StandardButton FakeEnvironment::showMessage(QWidget*, const MessageRequest& request)
{
    messages.push_back(request);
    if (!nextAnswers.empty()) {
        QMessageBox::StandardButton answer = nextAnswers.front();
        nextAnswers.pop_front();
        return answer;
    }
    for (QMessageBox::StandardButton b : {QMessageBox::Ok, QMessageBox::Yes})
        if (request.buttons.testFlag(b))
            return b;
    return QMessageBox::NoButton;
}

QStringList FakeEnvironment::chooseFiles(QWidget*, const FileDialogRequest& request)
{
    fileDialogs.push_back(request);
    if (nextFiles.empty())
        return {};
    QStringList files = nextFiles.front();
    nextFiles.pop_front();
    return files;
}

QString FakeEnvironment::chooseDirectory(QWidget*, const QString& caption, const QString& start)
{
    directoryDialogs.push_back(caption);
    directoryStarts.push_back(start);
    if (nextDirectories.empty())
        return {};
    QString dir = nextDirectories.front();
    nextDirectories.pop_front();
    return dir;
}

bool FakeEnvironment::openWithDesktop(const QString& path)
{
    opened.push_back(path);
    return QFileInfo::exists(path);
}

void FakeEnvironment::terminateProcess(int code)
{
    terminations.push_back(code);
}

} // namespace platform

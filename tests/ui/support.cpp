#include "support.h"

#include <QFile>
#include <QSettings>

namespace testing_ui {

Window::Window() : root(dir.path().toStdString())
{
    env = std::make_unique<platform::FakeEnvironment>(root);
    platform::installEnvironment(env.get());
    // Each window reads and writes settings of its own.
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QString::fromStdString((root / "config").string()));
    dialog = std::make_unique<ui::CPelimoorDlg>(store);
}

Window::~Window()
{
    dialog.reset();
    contacts::contact_store_clear(store);
    platform::installEnvironment(nullptr);
}

QByteArray Window::readBytes(const std::filesystem::path& file)
{
    QFile f(QString::fromStdString(file.string()));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void Window::choose(const std::string& file)
{
    env->nextFiles.push_back(QStringList{QString::fromStdString(file)});
    dialog->OnBrowse();
}

QByteArray utf16le(std::u16string_view text)
{
    QByteArray bytes;
    for (char16_t c : text) {
        bytes.append(static_cast<char>(c & 0xFF));
        bytes.append(static_cast<char>(c >> 8));
    }
    return bytes;
}

} // namespace testing_ui

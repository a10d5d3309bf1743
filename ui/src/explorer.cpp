#include "ui/explorer.h"

#include "platform/environment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QRegularExpression>
#include <QSplitter>
#include <QTextBrowser>

namespace ui {
namespace {

constexpr auto kStartPage = ":/pelimoor/start.html";

bool readFile(const QString& path, QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bytes = file.readAll();
    return true;
}

// Attribute values carry character references for quotes, ampersands and angle brackets.
QString unescapeAttribute(QString value)
{
    value.replace(QLatin1String("&lt;"), QLatin1String("<"));
    value.replace(QLatin1String("&gt;"), QLatin1String(">"));
    value.replace(QLatin1String("&quot;"), QLatin1String("\""));
    value.replace(QLatin1String("&#39;"), QLatin1String("'"));
    value.replace(QLatin1String("&amp;"), QLatin1String("&"));
    return value;
}

QStringList dataDirectories()
{
    QStringList dirs;
    for (const auto& dir : platform::environment().dataDirectories())
        dirs << QString::fromStdString(dir.string());
    return dirs;
}

} // namespace

QString decodePageBytes(const QByteArray& bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes.mid(3));
    if (bytes.startsWith("\xFF\xFE"))
        return QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData() + 2), (bytes.size() - 2) / 2);
    if (!bytes.contains('\0'))
        return QString::fromUtf8(bytes);
    QString text(bytes.size() / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = QChar(static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                              (static_cast<unsigned char>(bytes[2 * i + 1]) << 8)));
    return text;
}

CExplorer1::CExplorer1(QWidget* parent) : QWidget(parent)
{
    setAccessibleName(QStringLiteral("Preview"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setChildrenCollapsible(false);
    layout->addWidget(m_splitter);
    setFocusProxy(m_splitter);
}

std::vector<QTextBrowser*> CExplorer1::frames() const
{
    std::vector<QTextBrowser*> list;
    for (int i = 0; i < m_splitter->count(); ++i)
        if (auto* browser = qobject_cast<QTextBrowser*>(m_splitter->widget(i)); browser && !browser->isHidden())
            list.push_back(browser);
    return list;
}

QString CExplorer1::visibleText() const
{
    QStringList parts;
    for (QTextBrowser* browser : frames())
        parts << browser->toPlainText();
    return parts.join(QLatin1Char('\n'));
}

bool CExplorer1::Navigate(const QString& url)
{
    QString path = url;
    if (url.startsWith(QLatin1String("http:")) || url.startsWith(QLatin1String("https:")))
        path = QString::fromLatin1(kStartPage);
    QByteArray bytes;
    if (!readFile(path, bytes))
        return false;
    const QString page = decodePageBytes(bytes);
    const QString baseDir = QFileInfo(path).absolutePath();

    static const QRegularExpression frameset(QStringLiteral("<frameset\\b"), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression frame(QStringLiteral("<frame\\b[^>]*\\bsrc\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)')"),
                                          QRegularExpression::CaseInsensitiveOption);
    QStringList sources;
    QStringList texts;
    QStringList bases;
    if (frameset.match(page).hasMatch()) {
        for (auto it = frame.globalMatch(page); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const QString source = unescapeAttribute(m.captured(1) + m.captured(2));
            QFileInfo info(source);
            const QString framePath = info.isAbsolute() ? source : QDir(baseDir).filePath(source);
            QByteArray frameBytes;
            sources << framePath;
            texts << (!source.isEmpty() && readFile(framePath, frameBytes) ? decodePageBytes(frameBytes) : QString());
            bases << QFileInfo(framePath).absolutePath();
        }
    }
    if (sources.isEmpty()) {
        sources << path;
        texts << page;
        bases << baseDir;
    }
    showFrames(sources, texts, bases);
    m_currentPath = url;
    return true;
}

void CExplorer1::showFrames(const QStringList& sources, const QStringList& texts, const QStringList& baseDirs)
{
    while (m_splitter->count() < sources.size()) {
        auto* browser = new QTextBrowser(m_splitter);
        browser->setOpenLinks(false);
        browser->setAccessibleName(QStringLiteral("Preview"));
        m_splitter->addWidget(browser);
    }
    const QStringList data = dataDirectories();
    for (int i = 0; i < m_splitter->count(); ++i) {
        auto* browser = static_cast<QTextBrowser*>(m_splitter->widget(i));
        if (i >= sources.size()) {
            browser->hide();
            browser->clear();
            continue;
        }
        browser->setSearchPaths(QStringList{baseDirs[i]} + data);
        browser->document()->clear();
        if (sources[i].endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
            browser->setPlainText(texts[i]);
        else
            browser->setHtml(texts[i]);
        browser->show();
    }
    QList<int> sizes;
    for (int i = 0; i < sources.size(); ++i)
        sizes << 1000;
    m_splitter->setSizes(sizes);
}

} // namespace ui

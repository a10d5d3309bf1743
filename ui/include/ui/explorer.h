// The browser pane: shows the status pages and the contact preview from local files.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <vector>

class QSplitter;
class QTextBrowser;

namespace ui {

// Decodes a page file: UTF-16LE (with or without byte-order mark) unless the bytes are UTF-8
// (a UTF-8 byte-order mark, or no NUL byte at all).
QString decodePageBytes(const QByteArray& bytes);

class CExplorer1 : public QWidget
{
    Q_OBJECT
public:
    explicit CExplorer1(QWidget* parent = nullptr);

    // Shows the local file `url` (a plain path). A frameset page shows its frames side by side;
    // relative picture names are looked up beside the page, then in the program's data
    // directories. A remote address shows the built-in start page instead. A file that cannot be
    // read leaves the pane as it was and returns false.
    bool Navigate(const QString& url);

    // The path shown last ("" before the first navigation).
    QString currentPath() const { return m_currentPath; }
    // One browser per frame shown (one for an ordinary page).
    std::vector<QTextBrowser*> frames() const;
    // The plain text of all frames, joined by newlines.
    QString visibleText() const;

private:
    void showFrames(const QStringList& sources, const QStringList& texts, const QStringList& baseDirs);

    QSplitter* m_splitter = nullptr;
    QString m_currentPath;
};

} // namespace ui

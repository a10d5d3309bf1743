// The application object: start-up order, Help, the exit question.
#pragma once

#include <QString>
#include <functional>
#include <memory>

class QApplication;
class QDialog;
class QWidget;

namespace controls {

class CPelimoorApp
{
public:
    using DialogFactory = std::function<std::unique_ptr<QDialog>()>;

    // Sets the application's organisation name (nothing is stored under it), builds the main
    // dialog with `makeMainDialog`, runs it modally and destroys it. Returns false, as the
    // program ends when the dialog has ended. A QApplication must exist.
    bool InitInstance(const DialogFactory& makeMainDialog);
};

// Help > Content: opens "tressoly-pst-contacts.chm" in `startupDirectory` through the desktop's
// opener. Nothing happens when the file is missing. Returns the path tried.
QString openHelpContent(const QString& startupDirectory);

// The exit and close question. On Yes the process ends at once with status 0 (through the
// platform environment) and this returns true only when that environment did not end it;
// on No it returns false and nothing else happens. `beforeExit` runs on Yes, before the end
// (the window ends its workers there).
bool confirmExit(QWidget* owner, const std::function<void()>& beforeExit = {});

} // namespace controls

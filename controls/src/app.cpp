#include "controls/app.h"

#include "controls/dialogs.h"
#include "platform/environment.h"

#include <QApplication>
#include <QDialog>

namespace controls {

bool CPelimoorApp::InitInstance(const DialogFactory& makeMainDialog)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    std::unique_ptr<QDialog> dialog = makeMainDialog();
    dialog->exec();
    dialog.reset();
    return false;
}

QString openHelpContent(const QString& startupDirectory)
{
    const QString path = startupDirectory + QLatin1Char('/') + QStringLiteral("tressoly-pst-contacts.chm");
    platform::environment().openWithDesktop(path);
    return path;
}

bool confirmExit(QWidget* owner, const std::function<void()>& beforeExit)
{
    platform::MessageRequest question{QStringLiteral("Do you want to Exit ?       "), caption(), QMessageBox::Question,
                                      QMessageBox::Yes | QMessageBox::No};
    if (platform::environment().showMessage(owner, question) != QMessageBox::Yes)
        return false;
    if (beforeExit)
        beforeExit();
    platform::environment().terminateProcess(0);
    return true;
}

} // namespace controls

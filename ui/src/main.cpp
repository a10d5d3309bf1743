#include "contacts/contact_store.h"
#include "controls/app.h"
#include "ui/main_dialog.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    controls::CPelimoorApp pelimoor;
    pelimoor.InitInstance([] { return std::make_unique<ui::CPelimoorDlg>(contacts::contact_store_instance()); });
    return 0;
}

#include <cstdio>
#include <string>
#include <vector>

#include "contacts/contact_store.h"
#include "controls/app.h"
#include "engine/pst_source.h"
#include "ui/main_dialog.h"

#include <QApplication>
#include <QTimer>

// pelimoor [--reader native|libpff] [--codepage N] [--no-recovery] [--ost] [FILE.pst]: the reader,
// the fallback code page of 8-bit texts, whether scans look beyond the live folders and read
// offline folder files (which turns File > "Read offline folder files (OST)" on), as for
// pelimoor-convert (PELIMOOR_READER, PELIMOOR_CODEPAGE and PELIMOOR_RECOVERY set the defaults); a
// file given is opened as if Browse had chosen it (several: one scan reads them one after another).
int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    std::string problem;
    engine::SourceOptions options = engine::source_options_from_environment(&problem);
    std::vector<std::string> rest;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!problem.empty() || !engine::take_source_options(args, &rest, &options, &problem)) {
        std::fprintf(stderr, "pelimoor: %s\n", problem.c_str());
        return 2;
    }
    QStringList files;
    for (const std::string& arg : rest) {
        if (arg.starts_with("-")) {
            std::fprintf(stderr,
                         "pelimoor: unknown option %s\nUsage: pelimoor [--reader native|libpff] [--codepage N] "
                         "[--no-recovery] [--ost] [FILE.pst...]\n",
                         arg.c_str());
            return 2;
        }
        files.append(QString::fromLocal8Bit(arg.c_str()));
    }
    controls::CPelimoorApp pelimoor;
    pelimoor.InitInstance([options, files] {
        auto dialog = std::make_unique<ui::CPelimoorDlg>(contacts::contact_store_instance());
        dialog->setSourceOptions(options);
        if (!files.isEmpty()) {
            ui::CPelimoorDlg* shown = dialog.get();
            QTimer::singleShot(0, shown, [shown, files] { shown->OpenFiles(files); });
        }
        return dialog;
    });
    return 0;
}

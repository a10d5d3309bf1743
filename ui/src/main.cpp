#include <cstdio>
#include <string>
#include <vector>

#include "contacts/contact_store.h"
#include "controls/app.h"
#include "engine/pst_source.h"
#include "ui/main_dialog.h"

#include <QApplication>

// pelimoor [--reader native|libpff] [--codepage N]: the reader and the fallback code page of
// 8-bit texts, as for pelimoor-convert (PELIMOOR_READER and PELIMOOR_CODEPAGE set the defaults).
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
    controls::CPelimoorApp pelimoor;
    pelimoor.InitInstance([options] {
        auto dialog = std::make_unique<ui::CPelimoorDlg>(contacts::contact_store_instance());
        dialog->setSourceOptions(options);
        return dialog;
    });
    return 0;
}

// Shared set-up of the window tests: a private directory, the fake environment installed, the
// pictures beside the fake program, and a fresh dialog over its own store.
#pragma once

#include "contacts/contact_store.h"
#include "platform/environment.h"
#include "ui/main_dialog.h"

#include <QTemporaryDir>
#include <memory>

namespace testing_ui {

struct Window
{
    Window();
    ~Window();

    std::string path(const char* name) const { return (root / name).string(); }
    // The bytes of a file (empty when missing).
    static QByteArray readBytes(const std::filesystem::path& file);
    // The status page file of the fake program.
    std::filesystem::path pageFile() const { return root / "bin" / "pelimoortemp.html"; }
    // Chooses `file` with Browse, through the fake file dialog.
    void choose(const std::string& file);

    QTemporaryDir dir;
    std::filesystem::path root;
    std::unique_ptr<platform::FakeEnvironment> env;
    contacts::ContactStore store;
    std::unique_ptr<ui::CPelimoorDlg> dialog;
};

// The UTF-16LE bytes of `text`.
QByteArray utf16le(std::u16string_view text);

} // namespace testing_ui

// The Sources menu in the real window: one check box per source, Contacts alone at first, the
// choice remembered and never empty; an .nk2 file chosen with Browse and a file's recipient cache
// scanned on the real scan thread, their cards named in the Origin column and the preview.
#include "support.h"

#include "contacts/contact_record.h"
#include "engine/sources.h"
#include "fixture/autocomplete.h"
#include "fixture/fixture.h"
#include "ui/contact_list.h"
#include "ui/explorer.h"
#include "ui/preview.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>
#include <fstream>

using testing_ui::Window;
using namespace ui;

namespace {

QAction* sourceAction(CPelimoorDlg& d, engine::Source source)
{
    return d.findChild<QAction*>(QStringLiteral("id%1").arg(kMenuSourceFirst + int(source)));
}

QStringList checked(CPelimoorDlg& d)
{
    QStringList names;
    for (const engine::SourceInfo& info : engine::kSources) {
        QAction* action = sourceAction(d, info.source);
        if (action == nullptr)
            return {QStringLiteral("missing")};
        if (action->isChecked())
            names << QString::fromLatin1(info.name.data(), qsizetype(info.name.size()));
    }
    return names;
}

QString savedSources()
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("pelimoor"),
                       QStringLiteral("pelimoor"));
    return settings.value(QStringLiteral("files/sources")).toString();
}

void scan(Window& w, const std::string& path)
{
    w.choose(path);
    w.dialog->OnScan();
    QVERIFY(w.dialog->waitForWorkers(30000));
}

QStringList originColumn(ContactListModel& model)
{
    QStringList cells;
    for (int row = 0; row < model.rowCount(); ++row)
        cells << model.data(model.index(row, model.originColumn())).toString();
    return cells;
}

std::u16string heading(contacts::Origin origin)
{
    return u"<h3>" + std::u16string(originLabel(origin)) + u"</h3><i>" + std::u16string(originNote(origin)) +
           u"</i><br><br>";
}

void clickRow(CPelimoorDlg& d, int row)
{
    QTableView* list = d.contactList();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(row, 2)).center());
}

} // namespace

class SourcesTest : public QObject
{
    Q_OBJECT
private slots:
    void menuChoiceIsRememberedAndNeverEmpty()
    {
        Window w;
        QCOMPARE(checked(*w.dialog), QStringList{QStringLiteral("contacts")});
        auto* menu = qobject_cast<QMenu*>(sourceAction(*w.dialog, engine::Source::contacts)->parent());
        QVERIFY(menu != nullptr);
        QCOMPARE(menu->title(), QStringLiteral("&Sources"));
        QStringList texts;
        for (QAction* a : menu->actions())
            texts << a->text() + (a->isCheckable() ? QStringLiteral(" [x]") : QString());
        QCOMPARE(texts,
                 (QStringList{QStringLiteral("&Contacts [x]"), QStringLiteral("&Autocomplete list [x]"),
                              QStringLiteral("&Recipient cache [x]"), QStringLiteral("&People in the mail [x]")}));
        // The menu sits before Help.
        const QList<QAction*> bar = w.dialog->findChild<QMenuBar*>()->actions();
        QCOMPARE(bar.at(bar.size() - 2)->text(), QStringLiteral("&Sources"));

        sourceAction(*w.dialog, engine::Source::autocomplete)->trigger();
        sourceAction(*w.dialog, engine::Source::correspondents)->trigger();
        QCOMPARE(savedSources(), QStringLiteral("contacts,autocomplete,correspondents"));
        sourceAction(*w.dialog, engine::Source::contacts)->trigger();
        sourceAction(*w.dialog, engine::Source::autocomplete)->trigger();
        QCOMPARE(savedSources(), QStringLiteral("correspondents"));
        // The last one checked stays checked.
        sourceAction(*w.dialog, engine::Source::correspondents)->trigger();
        QCOMPARE(checked(*w.dialog), QStringList{QStringLiteral("correspondents")});
        QCOMPARE(savedSources(), QStringLiteral("correspondents"));

        // A new window reads the choice back; a list that does not read gives the default.
        w.dialog.reset();
        w.dialog = std::make_unique<CPelimoorDlg>(w.store);
        QCOMPARE(checked(*w.dialog), QStringList{QStringLiteral("correspondents")});
        w.dialog.reset();
        QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("pelimoor"), QStringLiteral("pelimoor"))
            .setValue(QStringLiteral("files/sources"), QStringLiteral("contacts,nonsense"));
        w.dialog = std::make_unique<CPelimoorDlg>(w.store);
        QCOMPARE(checked(*w.dialog), QStringList{QStringLiteral("contacts")});
    }

    void nk2FileGivesAutocompleteCards()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        std::vector<fixture::StreamRow> rows;
        for (const fixture::AutocompleteEntry& e : fixture::sample_autocomplete(5, 3))
            rows.push_back(fixture::autocomplete_row(e));
        const std::vector<uint8_t> bytes = fixture::autocomplete_stream(rows);
        const std::string path = w.path("Outlook.nk2");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        // Browse offers autocomplete lists while that source is chosen (the PST filters alone before).
        d.OnBrowse();
        QVERIFY(!w.env->fileDialogs.back().filter.contains(QStringLiteral("autocomplete")));
        sourceAction(d, engine::Source::autocomplete)->trigger();
        scan(w, path);
        QVERIFY(w.env->fileDialogs.back().filter.endsWith(QStringLiteral("Outlook autocomplete list (*.nk2 *.dat)")));
        QCOMPARE(w.store.size(), int64_t(5));
        QCOMPARE(originColumn(*d.contactModel()), QStringList(5, QStringLiteral("Autocomplete")));
        clickRow(d, 0);
        const contacts::ContactRecord& r = *d.contactModel()->record(0);
        QCOMPARE(Window::readBytes(w.root / "tmp" / kPreviewFieldsFile),
                 testing_ui::utf16le(heading(contacts::Origin::autocomplete) + previewFieldsText(r)));
        QCOMPARE(d.browserPane()->frames().at(0)->toPlainText().section(QLatin1Char('\n'), 0, 0),
                 QStringLiteral("Autocomplete"));
    }

    void recipientCacheFollowsTheMenu()
    {
        Window w;
        CPelimoorDlg& d = *w.dialog;
        const std::string path = w.path("cache.pst");
        const std::string description = R"({"folders": [{"name": "Contacts", "class": "IPF.Contact", "messages": [
            {"class": "IPM.Contact", "props": [{"tag": "0x3A06", "type": "unicode", "value": "Anna"}]}],
            "folders": [{"name": "Recipient Cache", "class": "IPF.Contact.RecipientCache", "messages": [
            {"class": "IPM.AbchPerson", "props": [{"tag": "0x3A06", "type": "unicode", "value": "Hugo"}]}]}]}]})";
        QVERIFY(fixture::write_from_json(path, description).ok);
        scan(w, path);
        QCOMPARE(w.store.size(), int64_t(1));
        sourceAction(d, engine::Source::recipients)->trigger();
        scan(w, path);
        QCOMPARE(w.store.size(), int64_t(2));
        QStringList origins = originColumn(*d.contactModel());
        origins.sort();
        QCOMPARE(origins, (QStringList{QString(), QStringLiteral("Recipient cache")}));
    }
};

QTEST_MAIN(SourcesTest)
#include "sources_test.moc"

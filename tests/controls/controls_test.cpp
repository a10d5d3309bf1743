#include "controls/app.h"
#include "controls/control_resizer.h"
#include "controls/dialogs.h"
#include "controls/folder_tree.h"
#include "controls/pictures.h"
#include "platform/environment.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace controls;

class ControlsTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_env = std::make_unique<platform::FakeEnvironment>(m_dir->path().toStdString());
        platform::installEnvironment(m_env.get());
    }
    void cleanup()
    {
        platform::installEnvironment(nullptr);
        m_env.reset();
        m_dir.reset();
    }

    void folderKinds_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("hint");
        QTest::addColumn<int>("kind");
        struct Case
        {
            const char* name;
            char hint;
            int kind;
        };
        const Case cases[] = {
            {"Inbox", 0, 7},         {"inbox", 0, 7},         {"INBOX", 0, 7},        {"Inbox ", 0, 0},
            {"Deleted Items", 0, 5}, {"Deleted-Items", 0, 0}, {"Calendar", 0, 3},     {"Contacts", 0, 4},
            {"Drafts", 0, 6},        {"Journal", 0, 8},       {"Junk E-mails", 0, 9}, {"Junk E-mail", 0, 0},
            {"Notes", 0, 10},        {"Outbox", 0, 11},       {"Sent Items", 0, 12},  {"Tasks", 0, 13},
            {"Sync Issues", 0, 14},  {"All", 0, 0},           {"123", 0, 0},          {"Q", 0, 0},
            {"Inbox", 'a', 3},       {"Inbox", 'c', 4},       {"Calendar", 'c', 3},   {"Tasks", 'x', 13},
            {"\u00e9tasks", 0, 0},   {"tAsKs", 0, 13},
        };
        for (const Case& c : cases)
            QTest::addRow("%s/%c", c.name, c.hint ? c.hint : '-') << QString::fromUtf8(c.name) << int(c.hint) << c.kind;
    }
    void folderKinds()
    {
        QFETCH(QString, name);
        QFETCH(int, hint);
        QFETCH(int, kind);
        QCOMPARE(folderKind(name, char(hint)), kind);
        // Under a parent the image follows the kind; at the top level it is always 0.
        CFolderTreeCtrl1 tree;
        QTreeWidgetItem* root = InsertFolder(&tree, nullptr, name, char(hint));
        QCOMPARE(CFolderTreeCtrl1::imageIndex(root), 0);
        QCOMPARE(tree.rootItem(), root);
        QTreeWidgetItem* child = InsertFolder(&tree, root, name, char(hint));
        QCOMPARE(CFolderTreeCtrl1::imageIndex(child), kind);
        QCOMPARE(child->text(0), name);
    }

    void imageListHasSeventeenDistinctPictures()
    {
        const QList<QIcon>& icons = folderImageList();
        QCOMPARE(icons.size(), kFolderImageCount);
        QSet<QByteArray> pictures;
        for (const QIcon& icon : icons) {
            const QImage image = icon.pixmap(16, 16).toImage();
            QCOMPARE(image.size(), QSize(16, 16));
            pictures.insert(QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes()));
        }
        // 145 appears three times (indices 0, 1, 4): 15 different pictures.
        QCOMPARE(pictures.size(), 15);
        QCOMPARE(icons[0].pixmap(16, 16).toImage(), icons[4].pixmap(16, 16).toImage());
    }

    void treeForAFileHas29ExpandedItems()
    {
        CFolderTreeCtrl1 tree;
        for (int round = 0; round < 2; ++round) {
            tree.Clear();
            QTreeWidgetItem* root = tree.BuildForFile(QStringLiteral("/data/mail/Outlook%1.pst").arg(round));
            QCOMPARE(tree.topLevelItemCount(), 1);
            QCOMPARE(root->text(0), QStringLiteral("/data/mail/Outlook%1.pst").arg(round));
            QCOMPARE(root->childCount(), 28);
            QVERIFY(root->isExpanded());
            QStringList labels;
            for (int i = 0; i < root->childCount(); ++i) {
                labels << root->child(i)->text(0);
                QCOMPARE(CFolderTreeCtrl1::imageIndex(root->child(i)), 0);
                QCOMPARE(root->child(i)->childCount(), 0);
            }
            QCOMPARE(labels, indexEntryLabels());
            QCOMPARE(labels.first(), QStringLiteral("All"));
            QCOMPARE(labels.at(1), QStringLiteral("123"));
            QCOMPARE(labels.last(), QStringLiteral("Z"));
        }
        tree.Clear();
        QCOMPARE(tree.topLevelItemCount(), 0);
        QCOMPARE(tree.rootItem(), nullptr);
    }

    void pressesAndKeys()
    {
        CFolderTreeCtrl1 tree;
        tree.resize(240, 700);
        tree.BuildForFile(QStringLiteral("/f.pst"));
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        QSignalSpy fills(&tree, &CFolderTreeCtrl1::listFillRequested);
        QTreeWidgetItem* b = tree.rootItem()->child(3);
        // A press on the label and one far to the right of it both hit the row.
        QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, tree.visualItemRect(b).center());
        QCOMPARE(fills.size(), 1);
        QCOMPARE(fills.at(0).at(0).toString(), QStringLiteral("B"));
        QCOMPARE(tree.currentItem(), b);
        const QRect cRow = tree.visualItemRect(tree.rootItem()->child(4));
        QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, QPoint(tree.viewport()->width() - 3, cRow.center().y()));
        QCOMPARE(fills.size(), 2);
        QCOMPARE(fills.at(1).at(0).toString(), QStringLiteral("C"));

        // Below the last entry: nothing at all.
        tree.collapseItem(tree.rootItem());
        QTreeWidgetItem* before = tree.currentItem();
        QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, QPoint(20, tree.viewport()->height() - 5));
        QCOMPARE(fills.size(), 2);
        QCOMPARE(tree.currentItem(), before);
        tree.expandItem(tree.rootItem());

        // Keys move the selection only; Space does nothing.
        tree.setCurrentItem(b);
        QTest::keyClick(&tree, Qt::Key_Down);
        QCOMPARE(tree.currentItem()->text(0), QStringLiteral("C"));
        QTest::keyClick(&tree, Qt::Key_Space);
        QCOMPARE(tree.currentItem()->text(0), QStringLiteral("C"));
        QCOMPARE(fills.size(), 2);
        QVERIFY(!tree.currentItem()->font(0).bold());
    }

    void pressOnRootStartsAFillAndStillToggles()
    {
        CFolderTreeCtrl1 tree;
        tree.resize(240, 700);
        tree.BuildForFile(QStringLiteral("/f.pst"));
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        QSignalSpy fills(&tree, &CFolderTreeCtrl1::listFillRequested);
        const QRect rootRow = tree.visualItemRect(tree.rootItem());
        // The expand button sits in the indentation left of the label.
        QTest::mouseClick(tree.viewport(), Qt::LeftButton, {},
                          QPoint(rootRow.left() - tree.indentation() / 2, rootRow.center().y()));
        QCOMPARE(fills.size(), 1);
        QCOMPARE(fills.at(0).at(0).toString(), QStringLiteral("/f.pst"));
        QVERIFY(!tree.rootItem()->isExpanded());
    }

    void saveOptionFlags()
    {
        auto flags = [] {
            QList<int> v;
            for (auto& f : formatFlags())
                v << f.load();
            return v;
        };
        QCOMPARE(flags(), (QList<int>{0, 0, 0, 0, 0}));
        auto runDialog = [](const std::function<void(SaveOption&)>& act, bool ok) {
            SaveOption dialog;
            QCOMPARE(dialog.windowTitle(), QStringLiteral("Saving Option"));
            dialog.show();
            for (int id = 1017; id <= 1021; ++id)
                QVERIFY(!static_cast<QRadioButton*>(findControl(&dialog, id))->isChecked());
            act(dialog);
            QTest::mouseClick(static_cast<QWidget*>(findControl(&dialog, ok ? 1 : 2)), Qt::LeftButton);
            QCOMPARE(dialog.result(), ok ? int(QDialog::Accepted) : int(QDialog::Rejected));
        };
        auto click = [](int id) {
            return [id](SaveOption& d) { QTest::mouseClick(findControl(&d, id), Qt::LeftButton, {}, QPoint(8, 8)); };
        };
        runDialog([](SaveOption&) {}, true);
        QCOMPARE(flags(), (QList<int>{0, 0, 0, 0, 0}));
        QCOMPARE(chosenFormat(), 0);
        runDialog(click(1018), false);
        QCOMPARE(flags(), (QList<int>{0, 2, 0, 0, 0}));
        runDialog([](SaveOption&) {}, true);
        QCOMPARE(flags(), (QList<int>{0, 2, 0, 0, 0}));
        runDialog(
            [&](SaveOption& d) {
                click(1017)(d);
                click(1021)(d);
            },
            true);
        QCOMPARE(flags(), (QList<int>{0, 0, 0, 0, 5}));
        QCOMPARE(chosenFormat(), 5);
        runDialog(click(1019), true);
        QCOMPARE(flags(), (QList<int>{0, 0, 3, 0, 0}));
        runDialog(click(1020), true);
        QCOMPARE(chosenFormat(), 4);
    }

    // The version and layout beside ".VCF" and ".CSV": their entries, the defaults, OK keeping a
    // choice and Cancel leaving the one before.
    void saveOptionChoices()
    {
        const contacts::OutputChoices before = outputChoices();
        struct Step
        {
            int vcardIndex, csvIndex;
            bool ok;
            contacts::VcardVersion vcard;
            contacts::CsvLayout csv;
        };
        const Step steps[] = {
            {-1, -1, true, contacts::VcardVersion::v21, contacts::CsvLayout::pelimoor},
            {2, 1, false, contacts::VcardVersion::v21, contacts::CsvLayout::pelimoor},
            {1, 2, true, contacts::VcardVersion::v30, contacts::CsvLayout::outlook},
            {-1, -1, true, contacts::VcardVersion::v30, contacts::CsvLayout::outlook},
            {0, 0, true, contacts::VcardVersion::v21, contacts::CsvLayout::pelimoor},
        };
        outputChoices() = {};
        for (const Step& step : steps) {
            SaveOption dialog;
            auto* vcard = qobject_cast<QComboBox*>(findControl(&dialog, kVcardVersionId));
            auto* csv = qobject_cast<QComboBox*>(findControl(&dialog, kCsvLayoutId));
            QVERIFY(vcard && csv);
            QCOMPARE(vcard->count(), 3);
            QCOMPARE(vcard->itemText(0), QStringLiteral("vCard 2.1"));
            QCOMPARE(vcard->itemText(1), QStringLiteral("vCard 3.0 (Apple, iCloud, Google, Android, Nextcloud)"));
            QCOMPARE(vcard->itemText(2), QStringLiteral("vCard 4.0 (Thunderbird, RFC 6350)"));
            QCOMPARE(csv->itemText(0), QStringLiteral("Pelimoor (59 labels)"));
            QCOMPARE(csv->itemText(1), QStringLiteral("Google Contacts"));
            QCOMPARE(csv->itemText(2), QStringLiteral("Outlook"));
            // The boxes open on what was kept.
            QCOMPARE(vcard->currentIndex(), int(outputChoices().vcard));
            QCOMPARE(csv->currentIndex(), int(outputChoices().csv));
            dialog.show();
            if (step.vcardIndex >= 0)
                vcard->setCurrentIndex(step.vcardIndex);
            if (step.csvIndex >= 0)
                csv->setCurrentIndex(step.csvIndex);
            QTest::mouseClick(static_cast<QWidget*>(findControl(&dialog, step.ok ? 1 : 2)), Qt::LeftButton);
            QCOMPARE(int(outputChoices().vcard), int(step.vcard));
            QCOMPARE(int(outputChoices().csv), int(step.csv));
        }
        outputChoices() = before;
    }

    // "Merge duplicates": it opens on mergeDuplicates(); OK keeps a change, Cancel drops it.
    void saveOptionMerge()
    {
        struct Step
        {
            bool click, ok, kept;
        };
        const Step steps[] = {
            {false, true, false}, {true, false, false}, {true, true, true}, {false, true, true}, {true, true, false}};
        mergeDuplicates() = false;
        for (const Step& step : steps) {
            SaveOption dialog;
            auto* box = qobject_cast<QCheckBox*>(findControl(&dialog, kMergeDuplicatesId));
            QVERIFY(box);
            QCOMPARE(box->text(), QStringLiteral("Merge duplicates"));
            QCOMPARE(box->isChecked(), mergeDuplicates());
            dialog.show();
            if (step.click)
                QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, 8));
            QTest::mouseClick(static_cast<QWidget*>(findControl(&dialog, step.ok ? 1 : 2)), Qt::LeftButton);
            QCOMPARE(mergeDuplicates(), step.kept);
        }
        mergeDuplicates() = false;
    }

    void saveOptionTexts()
    {
        SaveOption dialog;
        const std::pair<int, const char*> texts[] = {
            {1017, "  Save as .PST               "}, {1018, "  Save as .VCF              "},
            {1019, "  Save as .CSV               "}, {1020, "  Save as .TXT               "},
            {1021, "  Save as .html              "}, {1022, "( Microsoft Outlook File Format) "},
            {1023, " (*.VCF File Format)"},          {1024, "(Microsoft Excel CSV File Format)               "},
            {1025, " (Text File Format) "},          {1026, " ( HTML File Format)"},
        };
        for (auto [id, text] : texts) {
            QWidget* w = findControl(&dialog, id);
            QVERIFY2(w != nullptr, qPrintable(QString::number(id)));
            const QString actual = id < 1022 ? static_cast<QRadioButton*>(w)->text() : static_cast<QLabel*>(w)->text();
            QCOMPARE(actual, QString::fromLatin1(text));
            if (id >= 1022)
                QVERIFY(qobject_cast<CColorStatic*>(w) != nullptr);
        }
        // The description paints its own background.
        auto* description = static_cast<CColorStatic*>(findControl(&dialog, 1022));
        description->setColors(Qt::white, QColor(10, 20, 30));
        const QImage shot = description->grab().toImage();
        QCOMPARE(shot.pixelColor(1, 1), QColor(10, 20, 30));
    }

    void aboutBox()
    {
        CAboutDlg about;
        QCOMPARE(about.windowTitle(), QStringLiteral("Tressoly Pelimoor"));
        auto* ok = qobject_cast<QPushButton*>(findControl(&about, 1006));
        QVERIFY(ok != nullptr);
        QCOMPARE(ok->text(), QStringLiteral("Ok"));
        QCOMPARE(ok->geometry(), dialogUnitsToPixels(202, 162, 50, 14));
        QTimer::singleShot(0, ok, [ok] { ok->click(); });
        QCOMPARE(about.exec(), int(QDialog::Accepted));
    }

    void exitQuestion()
    {
        m_env->nextAnswers = {QMessageBox::No, QMessageBox::Yes};
        QVERIFY(!confirmExit(nullptr));
        QVERIFY(m_env->terminations.empty());
        QVERIFY(confirmExit(nullptr));
        QCOMPARE(m_env->terminations, std::vector<int>{0});
        QCOMPARE(m_env->messages.size(), size_t(2));
        const platform::MessageRequest& q = m_env->messages.front();
        QCOMPARE(q.text, QStringLiteral("Do you want to Exit ?       "));
        QCOMPARE(q.caption, QStringLiteral("Tressoly Pelimoor"));
        QCOMPARE(q.icon, QMessageBox::Question);
        QCOMPARE(q.buttons, QMessageBox::Yes | QMessageBox::No);
    }

    void helpContent()
    {
        QCOMPARE(openHelpContent(m_dir->path()), m_dir->path() + QStringLiteral("/tressoly-pst-contacts.chm"));
        QCOMPARE(m_env->opened.size(), 1);
    }

    void resizerGeometry_data()
    {
        QTest::addColumn<unsigned>("flags");
        QTest::addColumn<QRect>("expected");
        // Start 10,20 100x50; window grows by 40 x 30, all edges moved.
        QTest::newRow("keep both") << 0x50u << QRect(10, 20, 100, 50);
        QTest::newRow("follow right and bottom") << 0xA0u << QRect(50, 50, 100, 50);
        QTest::newRow("stretch both") << 0xF0u << QRect(10, 20, 140, 80);
        QTest::newRow("neither: half") << 0x00u << QRect(30, 35, 100, 50);
        QTest::newRow("list 0xD0") << 0xD0u << QRect(10, 20, 140, 50);
        QTest::newRow("progress 0xE0") << 0xE0u << QRect(10, 50, 140, 50);
        QTest::newRow("tree 0x70") << 0x70u << QRect(10, 20, 100, 80);
        QTest::newRow("button 0x90") << 0x90u << QRect(50, 20, 100, 50);
    }
    void resizerGeometry()
    {
        QFETCH(unsigned, flags);
        QFETCH(QRect, expected);
        ControlRecord r{1, flags, 20, 10, 110, 70, nullptr};
        applySizeChange(r, kRightMoved | kBottomMoved, 40, 30);
        QCOMPARE(placement(r), expected);
    }

    void resizerHalfStepsAccumulate()
    {
        ControlRecord r{1, 0, 0, 10, 20, 10, nullptr};
        QVERIFY(applySizeChange(r, kRightMoved, 3, 0));
        QCOMPARE(placement(r).left(), 11);
        QVERIFY(applySizeChange(r, kRightMoved, 3, 0));
        QCOMPARE(placement(r).left(), 13);
        QCOMPARE(placement(r).width(), 10);
        // A move without a size change, or a change of an edge that did not move, does nothing.
        QVERIFY(!applySizeChange(r, kLeftMoved | kRightMoved | kTopMoved | kBottomMoved, 0, 0));
        QVERIFY(!applySizeChange(r, kLeftMoved, 0, 5));
        QCOMPARE(placement(r).left(), 13);
    }

    void resizerOnWidgets()
    {
        QWidget dialog;
        dialog.resize(400, 300);
        auto* list = new QWidget(&dialog);
        setControlId(list, 1005);
        list->setGeometry(10, 10, 100, 50);
        auto* button = new QWidget(&dialog);
        setControlId(button, 1002);
        button->setGeometry(300, 10, 40, 20);
        CControlResizer resizer;
        QVERIFY(resizer.AddControl(1005, 0xD0));
        QVERIFY(resizer.AddControl(1002, 0x90));
        QVERIFY(resizer.AddControl(4242, 0xF0)); // no such child: skipped
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        resizer.Setup(&dialog, RSZ_OPT_SIZEGRIP);
        QCOMPARE(resizer.count(), 4);
        QVERIFY(resizer.sizeGrip() != nullptr);
        const QRect start = CControlResizer::windowRect(&dialog);
        resizer.Resize(start.adjusted(0, 0, 60, 40));
        QCOMPARE(list->geometry(), QRect(10, 10, 160, 50));
        QCOMPARE(button->geometry(), QRect(360, 10, 40, 20));
        QCOMPARE(resizer.sizeGrip()->geometry().bottomRight(), QPoint(459, 339));
        resizer.Resize(start.adjusted(0, 0, 60, 40).translated(15, 15)); // moved only
        QCOMPARE(list->geometry(), QRect(10, 10, 160, 50));
        QVERIFY(!resizer.sizeGrip()->isHidden());

        CControlResizer full;
        for (int i = 0; i < CControlResizer::kCapacity; ++i)
            QVERIFY(full.AddControl(i, 0));
        QVERIFY(!full.AddControl(999, 0));
    }

    void statusPictures()
    {
        for (const char* name : {"loading.gif", "done.gif", "stop.gif"}) {
            const QImage image = statusPicture(QString::fromLatin1(name));
            QCOMPARE(image.size(), QSize(100, 100));
        }
        QVERIFY(statusPicture(QStringLiteral("other.gif")).isNull());
        QVERIFY(!applicationIcon().isNull());
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<platform::FakeEnvironment> m_env;
};

QTEST_MAIN(ControlsTest)
#include "controls_test.moc"

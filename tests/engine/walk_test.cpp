// The walk over files our own writer makes at test time: order, names, item types, progress.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "contacts/contact_store.h"
#include "engine/scan_run.h"
#include "recording_observer.h"
#include "test_files.h"

namespace {

using enginetest::RecordingObserver;
using testfiles::folder;
using testfiles::json;
using testfiles::message;
using testfiles::unicode;

json contact(const std::string& first_name, const std::string& message_class = "IPM.Contact")
{
    return message(message_class, json::array({unicode(0x3A06, first_name)}));
}

class Walk : public ::testing::Test
{
protected:
    // Scans a file made from `description`; 1 when the scan went through.
    int scan(const json& description)
    {
        const std::string path = testfiles::write_pst(m_dir, "walk.pst", description);
        m_result = engine::scan_run(m_session, path, m_store, m_observer);
        return m_result.outcome == engine::ScanOutcome::Done ? 1 : 0;
    }
    std::vector<std::string> names_in_store() const
    {
        std::vector<std::string> names;
        for (auto* r = m_store.first(); r != nullptr; r = r->next()) {
            names.push_back(enginetest::utf8(r->text_or_empty(contacts::Field::first_name)));
        }
        return names;
    }

    testfiles::TempDir m_dir;
    contacts::ContactStore m_store;
    engine::ScanSession m_session;
    RecordingObserver m_observer;
    engine::ScanResult m_result;
};

// Depth first: a folder's sub folders (each completely) before its own messages.
TEST_F(Walk, SubFoldersBeforeMessagesDepthFirst)
{
    const json description = {
        {"folders", json::array({
                        folder("A", json::array({contact("a1"), contact("a2")}),
                               json::array({folder("A1", json::array({contact("x")}),
                                                   json::array({folder("A1a", json::array({contact("deep")}))})),
                                            folder("A2", json::array({contact("y")}))})),
                        folder("B", json::array({contact("b")})),
                    })},
    };
    ASSERT_EQ(scan(description), 1);
    EXPECT_EQ(names_in_store(), (std::vector<std::string>{"deep", "x", "y", "a1", "a2", "b"}));
    EXPECT_EQ(m_observer.first_names, names_in_store()); // each row announced before its append
    EXPECT_EQ(m_session.contact_count(), 6);
    std::vector<std::string> ours;
    for (const auto& f : m_observer.folders) {
        if (f.find("\\A") != std::string::npos || f.find("\\B") != std::string::npos) {
            ours.push_back(f.substr(f.rfind("Personal Folders") + 16));
        }
    }
    EXPECT_EQ(ours, (std::vector<std::string>{"\\A", "\\A\\A1", "\\A\\A1\\A1a", "\\A\\A2", "\\B"}));
    for (const auto& f : m_observer.folders) {
        EXPECT_EQ(f.rfind(".export\\", 0), 0u) << f;
    }
}

TEST_F(Walk, NamelessAndOddlyNamedFolders)
{
    const json description = {
        {"folders", json::array({folder(
                        "Parent", json::array(),
                        json::array({folder("", json::array({contact("n1")})), folder("", json::array({contact("n2")})),
                                     folder("a/b:c*?", json::array({contact("odd")}))}))})},
    };
    ASSERT_EQ(scan(description), 1);
    EXPECT_EQ(names_in_store(), (std::vector<std::string>{"n1", "n2", "odd"}));
    std::vector<std::string> tails;
    for (const auto& f : m_observer.folders) {
        const auto at = f.find("\\Parent\\");
        if (at != std::string::npos) {
            tails.push_back(f.substr(at + 8));
        }
    }
    EXPECT_EQ(tails, (std::vector<std::string>{"Folder00001", "Folder00002", "a_b_c__"}));
}

// Only items of class IPM.Contact (any letter case) are contacts; everything else is skipped.
TEST_F(Walk, EveryOtherItemTypeIsSkipped)
{
    const json description = {
        {"folders", json::array({folder("Mixed", json::array({
                                                     contact("real"),
                                                     contact("custom", "IPM.Contact.Custom"),
                                                     contact("list", "IPM.DistList"),
                                                     contact("mail", "IPM.Note"),
                                                     contact("meeting", "IPM.Appointment"),
                                                     contact("task", "IPM.Task"),
                                                     contact("sticky", "IPM.StickyNote"),
                                                     contact("journal", "IPM.Activity"),
                                                     contact("lower", "ipm.contact"),
                                                     contact("empty class", ""),
                                                     // Compared as stored, cut at the first NUL:
                                                     contact("cut", std::string("IPM.Contact\0.X", 15)),
                                                     contact("accented", "IPM.Contact\u00E9"),
                                                     contact("accent inside", "IPM.Cont\u00E1ct"),
                                                     contact("long", "IPM.Contact" + std::string(200, 'x')),
                                                     contact("long list", "IPM.DistList." + std::string(200, 'x')),
                                                 }))})},
        {"messages",
         json::array(
             {{{"parent", "root"}, {"class", "IPM.Contact"}, {"props", json::array({unicode(0x3A06, "at root")})}}})},
    };
    ASSERT_EQ(scan(description), 1);
    auto names = names_in_store();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"at root", "cut", "lower", "real"}));
    EXPECT_EQ(m_session.contact_count(), 4);
    EXPECT_EQ(m_result.contacts, 4);
    EXPECT_EQ(m_result.skipped, 0);
}

// The position runs 0, 1, ..., 100, 1, 2, ... over the messages of a folder, then back to 0.
TEST_F(Walk, ProgressWrapsAfterOneHundredMessages)
{
    json many = json::array();
    for (int i = 0; i < 103; ++i) {
        many.push_back(message("IPM.Note"));
    }
    ASSERT_EQ(scan({{"folders", json::array({folder("Mail", many, json::array(), "IPF.Note")})}}), 1);
    std::vector<int> expected;
    for (int p = 0; p <= 100; ++p) {
        expected.push_back(p);
    }
    expected.insert(expected.end(), {1, 2, 0});
    const auto& seen = m_observer.positions;
    EXPECT_NE(std::search(seen.begin(), seen.end(), expected.begin(), expected.end()), seen.end());
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 100), 1);
    EXPECT_EQ(seen.back(), 0);
    EXPECT_LE(*std::max_element(seen.begin(), seen.end()), 100);
}

// An item that libpff refuses to read (a property of type PT_UNSPECIFIED) is skipped; the
// contacts around it are found.
TEST_F(Walk, UnreadableItemIsSkippedAndTheScanGoesOn)
{
    json bad = contact("bad");
    bad["props"].push_back(testfiles::raw(0x6001, 0x0000, "01020304"));
    const json description = {
        {"folders", json::array({folder("C", json::array({contact("before"), bad, contact("after")}),
                                        json::array({folder("Sub", json::array({contact("sub")}))}))})},
    };
    ASSERT_EQ(scan(description), 1);
    auto names = names_in_store();
    EXPECT_NE(std::find(names.begin(), names.end(), "before"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "after"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "sub"), names.end());
    // Reported with where it was: the folder's path and the item's position in it.
    EXPECT_EQ(m_result.skipped, 1);
    EXPECT_EQ(m_observer.skipped,
              std::vector<std::string>{"skipped Top of Personal Folders\\C 1 the item's type cannot be read"});
}

// The realistic generated set: every planned contact is found once, with its names.
TEST_F(Walk, GeneratedSetIsFoundWhole)
{
    fixture::ContactsOptions options;
    options.contacts = 120;
    options.folders = 4;
    options.other = 30;
    options.seed = 7;
    const std::string path = m_dir.file("generated.pst");
    ASSERT_TRUE(fixture::write_contacts(path, options).ok);
    const fixture::Plan plan = fixture::plan_contacts(options);
    std::multiset<std::string> planned;
    for (const auto& m : plan.messages) {
        if (m.message.message_class() == u"IPM.Contact") {
            planned.insert(fixture::text_of(m.message, 0x3A06).value_or("<absent>"));
        }
    }
    ASSERT_EQ(engine::scan_run(m_session, path, m_store, m_observer).outcome, engine::ScanOutcome::Done);
    std::multiset<std::string> found;
    for (auto* r = m_store.first(); r != nullptr; r = r->next()) {
        const auto first = r->text(contacts::Field::first_name);
        found.insert(first ? enginetest::utf8(*first) : "<absent>");
    }
    EXPECT_EQ(found, planned);
    EXPECT_EQ(m_session.contact_count(), static_cast<int>(planned.size()));
}

} // namespace

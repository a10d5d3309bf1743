// Messaging-layer content as libpff sees it: recipients, folder counts, named properties in
// several property sets, messages of other classes.
#include "pffread/pffread.h"
#include "support.h"

#include <gtest/gtest.h>
#include <libpff.h>

using namespace pst_test;

namespace {

pst::Recipient recipient(int32_t type, const std::u16string& name, const std::u16string& address)
{
    pst::Recipient r;
    r.properties.push_back({pst::PropertyName::tag(0x0C15), {pst::PropType::Long, type}});
    r.properties.push_back({pst::PropertyName::tag(0x3001), {pst::PropType::Unicode, name}});
    r.properties.push_back({pst::PropertyName::tag(0x3002), {pst::PropType::Unicode, std::u16string(u"SMTP")}});
    r.properties.push_back({pst::PropertyName::tag(0x3003), {pst::PropType::Unicode, address}});
    return r;
}

struct RecipientRow
{
    uint32_t type;
    std::string name;
    std::string address;
    bool operator==(const RecipientRow&) const = default;
};

// Value of entry `type` in record set `set`, through libpff's record-set API.
libpff_record_entry_t* entry_of(libpff_item_t* item, int set, uint32_t type, uint32_t value_type)
{
    libpff_record_set_t* rs = nullptr;
    if (libpff_item_get_record_set_by_index(item, set, &rs, nullptr) != 1)
        return nullptr;
    libpff_record_entry_t* entry = nullptr;
    int found = libpff_record_set_get_entry_by_type(rs, type, value_type, &entry, 0, nullptr);
    libpff_record_set_free(&rs, nullptr);
    return found == 1 ? entry : nullptr;
}

std::string entry_utf8(libpff_item_t* item, int set, uint32_t type)
{
    libpff_record_entry_t* entry = entry_of(item, set, type, 0x001F);
    size_t size = 0;
    std::string s = "<absent>";
    if (entry && libpff_record_entry_get_data_as_utf8_string_size(entry, &size, nullptr) == 1 && size > 0) {
        s.assign(size, '\0');
        libpff_record_entry_get_data_as_utf8_string(entry, reinterpret_cast<uint8_t*>(s.data()), size, nullptr);
        s.resize(size - 1);
    }
    libpff_record_entry_free(&entry, nullptr);
    return s;
}

uint32_t entry_u32(libpff_item_t* item, int set, uint32_t type)
{
    libpff_record_entry_t* entry = entry_of(item, set, type, 0x0003);
    uint32_t v = 0xFFFFFFFF;
    if (entry)
        libpff_record_entry_get_data_as_32bit_integer(entry, &v, nullptr);
    libpff_record_entry_free(&entry, nullptr);
    return v;
}

// The recipient rows of a message through libpff; nullopt when libpff cannot read them.
std::optional<std::vector<RecipientRow>> recipients_of(const pffread::Item& message)
{
    libpff_item_t* recipients = nullptr;
    int result = libpff_message_get_recipients(message.handle(), &recipients, nullptr);
    if (result == 0)
        return std::vector<RecipientRow>{};
    if (result != 1)
        return std::nullopt;
    int sets = 0;
    libpff_item_get_number_of_record_sets(recipients, &sets, nullptr);
    std::vector<RecipientRow> rows;
    for (int i = 0; i < sets; ++i) {
        rows.push_back(
            {entry_u32(recipients, i, 0x0C15), entry_utf8(recipients, i, 0x3001), entry_utf8(recipients, i, 0x3003)});
    }
    libpff_item_free(&recipients, nullptr);
    return rows;
}

uint32_t entry32(const pffread::Item& item, uint32_t id)
{
    auto e = item.entry(id);
    if (!e || e->data.empty())
        return 0xFFFFFFFF;
    uint32_t v = 0;
    for (size_t i = 0; i < e->data.size() && i < 4; ++i)
        v |= static_cast<uint32_t>(e->data[i]) << (8 * i);
    return v;
}

} // namespace

TEST(PstMessaging, RecipientTablesOfEveryMessage)
{
    TempDir dir;
    std::string path = dir.file("mail.pst");
    write_pst(path, [](pst::Writer& w) {
        auto inbox = w.add_folder(w.top_of_personal_folders(), u"Inbox", u"IPF.Note");
        pst::Message two(u"IPM.Note");
        two.set_unicode(0x0037, u"Two recipients");
        two.set_unicode(0x0E04, u"Anna Doe");
        two.set_unicode(0x0E03, u"Bo Li");
        two.add_recipient(recipient(1, u"Anna Doe", u"anna@example.org"));
        two.add_recipient(recipient(2, u"Bo Li", u"bo@example.org"));
        ASSERT_TRUE(w.add_message(inbox, two).ok);
        pst::Message none(u"IPM.Note");
        none.set_unicode(0x0037, u"No recipients");
        ASSERT_TRUE(w.add_message(inbox, none).ok);
        pst::Message many(u"IPM.Note");
        many.set_unicode(0x0037, u"Many recipients");
        for (int i = 0; i < 300; ++i)
            many.add_recipient(
                recipient(1, u"Person " + pattern_text(static_cast<size_t>(i % 7 + 1)), u"p@example.org"));
        ASSERT_TRUE(w.add_message(inbox, many).ok);
    });
    EXPECT_EQ(check_problems(path), "");

    std::string why;
    auto f = pffread::File::open(path, &why);
    ASSERT_TRUE(f) << why;
    std::map<std::string, std::vector<RecipientRow>> seen;
    pffread::walk(*f, [&](const pffread::Item& item, const pffread::Visit& at) {
        if (at.is_folder)
            return;
        auto rows = recipients_of(item);
        ASSERT_TRUE(rows) << item.utf8(0x0037).value_or("");
        seen[item.utf8(0x0037).value_or("")] = *rows;
    });
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen["Two recipients"],
              (std::vector<RecipientRow>{{1, "Anna Doe", "anna@example.org"}, {2, "Bo Li", "bo@example.org"}}));
    EXPECT_TRUE(seen["No recipients"].empty());
    ASSERT_EQ(seen["Many recipients"].size(), 300u);
    EXPECT_EQ(seen["Many recipients"][299].name, "Person " + utf8(pattern_text(299 % 7 + 1)));
}

// Folder PCs carry counts that agree with their children; unread messages are those without
// the read flag.
TEST(PstMessaging, FolderCountsAndFlags)
{
    TempDir dir;
    std::string path = dir.file("counts.pst");
    write_pst(path, [](pst::Writer& w) {
        auto a = w.add_folder(w.top_of_personal_folders(), u"A", u"IPF.Note");
        auto b = w.add_folder(a, u"B", u"IPF.Contact");
        for (int i = 0; i < 5; ++i) {
            pst::Message m(u"IPM.Note");
            if (i < 2)
                m.set_long(0x0E07, 0); // unread
            ASSERT_TRUE(w.add_message(a, m).ok);
        }
        ASSERT_NE(b, 0u);
    });
    EXPECT_EQ(check_problems(path), "");
    std::string why;
    auto f = pffread::File::open(path, &why);
    ASSERT_TRUE(f) << why;
    std::map<std::string, std::array<uint32_t, 3>> counts;
    pffread::walk(*f, [&](const pffread::Item& item, const pffread::Visit& at) {
        if (at.is_folder)
            counts[item.folder_name().value_or("")] = {entry32(item, 0x3602), entry32(item, 0x3603),
                                                       entry32(item, 0x360A)};
    });
    EXPECT_EQ(counts["A"], (std::array<uint32_t, 3>{5, 2, 1}));
    EXPECT_EQ(counts["B"], (std::array<uint32_t, 3>{0, 0, 0}));
    EXPECT_EQ(counts["Top of Personal Folders"][2], 1u);
    EXPECT_EQ(counts["Deleted Items"], (std::array<uint32_t, 3>{0, 0, 0}));
}

// Items of several classes, named properties in PSETID_Common and PSETID_Address and one
// string name, each resolved through the file's map by GUID; a message size that matches.
TEST(PstMessaging, ClassesAndNamedProperties)
{
    const pst::Guid kPsetidTask = {0x03, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    struct Case
    {
        std::u16string message_class;
        uint8_t libpff_type;
    };
    const Case cases[] = {
        {u"IPM.Contact", pffread::kContact},         {u"IPM.Note", pffread::kEmail},
        {u"IPM.Appointment", pffread::kAppointment}, {u"IPM.Task", pffread::kTask},
        {u"IPM.StickyNote", pffread::kNote},         {u"IPM.DistList", pffread::kDistributionList},
    };
    TempDir dir;
    std::string path = dir.file("classes.pst");
    write_pst(path, [&](pst::Writer& w) {
        auto folder = w.add_folder(w.top_of_personal_folders(), u"Mixed", u"IPF.Note");
        for (const auto& c : cases) {
            pst::Message m(c.message_class);
            m.set_named_long(pst::kPsetidCommon, 0x8503, 1);            // reminder set
            m.set_named_unicode(pst::kPsetidAddress, 0x8005, u"Filed"); // file under
            m.set_named_bool(kPsetidTask, 0x811C, true);                // task complete
            m.set_string_named(pst::kPsPublicStrings, u"x-custom", {pst::PropType::Unicode, std::u16string(u"v")});
            ASSERT_TRUE(w.add_message(folder, m).ok);
        }
    });
    EXPECT_EQ(check_problems(path), "");
    std::string why;
    auto f = pffread::File::open(path, &why);
    ASSERT_TRUE(f) << why;
    auto tree = pffread::read_tree(*f);
    auto messages = tree.messages();
    ASSERT_EQ(messages.size(), std::size(cases));
    const pffread::Guid common = {0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    for (size_t i = 0; i < messages.size(); ++i) {
        const auto& m = *messages[i].second;
        EXPECT_EQ(m.item_type, cases[i].libpff_type) << utf8(cases[i].message_class);
        ASSERT_TRUE(m.find_named(common, 0x8503));
        EXPECT_EQ(m.find_named(common, 0x8503)->data, (std::vector<uint8_t>{1, 0, 0, 0}));
        ASSERT_TRUE(m.find_named(pffread::kPsetidAddress, 0x8005));
        EXPECT_EQ(m.find_named(pffread::kPsetidAddress, 0x8005)->text.value_or(""), "Filed");
        EXPECT_FALSE(m.find_named(common, 0x8005)) << "the GUID is part of the name";
        ASSERT_TRUE(m.find_named(pffread::kPsPublicStrings, "x-custom"));
        const auto* size = m.find(0x0E08);
        ASSERT_TRUE(size);
        EXPECT_GT(size->data.at(0) | size->data.at(1) << 8, 100);
    }
}

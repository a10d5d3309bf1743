// The read-back helper against files written by other software.
#include "pffread/pffread.h"
#include "realfiles/real_files.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>

#include <unistd.h>

namespace {

#define OPEN_REAL(var, name)                                                                                           \
    REAL_FILE_OR_SKIP(var##_path, name);                                                                               \
    std::string var##_why;                                                                                             \
    auto var = pffread::File::open(var##_path, &var##_why);                                                            \
    ASSERT_TRUE(var) << var##_why

struct Expected
{
    const char* file;
    int contacts;
    int distribution_lists;
    int appointments;
};

// Names the case by its file (the default printer shows the struct's bytes, pointers included).
void PrintTo(const Expected& expected, std::ostream* os)
{
    *os << expected.file;
}

class RealFiles : public testing::TestWithParam<Expected>
{
};

TEST_P(RealFiles, WalkAndTreeAgreeOnEveryItem)
{
    const Expected& expected = GetParam();
    OPEN_REAL(file, expected.file);

    std::vector<uint8_t> walked;
    int folders = 0;
    ASSERT_TRUE(pffread::walk(*file, [&](const pffread::Item& item, const pffread::Visit& at) {
        if (at.is_folder) {
            EXPECT_EQ(item.type(), pffread::kFolder);
            ++folders;
        } else {
            walked.push_back(item.type());
        }
    }));
    EXPECT_GT(folders, 1);

    const pffread::Tree tree = pffread::read_tree(*file);
    ASSERT_TRUE(tree.ok);
    const auto messages = tree.messages();
    ASSERT_EQ(messages.size(), walked.size());
    std::map<uint8_t, int> counts;
    for (size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(messages[i].second->item_type, walked[i]) << "message " << i;
        ++counts[walked[i]];
    }
    EXPECT_EQ(counts[pffread::kContact], expected.contacts);
    EXPECT_EQ(counts[pffread::kDistributionList], expected.distribution_lists);
    EXPECT_EQ(counts[pffread::kAppointment], expected.appointments);
}

INSTANTIATE_TEST_SUITE_P(Files, RealFiles,
                         testing::Values(Expected{"dist-list.pst", 1, 1, 1}, Expected{"sample-contacts.pst", 6, 0, 0},
                                         Expected{"ansi-32bit.pst", 0, 0, 1}),
                         [](const testing::TestParamInfo<Expected>& info) {
                             std::string name = info.param.file;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

// The contact in dist-list.pst keeps its e-mail (LID 0x8083) under stored id 0x8027.
TEST(Named, LookupByLidFindsTheIdTheMapGave)
{
    OPEN_REAL(file, "dist-list.pst");
    int contacts = 0;
    pffread::walk(*file, [&](const pffread::Item& item, const pffread::Visit& at) {
        if (at.is_folder || item.type() != pffread::kContact)
            return;
        ++contacts;
        EXPECT_EQ(at.folders, (std::vector<std::string>{"Top of Personal Folders", "Contacts"}));
        EXPECT_EQ(item.utf8(0x3A06), "contact");
        EXPECT_EQ(item.utf8(0x001A), "IPM.Contact");
        EXPECT_EQ(item.utf8(0x8083), "contact1@rjohnson.id.au");
        EXPECT_EQ(item.utf8(0x8005), "1, contact name");
        EXPECT_FALSE(item.utf8(0x3A42).has_value());

        const auto email = item.entry(0x8083);
        ASSERT_TRUE(email);
        EXPECT_EQ(email->id, 0x8027u);
        EXPECT_EQ(email->type, 0x001Fu);
        ASSERT_TRUE(email->named);
        EXPECT_TRUE(email->named->numeric);
        EXPECT_EQ(email->named->lid, 0x8083u);
        EXPECT_EQ(email->named->guid, pffread::kPsetidAddress);
        EXPECT_EQ(email->utf16(), u"contact1@rjohnson.id.au");
        EXPECT_EQ(email->data.size(), 46u);

        // A lookup of an id from 0x8000 up means the LID, never the stored id.
        const auto by_lid = item.entry(0x8010);
        ASSERT_TRUE(by_lid);
        EXPECT_EQ(by_lid->id, 0x804Fu);
        EXPECT_FALSE(item.entry_by_name("Keywords"));
    });
    EXPECT_EQ(contacts, 1);

    const pffread::Tree tree = pffread::read_tree(*file);
    for (const auto& [path, message] : tree.messages()) {
        if (message->item_type != pffread::kContact)
            continue;
        const pffread::Entry* file_under = message->find_named(pffread::kPsetidAddress, 0x8005);
        ASSERT_TRUE(file_under);
        EXPECT_EQ(file_under->text, "1, contact name");
        EXPECT_EQ(message->find(0x3A11)->text, "1");
        EXPECT_FALSE(message->find(0x8083)) << "find() takes stored ids only";
        EXPECT_FALSE(message->find_named(pffread::kPsPublicStrings, 0x8005));
    }
}

TEST(Open, ReportsWhyAFileCannotBeOpened)
{
    const auto dir = std::filesystem::temp_directory_path() / ("pffread-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::pair<std::string, std::string> cases[] = {
        {"missing", ""},
        {"empty", std::string()},
        {"text", std::string(4096, 'x')},
    };
    for (const auto& [name, content] : cases) {
        const auto path = dir / name;
        if (name != "missing") {
            FILE* f = std::fopen(path.c_str(), "wb");
            ASSERT_TRUE(f);
            std::fwrite(content.data(), 1, content.size(), f);
            std::fclose(f);
        }
        std::string why;
        EXPECT_FALSE(pffread::File::open(path.string(), &why)) << name;
        EXPECT_FALSE(why.empty()) << name;
    }
    std::filesystem::remove_all(dir);
}

TEST(Item, InvalidItemAnswersNothing)
{
    const pffread::Item item;
    EXPECT_FALSE(item.valid());
    EXPECT_EQ(item.type(), pffread::kUnknownType);
    EXPECT_FALSE(item.utf8(0x3001));
    EXPECT_FALSE(item.entry(0x3001));
    EXPECT_TRUE(item.entries().empty());
    EXPECT_EQ(item.sub_folder_count(), -1);
    EXPECT_FALSE(item.sub_message(0).valid());
}

} // namespace

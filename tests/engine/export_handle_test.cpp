#include <gtest/gtest.h>

#include <string>

#include "engine/export_handle.h"

namespace {

using namespace engine;

TEST(ExportHandle, SecondInitializeKeepsTheHandle)
{
    export_handle_t* handle = nullptr;
    ASSERT_EQ(export_handle_initialize(&handle, nullptr), 1);
    EXPECT_EQ(handle->abort, 0);
    EXPECT_EQ(handle->number_of_orphan_items, 0);
    export_handle_t* same = handle;
    EXPECT_EQ(export_handle_initialize(&handle, nullptr), 1);
    EXPECT_EQ(handle, same);
    EXPECT_EQ(export_handle_free(&handle, nullptr), 1);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(export_handle_initialize(nullptr, nullptr), -1);
    EXPECT_EQ(export_handle_free(nullptr, nullptr), -1);
}

class ExportHandleTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(export_handle_initialize(&m_handle, nullptr), 1); }
    void TearDown() override { export_handle_free(&m_handle, nullptr); }

    // Target path of `name` under `parent`, or "<failed>".
    std::u16string target(std::u16string_view parent, const std::string& name, size_t* size = nullptr)
    {
        std::u16string p(parent);
        std::unique_ptr<char16_t[]> path;
        size_t path_size = 99;
        const int r = export_handle_create_target_path(
            m_handle, p.c_str(), p.size() + 1, reinterpret_cast<const uint8_t*>(name.c_str()),
            static_cast<ptrdiff_t>(name.size() + 1), &path, &path_size, nullptr);
        if (size != nullptr) {
            *size = path_size;
        }
        if (r != 1) {
            EXPECT_FALSE(path);
            EXPECT_EQ(path_size, 0u);
            return u"<failed>";
        }
        EXPECT_EQ(path[path_size - 1], u'\0');
        return std::u16string(path.get(), path_size - 1);
    }

    export_handle_t* m_handle = nullptr;
};

TEST_F(ExportHandleTest, SanitizeReplacesTheSetAndKeepsTheRest)
{
    struct Case
    {
        std::u16string in;
        std::u16string out;
    };
    const Case cases[] = {
        {u"!\"$%&'*+/:;<>?@\\`~", u"__________________"},
        {u"a|b #-.c", u"a|b #-.c"},
        {std::u16string(u"\x01\x1F\x20", 3), u"__ "},
        {u"M\u00FCller \u6771\U0001F600", u"M\u00FCller \u6771\U0001F600"},
        {u"Inbox (2)=[x]{y},^", u"Inbox (2)=[x]{y},^"},
    };
    for (const auto& c : cases) {
        std::u16string s = c.in;
        ASSERT_EQ(export_handle_sanitize_filename(m_handle, s.data(), s.size() + 1, nullptr), 1);
        EXPECT_EQ(s, c.out);
    }
    char16_t name[] = u"a";
    EXPECT_EQ(export_handle_sanitize_filename(nullptr, name, 2, nullptr), -1);
    EXPECT_EQ(export_handle_sanitize_filename(m_handle, nullptr, 2, nullptr), -1);
    EXPECT_EQ(export_handle_sanitize_filename(m_handle, name, size_t{1} << 31, nullptr), -1);
}

TEST_F(ExportHandleTest, TargetPathTable)
{
    struct Case
    {
        std::u16string parent;
        std::string name;
        std::u16string expected;
    };
    const Case cases[] = {
        {u".export", "Contacts", u".export\\Contacts"},
        {u".export\\Contacts", "Family", u".export\\Contacts\\Family"},
        {u"", "Contacts", u"\\Contacts"},
        {u".export", "a/b:c", u".export\\a_b_c"},
        {u".export", "***", u".export\\___"},
        {u".export", "pipe|kept", u".export\\pipe|kept"},
        {u".export",
         "Kontakte \xC3\x9C"
         "ber",
         u".export\\Kontakte \u00DCber"},
        {u".export", "emoji \xF0\x9F\x98\x80", u".export\\emoji \U0001F600"},
        {u"a:b", "c", u"a:b\\c"}, // the parent part is not sanitised
        {u".export", "bad \xC3", u"<failed>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(target(c.parent, c.name), c.expected) << c.name;
    }
    size_t size = 0;
    target(u".export", "Contacts", &size);
    EXPECT_EQ(size, 17u);
}

TEST_F(ExportHandleTest, TargetPathRefusesBadArguments)
{
    const char16_t parent[] = u".export";
    const uint8_t name[] = "x";
    std::unique_ptr<char16_t[]> path;
    size_t size = 5;
    EXPECT_EQ(export_handle_create_target_path(nullptr, parent, 8, name, 2, &path, &size, nullptr), -1);
    EXPECT_EQ(export_handle_create_target_path(m_handle, nullptr, 8, name, 2, &path, &size, nullptr), -1);
    EXPECT_EQ(export_handle_create_target_path(m_handle, parent, 8, nullptr, 2, &path, &size, nullptr), -1);
    EXPECT_EQ(export_handle_create_target_path(m_handle, parent, 8, name, -1, &path, &size, nullptr), -1);
    path.reset(new char16_t[1]);
    EXPECT_EQ(export_handle_create_target_path(m_handle, parent, 8, name, 2, &path, &size, nullptr), -1);
    // The name ends at its first zero byte, whatever size is claimed.
    path.reset();
    const uint8_t padded[12] = "Folder00001";
    ASSERT_EQ(export_handle_create_target_path(m_handle, parent, 8, padded, 12, &path, &size, nullptr), 1);
    EXPECT_EQ(std::u16string(path.get()), u".export\\Folder00001");
    EXPECT_EQ(size, 20u);
}

} // namespace

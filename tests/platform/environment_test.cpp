#include "platform/environment.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

TEST(FakeEnvironment, AnswersFromItsQueuesAndRecords)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "pelimoor-env-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    {
        platform::FakeEnvironment fake(pattern);
        platform::installEnvironment(&fake);
        fake.nextAnswers = {QMessageBox::No};
        fake.nextFiles = {QStringList{"/x/a.pst"}};
        platform::MessageRequest ask{"q?", "cap", QMessageBox::Question, QMessageBox::Yes | QMessageBox::No};
        EXPECT_EQ(platform::environment().showMessage(nullptr, ask), QMessageBox::No);
        EXPECT_EQ(platform::environment().showMessage(nullptr, ask), QMessageBox::Yes);
        platform::MessageRequest note{"done", "cap", QMessageBox::Information, QMessageBox::Ok};
        EXPECT_EQ(platform::environment().showMessage(nullptr, note), QMessageBox::Ok);
        EXPECT_EQ(platform::environment().chooseFiles(nullptr, {}), QStringList{"/x/a.pst"});
        EXPECT_TRUE(platform::environment().chooseFiles(nullptr, {}).isEmpty());
        platform::environment().terminateProcess(0);
        EXPECT_EQ(fake.messages.size(), 3u);
        EXPECT_EQ(fake.fileDialogs.size(), 2u);
        EXPECT_EQ(fake.terminations, std::vector<int>{0});
        EXPECT_TRUE(std::filesystem::is_directory(platform::environment().tempDirectory()));
        platform::installEnvironment(nullptr);
    }
    std::filesystem::remove_all(pattern);
}

} // namespace

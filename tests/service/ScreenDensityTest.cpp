// File uploads tell the service the main screen's density; data uploads never do.
// Run by CTest under QT_SCALE_FACTOR=2, 1.25 and 1 (see CMakeLists.txt).
#include "ServiceTestSupport.h"

#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QTemporaryDir>

namespace {

class ScreenDensityTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        storeCredentials();
        server.reply("POST", "/files", {.status = 201, .body = R"({"title":"shot.png","shortlink":"http://127.0.0.1:8787/x"})"});
    }

    std::string uploadFileAndData()
    {
        QTemporaryDir folder;
        QFile file(folder.path() + QStringLiteral("/shot.png"));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("png");
        file.close();
        CompletionProbe fileProbe, dataProbe;
        API::instance().shareFile(QUrl::fromLocalFile(file.fileName()), {}, fileProbe.callback());
        EXPECT_TRUE(fileProbe.waitForCall());
        API::instance().shareData("png", QStringLiteral("shot.png"), {}, dataProbe.callback());
        EXPECT_TRUE(dataProbe.waitForCall());
        const auto requests = server.requests();
        EXPECT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests.at(1).target, "/files");
        return requests.at(0).target;
    }
};

TEST_F(ScreenDensityTest, OnA2xScreenFileUploadsCarryPixelDensity)
{
    ASSERT_EQ(QGuiApplication::primaryScreen()->devicePixelRatio(), 2.0);
    EXPECT_EQ(uploadFileAndData(), "/files?pixel_density=2.0");
}

TEST_F(ScreenDensityTest, OnA125xScreenTheDensityIsRoundedAsPrintfRoundsIt)
{
    ASSERT_EQ(QGuiApplication::primaryScreen()->devicePixelRatio(), 1.25);
    EXPECT_EQ(uploadFileAndData(), "/files?pixel_density=1.2");
}

TEST_F(ScreenDensityTest, OnA1xScreenFileUploadsGoToPlainFiles)
{
    ASSERT_EQ(QGuiApplication::primaryScreen()->devicePixelRatio(), 1.0);
    EXPECT_EQ(uploadFileAndData(), "/files");
}

} // namespace

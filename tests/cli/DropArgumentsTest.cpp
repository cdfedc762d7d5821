// How the command line reads the drops and durations a user names.
#include "app/service/DropRecord.h"
#include "cli/CommandLineTool.h"

#include <gtest/gtest.h>

using std::chrono::seconds;

TEST(DropArguments, DurationsTakeOneWholeUnitAndNothingElse)
{
    EXPECT_EQ(CommandLineTool::parseExpiry(QStringLiteral("30m")), seconds(1800));
    EXPECT_EQ(CommandLineTool::parseExpiry(QStringLiteral("7d")), seconds(7 * 86400));
    EXPECT_EQ(CommandLineTool::parseExpiry(QStringLiteral("2w")), seconds(14 * 86400));
    EXPECT_EQ(CommandLineTool::parseExpiry(QStringLiteral("never")), seconds(0));
    // Zero would mean "never" to the service's 400; a sign, a fraction, a space or a second unit are typos.
    for (const char* wrong : {"0h", "-1h", "1.5h", "1 h", "1h30m", "h", "10", "1H", "9999999999d", ""})
        EXPECT_EQ(CommandLineTool::parseExpiry(QLatin1String(wrong)), std::nullopt) << wrong;
}

TEST(DropArguments, ADropIsNamedByItsCodeOrAWebLinkToItsPageOrBytes)
{
    EXPECT_EQ(DropRecord::codeFromReference(QStringLiteral("k3Fq9Z_-")), QStringLiteral("k3Fq9Z_-"));
    EXPECT_EQ(DropRecord::codeFromReference(QStringLiteral("http://127.0.0.1:8787/k3Fq9Z")), QStringLiteral("k3Fq9Z"));
    EXPECT_EQ(DropRecord::codeFromReference(QStringLiteral("https://drops.example/k3Fq9Z/raw")), QStringLiteral("k3Fq9Z"));
    for (const char* wrong : {"javascript:alert(1)/x", "file:///etc/k3Fq9Z", "k3 Fq", "../k3Fq9Z", "https://drops.example/", ""})
        EXPECT_TRUE(DropRecord::codeFromReference(QLatin1String(wrong)).isEmpty()) << wrong;
}

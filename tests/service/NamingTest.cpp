// Names for uploads that have none of their own, and MIME types from URLs.
#include "app/service/API.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QRegularExpression>

#include <future>
#include <vector>

namespace {

TEST(NameForDrop, WithoutATimestampItIsNameDotExtension)
{
    EXPECT_EQ(API::instance().nameForDrop(QStringLiteral("Image upload"), QStringLiteral("gif"), false),
              QStringLiteral("Image upload.gif"));
    EXPECT_EQ(API::instance().nameForDrop(QStringLiteral("Image upload"), QString(), false), QStringLiteral("Image upload."));
}

TEST(NameForDrop, WithATimestampItCarriesTheLocalDateAndTime)
{
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    const QString name = API::instance().nameForDrop(QStringLiteral("Screen Shot"), QStringLiteral("png"), true);
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);

    const QRegularExpression shape(QStringLiteral("^Screen Shot on (\\d{4}-\\d{2}-\\d{2}) at (\\d{2}:\\d{2}:\\d{2})\\.png$"));
    const QRegularExpressionMatch match = shape.match(name);
    ASSERT_TRUE(match.hasMatch()) << name.toStdString();
    const QDateTime stamped
        = QDateTime::fromString(match.captured(1) + QLatin1Char(' ') + match.captured(2), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    EXPECT_GE(stamped, before.addMSecs(-before.time().msec()));
    EXPECT_LE(stamped, after);
}

TEST(NameForDrop, NamesMadeInTheSameSecondAreEqualEvenAcrossThreads)
{
    // Retry when the batch straddles a second boundary.
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::vector<std::future<QString>> names;
        for (int i = 0; i < 8; ++i)
            names.push_back(std::async(std::launch::async, [] {
                return API::instance().nameForDrop(QStringLiteral("Image upload"), QStringLiteral("png"), true);
            }));
        QStringList results;
        for (auto& name : names)
            results << name.get();
        results.removeDuplicates();
        if (results.size() == 1)
            return;
    }
    FAIL() << "timestamped names made together kept differing";
}

TEST(MIMETypeFromURL, UsesTheDecodedLastExtension)
{
    EXPECT_EQ(API::instance().MIMETypeFromURL(QUrl::fromLocalFile(QStringLiteral("/tmp/a b.png"))), QStringLiteral("image/png"));
    EXPECT_EQ(API::instance().MIMETypeFromURL(QUrl(QStringLiteral("file:///tmp/a%20b.tar.gz"))), QStringLiteral("application/gzip"));
    EXPECT_EQ(API::instance().MIMETypeFromURL(QUrl::fromLocalFile(QStringLiteral("/tmp/dir.d/README"))),
              QStringLiteral("application/octet-stream"));
}

} // namespace

// The query parameters of the URLs the app takes: split as written, decoded once.
#include "app/lifecycle/HandedOverFile.h"
#include "app/lifecycle/URLExtensions.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

namespace {

using Extensions::parameterForKey;
using Extensions::parameters;
using Extensions::URLWithString;

QMap<QString, QString> queryOf(const char* url)
{
    return parameters(URLWithString(QString::fromUtf8(url)));
}

TEST(UrlParameters, SplitAtEveryAmpersandAndEqualsSignAndDecodeOnce)
{
    EXPECT_EQ(queryOf("parcly-lite://?a=1&a=2"), (QMap<QString, QString>{{"a", "2"}}));
    EXPECT_EQ(queryOf("parcly-lite://?k=a=b"), (QMap<QString, QString>{{"k", "a"}}));
    EXPECT_EQ(queryOf("parcly-lite://?k=a+b&s=a%20b&e="), (QMap<QString, QString>{{"k", "a+b"}, {"s", "a b"}, {"e", ""}}));
    EXPECT_EQ(queryOf("parcly-lite://?k=%C3%A9t%C3%A9"), (QMap<QString, QString>{{"k", QStringLiteral("été")}}));
    // The share extension's file URL, escaped once more: one decoding gives it back, escapes intact.
    EXPECT_EQ(parameterForKey(URLWithString("parcly-lite://?handleURL=file:///tmp/x%2520y.png"), "handleURL"), "file:///tmp/x%20y.png");
    EXPECT_TRUE(queryOf("parcly-lite://host/path").isEmpty());
    EXPECT_TRUE(parameterForKey(URLWithString("parcly-lite://?other=1"), "handleURL").isNull());
    EXPECT_FALSE(parameterForKey(URLWithString("parcly-lite://?handleURL="), "handleURL").isNull());
}

TEST(UrlParameters, PiecesThatAreNoPairOrNoUtf8AreSkipped)
{
    EXPECT_EQ(queryOf("parcly-lite://?&lonely&k=v&bad=%FF&%C3%28=x&&z"), (QMap<QString, QString>{{"k", "v"}}));
    // Not a URL at all: no parameters, nothing to act on.
    EXPECT_FALSE(URLWithString("not a url").isValid());
    EXPECT_FALSE(URLWithString("").isValid());
}

QString handedOverPath(const char* url, bool* hasValue = nullptr)
{
    return HandedOverFile::fileURL(URLWithString(QString::fromUtf8(url)), hasValue).toLocalFile();
}

TEST(HandOffURL, EscapedSeparatorsAndOlderSendersURLsBothGiveTheFileBack)
{
    // Today's share extension escapes "&", "=", "+" and "%" in the value.
    EXPECT_EQ(handedOverPath("parcly-lite://?handleURL=file:///tmp/tom%2520%26%2520jerry%3D1%2Bx%2525.txt"), "/tmp/tom & jerry=1+x%.txt");
    // An older one left "&" and "=" of the name as they were, or escaped the file URL only once.
    EXPECT_EQ(handedOverPath("parcly-lite://?handleURL=file:///tmp/tom%2520&%2520jerry=1+x.txt"), "/tmp/tom & jerry=1+x.txt");
    EXPECT_EQ(handedOverPath("parcly-lite://?handleURL=file:///tmp/My%20Photo.png"), "/tmp/My Photo.png");
    // Among other parameters it is one of them.
    EXPECT_EQ(handedOverPath("parcly-lite://?a=1&handleURL=file:///tmp/x%2520y&b=2"), "/tmp/x y");
    bool hasValue = true;
    EXPECT_TRUE(handedOverPath("parcly-lite://?other=1", &hasValue).isEmpty());
    EXPECT_FALSE(hasValue);
    EXPECT_TRUE(handedOverPath("parcly-lite://?handleURL=", &hasValue).isEmpty());
    EXPECT_TRUE(hasValue);
}

} // namespace

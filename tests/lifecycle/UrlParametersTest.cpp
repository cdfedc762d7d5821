// The query parameters of the URLs the app takes: split as written, decoded once.
#include "app/lifecycle/URLExtensions.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

namespace {

using Extensions::URLWithString;
using Extensions::parameterForKey;
using Extensions::parameters;

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
    EXPECT_EQ(queryOf("parcly-lite://?&lonely&k=v&bad=%FF&%C3%28=x&&z"),
              (QMap<QString, QString>{{"k", "v"}}));
    // Not a URL at all: no parameters, nothing to act on.
    EXPECT_FALSE(URLWithString("not a url").isValid());
    EXPECT_FALSE(URLWithString("").isValid());
}

} // namespace

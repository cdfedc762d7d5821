#include "platform/Bundle.h"
#include "platform/Log.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

const char* const kInfo = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
    <key>CFBundleIdentifier</key>
    <string>org.example.Sample</string>
    <key>CFBundleExecutable</key>
    <string>sample</string>
    <key>Count</key>
    <integer>42</integer>
    <key>Scale</key>
    <real>1.5</real>
    <key>Enabled</key>
    <true/>
    <key>Hidden</key>
    <false/>
    <key>Schemes</key>
    <array><string>sample</string><string>sample-2</string></array>
    <key>Nested</key>
    <dict><key>Name</key><string>A &amp; B</string></dict>
</dict>
</plist>
)";

class BundleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        m_path = m_root.filePath(QStringLiteral("Sample.app"));
        for (const char* folder : {"/Contents/MacOS", "/Contents/Resources", "/Contents/PlugIns"})
            ASSERT_TRUE(QDir().mkpath(m_path + QLatin1String(folder)));
    }
    void TearDown() override { Bundle::setMainBundlePath({}); }

    void write(const QString& relative, const QByteArray& contents, QFile::Permissions extra = {})
    {
        QFile file(m_path + QLatin1Char('/') + relative);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
        file.close();
        if (extra)
            file.setPermissions(file.permissions() | extra);
    }

    QTemporaryDir m_root;
    QString m_path;
};

TEST_F(BundleTest, ReadsTheInfoDictionaryAndFindsItsFiles)
{
    write(QStringLiteral("Contents/Info.plist"), kInfo);
    write(QStringLiteral("Contents/MacOS/sample"), "#!/bin/sh\n", QFile::ExeOwner);
    write(QStringLiteral("Contents/MacOS/helper"), "#!/bin/sh\n", QFile::ExeOwner);
    write(QStringLiteral("Contents/Resources/Icon.png"), "png");

    const Bundle bundle(m_path);
    ASSERT_TRUE(bundle.isValid());
    EXPECT_EQ(bundle.bundlePath(), m_path);
    EXPECT_EQ(bundle.bundleIdentifier(), QStringLiteral("org.example.Sample"));
    EXPECT_EQ(bundle.executablePath(), m_path + QStringLiteral("/Contents/MacOS/sample"));
    EXPECT_EQ(bundle.resourcePath(), m_path + QStringLiteral("/Contents/Resources"));
    EXPECT_EQ(bundle.builtInPlugInsPath(), m_path + QStringLiteral("/Contents/PlugIns"));

    EXPECT_EQ(bundle.objectForInfoDictionaryKey(QStringLiteral("Count")), QVariant(qlonglong(42)));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(QStringLiteral("Scale")).toDouble(), 1.5);
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(QStringLiteral("Enabled")), QVariant(true));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(QStringLiteral("Hidden")), QVariant(false));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(QStringLiteral("Schemes")).toStringList(),
              (QStringList{QStringLiteral("sample"), QStringLiteral("sample-2")}));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(QStringLiteral("Nested")).toMap().value(QStringLiteral("Name")),
              QVariant(QStringLiteral("A & B")));
    EXPECT_FALSE(bundle.objectForInfoDictionaryKey(QStringLiteral("Missing")).isValid());

    const QString icon = m_path + QStringLiteral("/Contents/Resources/Icon.png");
    EXPECT_EQ(bundle.pathForResource(QStringLiteral("Icon"), QStringLiteral("png")), icon);
    EXPECT_EQ(bundle.pathForResource(QStringLiteral("Icon"), QStringLiteral(".png")), icon);
    EXPECT_EQ(bundle.pathForResource(QStringLiteral("Icon.png"), QString()), icon);
    EXPECT_TRUE(bundle.pathForResource(QStringLiteral("Icon"), QStringLiteral("jpg")).isEmpty());
    EXPECT_TRUE(bundle.pathForResource(QStringLiteral("../Info"), QStringLiteral("plist")).isEmpty());

    EXPECT_EQ(bundle.pathForAuxiliaryExecutable(QStringLiteral("helper")), m_path + QStringLiteral("/Contents/MacOS/helper"));
    EXPECT_TRUE(bundle.pathForAuxiliaryExecutable(QStringLiteral("absent")).isEmpty());
    EXPECT_TRUE(bundle.pathForAuxiliaryExecutable(QStringLiteral("../Info.plist")).isEmpty());
}

TEST_F(BundleTest, AFolderWithoutAReadableInfoPlistIsNoBundle)
{
    EXPECT_FALSE(Bundle(m_path).isValid());
    EXPECT_TRUE(Bundle(m_path).resourcePath().isEmpty());
    EXPECT_FALSE(Bundle().isValid());

    write(QStringLiteral("Contents/Info.plist"), "<plist><dict><key>CFBundleIdentifier</key><string>cut off");
    ScopedLogCapture log(ScopedLogCapture::Echo::Off);
    const Bundle broken(m_path);
    EXPECT_FALSE(broken.isValid());
    EXPECT_TRUE(broken.bundleIdentifier().isEmpty());
    EXPECT_EQ(log.linesStartingWith(QStringLiteral("Bundle: cannot read ")).size(), 1) << log.lines().join(u'\n').toStdString();
}

TEST_F(BundleTest, AnExecutableReachedThroughALinkFindsItsBundle)
{
    write(QStringLiteral("Contents/Info.plist"), kInfo);
    write(QStringLiteral("Contents/MacOS/sample"), "#!/bin/sh\n", QFile::ExeOwner);
    const QString bin = m_root.filePath(QStringLiteral("bin"));
    ASSERT_TRUE(QDir().mkpath(bin));
    ASSERT_TRUE(QFile::link(m_path + QStringLiteral("/Contents/MacOS/sample"), bin + QStringLiteral("/sample")));

    EXPECT_EQ(Bundle::bundlePathForExecutable(bin + QStringLiteral("/sample")), m_path);
    EXPECT_EQ(Bundle::bundlePathForExecutable(m_path + QStringLiteral("/Contents/MacOS/sample")), m_path);
    // Only Contents/MacOS of a ".app" folder counts.
    write(QStringLiteral("Contents/Resources/sample"), "x");
    EXPECT_TRUE(Bundle::bundlePathForExecutable(m_path + QStringLiteral("/Contents/Resources/sample")).isEmpty());
    EXPECT_TRUE(Bundle::bundlePathForExecutable(bin + QStringLiteral("/missing")).isEmpty());
}

TEST_F(BundleTest, MainBundleIsTheSetPathOrNoneOutsideABundle)
{
    write(QStringLiteral("Contents/Info.plist"), kInfo);
    // This test program does not live in a bundle.
    EXPECT_FALSE(Bundle::mainBundle().isValid());
    Bundle::setMainBundlePath(m_path);
    EXPECT_EQ(Bundle::mainBundle().bundleIdentifier(), QStringLiteral("org.example.Sample"));
    Bundle::setMainBundlePath({});
    EXPECT_FALSE(Bundle::mainBundle().isValid());
}

TEST(BuiltBundle, NamesTheAppAndItsVersion)
{
    const Bundle bundle(QStringLiteral(PARCLY_BUNDLE_DIR));
    ASSERT_TRUE(bundle.isValid());
    EXPECT_EQ(bundle.bundleIdentifier(), QStringLiteral("org.parcly.ParclyLite"));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleExecutable")), QVariant(QStringLiteral("parcly-lite")));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleName")), QVariant(QStringLiteral("Parcly Lite")));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")), QVariant(QStringLiteral(PARCLY_VERSION)));
}

} // namespace

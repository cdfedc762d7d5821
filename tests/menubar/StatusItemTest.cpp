#include "MenubarTestSupport.h"

#include "app/menubar/ImageTinting.h"
#include "platform/gui/Pasteboard.h"
#include "platform/gui/PasteboardTypes.h"

#include <QApplication>
#include <QMimeData>
#include <QPalette>

#include <cmath>
#include <limits>

namespace {

QImage pixelsOf(const QIcon& icon)
{
    return icon.pixmap(QSize(22, 22)).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

TEST(ProgressImages, FractionsMapOntoTheFiftySevenImages)
{
    EXPECT_EQ(StatusItemController::imageNameForProgressValue(0.0), "1");
    EXPECT_EQ(StatusItemController::imageNameForProgressValue(1.0 / 56.0), "2");
    EXPECT_EQ(StatusItemController::imageNameForProgressValue(0.5), "29");
    EXPECT_EQ(StatusItemController::imageNameForProgressValue(0.999), "56");
    EXPECT_EQ(StatusItemController::imageNameForProgressValue(1.0), "57");
}

TEST(ProgressImages, FractionsOutsideTheSeriesHaveNoImage)
{
    EXPECT_EQ(StatusItemController::imageNameForProgressValue(std::numeric_limits<double>::quiet_NaN()), "");
    EXPECT_EQ(StatusItemController::imageNameForProgressValue(-0.01), "");
    EXPECT_EQ(StatusItemController::imageNameForProgressValue(-std::numeric_limits<double>::infinity()), "");
    EXPECT_EQ(StatusItemController::imageNameForProgressValue(1.5), "");
}

TEST_F(MenubarTest, EveryProgressImageIsInTheBundle)
{
    for (int step = 0; step <= 56; ++step)
        EXPECT_FALSE(controller().imageForProgressValue(step / 56.0).isNull()) << "step " << step;
    EXPECT_TRUE(controller().imageForProgressValue(std::nan("")).isNull());
}

TEST_F(MenubarTest, ProgressOutsideTheSeriesKeepsTheImageShown)
{
    controller().setStatusItemProgress(0.5);
    ASSERT_EQ(item().imageName(), "29");
    controller().setStatusItemProgress(std::numeric_limits<double>::quiet_NaN());
    controller().setStatusItemProgress(-3);
    EXPECT_EQ(item().imageName(), "29");
}

TEST_F(MenubarTest, StatesShowTheirImages)
{
    const QIcon error = StatusItemImages(QStringLiteral(PARCLY_BUNDLE_RESOURCES)).imageNamed(StatusItemController::kErrorImageName);
    const QColor focus = QApplication::palette().color(QPalette::Active, QPalette::Highlight);

    controller().setStatusItemState(StatusItemStateError);
    EXPECT_EQ(item().imageName(), StatusItemController::kErrorImageName);
    EXPECT_EQ(pixelsOf(item().image()), pixelsOf(error));

    controller().setStatusItemState(StatusItemStateDragging);
    EXPECT_EQ(pixelsOf(item().image()), tintedWithColor(pixelsOf(error), focus));
    EXPECT_NE(pixelsOf(item().image()), pixelsOf(error));

    controller().setStatusItemState(7);
    EXPECT_EQ(item().imageName(), StatusItemController::kNormalImageName);
    controller().setStatusItemState(StatusItemStateError);
    controller().setStatusItemState(StatusItemStateNormal);
    EXPECT_EQ(item().imageName(), StatusItemController::kNormalImageName);
}

TEST_F(MenubarTest, DragHoverTintsAndLeavingRestoresTheNormalIcon)
{
    controller().setStatusItemState(StatusItemStateError);
    QMimeData anything;
    anything.setText(QStringLiteral("some text"));
    EXPECT_EQ(controller().draggingEntered(Pasteboard(&anything)), StatusItemController::kDragOperationCopy);
    EXPECT_EQ(item().imageName(), "dragging");
    controller().draggingExited();
    EXPECT_EQ(item().imageName(), StatusItemController::kNormalImageName);
}

TEST_F(MenubarTest, ALongUploadUpdatesTheIconOncePerImage)
{
    const int before = item().imageUpdateCount();
    for (int report = 0; report <= 10000; ++report)
        controller().setStatusItemProgress(report / 10000.0);
    EXPECT_EQ(item().imageUpdateCount() - before, 57);
    controller().setStatusItemState(StatusItemStateNormal);
    controller().setStatusItemState(StatusItemStateNormal);
    EXPECT_EQ(item().imageUpdateCount() - before, 58);
}

TEST(Tinting, ColoursOpaquePixelsAndKeepsTheirAlpha)
{
    QImage glyph(3, 1, QImage::Format_ARGB32_Premultiplied);
    glyph.setPixelColor(0, 0, QColor(10, 20, 30, 255));
    glyph.setPixelColor(1, 0, QColor(10, 20, 30, 128));
    glyph.setPixelColor(2, 0, Qt::transparent);
    const QImage original = glyph.copy();

    const QImage tinted = tintedWithColor(glyph, QColor(0, 0, 255));
    EXPECT_EQ(tinted.pixelColor(0, 0), QColor(0, 0, 255, 255));
    EXPECT_EQ(tinted.pixelColor(1, 0).alpha(), 128);
    EXPECT_EQ(tinted.pixelColor(1, 0).red(), 0);
    EXPECT_GT(tinted.pixelColor(1, 0).blue(), 250);
    EXPECT_EQ(tinted.pixelColor(2, 0).alpha(), 0);
    EXPECT_EQ(glyph, original);
}

TEST(Tinting, WithoutAColourTheCopyIsUntouched)
{
    QImage glyph(2, 2, QImage::Format_ARGB32_Premultiplied);
    glyph.fill(QColor(200, 100, 50, 180));
    EXPECT_EQ(tintedWithColor(glyph, QColor()), glyph);
}

TEST(DraggedTypes, NineteenTypesEndingWithTIFF)
{
    QStringList types = StatusItemController::defaultDraggedTypes();
    EXPECT_EQ(types.size(), 19);
    EXPECT_EQ(types.first(), NSStringPboardType);
    EXPECT_EQ(types.last(), "public.tiff");
    EXPECT_EQ(types.removeDuplicates(), 0);
}

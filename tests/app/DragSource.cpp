// A window that drags the files named on its command line, like a file manager would: press the
// mouse in it and move, and it starts a drag carrying their file: URLs. With --hostile-web-archive
// it drags an image (as BMP) with a web archive nested 50,000 levels deep instead.
#include "../support/WebArchiveBytes.h"

#include <QApplication>
#include <QBuffer>
#include <QDrag>
#include <QImage>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <QWidget>

class DragSource : public QWidget {
public:
    explicit DragSource(QList<QUrl> urls, bool hostile)
        : m_urls(std::move(urls))
        , m_hostile(hostile)
    {
        setWindowTitle(QStringLiteral("Drag Source"));
        setGeometry(100, 100, 200, 200);
    }

protected:
    void mousePressEvent(QMouseEvent*) override { m_pressed = true; }
    void mouseMoveEvent(QMouseEvent*) override
    {
        if (!m_pressed)
            return;
        m_pressed = false;
        auto* data = new QMimeData;
        if (m_hostile) {
            data->setData(QStringLiteral("image/bmp"), bmp());
            data->setData(QStringLiteral("application/x-parcly-webarchive"), deeplyNestedWebArchive());
        } else {
            data->setUrls(m_urls);
        }
        auto* drag = new QDrag(this);
        drag->setMimeData(data);
        drag->exec(Qt::CopyAction);
    }

private:
    static QByteArray bmp()
    {
        QImage image(32, 32, QImage::Format_RGB32);
        image.fill(QColor(200, 60, 40));
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "BMP");
        return bytes;
    }

    QList<QUrl> m_urls;
    bool m_hostile = false;
    bool m_pressed = false;
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QList<QUrl> urls;
    const bool hostile = app.arguments().contains(QStringLiteral("--hostile-web-archive"));
    for (const QString& path : app.arguments().mid(1)) {
        if (!path.startsWith(QLatin1String("--")))
            urls.append(QUrl::fromLocalFile(path));
    }
    DragSource window(urls, hostile);
    window.show();
    return app.exec();
}

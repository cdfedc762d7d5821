// A window that drags the files named on its command line, like a file manager would: press the
// mouse in it and move, and it starts a drag carrying their file: URLs.
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <QWidget>

class DragSource : public QWidget {
public:
    explicit DragSource(QList<QUrl> urls)
        : m_urls(std::move(urls))
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
        data->setUrls(m_urls);
        auto* drag = new QDrag(this);
        drag->setMimeData(data);
        drag->exec(Qt::CopyAction);
    }

private:
    QList<QUrl> m_urls;
    bool m_pressed = false;
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QList<QUrl> urls;
    for (const QString& path : app.arguments().mid(1))
        urls.append(QUrl::fromLocalFile(path));
    DragSource window(urls);
    window.show();
    return app.exec();
}

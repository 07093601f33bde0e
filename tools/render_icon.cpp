// Renders the program's SVG icon into the PNG sizes of the hicolor icon theme.
//   render_icon ICON.svg OUTPUT-FOLDER NAME SIZE...
// writes OUTPUT-FOLDER/<size>x<size>/apps/NAME.png for every size.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>

namespace {

/// The icon drawn into a transparent square; an empty image when nothing was drawn.
QImage render(QSvgRenderer& svg, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        svg.render(&painter, QRectF(0, 0, size, size));
    }
    // An icon that parses but draws nothing would pass unnoticed into the package.
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                return image;
    return {};
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: render_icon ICON.svg OUTPUT-FOLDER NAME SIZE...\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    if (!svg.isValid()) {
        std::fprintf(stderr, "render_icon: %s is not a readable SVG picture\n", argv[1]);
        return 1;
    }
    const QString folder = QString::fromLocal8Bit(argv[2]);
    const QString name = QString::fromLocal8Bit(argv[3]);
    for (int i = 4; i < argc; ++i) {
        char* end = nullptr;
        const long size = std::strtol(argv[i], &end, 10);
        if (*end != '\0' || size < 1 || size > 1024) {
            std::fprintf(stderr, "render_icon: %s is not a size from 1 to 1024\n", argv[i]);
            return 2;
        }
        const QString apps = QStringLiteral("%1/%2x%2/apps").arg(folder).arg(size);
        const QString path = apps + QLatin1Char('/') + name + QStringLiteral(".png");
        const QImage image = render(svg, int(size));
        if (image.isNull()) {
            std::fprintf(stderr, "render_icon: %s draws nothing at %ld pixels\n", argv[1], size);
            return 1;
        }
        if (!QDir().mkpath(apps) || !image.save(path, "PNG")) {
            std::fprintf(stderr, "render_icon: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}

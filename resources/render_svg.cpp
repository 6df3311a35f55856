// Build-time tool: renders an SVG file to a PNG of the given size.
//   render_svg IN.svg OUT.png WIDTH HEIGHT
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: render_svg IN.svg OUT.png WIDTH HEIGHT\n");
    return 2;
  }
  QGuiApplication app(argc, argv);
  QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
  if (!renderer.isValid()) {
    std::fprintf(stderr, "render_svg: cannot read %s\n", argv[1]);
    return 1;
  }
  const int width = std::atoi(argv[3]);
  const int height = std::atoi(argv[4]);
  if (width <= 0 || height <= 0 || width > 4096 || height > 4096) {
    std::fprintf(stderr, "render_svg: bad size %sx%s\n", argv[3], argv[4]);
    return 2;
  }
  QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter);
  painter.end();
  if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "render_svg: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}

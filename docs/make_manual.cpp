// Build-time tool: turns the Markdown manual into a PDF with Qt's own text
// document and PDF writer.
//   make_manual IN.md OUT.pdf
// Qt writes a PDF without any text, and without a warning, when it finds no
// font; this tool refuses to, so a machine without fonts fails the build.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>
#include <algorithm>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_manual IN.md OUT.pdf\n");
    return 2;
  }
  QGuiApplication app(argc, argv);
  if (QFontDatabase::families().isEmpty()) {
    std::fprintf(stderr,
                 "make_manual: no fonts found, so the manual would be a PDF without text.\n"
                 "Install a font package (fonts-dejavu-core) and build again.\n");
    return 1;
  }
  QFile in(QString::fromLocal8Bit(argv[1]));
  if (!in.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "make_manual: cannot read %s\n", argv[1]);
    return 1;
  }
  const QString markdown = QString::fromUtf8(in.readAll());

  QPdfWriter writer(QString::fromLocal8Bit(argv[2]));
  writer.setTitle("Tarvel Control Software - User's Manual");
  writer.setCreator("Tarvel Control Software");
  writer.setPageSize(QPageSize(QPageSize::A4));
  writer.setPageMargins(QMarginsF(20, 18, 20, 18), QPageLayout::Millimeter);
  writer.setResolution(300);

  QTextDocument document;
  QFont font("DejaVu Sans");
  font.setPointSizeF(10.5);
  document.setDefaultFont(font);
  document.setDefaultStyleSheet("code, pre { font-family: 'DejaVu Sans Mono'; }");
  document.setMarkdown(markdown);
  // Pictures, named relative to the manual's folder, drawn at most the
  // text's width.
  const QDir folder = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteDir();
  const qreal textWidth = 170 / 25.4 * 72;  // the page's 170 mm of text, in points
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      if (!fragment.charFormat().isImageFormat()) continue;
      QTextImageFormat image = fragment.charFormat().toImageFormat();
      const QImage picture(folder.filePath(image.name()));
      if (picture.isNull()) {
        std::fprintf(stderr, "make_manual: cannot read the picture %s\n", qPrintable(image.name()));
        return 1;
      }
      document.addResource(QTextDocument::ImageResource, QUrl(image.name()), picture);
      image.setWidth(std::min<qreal>(picture.width(), textWidth));
      image.setHeight(image.width() * picture.height() / picture.width());
      QTextCursor cursor(&document);
      cursor.setPosition(fragment.position());
      cursor.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
      cursor.setCharFormat(image);
    }
  }
  if (document.isEmpty()) {
    std::fprintf(stderr, "make_manual: %s holds no text\n", argv[1]);
    return 1;
  }
  document.print(&writer);
  return 0;
}

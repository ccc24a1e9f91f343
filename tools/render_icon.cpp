// rureza-icon: writes the console's application icon as PNG files for the desktop's icon theme,
// offscreen, from the same drawing the windows use.
//   rureza-icon OUTPUT_DIR SIZE...   writes OUTPUT_DIR/<SIZE>x<SIZE>/apps/rureza.png
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>

#include "console/artwork.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "Usage: rureza-icon OUTPUT_DIR SIZE...\n");
    return 2;
  }
  // Runs during the build, where no display may exist.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QIcon icon = rureza::ApplicationIcon();
  const QDir output(QString::fromLocal8Bit(argv[1]));
  for (int i = 2; i < argc; ++i) {
    const int size = std::atoi(argv[i]);
    const QPixmap pixmap = icon.pixmap(QSize(size, size));
    // A size the icon is not drawn in would come back scaled or smaller: refuse it.
    if (size <= 0 || pixmap.size() != QSize(size, size)) {
      std::fprintf(stderr, "rureza-icon: the icon is not drawn at size '%s'\n", argv[i]);
      return 1;
    }
    const QString folder = QStringLiteral("%1x%1/apps").arg(size);
    const QString path = output.filePath(folder + QStringLiteral("/rureza.png"));
    if (!output.mkpath(folder) || !pixmap.save(path, "PNG")) {
      std::fprintf(stderr, "rureza-icon: cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  return 0;
}

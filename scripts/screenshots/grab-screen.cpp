// Saves a part of the X screen as a PNG file:
//   grab-screen OUT.png X Y WIDTH HEIGHT
// Used by take-screenshots.sh under Xvfb, where no screen-capture program is
// installed; it reads the screen as the X server shows it, dialogs on top
// included.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 6) {
    std::fprintf(stderr, "usage: grab-screen OUT.png X Y WIDTH HEIGHT\n");
    return 64;
  }
  QScreen* screen = QGuiApplication::primaryScreen();
  const QPixmap shot = screen->grabWindow(0, atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
  if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "grab-screen: cannot capture the screen into %s\n", argv[1]);
    return 1;
  }
  return 0;
}

// The preview grid in a real scroll area: layout from the visible area,
// drawing at pixel size or halved, scrolling to the newest page and at row
// boundaries, and when it redraws.
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <memory>

#include "GuiTestMain.h"
#include "ScanPreviewControl.h"

namespace {

QImage Solid(int w, int h, QColor color) {
  QImage image(w, h, QImage::Format_RGB32);
  image.fill(color);
  return image;
}

bool IsGray(QColor c) {
  const QColor g = ScanPreviewControl::backgroundColor();
  return std::abs(c.red() - g.red()) <= 1 && c.red() == c.green() && c.green() == c.blue();
}

}  // namespace

class PreviewGridTest : public QObject {
  Q_OBJECT

  std::unique_ptr<QScrollArea> area;
  ScanPreviewControl* grid = nullptr;
  double dpr = 1;

  // A scroll area whose visible part is exactly w x h points.
  void makeArea(int w, int h) {
    area = std::make_unique<QScrollArea>();
    area->setFrameShape(QFrame::NoFrame);
    grid = new ScanPreviewControl;
    area->setWidget(grid);
    area->resize(w + 20, h);
    area->show();
    QVERIFY(QTest::qWaitForWindowExposed(area.get()));
    const QSize delta = QSize(w, h) - area->viewport()->size();
    area->resize(area->size() + delta);
    QTRY_COMPARE(area->viewport()->size(), QSize(w, h));
    QTRY_COMPARE(grid->size(), QSize(w, h));
    dpr = grid->devicePixelRatioF();
  }

  QColor pixelAt(int x, int y) {
    const QImage shot = grid->grab().toImage();
    return shot.pixelColor(int(x * dpr), int(y * dpr));
  }

  // The preview the tool would render for the grid as a scan starts (the
  // grid is set from the control's size at that moment).
  QImage preview(QColor color) {
    const QSize size = grid->adjustedPreviewSize();
    return Solid(size.width(), size.height(), color);
  }

 private slots:
  void cleanup() {
    area.reset();
    grid = nullptr;
  }

  void previewSizeFromVisibleArea() {
    makeArea(400, 600);
    // The suite also runs on a double-density screen (QT_SCALE_FACTOR=2):
    // 788 x 590 device pixels there.
    QCOMPARE(dpr, qEnvironmentVariable("QT_SCALE_FACTOR", "1").toDouble());
    const QSize size = grid->adjustedPreviewSize();
    QCOMPARE(size, QSize(int(394 * dpr), int(295 * dpr)));
    QCOMPARE(grid->cell().numCols(), 1);
    QCOMPARE(grid->cell().numRows(), 2);
    QCOMPARE(grid->cell().pageSize(), QSizeF(400, 300));
  }

  void emptyGridIsGrayAndFillsTheArea() {
    makeArea(400, 600);
    grid->adjustedPreviewSize();
    QCOMPARE(grid->size(), QSize(400, 600));
    const QImage shot = grid->grab().toImage();
    for (int y = 0; y < shot.height(); y += 37)
      for (int x = 0; x < shot.width(); x += 29) QVERIFY2(IsGray(shot.pixelColor(x, y)), qPrintable(QString("%1,%2").arg(x).arg(y)));
  }

  void firstPageAtTopWithGrayBelow() {
    makeArea(400, 600);
    grid->appendScanPreview(preview(Qt::red));
    QCOMPARE(grid->size(), QSize(400, 600));
    QCOMPARE(pixelAt(200, 150), QColor(Qt::red));
    QVERIFY(IsGray(pixelAt(200, 450)));
    QVERIFY(IsGray(pixelAt(1, 150)));  // side margin
    QVERIFY(IsGray(pixelAt(200, 1)));  // strip above the image
  }

  void pageDrawnAtPixelSizeOrHalved_data() {
    QTest::addColumn<double>("scale");
    QTest::addColumn<bool>("halved");
    QTest::newRow("made for this screen") << 1.0 << false;
    QTest::newRow("twice the area") << 2.0 << true;
  }

  void pageDrawnAtPixelSizeOrHalved() {
    QFETCH(double, scale);
    QFETCH(bool, halved);
    makeArea(400, 600);
    grid->adjustedPreviewSize();
    // In points: the image area is 400 x 297 (3 points above it in a grid of
    // two rows), the preview 394 x 295.
    const QSize pixels(int(394 * scale), int(295 * scale));
    grid->appendScanPreview(Solid(pixels.width(), pixels.height(), Qt::blue));
    const QRect drawn = grid->cell().imageRectForPage(0);
    QCOMPARE(drawn.size(), halved ? pixels / 2 : pixels);
    QCOMPARE(drawn.topLeft(), QPoint((400 - drawn.width()) / 2, 3 + (297 - drawn.height()) / 2));
    // The image covers exactly that rectangle.
    QCOMPARE(pixelAt(drawn.left(), drawn.top()), QColor(Qt::blue));
    QCOMPARE(pixelAt(drawn.right(), drawn.bottom()), QColor(Qt::blue));
    QVERIFY(IsGray(pixelAt(drawn.left() - 1, drawn.top())));
    QVERIFY(IsGray(pixelAt(drawn.right() + 1, drawn.bottom())));
    QVERIFY(IsGray(pixelAt(drawn.left(), drawn.bottom() + 1)));
  }

  void newestPageScrolledIntoViewAndEverySecondDrawnAtOnce() {
    makeArea(400, 600);
    QScrollBar* bar = area->verticalScrollBar();
    const QColor colors[] = {Qt::red, Qt::green, Qt::blue, Qt::yellow};
    const QSize size = grid->adjustedPreviewSize();
    for (int i = 0; i < 4; ++i) {
      QImage page = Solid(size.width(), size.height(), colors[i]);
      QCoreApplication::processEvents();
      const int before = grid->paintCount();
      grid->appendScanPreview(page);
      // Pages 2 and 4 are drawn before the call returns; 1 and 3 wait.
      QCOMPARE(grid->paintCount() > before, (i + 1) % 2 == 0);
      const int rows = i + 1;
      QCOMPARE(grid->height(), std::max(600, rows * 300));
      const int expectScroll = std::max(0, rows * 300 - 600);
      QCOMPARE(bar->value(), expectScroll);
      QCOMPARE(bar->singleStep(), 300);
    }
    // After the fourth page pages 3 and 4 fill the view.
    QCoreApplication::processEvents();
    QCOMPARE(pixelAt(200, 750), QColor(Qt::blue));
    QCOMPARE(pixelAt(200, 1050), QColor(Qt::yellow));
  }

  void scrollingStopsAtRowBoundaries_data() {
    QTest::addColumn<int>("proposed");
    QTest::addColumn<int>("settled");
    QTest::newRow("halfway down row 1") << 450 << 300;
    QTest::newRow("just above row 1") << 299 << 0;
    QTest::newRow("at row 2") << 600 << 600;
  }

  void scrollingStopsAtRowBoundaries() {
    QFETCH(int, proposed);
    QFETCH(int, settled);
    makeArea(400, 600);
    const QImage page = preview(Qt::darkGreen);
    for (int i = 0; i < 4; ++i) grid->appendScanPreview(page);
    QScrollBar* bar = area->verticalScrollBar();
    bar->setValue(0);
    bar->setValue(proposed);
    QCOMPARE(bar->value(), settled);
  }

  void clearingAnEmptyGridRequestsNoRedraw() {
    makeArea(400, 600);
    QTest::qWait(50);
    const int settled = grid->paintCount();
    grid->clearImage();
    QTest::qWait(50);
    QCOMPARE(grid->paintCount(), settled);
    // With pages, clearing redraws and leaves the area gray.
    grid->appendScanPreview(preview(Qt::red));
    QTest::qWait(50);
    const int withPage = grid->paintCount();
    grid->clearImage();
    QTRY_VERIFY(grid->paintCount() > withPage);
    QCOMPARE(grid->size(), QSize(400, 600));
    QVERIFY(IsGray(pixelAt(200, 150)));
  }

  void multiColumnGridPlacesPagesInRows() {
    makeArea(400, 600);
    // 97-point previews: four columns of 100 points, six rows.
    grid->setGridByImageWidth(97, 97);
    QCOMPARE(grid->cell().numCols(), 4);
    QCOMPARE(grid->cell().numRows(), 6);
    for (int i = 0; i < 5; ++i) grid->appendScanPreview(Solid(97, 97, i == 4 ? Qt::magenta : Qt::cyan));
    QCOMPARE(grid->cell().rectForPage(4), QRectF(0, 100, 100, 100));
    // The fifth page opens row 2 on the left; the cells to its right are gray.
    QCOMPARE(pixelAt(50, 150), QColor(Qt::magenta));
    QVERIFY(IsGray(pixelAt(150, 150)));
    QCOMPARE(pixelAt(350, 50), QColor(Qt::cyan));
    // A strip of 3 points right of and above each image separates the cells.
    QVERIFY(IsGray(pixelAt(98, 50)));
    QVERIFY(IsGray(pixelAt(50, 101)));
  }

  void olderPagesAreKeptCompressedAndStillDrawn() {
    makeArea(400, 600);
    const QSize size = grid->adjustedPreviewSize();
    // 30 pages of distinct colours, half black half colour so that a page
    // drawn from the wrong data or upside down shows.
    auto page = [&](int i) {
      QImage image(size, QImage::Format_RGB32);
      image.fill(QColor::fromHsv((i * 37) % 360, 200, 220));
      QPainter(&image).fillRect(0, 0, size.width(), size.height() / 2, Qt::black);
      return image;
    };
    for (int i = 0; i < 30; ++i) grid->appendScanPreview(page(i));
    QVERIFY(grid->cell().packedPageCount() >= 20);
    QVERIFY(grid->cell().packedPageCount() < 30);
    for (int i : {0, 7, 29}) {
      QCOMPARE(grid->cell().pageImage(i), page(i));
      const QRect r = grid->cell().imageRectForPage(i);
      QCOMPARE(pixelAt(r.center().x(), r.top() + r.height() / 4), QColor(Qt::black));
      QCOMPARE(pixelAt(r.center().x(), r.bottom() - r.height() / 4).rgb(), QColor::fromHsv((i * 37) % 360, 200, 220).rgb());
    }
  }

  void exposeInsideOnePageRedrawsThatPage() {
    makeArea(400, 600);
    grid->appendScanPreview(preview(Qt::red));
    QImage shot(grid->size() * dpr, QImage::Format_RGB32);
    shot.setDevicePixelRatio(dpr);
    shot.fill(Qt::black);
    // Render only a strip that lies within the first page.
    grid->render(&shot, QPoint(0, 100), QRegion(QRect(0, 100, 400, 40)));
    QCOMPARE(shot.pixelColor(int(200 * dpr), int(120 * dpr)), QColor(Qt::red));
  }
};

QUIREL_GUI_TEST(PreviewGridTest)
#include "PreviewGridTest.moc"

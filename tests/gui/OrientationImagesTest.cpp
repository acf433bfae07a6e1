// The orientation images are compiled in under the names the window uses,
// and each draws a picture of its own.
#include <QPainter>
#include <QTest>

#include "GuiTestMain.h"
#include "OrientationImages.h"

class OrientationImagesTest : public QObject {
  Q_OBJECT
 private slots:
  void everyNameDrawsADistinctPicture() {
    QCOMPARE(OrientationImageNames().size(), 16);
    QList<QImage> drawn;
    for (const QString& name : OrientationImageNames()) {
      const QIcon icon = OrientationImage(name);
      QVERIFY2(!icon.isNull(), qPrintable(name));
      QImage image = icon.pixmap(QSize(64, 64)).toImage().convertToFormat(QImage::Format_ARGB32);
      QVERIFY2(image.size() == QSize(64, 64) || image.size() == QSize(128, 128), qPrintable(name));
      for (int i = 0; i < drawn.size(); ++i)
        QVERIFY2(drawn[i] != image, qPrintable(name + " looks like " + OrientationImageNames()[i]));
      drawn << image;
    }
    QVERIFY(OrientationImage("adf-long-r45").isNull());
    QVERIFY(!QuirelAppIcon().isNull());
  }
};

QUIREL_GUI_TEST(OrientationImagesTest)
#include "OrientationImagesTest.moc"

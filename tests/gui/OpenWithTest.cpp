// The done sheet's open-with list from the desktop's applications (those
// the test main installs), the remembered choice per file type, and the
// file opened with the chosen application.
#include <QComboBox>
#include <QFile>
#include <QTest>

#include "GuiTestMain.h"
#include "RunningApp.h"

using guitest::RunningApp;

namespace {

QStringList AppItems(RunningApp& t) {
  auto* pop = t.find<QComboBox>("doneAppPop");
  QStringList items;
  for (int i = 2; i < pop->count(); ++i) items << pop->itemText(i);
  return items;
}

QString Opened(const QString& id) {
  QFile f(qEnvironmentVariable("XDG_DATA_HOME") + "/opened-" + id);
  return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Scans one sheet into `path` and waits for the done sheet.
bool ScanToDoneSheet(RunningApp& t, const QString& path) {
  return t.scanInto(path) && QTest::qWaitFor([&] { return t.app().doneSheet()->isVisible(); }, 5000);
}

}  // namespace

class OpenWithTest : public QObject {
  Q_OBJECT

 private slots:
  void listHasOneEntryPerApplicationForTheFileType_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("apps");
    // Two copies of "Page Viewer", 9.0 and 10.0: one entry, 9.0 (the higher
    // version in plain string order). Names sort without regard to case.
    QTest::newRow("PDF") << "pdfCell" << "list.pdf" << QStringList{"atlas", "Page Viewer"};
    QTest::newRow("TIFF") << "tiffCell" << "list.tif" << QStringList{"Page Viewer", "Tiff Tool"};
  }

  void listHasOneEntryPerApplicationForTheFileType() {
    QFETCH(QString, format);
    QFETCH(QString, file);
    QFETCH(QStringList, apps);
    RunningApp t("model=fi-7160;sheets=1");
    t.click(format.toLatin1().constData());
    QVERIFY(ScanToDoneSheet(t, t.folder() + "/" + file));
    QVERIFY2(AppItems(t) == apps, qPrintable(AppItems(t).join("|")));
    QVERIFY(t.app().currentApps()[size_t(apps.indexOf("Page Viewer"))].appPath.endsWith("/viewer-9.desktop"));
    QCOMPARE(t.find<QComboBox>("doneAppPop")->currentIndex(), 0);
    QCOMPARE(t.text("noMoreBtn"), QString("Done"));
  }

  void chosenApplicationOpensTheFileAndIsRemembered() {
    RunningApp t("model=fi-7160;sheets=1");
    const QString first = t.folder() + "/first.pdf";
    QVERIFY(ScanToDoneSheet(t, first));
    t.choose("doneAppPop", "Page Viewer");
    QCOMPARE(t.text("noMoreBtn"), QString("Open"));
    t.click("noMoreBtn");
    QTRY_COMPARE(Opened("viewer-9"), first + "\n");

    // The next PDF scan offers the same application.
    const QString second = t.folder() + "/second.pdf";
    QVERIFY(ScanToDoneSheet(t, second));
    QCOMPARE(t.find<QComboBox>("doneAppPop")->currentText(), QString("Page Viewer"));
    QCOMPARE(t.text("noMoreBtn"), QString("Open"));
    // Choosing no application and Done forgets it.
    t.choose("doneAppPop", "No application");
    QCOMPARE(t.text("noMoreBtn"), QString("Done"));
    t.click("noMoreBtn");
    QVERIFY(!t.app().settings().getOpenWithAppForType("pdf"));
    QTest::qWait(200);
    QCOMPARE(Opened("viewer-9"), first + "\n");

    // Closing the sheet (Escape) opens nothing and forgets nothing.
    t.app().settings().updateOpenWithApp(&t.app().currentApps()[1], "pdf");
    QVERIFY(ScanToDoneSheet(t, t.folder() + "/third.pdf"));
    QCOMPARE(t.text("noMoreBtn"), QString("Open"));
    QTest::keyClick(t.app().doneSheet(), Qt::Key_Escape);
    QTRY_VERIFY(!t.app().doneSheet()->isVisible());
    QTest::qWait(200);
    QCOMPARE(Opened("viewer-9"), first + "\n");
    QVERIFY(t.app().settings().getOpenWithAppForType("pdf"));

    // An application that cannot be started is said.
    const QString entry = t.app().currentApps()[1].appPath;
    QVERIFY(ScanToDoneSheet(t, t.folder() + "/fourth.pdf"));
    QVERIFY(QFile::rename(entry, entry + ".away"));
    t.click("noMoreBtn");
    QFile::rename(entry + ".away", entry);
    QTRY_VERIFY(t.openAlert());
    QCOMPARE(t.openAlert()->text(), QString("“fourth.pdf” couldn’t be opened with Page Viewer."));
    t.openAlert()->close();

    // While the sheet shows, Quit and the window's close box end the application.
    QVERIFY(ScanToDoneSheet(t, t.folder() + "/fifth.pdf"));
    t.app().doneSheet()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(t.app().doneSheet()));
    QTest::keyClick(t.app().doneSheet(), Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(t.exitCalls(), 1);
    t.window()->close();
    QCOMPARE(t.exitCalls(), 2);
    QCOMPARE(Opened("viewer-9"), first + "\n");
  }

  void rememberedApplicationThatIsGoneIsNotOffered() {
    RunningApp t("model=fi-7160;sheets=1");
    const quirel::frontend::HelperApp gone("org.example.Gone.desktop", "/nowhere/gone.desktop", "Gone Viewer");
    t.app().settings().updateOpenWithApp(&gone, "pdf");
    QVERIFY(ScanToDoneSheet(t, t.folder() + "/gone.pdf"));
    QCOMPARE(t.app().chosenAppIndex(), -1);
    QCOMPARE(t.find<QComboBox>("doneAppPop")->currentIndex(), 0);
    QCOMPARE(t.text("noMoreBtn"), QString("Done"));
  }
};

QUIREL_GUI_TEST(OpenWithTest)
#include "OpenWithTest.moc"

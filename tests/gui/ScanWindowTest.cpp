// The scan window's controls and the settings, driven as a user would with
// the real tool reporting the attached virtual scanner: limits of the model
// applied and refused with their alert text, the unit of the locale, the
// orientation buttons and the rotation argument they lead to, and the rules
// that tie the controls together.
#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QComboBox>
#include <QProcess>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTest>
#include <clocale>

#include "RunningApp.h"
#include "GuiTestMain.h"

using guitest::RunningApp;
using quirel::frontend::Quirel_Settings;

namespace {

// The command line the window would run, through Copy Command and its panel.
QString CopiedCommand(RunningApp& t, const QString& path) {
  QGuiApplication::clipboard()->clear();
  t.trigger("doPutCommandOnClipboard");
  if (!t.answerPanel(path)) return "<no panel>";
  return QGuiApplication::clipboard()->text();
}

// What clicking Scan leads to: the alert's text, or "" when the save panel
// opened (the settings fit the scanner).
QString ScanAnswer(RunningApp& t) {
  t.click("scanBtn");
  if (QMessageBox* alert = t.openAlert()) {
    const QString text = alert->text();
    alert->close();
    return text;
  }
  if (t.panelOpen()) {
    t.answerPanel(QString());
    return QString();
  }
  return "<nothing opened>";
}

}  // namespace

class ScanWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void limitsOfTheAttachedModel_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<bool>("flatbed");
    QTest::addColumn<QString>("width");   // mm
    QTest::addColumn<QString>("length");  // mm
    QTest::addColumn<QString>("resolution");
    QTest::addColumn<QString>("alert");
    QTest::addColumn<QString>("button");  // an orientation button pressed ("" none)
    QTest::addColumn<QString>("locale");  // how numbers are written ("" the C locale)
    QTest::addColumn<QStringList>("typed");  // more "field=text"

    // fi-5110C: feeder 8.5 x 34 inches, no long scans. The tolerance is
    // 1/2400 inch: 1/3000 inch over passes, 1/2000 inch over fails.
    QTest::newRow("length 1/3000 inch over") << "fi-5110C" << false << "215.9" << "863.608467" << "300 dpi" << "" << "" << "" << QStringList();
    QTest::newRow("length 1/2000 inch over")
        << "fi-5110C" << false << "215.9" << "863.6127" << "300 dpi"
        << "The maximum document feeder length for this scanner is 864 mm. " << "" << "" << QStringList();
    QTest::newRow("width and length over, width first")
        << "fi-5110C" << false << "230" << "900" << "300 dpi"
        << "The maximum document feeder width for this scanner is 216 mm. The maximum document feeder length for "
           "this scanner is 864 mm. " << "" << "" << QStringList();
    // fi-6230: 34 inches up to 125 inches at 200 dpi or less.
    QTest::newRow("long paper above the cut-off")
        << "fi-6230" << false << "210" << "1270" << "300 dpi"
        << "The maximum document feeder length for this scanner, when scanning at resolutions higher than 200dpi, "
           "is 864 mm. " << "" << "" << QStringList();
    QTest::newRow("long paper at the cut-off") << "fi-6230" << false << "210" << "1270" << "200 dpi" << "" << "" << "" << QStringList();
    QTest::newRow("longer than any long scan")
        << "fi-6230" << false << "210" << "3302" << "150 dpi"
        << "The maximum document feeder length for this scanner is 3175 mm. " << "" << "" << QStringList();
    // fi-4340C: 14 inches, 60.68 up to 400 dpi in line art only.
    QTest::newRow("gray takes no long scan")
        << "fi-4340C" << false << "215.9" << "508" << "200 dpi"
        << "The maximum document feeder length for this scanner is 356 mm. " << "" << "" << QStringList();
    // Flatbeds: fi-6230's is 8.68 x 11.69 inches aligned at the top;
    // fi-6770's 12 x 18 inches aligned left, which names its sides the
    // other way round.
    QTest::newRow("flatbed too narrow")
        << "fi-6230" << true << "230" << "297" << "300 dpi" << "The flatbed width of this scanner is 220 mm. " << "" << "" << QStringList();
    QTest::newRow("flatbed aligned left")
        << "fi-6770" << true << "310" << "470" << "300 dpi"
        << "The flatbed height of this scanner is 305 mm. The flatbed width of this scanner is 457 mm. " << "" << "" << QStringList();
    // Fed wide side first, the length set goes across the feeder: named.
    QTest::newRow("sideways, the length across")
        << "fi-5110C" << false << "215.9" << "279.4" << "300 dpi"
        << "The maximum document feeder width for this scanner is 216 mm. The paper length you set (279.4 mm) lies "
           "across the feeder in this orientation. "
        << "orientation3Btn" << "" << QStringList();
    // Numbers as the user's locale writes them, and text that is none.
    QTest::newRow("de_DE, decimal comma") << "fi-5110C" << false << "215,9" << "297,5" << "300 dpi" << "" << ""
                                          << "de_DE" << QStringList();
    QTest::newRow("de_DE, decimal point") << "fi-5110C" << false << "215.9" << "297.0" << "300 dpi" << "" << ""
                                          << "de_DE" << QStringList();
    QTest::newRow("en_US, a comma is no decimal point")
        << "fi-5110C" << false << "8,5" << "297" << "300 dpi" << "The paper width “8,5” is not a number. " << ""
        << "en_US" << QStringList();
    QTest::newRow("not a number") << "fi-5110C" << false << "210" << "29x" << "300 dpi"
                                  << "The paper length “29x” is not a number. " << "" << "" << QStringList();
    QTest::newRow("empty") << "fi-5110C" << false << "" << "297" << "300 dpi" << "The paper width is empty. " << ""
                           << "" << QStringList();
    QTest::newRow("black point not whole") << "fi-5110C" << false << "210" << "297" << "300 dpi"
                                           << "The black point “1.5” is not a whole number. " << "" << ""
                                           << QStringList{"blackPointTxt=1.5"};
    // Points the scan cannot take, before the save panel.
    QTest::newRow("black point below 0") << "fi-5110C" << false << "210" << "297" << "300 dpi"
                                         << "The black point is -5; it must be from 0 to 255. " << "" << ""
                                         << QStringList{"blackPointTxt=-5"};
    QTest::newRow("white point above 255") << "fi-5110C" << false << "210" << "297" << "300 dpi"
                                           << "The white point is 300; it must be from 0 to 255. " << "" << ""
                                           << QStringList{"whitePointTxt=300"};
  }

  void limitsOfTheAttachedModel() {
    QFETCH(QString, button);
    QFETCH(QString, locale);
    QFETCH(QStringList, typed);
    QFETCH(QString, model);
    QFETCH(bool, flatbed);
    QFETCH(QString, width);
    QFETCH(QString, length);
    QFETCH(QString, resolution);
    QFETCH(QString, alert);
    QLocale::setDefault(locale.isEmpty() ? QLocale::c() : QLocale(locale));
    struct Restore {
      ~Restore() { QLocale::setDefault(QLocale::c()); }
    } restore;
    RunningApp t("model=" + model);
    QCOMPARE(t.text("modelTxt"), model);
    if (flatbed) t.click("flatbedCell");
    if (!button.isEmpty()) t.click(button.toLatin1().constData());
    t.choose("depthMnu", "Gray, 8 bits");
    t.choose("resolutionMnu", resolution);
    t.type("paperWidthTxt", width);
    t.type("paperLengthTxt", length);
    for (const QString& entry : typed) t.type(entry.section('=', 0, 0).toLatin1().constData(), entry.section('=', 1));
    QCOMPARE(ScanAnswer(t), alert);
    if (alert.isEmpty()) {
      // What was typed is what is scanned, in either way of writing it.
      QCOMPARE(t.app().settings().mPaperWidth, QString(width).replace(',', '.').toDouble());
      QCOMPARE(t.app().settings().mPaperLength, QString(length).replace(',', '.').toDouble());
    } else if (alert.contains("not a number") || alert.contains("not a whole number")) {
      // Text that is no number is marked, and never read as 0.
      const Quirel_Settings& s = t.app().settings();
      QVERIFY(s.mPaperWidth != 0 && s.mPaperLength != 0 && s.mBlackPoint != 0);
      for (const QString& field : QStringList{"paperWidthTxt", "paperLengthTxt", "blackPointTxt"})
        if (t.find<QLineEdit>(field.toLatin1().constData())->property("notANumber").toBool()) return;
      QFAIL("no field is marked");
    }
  }

  void scanAreaBeyondThePage() {
    RunningApp t("model=fi-7160");
    t.click("scanFullPageCbx");  // off: the area fields open
    QVERIFY(t.find<QLineEdit>("scanWidthTxt")->isEnabled());
    t.type("scanLeftTxt", "20");
    t.type("scanWidthTxt", "200");
    t.type("scanTopTxt", "0");
    t.type("scanHeightTxt", "300");
    QCOMPARE(ScanAnswer(t), QString("You have specified a scan area that goes beyond the width of the page. You have "
                                    "specified a scan area that goes beyond the height of the page. "));
  }

  void inchLocaleShowsInches() {
    // A locale that measures in inches, made for this run.
    QTemporaryDir locales;
    if (QProcess::execute("localedef", {"-i", "en_US", "-f", "UTF-8", locales.filePath("en_US.UTF-8")}) > 1)
      QSKIP("localedef cannot make en_US.UTF-8 here");
    guitest::ScopedEnv path("LOCPATH", locales.path().toUtf8());
    QVERIFY(std::setlocale(LC_MEASUREMENT, "en_US.UTF-8"));
    struct Restore {
      ~Restore() { std::setlocale(LC_MEASUREMENT, "C"); }
    } restore;

    RunningApp t("model=fi-5110C");
    for (const char* unit : {"pwUnitLbl", "phUnitLbl", "slUnitLbl", "swUnitLbl", "stUnitLbl", "shUnitLbl"})
      QCOMPARE(t.text(unit), QString("in."));
    QCOMPARE(t.text("paperWidthTxt"), QString("8.5"));
    QCOMPARE(t.text("paperLengthTxt"), QString("11"));
    t.type("paperLengthTxt", "35");
    QCOMPARE(ScanAnswer(t), QString("The maximum document feeder length for this scanner is 34.00 inches. "));
    // 10 inches is 12000 in the tool's 1/1200 inch.
    t.type("paperLengthTxt", "10");
    QVERIFY(CopiedCommand(t, t.folder() + "/inch.pdf").contains("--paper-height 12000"));
  }

  void orientationButtonsGiveTheRotation_data() {
    QTest::addColumn<bool>("flatbed");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("flip");
    QTest::addColumn<bool>("flipBacks");
    QTest::addColumn<QString>("rotation");
    QTest::addColumn<QStringList>("images");

    const QStringList adf{"adf-long-r0", "adf-long-r90", "adf-wide-r90", "adf-wide-r0"};
    const QStringList adfFlipped{"adf-long-r180", "adf-long-r270", "adf-wide-r270", "adf-wide-r180"};
    const QStringList fbTop{"fb-top-r0", "fb-top-r180", "fb-top-r90", "fb-top-r270"};
    QTest::newRow("feeder upright") << false << "orientation1Btn" << false << false << "--rotate-n-n" << adf;
    QTest::newRow("feeder upright, backs flipped") << false << "orientation1Btn" << false << true << "--rotate-n-f" << adf;
    QTest::newRow("feeder 2") << false << "orientation2Btn" << false << false << "--rotate-r-l" << adf;
    QTest::newRow("feeder 2 upside down") << false << "orientation2Btn" << true << false << "--rotate-l-r"
                                          << adfFlipped;
    QTest::newRow("feeder 3 (wide 90)") << false << "orientation3Btn" << false << false << "--rotate-r-l" << adf;
    QTest::newRow("feeder 3 upside down") << false << "orientation3Btn" << true << true << "--rotate-l-l" << adfFlipped;
    QTest::newRow("feeder 4 (wide 0)") << false << "orientation4Btn" << false << false << "--rotate-n-n" << adf;
    QTest::newRow("feeder 4 upside down") << false << "orientation4Btn" << true << false << "--rotate-f-f"
                                          << adfFlipped;
    QTest::newRow("flatbed 2") << true << "orientation2Btn" << false << false << "--rotate-f-f" << fbTop;
    QTest::newRow("flatbed 3") << true << "orientation3Btn" << false << false << "--rotate-r-l" << fbTop;
    QTest::newRow("flatbed 4") << true << "orientation4Btn" << false << false << "--rotate-l-r" << fbTop;
  }

  void orientationButtonsGiveTheRotation() {
    QFETCH(bool, flatbed);
    QFETCH(QString, button);
    QFETCH(bool, flip);
    QFETCH(bool, flipBacks);
    QFETCH(QString, rotation);
    QFETCH(QStringList, images);
    RunningApp t("model=fi-6230");
    // A square sheet fits the flatbed and the feeder whichever way it lies.
    t.type("paperWidthTxt", "200");
    t.type("paperLengthTxt", "200");
    if (flatbed) t.click("flatbedCell");
    if (flipBacks) {
      t.click("duplexCbx");
      t.click("flipBacksCbx");
    }
    if (flip) t.click("flipBtn");
    t.click(button.toLatin1().constData());
    const QString command = CopiedCommand(t, t.folder() + "/o.pdf");
    QVERIFY2(command.contains(" " + rotation + " "), qPrintable(command));
    // The pressed button is the one that is on, and the pictures fit.
    const char* names[] = {"orientation1Btn", "orientation2Btn", "orientation3Btn", "orientation4Btn"};
    for (int i = 0; i < 4; ++i) {
      auto* b = t.find<QAbstractButton>(names[i]);
      QCOMPARE(b->isChecked(), button == names[i]);
      QCOMPARE(b->property("imageName").toString(), images[i]);
    }
    QCOMPARE(t.find<QAbstractButton>("flipBtn")->isEnabled(), !flatbed);
    // 290 by 210 mm fits either source only with its length across: the third and fourth buttons lay it so.
    t.type("paperWidthTxt", "290");
    t.type("paperLengthTxt", "210");
    QCOMPARE(ScanAnswer(t).isEmpty(), button.endsWith("3Btn") || button.endsWith("4Btn"));
  }

  void flatbedAlignedLeftShowsItsPictures() {
    RunningApp t("model=fi-6770");
    t.click("flatbedCell");
    QCOMPARE(t.find<QAbstractButton>("orientation2Btn")->property("imageName").toString(), QString("fb-left-r180"));
  }

  void sourceSwitchKeepsEachSourcesOrientation() {
    RunningApp t("model=fi-6230");
    t.type("paperWidthTxt", "200");
    t.type("paperLengthTxt", "200");
    t.click("orientation3Btn");  // feeder: orientation 5
    t.click("flatbedCell");
    QVERIFY(t.find<QAbstractButton>("orientation1Btn")->isChecked());
    t.click("orientation4Btn");  // flatbed: orientation 3
    t.click("feederCell");
    QVERIFY(t.find<QAbstractButton>("orientation3Btn")->isChecked());
    QVERIFY(CopiedCommand(t, t.folder() + "/s.pdf").contains(" --rotate-r-l "));
    t.click("flatbedCell");
    QVERIFY(t.find<QAbstractButton>("orientation4Btn")->isChecked());
    // The flip button on the flatbed changes nothing.
    auto* flip = t.find<QAbstractButton>("flipBtn");
    QVERIFY(!flip->isEnabled());
    t.app().doFlip();
    QVERIFY(t.find<QAbstractButton>("orientation4Btn")->isChecked());
    QVERIFY(CopiedCommand(t, t.folder() + "/s.pdf").contains(" --flatbed ") );
    // Back on the feeder, the double-feed detection is the user's again.
    t.click("feederCell");
    QVERIFY(t.find<QAbstractButton>("doubleThicknessCbx")->isChecked());
    QVERIFY(t.find<QAbstractButton>("doubleLengthCbx")->isChecked());
  }

  void windowFitsASmallScreen() {
    RunningApp t("model=fi-7160;sheets=1");
    // Down to its smallest size the window fits a 1024 x 600 screen with a
    // panel and a title bar, and Scan stays inside it.
    QMainWindow* w = t.window();
    QVERIFY2(w->minimumSizeHint().width() <= 1000 && w->minimumSizeHint().height() <= 520,
             qPrintable(QString("%1 x %2").arg(w->minimumSizeHint().width()).arg(w->minimumSizeHint().height())));
    w->resize(1000, 520);
    QTest::qWait(50);
    auto* scan = t.find<QAbstractButton>("scanBtn");
    QVERIFY(w->rect().contains(QRect(scan->mapTo(w, QPoint(0, 0)), scan->size())));
    // A long file name wraps in the done sheet, which stays within the window.
    const QString out = t.folder() + "/" + QString("Correspondence_with_the_insurance_company_").repeated(4) + "2024.pdf";
    QVERIFY(t.scanInto(out));
    QTRY_VERIFY(t.app().doneSheet()->isVisible());
    // The scan did not widen the window (Stop and Scan trade places).
    QCOMPARE(w->width(), 1000);
    QVERIFY2(t.app().doneSheet()->width() <= w->width(), qPrintable(QString::number(t.app().doneSheet()->width())));
    auto* message = t.find<QLabel>("doneMessageTxt");
    QVERIFY(message->height() >= message->heightForWidth(message->width()));
    t.click("noMoreBtn");
  }

  void imageTypeRemembersResolutionAndCompression() {
    RunningApp t("model=fi-7160");
    t.choose("resolutionMnu", "1200 dpi");
    auto* menu = t.find<QComboBox>("resolutionMnu");
    t.choose("depthMnu", "Gray, 8 bits");
    QCOMPARE(menu->currentText(), QString("600 dpi"));
    // 1200 dpi is for line art only.
    auto* model = qobject_cast<QStandardItemModel*>(menu->model());
    QVERIFY(!model->item(menu->findText("1200 dpi"))->isEnabled());
    QCOMPARE(t.find<QStackedWidget>("contrastTab")->currentIndex(), 1);
    t.click("tiffCell");
    QVERIFY(CopiedCommand(t, t.folder() + "/c.tif").contains(" --tiff --compress zlib "));
    t.choose("depthMnu", "Line art");
    QCOMPARE(menu->currentText(), QString("1200 dpi"));
    QCOMPARE(t.find<QStackedWidget>("contrastTab")->currentIndex(), 0);
    QString command = CopiedCommand(t, t.folder() + "/c.tif");
    QVERIFY2(command.contains(" --tiff ") && !command.contains("--compress"), qPrintable(command));
    t.choose("depthMnu", "Colour, 8 bits");
    QVERIFY(CopiedCommand(t, t.folder() + "/c.tif").contains(" --tiff --compress zlib "));
  }

  void automaticLengthOnTheFeeder() {
    RunningApp t("model=fi-6230");
    t.choose("depthMnu", "Colour, 8 bits");
    t.choose("resolutionMnu", "300 dpi");
    t.click("scanFullPageCbx");
    t.click("autoPaperLengthCbx");
    QCOMPARE(t.text("paperLengthLbl"), QString("Max Length:"));
    QCOMPARE(t.text("paperWidthLbl"), QString("Width:"));
    // Above the long-scan cut-off (200 dpi): the plain feeder length.
    QCOMPARE(t.text("paperLengthTxt"), QString("863.6"));
    QVERIFY(!t.find<QLineEdit>("paperLengthTxt")->isEnabled());
    QCOMPARE(t.text("scanTopTxt"), QString("0.0"));
    QCOMPARE(t.text("scanHeightTxt"), QString("auto"));
    QVERIFY(!t.find<QAbstractButton>("doubleLengthCbx")->isEnabled());
    t.choose("resolutionMnu", "200 dpi");
    QCOMPARE(t.text("paperLengthTxt"), QString("3175"));
    QVERIFY(CopiedCommand(t, t.folder() + "/a.pdf").contains(" --auto-length "));
    // Where numbers take a decimal comma, so does the top.
    QLocale::setDefault(QLocale("de_DE"));
    t.app().applySettings();
    QCOMPARE(t.text("scanTopTxt"), QString("0,0"));
    QLocale::setDefault(QLocale::c());
    // A quarter turn rules automatic length out and swaps the labels.
    t.click("orientation2Btn");
    // Detection by length was off while the length was detected; the
    // user's choice stayed.
    QVERIFY(t.find<QAbstractButton>("doubleLengthCbx")->isChecked());
    QVERIFY(!t.find<QAbstractButton>("autoPaperLengthCbx")->isEnabled());
    QCOMPARE(t.text("paperWidthLbl"), QString("Length:"));
    QCOMPARE(t.text("paperLengthLbl"), QString("Width:"));
    QCOMPARE(t.text("scanLeftLbl"), QString("Top:"));
    QCOMPARE(t.text("scanWidthLbl"), QString("Height:"));
  }

  void scannerWithoutFlatbedForcesTheFeeder() {
    RunningApp t("model=fi-7160");
    QCOMPARE(t.text("feedSideTxt"), QString("(place paper face down)"));
    QVERIFY(!t.find<QAbstractButton>("flatbedCell")->isEnabled());
    QVERIFY(t.find<QAbstractButton>("feederCell")->isChecked());
    // A stored flatbed setting does not survive either.
    t.app().settings().mFlatbed = true;
    t.app().applySettings();
    QVERIFY(t.find<QAbstractButton>("feederCell")->isChecked());
    QVERIFY(!t.app().settings().mFlatbed);
  }

  void settingsOfAFinishedScanAreTheNextDefaults() {
    QTemporaryDir config;
    {
      RunningApp t("model=fi-7160;sheets=1", QString(), config.path());
      t.choose("depthMnu", "Gray, 8 bits");
      t.choose("resolutionMnu", "150 dpi");
      t.click("duplexCbx");
      QVERIFY(t.scanInto(t.folder() + "/d.pdf"));
      QTRY_VERIFY(t.app().doneSheet()->isVisible());
      t.click("noMoreBtn");
    }
    // The same user's next window starts with them.
    RunningApp next("model=fi-7160", QString(), config.path());
    QCOMPARE(next.find<QComboBox>("depthMnu")->currentText(), QString("Gray, 8 bits"));
    QCOMPARE(next.find<QComboBox>("resolutionMnu")->currentText(), QString("150 dpi"));
    QVERIFY(next.find<QAbstractButton>("duplexCbx")->isChecked());
  }
};

QUIREL_GUI_TEST(ScanWindowTest)
#include "ScanWindowTest.moc"

// Scans through the real window and the real tool against virtual
// scanners: previews in scan order, the done sheet for each successful
// status, the alert for each failure, Scan More, Rescan, scanners coming and
// going while the window is open, the commands and menus, and quitting while
// a scan runs.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QTest>
#include <QTimer>

#include "RunningApp.h"
#include "GuiTestMain.h"
#include "ScanPreviewControl.h"

using guitest::RunningApp;

namespace {

// Page images of one solid colour each, for the virtual scanner's feeder.
QString SolidPages(const QString& folder, const QList<QColor>& colors) {
  QStringList files;
  for (int i = 0; i < colors.size(); ++i) {
    QImage page(850, 1100, QImage::Format_RGB32);  // 8.5 x 11 inches at 100 dpi
    page.fill(colors[i]);
    const QString file = QString("%1/page%2.png").arg(folder).arg(i);
    page.save(file);
    files << file;
  }
  return files.join(',');
}

// A bundle whose tool answers scanner queries with the real tool and ends
// every scan with QUIREL_TEST_STATUS (or a crash), after writing
// QUIREL_TEST_ERROR to standard error.
QString StandInBundle(const QString& folder) {
  const QString macos = folder + "/Standin.app/Contents/MacOS";
  QDir().mkpath(macos);
  QFile tool(macos + "/quirel");
  tool.open(QIODevice::WriteOnly);
  tool.write(QString("#!/bin/sh\n"
                     "case \"$1\" in --enumerate|--capabilities) exec '%1' \"$@\";; esac\n"
                     "printf '%s\\n' \"${QUIREL_TEST_OUTPUT:-side 1 scanned}\"\n"
                     "for last; do :; done; [ -n \"$QUIREL_TEST_FILE\" ] && echo scanned > \"$last\"\n"
                     "printf '%s\\n' \"$QUIREL_TEST_ERROR\" >&2\n"
                     "[ \"$QUIREL_TEST_STATUS\" = crash ] && kill -SEGV $$\n"
                     "exit \"$QUIREL_TEST_STATUS\"\n")
                 .arg(guitest::BuildBundle() + "/Contents/MacOS/quirel")
                 .toUtf8());
  tool.close();
  tool.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  return folder + "/Standin.app";
}

QColor CentreOfPage(RunningApp& t, int page) {
  auto* grid = t.find<ScanPreviewControl>("imageVw");
  const QImage shot = grid->grab().toImage();
  const QPoint centre = grid->cell().imageRectForPage(page).center() * grid->devicePixelRatioF();
  return shot.pixelColor(centre);
}

bool Near(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) < 24 && std::abs(a.green() - b.green()) < 24 && std::abs(a.blue() - b.blue()) < 24;
}

bool Logged(const RunningApp& t, const QString& start) {
  for (const std::string& line : t.log())
    if (QString::fromStdString(line).startsWith(start)) return true;
  return false;
}

const QString kMoreInfo =
    "To scan more pages to the same file with the same settings, just place pages on the feeder and click “Scan "
    "More”.";

}  // namespace

class ScanFlowTest : public QObject {
  Q_OBJECT

 private slots:
  void previewsArriveInScanOrder() {
    QTemporaryDir pages;
    const QList<QColor> colors{QColor(220, 30, 30), QColor(30, 180, 40), QColor(40, 60, 220), QColor(240, 200, 20)};
    RunningApp t("model=fi-7160;dpi=100;pages=" + SolidPages(pages.path(), colors));
    t.choose("depthMnu", "Colour, 8 bits");
    t.choose("resolutionMnu", "100 dpi");
    const QString out = t.folder() + "/colours.pdf";
    QVERIFY(t.scanInto(out));
    auto* grid = t.find<ScanPreviewControl>("imageVw");
    QCOMPARE(grid->pageCount(), 4);
    for (int i = 0; i < 4; ++i)
      QVERIFY2(Near(CentreOfPage(t, i), colors[i]), qPrintable(QString("page %1: %2").arg(i).arg(CentreOfPage(t, i).name())));
    QVERIFY(Logged(t, "scan job starting: --adf --rgb --bits 8 --resolution 100 "));
    QCOMPARE(guitest::PdfPages(out), 4);
  }

  void doneSheetForEachSuccess_data() {
    QTest::addColumn<QString>("scanners");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("info");
    QTest::addColumn<QStringList>("set");  // controls clicked ("field=text" typed) before the scan
    QTest::newRow("0: every page") << "model=fi-7160;sheets=2" << false << "2 pages scanned into %1." << kMoreInfo
                                   << QStringList();
    QTest::newRow("6: a jam")
        << "model=fi-7160;sheets=3;faults=jam=2" << false << "Paper jam detected (Cmd_ReadImage 03:80:01)"
        << "1 page is in “done.pdf”. To continue scanning this job, clear the feed problem, place unscanned pages back "
           "on the feeder and click “Scan More”."
        << QStringList();
    QTest::newRow("8: stopped") << "model=fi-7160;sheets=200" << true << "pages scanned into %1."
                                << kMoreInfo + " (The last pages passed through the scanner were not scanned)."
                                << QStringList();
    // The strip ends with the pages in the file: 6 sides, 4 pages.
    QTest::newRow("0: first and last page skipped")
        << "model=fi-7160;sheets=3" << false << "4 pages scanned into %1." << kMoreInfo
        << QStringList{"duplexCbx", "skipFirstCbx", "skipLastCbx"};
    QTest::newRow("0: flatbed")
        << "model=fi-6230;sheets=1" << false << "1 page scanned into %1."
        << "To scan more pages to the same file with the same settings, just place the next page on the flatbed and "
           "click “Scan More”."
        << QStringList{"flatbedCell", "paperLengthTxt=279.4"};
  }

  void doneSheetForEachSuccess() {
    QFETCH(QString, scanners);
    QFETCH(bool, stop);
    QFETCH(QString, message);
    QFETCH(QString, info);
    QFETCH(QStringList, set);
    RunningApp t(scanners);
    for (const QString& control : set) {
      const QStringList typed = control.split('=');
      if (typed.size() == 2)
        t.type(typed[0].toLatin1().constData(), typed[1]);
      else
        t.click(control.toLatin1().constData());
    }
    const QString out = t.folder() + "/done.pdf";
    t.click("scanBtn");
    QVERIFY(t.answerPanel(out));
    QTRY_VERIFY(t.app().scanning());
    if (stop) {
      // Stop once the first page is in.
      QTRY_VERIFY_WITH_TIMEOUT(t.find<ScanPreviewControl>("imageVw")->pageCount() > 0, 30000);
      // The settings of a scan are fixed when it starts: a click on another
      // format does nothing to it, to what Scan More scans or to the defaults.
      t.click("tiffCell");
      QVERIFY(t.find<QAbstractButton>("stopBtn")->isVisible());
      t.click("stopBtn");
      // The click shows at once, and controls set again meanwhile keep it.
      t.app().applySettings();
      QVERIFY(!t.find<QAbstractButton>("stopBtn")->isEnabled());
    }
    QVERIFY(t.waitForScanEnd());
    QTRY_VERIFY(t.app().doneSheet()->isVisible());
    QVERIFY(!t.openAlert());
    if (message.contains("%1")) {
      QVERIFY2(t.text("doneMessageTxt").endsWith(message.arg(out)), qPrintable(t.text("doneMessageTxt")));
      QVERIFY(!t.text("doneMessageTxt").contains('\n'));
    } else {
      // The scanner's text first; the tool's words on the sheet follow it.
      QVERIFY2(t.text("doneMessageTxt").startsWith(message + "\n"), qPrintable(t.text("doneMessageTxt")));
      // In the window's words: no option of the command line.
      QVERIFY2(!t.text("doneMessageTxt").contains("--"), qPrintable(t.text("doneMessageTxt")));
    }
    QCOMPARE(t.text("doneInfoTxt"), info);
    QCOMPARE(t.text("noMoreBtn"), QString("Done"));
    QVERIFY(guitest::PdfValid(out));
    QCOMPARE(t.find<ScanPreviewControl>("imageVw")->pageCount(), guitest::PdfPages(out));
    QCOMPARE(t.app().settings().readDictionary()->value("FormatType").toInt(), 2);
    QCOMPARE(t.app().settings().mFileType, 2);
    // The sheet holds no other window: the scan window can still be closed.
    QVERIFY(!QApplication::activeModalWidget());
    t.click("noMoreBtn");
    QTRY_VERIFY(!t.app().doneSheet()->isVisible());
  }

  void alertForEachFailure_data() {
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("info");
    QTest::addColumn<int>("resultClass");
    QTest::addColumn<QString>("error");   // the tool's standard error ("": the message)
    QTest::addColumn<QString>("output");  // its standard output ("": one side scanned)
    QTest::addColumn<bool>("file");       // it leaves the output file
    QTest::newRow("10: size limit") << "10" << "The PDF file would exceed 10 GB."
                                    << "The scanned file does not contain images of all pages that passed through "
                                       "the scanner. No file was written."
                                    << 2 << "" << "" << false;
    QTest::newRow("11: disk full") << "11" << "The disk is full." << "No file was written." << 2 << "" << "" << false;
    QTest::newRow("12: write failure") << "12" << "Page 3 could not be written." << "No file was written." << 3 << ""
                                       << "" << false;
    QTest::newRow("crash") << "crash" << "The scanning process has crashed."
                           << "The output file has probably been corrupted, or may not have been created at all."
                           << 3 << "" << "" << false;
    // What happened to the file and what to do, in the window's words.
    QTest::newRow("8: stopped before a page")
        << "8" << "The scan was stopped before a page was scanned." << "No file was written." << 2 << " "
        << "Stopped before the scan began; no page scanned." << false;
    QTest::newRow("2: no scanner")
        << "2"
        << "No supported scanner is attached. Check that it is switched on and connected by USB; its name shows at "
           "the top of the window once it is found."
        << "No file was written." << 3
        << "quirel: no supported scanner is attached. Check that it is switched on and connected by USB; quirel "
           "--enumerate lists the scanners found."
        << "" << false;
    QTest::newRow("5: no file to append to")
        << "5"
        << "Cannot append to '/x/f.pdf': there is no such file (No such file or directory). Click Scan… to make a new "
           "file."
        << "No file was written." << 3
        << "quirel: cannot append to '/x/f.pdf': there is no such file (No such file or directory). Leave out --append "
           "to make a new file."
        << "" << false;
    QTest::newRow("9: unplugged, a page in the file")
        << "9"
        << "Command Cmd_ReadImage: error (0xe00002c0: 0x38, 0x0, 0x2c0) reading data from scanner.\nThe scanner "
           "stopped answering: was it unplugged or switched off? The pages scanned before are in the file."
        << "1 page is in “f.pdf”. Correct the problem, then click Append… to add the remaining pages." << 2 << ""
        << "side 1 scanned\n1 page scanned\n1 page scanned into f.pdf." << true;
  }

  void alertForEachFailure() {
    QFETCH(QString, status);
    QFETCH(QString, message);
    QFETCH(QString, info);
    QFETCH(int, resultClass);
    QFETCH(QString, error);
    QFETCH(QString, output);
    QFETCH(bool, file);
    QTemporaryDir folder;
    guitest::ScopedEnv st("QUIREL_TEST_STATUS", status.toUtf8());
    guitest::ScopedEnv er("QUIREL_TEST_ERROR", (error.isEmpty() ? message : error.trimmed()).toUtf8());
    guitest::ScopedEnv ou("QUIREL_TEST_OUTPUT", output.isEmpty() ? QByteArray() : output.toUtf8());
    guitest::ScopedEnv fi("QUIREL_TEST_FILE", file ? QByteArray("1") : QByteArray());
    RunningApp t("model=fi-7160", StandInBundle(folder.path()));
    QVERIFY(t.scanInto(t.folder() + "/f.pdf"));
    QTRY_VERIFY(t.openAlert());
    QMessageBox* alert = t.openAlert();
    QCOMPARE(alert->text(), message);
    QCOMPARE(alert->informativeText(), info);
    QCOMPARE(alert->buttons().size(), 1);
    QCOMPARE(alert->buttons().first()->text(), QString("Done"));
    QVERIFY(!t.app().doneSheet()->isVisible());
    QCOMPARE(t.app().lastScanResult(), resultClass);
    QVERIFY(Logged(t, status == "crash" ? "scan job finished, status: crashed" : "scan job finished, status: " + status));
    alert->close();
  }

  void scanMoreAppendsToTheSameFile_data() {
    QTest::addColumn<QString>("chosen");   // the name given in the save panel
    QTest::addColumn<QString>("written");  // the file the scan writes
    QTest::newRow("more.pdf") << "more.pdf" << "more.pdf";
    QTest::newRow("upper.PDF") << "upper.PDF" << "upper.PDF";
    QTest::newRow("scan.v2") << "scan.v2" << "scan.v2.pdf";
    QTest::newRow("invoice.2024") << "invoice.2024" << "invoice.2024.pdf";
  }

  void scanMoreAppendsToTheSameFile() {
    QFETCH(QString, chosen);
    QFETCH(QString, written);
    RunningApp t("model=fi-7160;sheets=2");
    const QString out = t.folder() + "/" + written;
    QVERIFY(t.scanInto(t.folder() + "/" + chosen));
    QTRY_VERIFY(t.app().doneSheet()->isVisible());
    QCOMPARE(guitest::PdfPages(out), 2);
    QCOMPARE(t.app().settings().filePath(), out);
    t.click("doneMoreBtn");
    QTRY_VERIFY(!t.app().scanning() && t.app().doneSheet()->isVisible() && Logged(t, "scan job finished, status: 0") &&
                std::count_if(t.log().begin(), t.log().end(),
                              [](const std::string& l) { return l.rfind("scan job finished", 0) == 0; }) == 2);
    QVERIFY(Logged(t, "scan job starting: ") &&
            QString::fromStdString(*std::find_if(t.log().rbegin(), t.log().rend(), [](const std::string& l) {
              return l.rfind("scan job starting: ", 0) == 0;
            })).endsWith("--append " + out));
    QCOMPARE(guitest::PdfPages(out), 4);
    QVERIFY(guitest::PdfValid(out));
    t.click("noMoreBtn");
    QTRY_VERIFY(!t.app().doneSheet()->isVisible());

    // Append… takes the file in any letter case of its extension.
    t.click("appendBtn");
    QVERIFY(t.answerPanel(out));
    QTRY_VERIFY(t.app().doneSheet()->isVisible());
    QCOMPARE(guitest::PdfPages(out), 6);

    // Scan More without a scanner says so at once and keeps the strip.
    t.replug("");
    QTRY_COMPARE(t.text("modelTxt"), QString("No scanner attached"));
    t.click("doneMoreBtn");
    QVERIFY(!t.app().scanning());
    QVERIFY(t.openAlert());
    QCOMPARE(t.openAlert()->text(), QString("No scanner is attached."));
    QCOMPARE(t.find<ScanPreviewControl>("imageVw")->pageCount(), 2);
    t.openAlert()->close();
  }

  void rescanReplacesTheFile() {
    RunningApp t("model=fi-7160;sheets=2");
    const QString out = t.folder() + "/again.pdf";
    QAction* rescan = t.window()->findChild<QAction*>("doRescan");
    QVERIFY(!rescan->isEnabled());
    QVERIFY(t.scanInto(out));
    QTRY_VERIFY(t.app().doneSheet()->isVisible());
    t.click("noMoreBtn");
    QCOMPARE(rescan->text(), QString("Rescan again.pdf…"));
    QVERIFY(rescan->isEnabled());

    // Cancel leaves the file alone.
    rescan->trigger();
    QTRY_VERIFY(t.openAlert());
    QCOMPARE(t.openAlert()->text(), QString("Are you sure you want to replace the file: again.pdf?"));
    QCOMPARE(t.openAlert()->buttons().size(), 2);
    QTest::mouseClick(t.openAlert()->button(QMessageBox::Cancel) ? t.openAlert()->button(QMessageBox::Cancel)
                                                                  : t.openAlert()->buttons().last(),
                      Qt::LeftButton);
    QTest::qWait(100);
    QVERIFY(!t.app().scanning());

    // Replace scans into a new file of the same name.
    t.click("rescanBtn");
    QTRY_VERIFY(t.openAlert());
    QAbstractButton* replace = nullptr;
    for (QAbstractButton* b : t.openAlert()->buttons())
      if (b->text() == "Replace") replace = b;
    QVERIFY(replace);
    QTest::mouseClick(replace, Qt::LeftButton);
    QTRY_VERIFY(t.app().scanning());
    QVERIFY(t.waitForScanEnd());
    QTRY_VERIFY(t.app().doneSheet()->isVisible());
    QCOMPARE(guitest::PdfPages(out), 2);
    t.click("noMoreBtn");

    // Without a file there is nothing to ask.
    QFile::remove(out);
    t.click("rescanBtn");
    QTRY_VERIFY(t.app().scanning());
    QVERIFY(!t.openAlert());
    QVERIFY(t.waitForScanEnd());
    QCOMPARE(guitest::PdfPages(out), 2);
    QTRY_VERIFY(t.app().doneSheet()->isVisible());
    t.click("noMoreBtn");

    // The window sees the scanner leave and come back (asking the tool for it
    // anew) before Rescan is clicked: in between Rescan is off.
    const auto replugged = [&](const char* scanners) {
      const auto matched = [&] {
        return std::count_if(t.log().begin(), t.log().end(), [](const std::string& l) { return l.rfind("matched device", 0) == 0; });
      };
      const auto before = matched();
      t.replug(scanners);
      QTRY_VERIFY_WITH_TIMEOUT(matched() > before && t.app().scannerInfo() && rescan->isEnabled() &&
                                   t.find<QAbstractButton>("rescanBtn")->isEnabled(),
                               60000);
    };

    // A Rescan that fails (the feeder's cover is open) leaves the file whole.
    replugged("model=fi-7160;sheets=2;faults=coveropen");
    auto replaceIt = [&] {
      QTRY_VERIFY(t.openAlert());
      for (QAbstractButton* b : t.openAlert()->buttons())
        if (b->text() == "Replace") QTest::mouseClick(b, Qt::LeftButton);
    };
    t.click("rescanBtn");
    replaceIt();
    QTRY_VERIFY(t.app().scanning());
    QVERIFY(t.waitForScanEnd());
    QTRY_VERIFY(t.openAlert());
    QCOMPARE(t.openAlert()->informativeText(), QString("“again.pdf” was not replaced; it is as it was."));
    t.openAlert()->close();
    QCOMPARE(guitest::PdfPages(out), 2);
    QVERIFY(guitest::PdfValid(out));

    // What cannot be replaced is said before anything is scanned.
    replugged("model=fi-7160;sheets=2");
    QVERIFY(QFile::remove(out) && QDir().mkdir(out));
    t.click("rescanBtn");
    replaceIt();
    QTRY_VERIFY(t.openAlert() && t.openAlert()->objectName() == "replaceFailedAlert");
    QCOMPARE(t.openAlert()->text(), QString("“again.pdf” couldn’t be replaced."));
    QVERIFY(!t.app().scanning());
    t.openAlert()->close();
  }

  void scannersComeAndGoWhileTheWindowIsOpen() {
    RunningApp t("");
    QCOMPARE(t.text("modelTxt"), QString("No scanner attached"));
    QVERIFY(!t.find<QAbstractButton>("scanBtn")->isEnabled());
    t.replug("model=fi-6230");
    QTRY_COMPARE(t.text("modelTxt"), QString("fi-6230"));
    QVERIFY(t.find<QAbstractButton>("scanBtn")->isEnabled());
    // Unplugged while idle: the controls follow.
    t.replug("");
    QTRY_COMPARE(t.text("modelTxt"), QString("No scanner attached"));
    QVERIFY(!t.find<QAbstractButton>("scanBtn")->isEnabled());
    QVERIFY(!t.find<QAbstractButton>("appendBtn")->isEnabled());
    QCOMPARE(t.text("feedSideTxt"), QString());
    t.replug("model=fi-6230");
    QTRY_COMPARE(t.text("modelTxt"), QString("fi-6230"));
    QVERIFY(t.find<QAbstractButton>("flatbedCell")->isEnabled());
    t.choose("depthMnu", "Gray, 8 bits");
    t.type("paperLengthTxt", "1000");
    t.click("scanBtn");
    QTRY_VERIFY(t.openAlert());
    QVERIFY(t.openAlert()->text().contains("higher than 200dpi, is 864 mm."));
    t.openAlert()->close();

    // A scanner with longer limits takes its place, while a number is
    // being typed: the number stays as typed.
    auto* width = t.find<QLineEdit>("paperWidthTxt");
    width->selectAll();
    QTest::keyClicks(width, "200.");
    t.replug("model=fi-7160;sheets=30");
    QTRY_COMPARE(t.text("modelTxt"), QString("fi-7160"));
    QCOMPARE(width->text(), QString("200."));
    QTest::keyClicks(width, "5");
    QCOMPARE(t.app().settings().mPaperWidth, 200.5);
    QVERIFY(!t.find<QAbstractButton>("flatbedCell")->isEnabled());

    // Gone during a scan, as if unplugged: the scan fails, and no limits
    // apply any more.
    t.click("scanBtn");
    QVERIFY(t.answerPanel(t.folder() + "/gone.pdf"));
    QTRY_VERIFY_WITH_TIMEOUT(t.find<ScanPreviewControl>("imageVw")->pageCount() > 0, 30000);
    t.replug("");
    QVERIFY(t.waitForScanEnd());
    QTRY_VERIFY(t.openAlert());
    QVERIFY2(t.openAlert()->text().contains("was it unplugged"), qPrintable(t.openAlert()->text()));
    t.openAlert()->close();
    QTRY_COMPARE(t.text("modelTxt"), QString("No scanner attached"));
    QVERIFY(!t.app().scannerInfo());
    QVERIFY(t.app().checkSettings());
  }

  void newestScannerReportStands() {
    // A tool that takes a while to list the scanners: the scanner leaves
    // while the window still waits for the list made when it arrived.
    QTemporaryDir folder;
    const QString macos = folder.path() + "/Slow.app/Contents/MacOS";
    QDir().mkpath(macos);
    QFile tool(macos + "/quirel");
    QVERIFY(tool.open(QIODevice::WriteOnly));
    tool.write(QString("#!/bin/sh\n[ \"$1\" = --enumerate ] && sleep 0.6\nexec '%1' \"$@\"\n")
                   .arg(guitest::BuildBundle() + "/Contents/MacOS/quirel")
                   .toUtf8());
    tool.close();
    tool.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    RunningApp t("", folder.path() + "/Slow.app");
    QTimer::singleShot(200, [&] { t.replug(""); });
    t.replug("model=fi-6230");
    QTest::qWait(2500);
    QCOMPARE(t.text("modelTxt"), QString("No scanner attached"));
    QVERIFY(!t.app().scannerInfo());
  }

  void commandsAndMenusFollowTheScan() {
    RunningApp t("model=fi-6230;sheets=60");
    const QString out = t.folder() + "/cmd.pdf";
    t.trigger("doShowCommand");
    QVERIFY(t.answerPanel(out));
    QTRY_VERIFY(t.openAlert());
    const QString command = t.app().settings().getCommandString();
    // Shown in lines a shell reads back as the same command, each broken
    // between arguments only.
    const QString shown = t.openAlert()->text();
    QVERIFY2(shown.contains(" \\\n  --paper-width 9921 "), qPrintable(shown));
    QCOMPARE(QString(shown).replace(" \\\n  ", " "), command);
    QVERIFY(command.startsWith("quirel --adf --mono --resolution 300 ") && command.endsWith(" " + out));
    t.openAlert()->close();
    t.trigger("doPutCommandOnClipboard");
    QVERIFY(t.answerPanel(out));
    QCOMPARE(QGuiApplication::clipboard()->text(), command);

    // While a scan runs every item of the controller is off and Quit is
    // ignored.
    t.choose("depthMnu", "Colour, 8 bits");
    t.click("scanBtn");
    QVERIFY(t.answerPanel(out));
    QTRY_VERIFY(t.app().scanning());
    for (const char* name : {"doScan", "doRescan", "doAppend", "doShowCommand", "doPutCommandOnClipboard", "terminate",
                             "installCmdLine", "startEMail"})
      QVERIFY2(!t.window()->findChild<QAction*>(name)->isEnabled(), name);
    QVERIFY(!t.find<QAbstractButton>("scanBtn")->isVisible());
    QVERIFY(t.find<QAbstractButton>("stopBtn")->isEnabled());
    t.trigger("terminate");
    t.app().terminate();
    QCOMPARE(t.exitCalls(), 0);
    // Stopped once a page is in, the scan ends with the done sheet (a stop
    // before the first page would end with an alert instead).
    QTRY_VERIFY_WITH_TIMEOUT(t.find<ScanPreviewControl>("imageVw")->pageCount() > 0, 30000);
    t.click("stopBtn");
    QVERIFY(t.waitForScanEnd());
    QTRY_VERIFY(t.app().doneSheet()->isVisible());
    t.click("noMoreBtn");
    QVERIFY(t.window()->findChild<QAction*>("doScan")->isEnabled());
    // After a scan the command is still one a user runs: no preview FIFO
    // to wait for, the path quoted for the shell.
    const QString spaced = t.folder() + "/my scans.pdf";
    t.trigger("doPutCommandOnClipboard");
    QVERIFY(t.answerPanel(spaced));
    const QString copied = QGuiApplication::clipboard()->text();
    QVERIFY2(!copied.contains("--preview") && copied.endsWith(" '" + spaced + "'"), qPrintable(copied));

    // A flatbed scan cannot be stopped.
    t.click("flatbedCell");
    t.type("paperLengthTxt", "279.4");
    t.click("scanBtn");
    QVERIFY(t.answerPanel(t.folder() + "/flat.pdf"));
    QTRY_VERIFY(t.app().scanning() || t.app().doneSheet()->isVisible());
    if (t.app().scanning()) QVERIFY(!t.find<QAbstractButton>("stopBtn")->isEnabled());
    QVERIFY(t.waitForScanEnd());
    QTRY_VERIFY2(t.app().doneSheet()->isVisible(), qPrintable(t.openAlert() ? t.openAlert()->text() : QString("no alert")));
    t.click("noMoreBtn");

    // Idle, Quit ends the application.
    t.trigger("terminate");
    QCOMPARE(t.exitCalls(), 1);
    QVERIFY(Logged(t, "terminated normally"));
  }

  void closingTheWindowDuringAScanLeavesAValidFile() {
    RunningApp t("model=fi-7160;sheets=200");
    t.choose("depthMnu", "Colour, 8 bits");
    const QString out = t.folder() + "/quit.pdf";
    t.click("scanBtn");
    QVERIFY(t.answerPanel(out));
    QTRY_VERIFY_WITH_TIMEOUT(t.find<ScanPreviewControl>("imageVw")->pageCount() >= 2, 30000);
    t.window()->close();
    // The application waits for the tool to finish the file, then ends.
    QVERIFY(t.waitForScanEnd());
    QTRY_COMPARE(t.exitCalls(), 1);
    QVERIFY(!t.app().doneSheet()->isVisible());
    QVERIFY(guitest::PdfValid(out));
    const int pages = guitest::PdfPages(out);
    QVERIFY2(pages >= 2 && pages < 200, qPrintable(QString::number(pages)));
  }
};

QUIREL_GUI_TEST(ScanFlowTest)
#include "ScanFlowTest.moc"

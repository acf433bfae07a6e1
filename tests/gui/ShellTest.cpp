// The application menu's commands in the real window: installing the
// command-line tool (what the user is shown for each outcome) and the
// support request mail (what it holds, with and without a scanner).
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QProcess>
#include <functional>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

#include "RunningApp.h"
#include "GuiTestMain.h"
#include "SUUpdater.h"

using guitest::RunningApp;

namespace {

class AnsweringAuthorization : public AdminAuthorization {
 public:
  explicit AnsweringAuthorization(int32_t answer) : mAnswer(answer) {}
  int asked = 0;
  int32_t RunWithPrivileges(const std::string&, const std::vector<std::string>& command, const std::string& input,
                            int32_t* exitStatus) override {
    ++asked;
    if (mAnswer != 0) return mAnswer;
    *exitStatus = guitest::RunGranted(command, input);
    return 0;
  }

 private:
  int32_t mAnswer;
};

// Runs `action`, closing and reporting the modal alert it may show.
QString ModalAlertOf(const std::function<void()>& action) {
  QString seen;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      seen = box->text() + "|" + box->informativeText();
      box->accept();
    }
  });
  closer.start(20);
  action();
  return seen;
}

class MailCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
 public slots:
  void openUrl(const QUrl& url) { urls << url; }
};

}  // namespace

class ShellTest : public QObject {
  Q_OBJECT

 private slots:
  void installShowsEveryFailureButACancel_data() {
    QTest::addColumn<bool>("toolInBundle");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("alert");
    QTest::addColumn<bool>("installed");
    QTest::newRow("granted") << true << 0 << "" << true;
    QTest::newRow("cancelled") << true << int(errAuthorizationCanceled) << "" << false;
    QTest::newRow("refused") << true << int(errAuthorizationDenied)
                             << "Installation of the command line tool failed (-60005).|" << false;
    QTest::newRow("no tool in the bundle") << false << 0 << "Installation of the command line tool failed (-43).|"
                                           << false;
  }

  void installShowsEveryFailureButACancel() {
    QFETCH(bool, toolInBundle);
    QFETCH(int, answer);
    QFETCH(QString, alert);
    QFETCH(bool, installed);
    QTemporaryDir folder;
    QString bundle;
    if (!toolInBundle) {
      bundle = folder.filePath("Empty.app");
      QDir().mkpath(bundle + "/Contents/MacOS");
    }
    RunningApp t("model=fi-7160", bundle);
    auto* auth = new AnsweringAuthorization(answer);
    t.app().setAuthorization(std::unique_ptr<AdminAuthorization>(auth));
    t.app().setInstallLocalDir(folder.filePath("usr/local"));
    QCOMPARE(ModalAlertOf([&] { t.app().installCmdLine(); }), alert);
    QCOMPARE(QFile::exists(folder.filePath("usr/local/bin/quirel")), installed);
    if (installed) {
      // Installed already: nothing is asked the second time.
      QCOMPARE(ModalAlertOf([&] { t.app().installCmdLine(); }), QString());
      QCOMPARE(auth->asked, 1);
    }
  }

  void supportMailListsScannersAndSystem_data() {
    QTest::addColumn<QString>("scanners");
    QTest::addColumn<QString>("list");
    QTest::newRow("no scanner") << "" << "model vendor product location\n";
    QTest::newRow("one scanner") << "model=fi-7160" << "model vendor product location\nfi-7160 4c5 132e 14100000\n";
    QTest::newRow("two scanners") << "model=fi-7160|model=fi-6230"
                                  << "model vendor product location\nfi-7160 4c5 132e 14100000\n"
                                     "fi-6230 4c5 1150 14200000\n";
  }

  void supportMailListsScannersAndSystem() {
    QFETCH(QString, scanners);
    QFETCH(QString, list);
    MailCatcher catcher;
    QDesktopServices::setUrlHandler("mailto", &catcher, "openUrl");
    RunningApp t(scanners);
    t.trigger("startEMail");
    QDesktopServices::unsetUrlHandler("mailto");
    QCOMPARE(catcher.urls.size(), 1);
    const QUrl url = catcher.urls.first();
    QCOMPARE(url.scheme(), QString("mailto"));
    QCOMPARE(url.path(), QString(kSupportMailbox));
    const QUrlQuery query(url);
    QCOMPARE(query.queryItemValue("SUBJECT", QUrl::FullyDecoded), QString("Quirel support request"));
    const QString body = query.queryItemValue("BODY", QUrl::FullyDecoded);
    const QString head = "\n\n--- com.brannoch.quirel - " + QString(QUIREL_VERSION) + " - 1 ---\n\n--- Scanners ---\n\n" +
                         list + "\n--- System Info ---\n\n";
    QVERIFY2(body.startsWith(head), qPrintable(body.left(300)));
    QVERIFY(body.contains("Kernel: Linux"));
    QVERIFY(body.contains("USB devices:"));
    QVERIFY(body.endsWith("\n"));
  }

  void mailBodySurvivesEscaping() {
    // Characters that mean something in a URL come back as they were.
    const QString body = SupportMailBody({"id", "1.0", "7"}, "a&b=c?d#e %20 é\n", "x+y\n");
    const QUrlQuery query(SupportMailUrl(body));
    QCOMPARE(query.queryItemValue("BODY", QUrl::FullyDecoded), body);
  }

  void updaterHoldsTheController() {
    RunningApp t("model=fi-7160");
    QCOMPARE(SUUpdater::sharedUpdater().delegate(), &t.app());
  }
};

QUIREL_GUI_TEST(ShellTest)
#include "ShellTest.moc"

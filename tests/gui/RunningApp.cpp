// RunningApp: the real scan window offscreen against virtual scanners, driven as a user would (see RunningApp.h).
#include "RunningApp.h"

#include <QApplication>
#include <QCheckBox>
#include <QRadioButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QProcess>
#include <QTest>
#include <cstdio>
#include <unistd.h>

#include "FrontendLog.h"
#include "VirtualScanner.h"

namespace guitest {

QString BuildBundle() { return QString::fromUtf8(QUIREL_BUNDLE_DIR); }

ScopedEnv::ScopedEnv(const char* name, const QByteArray& value)
    : mName(name), mOld(qgetenv(name)), mHad(qEnvironmentVariableIsSet(name)) {
  if (value.isNull())
    qunsetenv(name);
  else
    qputenv(name, value);
}

ScopedEnv::~ScopedEnv() {
  if (mHad)
    qputenv(mName.constData(), mOld);
  else
    qunsetenv(mName.constData());
}

namespace {

// The scanners attached: the descriptions in a file that both the window's
// bus and the tool run as a child watch (QUIREL_VIRTUAL_SCANNER=@FILE).
// Replaced whole by renaming a new file over it, as an editor saves.
void WriteScanners(const QString& file, const QString& scanners) {
  QFile out(file + ".new");
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) qFatal("cannot write %s", qPrintable(out.fileName()));
  for (const QString& one : scanners.split('|', Qt::SkipEmptyParts)) out.write(one.toUtf8() + "\n");
  out.close();
  if (::rename(QFile::encodeName(out.fileName()).constData(), QFile::encodeName(file).constData()) != 0)
    qFatal("cannot rename %s", qPrintable(out.fileName()));
}

}  // namespace

RunningApp::RunningApp(const QString& scanners, const QString& bundle, const QString& config) {
  mConfig = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", (config.isEmpty() ? mHome.filePath("config") : config).toUtf8());
  mBundle = std::make_unique<ScopedEnv>("QUIREL_BUNDLE", (bundle.isEmpty() ? BuildBundle() : bundle).toUtf8());
  // No scanner is an empty file, so the tool never looks at the host's real
  // USB devices.
  mScannerFile = mHome.filePath("scanners");
  WriteScanners(mScannerFile, scanners);
  mScanners = std::make_unique<ScopedEnv>("QUIREL_VIRTUAL_SCANNER", ("@" + mScannerFile).toUtf8());
  std::string error;
  mBus = quirel::virt::MakeVirtualBus(("@" + mScannerFile).toStdString(), &error);
  if (!mBus) qFatal("virtual scanners: %s", error.c_str());
  quirel::usb::SetBusForTesting(mBus.get());
  quirel::frontend::SetLogSink([this](const std::string& line) { mLog.push_back(line); });
  mApp = std::make_unique<Quirel_ScanController_App_Pro>();
  mApp->setExitHandler([this](int) { ++mExitCalls; });
  mApp->awakeFromNib();
  window()->resize(1080, 700);
  if (!QTest::qWaitForWindowExposed(window())) qWarning("the scan window was not shown");
}

RunningApp::~RunningApp() {
  if (mApp && mApp->scanning()) {
    mApp->doStop();
    waitForScanEnd(60000);
  }
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && w != window()) w->close();
  mApp.reset();
  quirel::frontend::SetLogSink(nullptr);
  quirel::usb::SetBusForTesting(nullptr);
}

QString RunningApp::text(const char* label) {
  if (auto* l = find<QLabel>(label)) return l->text();
  if (auto* e = find<QLineEdit>(label)) return e->text();
  if (auto* b = find<QAbstractButton>(label)) return b->text();
  qWarning("no control named %s", label);
  return "<none>";
}

void RunningApp::click(const char* button) {
  auto* b = find<QAbstractButton>(button);
  if (!b) qFatal("no button named %s", button);
  // Check boxes and radio buttons answer only on their box and text, which
  // may not reach the middle of a wide control: click the box.
  const bool boxed = qobject_cast<QCheckBox*>(b) || qobject_cast<QRadioButton*>(b);
  QTest::mouseClick(b, Qt::LeftButton, Qt::NoModifier, boxed ? QPoint(6, b->height() / 2) : QPoint());
}

void RunningApp::type(const char* field, const QString& text) {
  auto* e = find<QLineEdit>(field);
  if (!e) qFatal("no field named %s", field);
  e->setFocus();
  e->selectAll();
  e->del();
  QTest::keyClicks(e, text);
  // Return ends the edit, as leaving the field does.
  QTest::keyClick(e, Qt::Key_Return);
}

void RunningApp::choose(const char* comboBox, const QString& itemText) {
  auto* c = find<QComboBox>(comboBox);
  if (!c) qFatal("no pop-up named %s", comboBox);
  const int i = c->findText(itemText);
  if (i < 0) qFatal("no item %s in %s", qPrintable(itemText), comboBox);
  c->setCurrentIndex(i);
  emit c->activated(i);
}

void RunningApp::trigger(const char* action) {
  auto* a = window()->findChild<QAction*>(QString::fromLatin1(action));
  if (!a) qFatal("no action named %s", action);
  a->trigger();
}

void RunningApp::replug(const QString& scanners) { WriteScanners(mScannerFile, scanners); }

bool RunningApp::panelOpen() {
  for (auto* panel : window()->findChildren<QFileDialog*>())
    if (panel->isVisible()) return true;
  return false;
}

bool RunningApp::answerPanel(const QString& path) {
  QFileDialog* open = nullptr;
  if (!QTest::qWaitFor(
          [&] {
            for (auto* panel : window()->findChildren<QFileDialog*>())
              if (panel->isVisible()) open = panel;
            return open != nullptr;
          },
          5000))
    return false;
  if (path.isEmpty()) {
    open->reject();
  } else {
    open->selectFile(path);
    static_cast<QDialog*>(open)->accept();  // QFileDialog::accept, which checks the name
  }
  QCoreApplication::processEvents();
  return true;
}

QMessageBox* RunningApp::openAlert() {
  for (auto* alert : window()->findChildren<QMessageBox*>())
    if (alert->isVisible()) return alert;
  return nullptr;
}

bool RunningApp::waitForScanEnd(int timeoutMs) {
  return QTest::qWaitFor([&] { return !mApp->scanning(); }, timeoutMs);
}

bool RunningApp::scanInto(const QString& path, int timeoutMs) {
  click("scanBtn");
  if (!answerPanel(path)) return false;
  if (!QTest::qWaitFor([&] { return mApp->scanning(); }, 5000)) return false;
  return waitForScanEnd(timeoutMs);
}

int RunGranted(const std::vector<std::string>& command, const std::string& input) {
  QStringList args;
  for (size_t i = 1; i < command.size(); ++i) {
    if (::geteuid() != 0 && (command[i] == "-o" || command[i] == "-g") && i + 1 < command.size()) {
      ++i;
      continue;
    }
    args << QString::fromStdString(command[i]);
  }
  QProcess p;
  p.start(QString::fromStdString(command[0]), args);
  if (!p.waitForStarted(10000)) return -1;
  p.write(input.data(), qint64(input.size()));
  p.closeWriteChannel();
  p.waitForFinished(60000);
  return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

int PdfPages(const QString& path) {
  QProcess p;
  p.start("pdfinfo", {path});
  if (!p.waitForFinished(30000) || p.exitCode() != 0) return -1;
  for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split('\n'))
    if (line.startsWith("Pages:")) return line.mid(6).trimmed().toInt();
  return -1;
}

bool PdfValid(const QString& path) {
  QProcess p;
  p.start("qpdf", {"--check", path});
  return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

}  // namespace guitest

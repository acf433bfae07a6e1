// Quirel_ScanController_App_Pro: the scan window and done sheet built from their forms, the application menu's commands and the updater hook.
#include "Quirel_ScanController_App_Pro.h"

#include <QAction>
#include <QDesktopServices>
#include <QDialog>
#include <QFile>
#include <QMainWindow>
#include <QMessageBox>
#include <QXmlStreamReader>

#include "AppBundle.h"
#include "OrientationImages.h"
#include "SUUpdater.h"
#include "ui_DoneSheet.h"
#include "ui_ScanWindow.h"

using quirel::frontend::AuxiliaryExecutablePath;

Quirel_ScanController_App_Pro::Quirel_ScanController_App_Pro(QObject* parent)
    : Quirel_ScanController_App(parent),
      mWindow(std::make_unique<QMainWindow>()),
      mWindowUi(std::make_unique<Ui::ScanWindow>()),
      mDoneUi(std::make_unique<Ui::DoneSheet>()),
      mAuth(std::make_unique<PkexecAuthorization>()) {
  mWindowUi->setupUi(mWindow.get());
  mWindow->setWindowIcon(QuirelAppIcon());
  auto* done = new QDialog(mWindow.get());
  mDoneUi->setupUi(done);
  mDoneUi->doneIcon->setPixmap(QuirelAppIcon().pixmap(64, 64));
  bindWindows(mWindow.get(), done);
  connect(mWindowUi->installCmdLine, &QAction::triggered, this, &Quirel_ScanController_App_Pro::installCmdLine);
  connect(mWindowUi->startEMail, &QAction::triggered, this, &Quirel_ScanController_App_Pro::startEMail);
}

Quirel_ScanController_App_Pro::~Quirel_ScanController_App_Pro() {
  // The window goes first; it must not report its own destruction to the
  // controller.
  mWindow->removeEventFilter(this);
  for (auto* child : mWindow->findChildren<QObject*>()) child->removeEventFilter(this);
  mWindow.reset();
}

void Quirel_ScanController_App_Pro::awakeFromNib() {
  Quirel_ScanController_App::awakeFromNib();
  SUUpdater::sharedUpdater().setDelegate(this);
}

QString Quirel_ScanController_App_Pro::execCmd(const QStringList& args) const {
  return RunForText(AuxiliaryExecutablePath(bundle(), "quirel"), args);
}

void Quirel_ScanController_App_Pro::installCmdLine() {
  InstallPaths paths;
  const QString tool = AuxiliaryExecutablePath(bundle(), "quirel");
  if (QFile::exists(tool)) paths.bundleTool = tool.toStdString();
  paths.localDir = mLocalDir.toStdString();
  const int32_t status = InstallCmdLine(*mAuth, paths);
  window()->raise();
  window()->activateWindow();
  if (status == 0 || status == errAuthorizationCanceled) return;
  QMessageBox alert(window());
  alert.setObjectName("installFailedAlert");
  alert.setWindowTitle("Quirel");
  alert.setText(QString("Installation of the command line tool failed (%1).").arg(status));
  alert.setInformativeText(QString());
  alert.setStandardButtons(QMessageBox::Ok);
  alert.exec();
}

BundleVersions Quirel_ScanController_App_Pro::bundleVersions() const {
  BundleVersions out;
  QFile plist(bundle() + "/Contents/Info.plist");
  if (!plist.open(QIODevice::ReadOnly)) return out;
  // A flat dictionary of strings: each <key> is followed by its <string>.
  QXmlStreamReader xml(&plist);
  QString key;
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    if (xml.name() == QLatin1String("key")) {
      key = xml.readElementText();
    } else if (xml.name() == QLatin1String("string")) {
      const QString value = xml.readElementText();
      if (key == "CFBundleIdentifier") out.identifier = value;
      if (key == "CFBundleShortVersionString") out.shortVersion = value;
      if (key == "CFBundleVersion") out.version = value;
      key.clear();
    }
  }
  return out;
}

void Quirel_ScanController_App_Pro::startEMail() {
  const QString scanners = execCmd({"--enumerate"});
  const QString system = SystemReport();
  const QUrl url = SupportMailUrl(SupportMailBody(bundleVersions(), scanners, system));
  QDesktopServices::openUrl(url);
}

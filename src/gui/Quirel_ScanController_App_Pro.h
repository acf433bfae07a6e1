// The application's scan window controller as the program starts it: it
// builds the scan window and the done sheet from their forms, and adds the
// application menu's commands (install the command-line tool for use in a
// shell, write a support request) and the updater hook.
#pragma once

#include <memory>

#include "InstallCmdLine.h"
#include "Quirel_ScanController_App.h"
#include "SupportRequest.h"

namespace Ui {
class ScanWindow;
class DoneSheet;
}  // namespace Ui

class Quirel_ScanController_App_Pro : public Quirel_ScanController_App {
  Q_OBJECT
 public:
  explicit Quirel_ScanController_App_Pro(QObject* parent = nullptr);
  ~Quirel_ScanController_App_Pro() override;

  void awakeFromNib() override;

  // Menu actions.
  void installCmdLine();
  void startEMail();

  // Runs the bundle's tool with `args` and waits; its text (standard
  // output on success, else standard error).
  QString execCmd(const QStringList& args) const;

  // The layer that grants administrator rights (pkexec unless replaced).
  void setAuthorization(std::unique_ptr<AdminAuthorization> auth) { mAuth = std::move(auth); }
  // Where the tool is installed ("/usr/local" unless replaced).
  void setInstallLocalDir(const QString& dir) { mLocalDir = dir; }
  BundleVersions bundleVersions() const;

 private:
  std::unique_ptr<QMainWindow> mWindow;
  std::unique_ptr<Ui::ScanWindow> mWindowUi;
  std::unique_ptr<Ui::DoneSheet> mDoneUi;
  std::unique_ptr<AdminAuthorization> mAuth;
  QString mLocalDir = "/usr/local";
};

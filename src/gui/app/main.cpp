// The desktop application Quirel: the scan window over the command-line tool.
#include <QApplication>

#include "FrontendLog.h"
#include "OrientationImages.h"
#include "Quirel_ScanController_App_Pro.h"
#include "VirtualScanner.h"

// QUIREL_VERSION: the project's version, set by the build.
int main(int argc, char** argv) {
  // With QUIREL_VIRTUAL_SCANNER set, the USB monitor watches the virtual
  // bus, as the tool run from the bundle does.
  quirel::virt::RegisterVirtualScanner();
  quirel::frontend::Log("launching %s", "Quirel " QUIREL_VERSION);

  QApplication app(argc, argv);
  QApplication::setApplicationName("Quirel");
  QApplication::setApplicationVersion(QUIREL_VERSION);
  QApplication::setDesktopFileName("com.brannoch.quirel");
  QApplication::setWindowIcon(QuirelAppIcon());
  // The controller decides when the application ends (not while a scan runs).
  app.setQuitOnLastWindowClosed(false);

  Quirel_ScanController_App_Pro controller;
  controller.setExitHandler([](int status) { QCoreApplication::exit(status); });
  controller.awakeFromNib();
  app.exec();
  return 0;
}

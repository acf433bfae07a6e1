// Shared pieces of the front-end tests: a QCoreApplication for the event
// loop, a private configuration folder, the measurement system of the
// locale, the log lines, a controller that records what a scan job reports,
// and application bundles holding the real tool or a stand-in script.
#pragma once

#include <QString>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Quirel_Settings.h"
#include "ScanJobController.h"
#include "ScanCheck.h"

namespace quirel::frontend::test {

// Sets an environment variable for the life of the object (an empty value
// unsets it), then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string mName;
  bool mHad = false;
  std::string mOld;
};

// A fresh XDG_CONFIG_HOME for one test; `below` ("/a/b") puts it that far
// below a fresh folder, in folders not yet made.
class ConfigHome {
 public:
  explicit ConfigHome(const std::string& below = "") : mEnv("XDG_CONFIG_HOME", mDir.Path() + below), mBelow(below) {}
  std::string File(const std::string& name) const { return mDir.Path() + mBelow + "/" + name; }

 private:
  e2e::TempDir mDir;
  ScopedEnv mEnv;
  std::string mBelow;
};

// Makes this thread's locale measure in millimetres ("C") or in inches
// (en_US, compiled into a private folder); with `commaDecimals`, de_DE
// (millimetres, and numbers written with a decimal comma).
class ScopedMeasurement {
 public:
  explicit ScopedMeasurement(bool metric, bool commaDecimals = false);
  ~ScopedMeasurement();

 private:
  void* mOld = nullptr;
  void* mLocale = nullptr;
};

// Collects the log lines while it lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines;
};

// Records what a job reports; the base bookkeeping runs too.
class RecordingController : public ScanJobController {
 public:
  explicit RecordingController(QString bundlePath) : mBundle(std::move(bundlePath)) {}
  ~RecordingController() override;
  Quirel_Settings& settings() override { return mSettings; }
  // An empty path stands for the running program's bundle.
  QString bundle() const override { return mBundle.isEmpty() ? ScanJobController::bundle() : mBundle; }
  void receivePreview(PreviewBitmap page) override;
  void scanFinished(int32_t status, bool crashed, const QString& msg, const QString& err) override;

  struct Page {
    int width, height, depth, rowBytes;
    std::vector<uint8_t> bytes;
  };
  std::vector<Page> pages;
  int finishedCount = 0;
  int previewsAtFinish = -1;
  int status = -1;
  bool crashed = false;
  QString msg, err;

 private:
  Quirel_Settings mSettings;
  QString mBundle;
};

// Runs the event loop until `done` holds or the time is up; returns `done()`.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(120));

// A bundle folder "<dir>/<name>.app" whose tool is the real quirel (`script`
// empty) or the given shell script. Returns the bundle's path.
QString MakeBundle(const e2e::TempDir& dir, const std::string& name, const std::string& script = "");

}  // namespace quirel::frontend::test

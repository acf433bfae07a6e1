// Shared pieces of the front-end tests (see FrontendTestSupport.h) and their main.
#include "FrontendTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <locale.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include "FrontendLog.h"
#include "RunTool.h"

namespace quirel::frontend::test {

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : mName(name) {
  if (const char* old = std::getenv(name)) mHad = true, mOld = old;
  if (value.empty())
    unsetenv(name);
  else
    setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (mHad)
    setenv(mName.c_str(), mOld.c_str(), 1);
  else
    unsetenv(mName.c_str());
}

ScopedMeasurement::ScopedMeasurement(bool metric, bool commaDecimals) {
  // de_DE measures in millimetres and writes numbers with a decimal comma.
  const char* name = commaDecimals ? "de_DE" : metric ? nullptr : "en_US";
  locale_t loc;
  if (!name) {
    loc = newlocale(LC_ALL_MASK, "C", nullptr);
  } else {
    const std::string& folder = e2e::CompiledLocales(name);
    EXPECT_FALSE(folder.empty()) << "localedef could not compile " << name << " (package locales)";
    ScopedEnv path("LOCPATH", folder);
#ifdef __SANITIZE_ADDRESS__
    // glibc keeps no reference to the search path it builds from LOCPATH.
    __lsan_disable();
#endif
    const int parts = LC_MEASUREMENT_MASK | (commaDecimals ? LC_NUMERIC_MASK : 0);
    loc = newlocale(parts, (std::string(name) + ".UTF-8").c_str(), newlocale(LC_ALL_MASK, "C", nullptr));
#ifdef __SANITIZE_ADDRESS__
    __lsan_enable();
#endif
  }
  EXPECT_NE(loc, locale_t(nullptr)) << "no locale for " << (metric ? "millimetres" : "inches");
  if (!loc) return;
  mLocale = loc;
  mOld = uselocale(loc);
  EXPECT_EQ(LocaleUsesMetric(), metric);
}

ScopedMeasurement::~ScopedMeasurement() {
  if (!mLocale) return;
  uselocale(locale_t(mOld));
  freelocale(locale_t(mLocale));
}

LogCapture::LogCapture() {
  SetLogSink([this](const std::string& line) { lines.push_back(line); });
}

LogCapture::~LogCapture() { SetLogSink({}); }

RecordingController::~RecordingController() = default;

void RecordingController::receivePreview(PreviewBitmap page) {
  EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread()) << "preview off the main thread";
  Page p{page.width, page.height, page.depth, page.rowBytes, {}};
  p.bytes.assign(page.data, page.data + size_t(page.height) * size_t(page.rowBytes));
  std::free(page.data);
  pages.push_back(std::move(p));
}

void RecordingController::scanFinished(int32_t s, bool c, const QString& m, const QString& e) {
  ScanJobController::scanFinished(s, c, m, e);
  ++finishedCount;
  previewsAtFinish = int(pages.size());
  status = s;
  crashed = c;
  msg = m;
  err = e;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < limit.count()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

QString MakeBundle(const e2e::TempDir& dir, const std::string& name, const std::string& script) {
  const std::string bundle = dir.File(name + ".app");
  std::filesystem::create_directories(bundle + "/Contents/MacOS");
  const std::string tool = bundle + "/Contents/MacOS/quirel";
  if (script.empty()) {
    std::filesystem::create_symlink(quirel::testing::ToolPath(), tool);
  } else {
    std::ofstream(tool) << "#!/bin/sh\n" << script;
    chmod(tool.c_str(), 0755);
  }
  return QString::fromStdString(bundle);
}

}  // namespace quirel::frontend::test

int main(int argc, char** argv) {
  // Application lookups read this folder only; set before GIO first looks.
  static quirel::e2e::TempDir data;
  setenv("XDG_DATA_HOME", data.Path().c_str(), 1);
  setenv("XDG_DATA_DIRS", data.Path().c_str(), 1);
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

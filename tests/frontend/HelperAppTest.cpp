// Application records from desktop entries: what a record holds, the order
// of records (names without case, then versions as plain text), the lookup
// by content type, and opening a file with one.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "FrontendTestSupport.h"
#include "HelperApp.h"

using namespace quirel::frontend;
using namespace quirel::frontend::test;

TEST(HelperApp, RecordsOrderAndOpenFilesAsTheirEntriesSay) {
  const std::string apps = std::string(std::getenv("XDG_DATA_HOME")) + "/applications";
  std::filesystem::create_directories(apps);
  quirel::e2e::TempDir dir;
  const std::string opened = dir.File("opened");
  auto entry = [&](const std::string& id, const std::string& body) {
    std::ofstream(apps + "/" + id) << "[Desktop Entry]\nType=Application\n" << body;
  };
  entry("org.example.ViewerTen.desktop", "Name=viewer\nX-AppVersion=10.0\nMimeType=application/pdf;\n"
                                         "Exec=sh -c 'echo \"$0\" > " + opened + "' %f\n");
  entry("org.example.ViewerNine.desktop", "Name=Viewer\nX-AppVersion=9.0\nMimeType=application/pdf;image/tiff;\nExec=true %f\n");
  entry("org.example.Alpha.desktop", "Name=alpha\nMimeType=image/tiff;\nExec=true %f\n");
  // The type-to-application database that update-desktop-database keeps.
  std::ofstream(apps + "/mimeinfo.cache")
      << "[MIME Cache]\napplication/pdf=org.example.ViewerTen.desktop;org.example.ViewerNine.desktop;\n"
         "image/tiff=org.example.ViewerNine.desktop;org.example.Alpha.desktop;\n";

  auto ten = HelperApp::fromDesktopId("org.example.ViewerTen.desktop");
  auto nine = HelperApp::fromDesktopFile(QString::fromStdString(apps + "/org.example.ViewerNine.desktop"));
  auto alpha = HelperApp::fromDesktopId("org.example.Alpha.desktop");
  ASSERT_TRUE(ten && nine && alpha);
  EXPECT_EQ(ten->bundleId, "org.example.ViewerTen.desktop");
  EXPECT_EQ(ten->appName, "viewer");
  EXPECT_EQ(ten->displayName, "viewer");
  EXPECT_EQ(ten->bundleVers, "10.0");
  EXPECT_EQ(QFileInfo(nine->appPath).fileName(), "org.example.ViewerNine.desktop");
  EXPECT_TRUE(alpha->bundleVers.isEmpty());
  EXPECT_FALSE(HelperApp::fromDesktopFile(QString::fromStdString(opened)));

  // Equal names without case: "10.0" orders before "9.0" as text.
  EXPECT_LT(ten->compare(*nine), 0);
  EXPECT_GT(nine->compare(*ten), 0);
  EXPECT_LT(alpha->compare(*nine), 0);
  EXPECT_EQ(ten->compare(*ten), 0);
  const HelperApp remembered("org.example.ViewerTen.desktop", ten->appPath, "Viewer");
  EXPECT_TRUE(remembered.bundleVers.isNull() && remembered.displayName.isNull());
  EXPECT_LT(remembered.compare(*nine), 0) << "no version orders as an empty one";

  auto ids = [](const std::vector<HelperApp>& list) {
    std::vector<std::string> out;
    for (const HelperApp& a : list) out.push_back(a.bundleId.toStdString());
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(ids(HelperApp::allForType("application/pdf")),
            (std::vector<std::string>{"org.example.ViewerNine.desktop", "org.example.ViewerTen.desktop"}));
  EXPECT_EQ(ids(HelperApp::allForType("image/tiff")),
            (std::vector<std::string>{"org.example.Alpha.desktop", "org.example.ViewerNine.desktop"}));

  QString error;
  const std::string scan = dir.File("scan 1.pdf");
  ASSERT_TRUE(ten->openFile(QString::fromStdString(scan), &error)) << error.toStdString();
  EXPECT_TRUE(WaitFor([&] { return quirel::e2e::ReadFile(opened) == scan + "\n"; }, std::chrono::seconds(20)))
      << quirel::e2e::ReadFile(opened);
  const HelperApp gone("x.desktop", QString::fromStdString(dir.File("none.desktop")), "x");
  EXPECT_FALSE(gone.openFile(QString::fromStdString(scan), &error));
  EXPECT_FALSE(error.isEmpty());
}

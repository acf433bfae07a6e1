// The workflow action loaded into this process through the host layer, so
// that its save panel, existing-file sheet, settings alert and preview
// window can be driven: a folder input opens the panel there, the typed name
// gets the format's extension, the sheet's texts, default button and each
// of its answers, a cancelled panel, invalid settings, and a run after a
// stopped run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include "AMPlugin.h"
#include "AMWorkflowRunner.h"
#include "ActionTestSupport.h"

namespace quirel::action::test {
namespace {

using amhost::AMBundleAction;

std::unique_ptr<AMBundleAction> LoadBuiltAction(const QVariantMap& parameters) {
  const std::optional<amhost::AMBundle> bundle = amhost::AMBundle::open(QString::fromStdString(BuiltActionBundle()));
  if (!bundle) return nullptr;
  QString why;
  return amhost::LoadAction(*bundle, parameters, &why);
}

// Runs the action while `step` is called every 20 ms on the GUI thread
// until it returns true; after a minute every dialog is closed, so that a
// failing test does not hang.
amhost::AMRunResult RunDriven(AMBundleAction& action, const QString& input, std::function<bool()> step) {
  QTimer timer;
  QElapsedTimer clock;
  clock.start();
  bool done = false;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (!done) done = step();
    if (clock.elapsed() > 60000)
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible()) d->reject();
  });
  timer.start(20);
  return amhost::RunAction(action, input);
}

QFileDialog* VisiblePanel() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* p = qobject_cast<QFileDialog*>(w); p && p->isVisible()) return p;
  return nullptr;
}

QMessageBox* VisibleAlert() {
  for (QWidget* w : QApplication::allWidgets())
    if (auto* m = qobject_cast<QMessageBox*>(w); m && m->isVisible()) return m;
  return nullptr;
}

// The virtual bus is made once per process, from the first description it
// sees, so every test here uses the same one; every scan feeds its sheets.
const char* const kScanner = "model=fi-7160;sheets=2";

struct ScopedScanner {
  explicit ScopedScanner(const char* description, const std::string& home) {
    qputenv("QUIREL_VIRTUAL_SCANNER", description);
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(home));
  }
};

struct PanelCase {
  const char* name;
  int fileType;
  int fileAction;
  const char* existing;  // a file in the folder before the run ("" none)
  const char* typed;     // the name typed into the panel; null cancels it
  const char* answer;    // the sheet's button to click; null: no sheet expected
  const char* defaultButton;
  const char* error;   // "" for a good run
  const char* output;  // returned, in the folder ("" nothing)
  int pages;           // of the output file; -1 unchanged existing file
  int fileActionAfter;
};
// Test names in CTest are the case names, not the bytes of the record.
void PrintTo(const PanelCase& c, std::ostream* os) { *os << c.name; }

const PanelCase kPanels[] = {
    {"FolderInputTypedName", 2, 3, "", "scan", nullptr, nullptr, "", "scan.pdf", 2, 3},
    {"TiffNameKept", 1, 3, "", "x.tiff", nullptr, nullptr, "", "x.tiff", 2, 3},
    {"UpperCasePdfNameKept", 2, 3, "", "Report.PDF", nullptr, nullptr, "", "Report.PDF", 2, 3},
    {"OtherExtensionGetsPdf", 2, 3, "", "scan.v2", nullptr, nullptr, "", "scan.v2.pdf", 2, 3},
    {"PanelCancelled", 2, 3, "", nullptr, nullptr, nullptr, "User cancelled save.", "", 0, 3},
    {"SheetStop", 2, 1, "old.pdf", "old.pdf", "Stop", "Replace", "User cancelled save.", "", -1, 3},
    {"SheetAppend", 2, 3, "old.pdf", "old.pdf", "Append", "Stop", "", "old.pdf", 4, 2},
    {"SheetReplace", 2, 2, "old.pdf", "old.pdf", "Replace", "Append", "", "old.pdf", 2, 1},
};

class ActionPanelTest : public ::testing::TestWithParam<PanelCase> {};

TEST_P(ActionPanelTest, SavePanel) {
  const PanelCase& c = GetParam();
  e2e::TempDir dir;
  ScopedScanner scanner(kScanner, dir.File("home"));
  const QString folder = QString::fromStdString(dir.File("out"));
  ASSERT_TRUE(QDir().mkpath(folder));
  if (*c.existing) {
    WorkflowEnv env;
    env.home = dir.File("home");
    const WorkflowRun first = RunWorkflow({"run", "-p", QString::fromStdString(WriteParameters(dir, Parameters(2, 1))),
                                           folder + "/" + c.existing},
                                          env);
    ASSERT_EQ(first.status, 0) << first.err.toStdString();
  }
  const std::string before = *c.existing ? e2e::ReadFile((folder + "/" + c.existing).toStdString()) : "";

  std::unique_ptr<AMBundleAction> action = LoadBuiltAction(Parameters(c.fileType, c.fileAction));
  ASSERT_TRUE(action);
  QString panelDir, sheetText, sheetInfo, sheetDefault;
  bool typed = false;
  const amhost::AMRunResult result = RunDriven(*action, folder, [&] {
    if (!typed) {
      QFileDialog* panel = VisiblePanel();
      if (!panel) return false;
      panelDir = panel->directory().absolutePath();
      typed = true;
      if (!c.typed) {
        panel->reject();
        return true;
      }
      panel->findChild<QLineEdit*>("fileNameEdit")->setText(c.typed);
      static_cast<QDialog*>(panel)->accept();
      return !c.answer;
    }
    QMessageBox* sheet = VisibleAlert();
    if (!sheet) return false;
    sheetText = sheet->text();
    sheetInfo = sheet->informativeText();
    sheetDefault = sheet->defaultButton() ? sheet->defaultButton()->text() : QString();
    for (QAbstractButton* b : sheet->buttons())
      if (b->text() == c.answer) b->click();
    return true;
  });

  EXPECT_EQ(panelDir, folder);
  EXPECT_EQ(amhost::AMErrorMessage(result.errorInfo), QString(c.error));
  if (*c.error) {
    EXPECT_EQ(result.errorInfo.value("NSAppleScriptErrorNumber").toInt(), -1753);
  }
  EXPECT_EQ(result.output, *c.output ? folder + "/" + c.output : QString());
  if (c.answer) {
    EXPECT_EQ(sheetText, QString::fromUtf8("\u201C%1\u201D already exists. Do you want to replace it, or append to it, or "
                                           "stop?")
                             .arg(c.typed));
    EXPECT_EQ(sheetInfo, "A file with the same name already exists in the folder out. You may replace the file, or "
                         "append new pages to the end of it, or stop this action.");
    EXPECT_EQ(sheetDefault, QString(c.defaultButton));
  }
  if (c.pages == -1) {
    EXPECT_EQ(e2e::ReadFile((folder + "/" + c.existing).toStdString()), before);
  } else if (c.pages > 0 && c.fileType == 2) {
    EXPECT_EQ(e2e::PdfPageCount(result.output.toStdString()), c.pages);
  } else if (c.pages > 0) {
    std::string why;
    EXPECT_EQ(int(e2e::TiffPages(result.output.toStdString(), &why).size()), c.pages) << why;
  }
  // The answer of the sheet stays in the settings, and so in the parameters.
  action->updateParameters();
  EXPECT_EQ(action->parameters().value("FileAction").toInt(), c.fileActionAfter);
}

INSTANTIATE_TEST_SUITE_P(Panels, ActionPanelTest, ::testing::ValuesIn(kPanels),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(ActionRunTest, InvalidSettingsAreRefusedAfterTheAlert) {
  e2e::TempDir dir;
  ScopedScanner scanner(kScanner, dir.File("home"));
  QVariantMap params = Parameters(2, 3);
  params["PaperWidth"] = 400.0;
  params["UsingMetric"] = "YES";
  std::unique_ptr<AMBundleAction> action = LoadBuiltAction(params);
  ASSERT_TRUE(action);
  QString alertText;
  const amhost::AMRunResult result = RunDriven(*action, QString::fromStdString(dir.File("scan")), [&] {
    QMessageBox* alert = VisibleAlert();
    if (!alert) return false;
    alertText = alert->text();
    alert->accept();
    return true;
  });
  EXPECT_TRUE(alertText.startsWith("The maximum document feeder width for this scanner is ")) << alertText.toStdString();
  EXPECT_EQ(amhost::AMErrorMessage(result.errorInfo), "Scan settings not valid.");
  EXPECT_EQ(result.output, "");
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(dir.File("scan.pdf"))));
}

TEST(ActionRunTest, RunAfterAStoppedRunScansEveryPage) {
  e2e::TempDir dir;
  ScopedScanner scanner(kScanner, dir.File("home"));
  std::unique_ptr<AMBundleAction> action = LoadBuiltAction(Parameters(2, 3, true));
  ASSERT_TRUE(action);
  bool stopped = false;
  const amhost::AMRunResult first = RunDriven(*action, QString::fromStdString(dir.File("first")), [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->objectName() != "previewWdw" || !w->isVisible()) continue;
      auto* stop = w->findChild<QPushButton*>("stopBtn");
      if (!stop || !stop->isEnabled()) return false;
      stop->click();
      stopped = true;
      return true;
    }
    return false;
  });
  EXPECT_TRUE(stopped);
  EXPECT_EQ(first.output, QString::fromStdString(dir.File("first.pdf")));
  // Ended as a stop signal ends it: the host says so (status 8).
  EXPECT_TRUE(first.errorInfo.isEmpty()) << amhost::AMErrorMessage(first.errorInfo).toStdString();
  EXPECT_TRUE(action->lastRunStopped());
  // The preview window closes a second after the scan.
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == "previewWdw") {
      EXPECT_FALSE(w->isVisible());
    }

  const amhost::AMRunResult second = amhost::RunAction(*action, QString::fromStdString(dir.File("second")));
  EXPECT_TRUE(second.errorInfo.isEmpty()) << amhost::AMErrorMessage(second.errorInfo).toStdString();
  EXPECT_EQ(second.output, QString::fromStdString(dir.File("second.pdf")));
  EXPECT_EQ(e2e::PdfPageCount(dir.File("second.pdf")), 2);
  std::string report;
  EXPECT_TRUE(e2e::QpdfCheck(dir.File("second.pdf"), &report)) << report;
}

}  // namespace
}  // namespace quirel::action::test

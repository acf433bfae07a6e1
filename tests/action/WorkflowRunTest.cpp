// Runs of the workflow action through the host program quirel-workflow
// against the virtual scanner: output paths and extensions, existing files
// with each file action, the bundle check, scan errors, standard input,
// parameters read under a decimal-comma locale, and the host program's own
// argument errors.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <csignal>

#include "ActionTestSupport.h"

namespace quirel::action::test {
namespace {

enum class Existing { kNone, kJunk, kScanned, kFolder };
enum class Where { kInBundle, kMovedOut, kOtherApp, kSecondApp };
enum class Check { kNone, kPdf, kTiff, kUnchanged };

struct RunCase {
  const char* name;
  int fileType;
  int fileAction;
  bool preview;
  const char* input;  // in the test's folder; "" none at all
  Existing existing;  // a file at the expected output path before the run
  bool viaStdin;
  const char* faults;  // more items for the virtual scanner, or a whole description
  Where where;
  int status;
  const char* out;  // expected on standard output, in the test's folder ("" none)
  const char* err;  // expected in standard error; %P stands for the output path
  Check check;
  int pages;            // -n: at least 1 and fewer than n
  const char* set = "";  // "Key=number": a parameter changed
  int stopSignal = 0;    // sent once the output file is there
  const char* locale = "";  // LC_ALL of the run ("" the test's own)
  int stopAfterMs = 0;      // the stop signal sent this long after the start instead
  const char* display = "";  // as WorkflowEnv::display
};
// Test names in CTest are the case names, not the bytes of the record.
void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

const RunCase kRuns[] = {
    {"NoExtensionPdfGetsPdf", 2, 3, false, "scan", Existing::kNone, false, "", Where::kInBundle, 0, "scan.pdf", "",
     Check::kPdf, 2},
    {"TiffExtensionKept", 1, 3, false, "scan.tiff", Existing::kNone, false, "", Where::kInBundle, 0, "scan.tiff", "",
     Check::kTiff, 2},
    {"NoExtensionDeflateTiffGetsTif", 3, 3, false, "scan", Existing::kNone, false, "", Where::kInBundle, 0, "scan.tif",
     "", Check::kTiff, 2},
    {"PdfExtensionOnTiffGetsTif", 1, 3, false, "scan.pdf", Existing::kNone, false, "", Where::kInBundle, 0,
     "scan.pdf.tif", "", Check::kTiff, 2},
    {"CleanRunWithPreview", 2, 3, true, "scan.pdf", Existing::kNone, false, "", Where::kInBundle, 0, "scan.pdf", "",
     Check::kPdf, 2},
    {"InputOnStandardInput", 2, 3, false, "scan", Existing::kNone, true, "", Where::kInBundle, 0, "scan.pdf", "",
     Check::kPdf, 2},
    {"ExistingFileStopRefused", 2, 3, false, "old.pdf", Existing::kJunk, false, "", Where::kInBundle, 1, "",
     "File exists (& options are set to prevent this): %P.\nquirel-workflow: %P was left as it was\n",
     Check::kUnchanged, 0},
    {"ExistingFileAppended", 2, 2, false, "old.pdf", Existing::kScanned, false, "", Where::kInBundle, 0, "old.pdf", "",
     Check::kPdf, 4},
    {"ExistingFileReplaced", 2, 1, false, "old.pdf", Existing::kScanned, false, "", Where::kInBundle, 0, "old.pdf", "",
     Check::kPdf, 2},
    {"MovedOutOfBundle", 2, 3, false, "scan", Existing::kNone, false, "", Where::kMovedOut, 1, "",
     "Quirel application bundle not found. (The Quirel action must remain inside the application bundle; it cannot "
     "run if installed anywhere else.)\n",
     Check::kNone, 0},
    {"InsideAnotherApplication", 2, 3, false, "scan", Existing::kNone, false, "", Where::kOtherApp, 1, "",
     "Quirel application bundle not found.", Check::kNone, 0},
    {"InsideTheSecondIdentifier", 2, 3, false, "scan", Existing::kNone, false, "", Where::kSecondApp, 0, "scan.pdf", "",
     Check::kPdf, 2},
    {"DoubleFeedIsStatus6", 2, 3, false, "scan", Existing::kNone, false, ";faults=doublefeed=2", Where::kInBundle, 6,
     "", "quirel-workflow: 6: ", Check::kNone, 0},
    // The tool's status for the same outcome: pages written, then the scanner gone.
    {"UnplugWithPagesIsStatus9", 2, 3, false, "scan.pdf", Existing::kNone, false, "model=fi-7160;sheets=5;faults=unplug=2",
     Where::kInBundle, 9, "", "quirel-workflow: 9: ", Check::kPdf, 2},
    {"CtrlCStopsWithAValidFile", 2, 3, false, "scan", Existing::kNone, false, "model=fi-7160;sheets=100",
     Where::kInBundle, 8, "scan.pdf", "stopped on request", Check::kPdf, -100, "", SIGINT},
    {"SigtermStopsWithAValidFile", 1, 3, false, "scan.tif", Existing::kNone, false, "model=fi-7160;sheets=100",
     Where::kInBundle, 8, "scan.tif", "stopped on request", Check::kTiff, -100, "", SIGTERM},
    {"NoDisplayForTheSettingsAlert", 2, 3, false, "scan", Existing::kNone, false, "", Where::kInBundle, 1, "",
     "Scan settings not valid. The maximum document feeder width for this scanner is", Check::kNone, 0,
     "PaperWidth=500"},
    {"NoDisplayForTheSavePanel", 2, 3, false, "", Existing::kNone, false, "", Where::kInBundle, 1, "",
     "No output file was given, and there is no display for the save panel", Check::kUnchanged, 0},
    {"NoDisplayForTheSavePanelInAFolder", 2, 3, false, "sub", Existing::kFolder, false, "", Where::kInBundle, 1, "",
     "The input %P is a folder, and there is no display", Check::kUnchanged, 0},
    {"MissingFolderRefusedBeforeTheScan", 2, 3, false, "none/scan", Existing::kNone, false, "", Where::kInBundle, 5,
     "", "5: cannot make the output file '%P.pdf': its folder", Check::kNone, 0},
    {"UnreadableAppendTargetRefusedBeforeTheScan", 2, 2, false, "old.pdf", Existing::kJunk, false, "",
     Where::kInBundle, 5, "", "5: cannot append to '%P': Target file cannot be a well-formed PDF", Check::kUnchanged, 0},
    {"NegativeResolutionRefusedBeforeTheScan", 2, 3, false, "scan", Existing::kNone, false, "", Where::kInBundle, 4,
     "", "4: The setting Resolution is -300; it must be at least 50", Check::kNone, 0, "Resolution=-300"},
    // The fi-4340C scans long paper in line art only.
    {"GrayBeyondTheModelsFeederRefused", 2, 3, false, "scan", Existing::kNone, false, "model=fi-4340C", Where::kInBundle,
     1, "", "Scan settings not valid. The maximum document feeder length for this scanner is 356 mm.",
     Check::kNone, 0, "UsingMetric=NO;ScanType=8;Resolution=200;PaperWidth=8.5;PaperHeight=20.0;FullPage=YES"},
    {"UpperCasePdfKept", 2, 3, false, "upper.PDF", Existing::kNone, false, "", Where::kInBundle, 0, "upper.PDF", "",
     Check::kPdf, 2},
    // A stop before the first page of a replacement: no path, the old file whole.
    {"CtrlCBeforeAPageLeavesTheReplacedFile", 2, 1, false, "old.pdf", Existing::kScanned, false,
     "model=fi-7160;sheets=20;faults=busy=1000", Where::kInBundle, 8, "",
     "stopped on request before a page was scanned; %P was left as it was", Check::kPdf, 2, "", SIGINT, "", 1500},
    {"MissingSettingNamed", 2, 3, false, "scan", Existing::kNone, false, "", Where::kInBundle, 1, "",
     "Scan settings not valid. The setting Resolution is missing from the parameters.", Check::kNone, 0,
     "Resolution="},
    {"RefusedRunSaysNoFileWasWritten", 2, 3, false, "scan", Existing::kNone, false, "", Where::kInBundle, 4, "",
     "quirel-workflow: no file was written at %P.pdf\n", Check::kNone, 0, "Resolution=-300"},
    // Without a display, or with one that cannot be reached, a run that asks
    // nothing runs.
    {"NoDisplayRunsWithoutOne", 2, 3, false, "scan", Existing::kNone, false, "", Where::kInBundle, 0, "scan.pdf", "",
     Check::kPdf, 2, "", 0, "", 0, "none"},
    {"UnreachableDisplayRunsWithoutOne", 2, 3, false, "scan", Existing::kNone, false, "", Where::kInBundle, 0,
     "scan.pdf", "quirel-workflow: the display :97 cannot be reached; running without one", Check::kPdf, 2, "", 0, "",
     0, ":97"},
    {"DecimalCommaLocaleKeepsHalfInches", 1, 3, false, "scan.tif", Existing::kNone, false, "", Where::kInBundle, 0,
     "scan.tif", "", Check::kTiff, 2, "UsingMetric=NO;PaperWidth=5.5;PaperHeight=8.5", 0, "de_DE"},
};

class WorkflowRunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(WorkflowRunTest, Run) {
  const RunCase& c = GetParam();
  e2e::TempDir dir;
  QVariantMap parameters = Parameters(c.fileType, c.fileAction, c.preview);
  for (const QString& setting : QString(c.set).split(';', Qt::SkipEmptyParts)) {
    const QStringList kv = setting.split('=');
    if (kv[1].isEmpty()) {  // "Key=": the key left out
      parameters.remove(kv[0]);
      continue;
    }
    bool number = false;
    kv[1].toDouble(&number);
    parameters[kv[0]] = !number ? QVariant(kv[1]) : kv[1].contains('.') ? QVariant(kv[1].toDouble()) : QVariant(kv[1].toInt());
  }
  const std::string params = WriteParameters(dir, parameters);
  WorkflowEnv env;
  env.home = dir.File("home");
  env.scanner = std::string(c.faults).rfind("model=", 0) == 0 ? c.faults : env.scanner + c.faults;
  env.locale = c.locale;
  const std::string input = dir.File(c.input);
  const std::string outPath = dir.File(*c.out ? c.out : c.input);
  env.stopSignal = c.stopSignal;
  env.stopWhen = outPath;
  env.stopAfterMs = c.stopAfterMs;
  env.display = c.display;

  if (c.existing == Existing::kJunk) {
    QFile f(QString::fromStdString(outPath));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not a scan");
  } else if (c.existing == Existing::kFolder) {
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(outPath)));
  } else if (c.existing == Existing::kScanned) {
    WorkflowEnv firstEnv = env;  // a plain scan of two pages
    firstEnv.stopSignal = 0;
    firstEnv.scanner = WorkflowEnv().scanner;
    const WorkflowRun first =
        RunWorkflow({"run", "-p", QString::fromStdString(WriteParameters(dir, Parameters(c.fileType, 1))),
                     QString::fromStdString(outPath)},
                    firstEnv);
    ASSERT_EQ(first.status, 0) << first.err.toStdString();
    WriteParameters(dir, Parameters(c.fileType, c.fileAction, c.preview));
  }
  const std::string before = e2e::ReadFile(outPath);

  if (c.where == Where::kMovedOut) {
    env.actionPath = CopyActionBundle(dir.File("a/b/c/d"));
  } else if (c.where == Where::kOtherApp || c.where == Where::kSecondApp) {
    const std::string app = dir.File("Other.app");
    MakeAppBundle(app, c.where == Where::kOtherApp ? "com.example.other" : "com.brannoch.quirel-he");
    env.actionPath = CopyActionBundle(app + "/Contents/Library/Automator");
  }

  const QString qInput = QString::fromStdString(input);
  QStringList args = {"run", "-p", QString::fromStdString(params)};
  if (*c.input && !c.viaStdin) args << qInput;
  const WorkflowRun run = RunWorkflow(args, env, c.viaStdin ? qInput.toLocal8Bit() + "\n" : QByteArray());
  const std::string err = run.err.toStdString();
  EXPECT_EQ(run.status, c.status) << err;
  EXPECT_EQ(run.out.toStdString(), *c.out ? outPath + "\n" : "") << err;
  std::string wanted = c.err;
  for (size_t at; (at = wanted.find("%P")) != std::string::npos;) wanted.replace(at, 2, outPath);
  EXPECT_NE(err.find(wanted), std::string::npos) << "standard error: " << err << "\nwanted: " << wanted;
  // Without a display no window is shown (the platform would complain of it).
  EXPECT_EQ(err.find("This plugin does not support"), std::string::npos) << err;
  EXPECT_EQ(err.find("Could not load the Qt platform plugin"), std::string::npos) << err;

  int pages = c.pages;
  switch (c.check) {
    case Check::kNone:
      EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(outPath)));
      break;
    case Check::kUnchanged:
      EXPECT_EQ(e2e::ReadFile(outPath), before);
      break;
    case Check::kPdf: {
      std::string report;
      EXPECT_TRUE(e2e::QpdfCheck(outPath, &report)) << report;
      pages = e2e::PdfPageCount(outPath);
      break;
    }
    case Check::kTiff: {
      std::string why;
      const std::vector<e2e::TiffPage> tiffPages = e2e::TiffPages(outPath, &why);
      pages = int(tiffPages.size());
      EXPECT_TRUE(why.empty()) << why;
      // A paper size set in inches, at the settings' 300 dpi, the scanner's
      // window taken in whole blocks.
      for (size_t i = 0; QString(c.set).contains("PaperWidth") && i < tiffPages.size(); ++i) {
        EXPECT_NEAR(tiffPages[i].image.width, parameters["PaperWidth"].toDouble() * 300, 32);
        EXPECT_NEAR(tiffPages[i].image.height, parameters["PaperHeight"].toDouble() * 300, 32);
      }
      break;
    }
  }
  if (c.pages >= 0) {
    EXPECT_EQ(pages, c.pages);
  } else {
    EXPECT_TRUE(pages >= 1 && pages < -c.pages) << pages << " pages";
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, WorkflowRunTest, ::testing::ValuesIn(kRuns),
                         [](const auto& p) { return std::string(p.param.name); });

// The host program's own errors: bad arguments and parameters it cannot
// read, each with its status and a message naming the cause.
struct ArgCase {
  const char* name;
  std::vector<const char*> args;  // "%D" stands for the test's folder
  int status;
  const char* err;
};
void PrintTo(const ArgCase& c, std::ostream* os) { *os << c.name; }

const ArgCase kArgs[] = {
    {"NoCommand", {}, 64, "no command given (configure or run)"},
    {"UnknownCommand", {"scan"}, 64, "unknown command scan (configure or run)"},
    {"UnknownOption", {"run", "--bogus"}, 64, "unknown option --bogus"},
    {"ParametersWithoutFile", {"run", "-p"}, 64, "-p needs a file"},
    {"TwoInputs", {"run", "a", "b"}, 64, "unexpected argument b"},
    {"UnreadableParameters", {"run", "-p", "%D/junk.plist", "%D/x"}, 2, "cannot read the parameters: %D/junk.plist"},
    {"DeeplyNestedParameters", {"run", "-p", "%D/deep.plist", "%D/x"}, 2,
     "cannot read the parameters: %D/deep.plist: it is nested too deeply"},
    {"EndlessParameters", {"run", "-p", "/dev/zero", "%D/x"}, 2, "cannot read the parameters: /dev/zero: it is too large"},
    {"NoSuchAction", {"run", "-a", "com.example.none", "%D/x"}, 2, "no action com.example.none found"},
    {"ConfigureWithoutDisplay", {"configure", "-p", "%D/new.plist"}, 1, "there is no display to show the action's settings"},
};

class WorkflowArgsTest : public ::testing::TestWithParam<ArgCase> {};

TEST_P(WorkflowArgsTest, Refused) {
  const ArgCase& c = GetParam();
  e2e::TempDir dir;
  {
    QFile junk(QString::fromStdString(dir.File("junk.plist")));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("<plist><dict><key>x</key>");
    QFile deep(QString::fromStdString(dir.File("deep.plist")));
    ASSERT_TRUE(deep.open(QIODevice::WriteOnly));
    deep.write("<plist>" + QByteArray("<array>").repeated(200000) + QByteArray("</array>").repeated(200000) + "</plist>");
  }
  auto subst = [&](std::string s) {
    for (size_t at; (at = s.find("%D")) != std::string::npos;) s.replace(at, 2, dir.Path());
    return s;
  };
  QStringList args;
  for (const char* a : c.args) args << QString::fromStdString(subst(a));
  WorkflowEnv env;
  env.home = dir.File("home");
  const WorkflowRun run = RunWorkflow(args, env);
  EXPECT_EQ(run.status, c.status) << run.err.toStdString();
  EXPECT_TRUE(run.out.isEmpty()) << run.out.toStdString();
  EXPECT_NE(run.err.toStdString().find(subst(c.err)), std::string::npos) << run.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Args, WorkflowArgsTest, ::testing::ValuesIn(kArgs),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace quirel::action::test

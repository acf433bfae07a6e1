// The preference file: migration from the older files and key, other keys
// kept on save, missing folders made, a file its owner was locked out of,
// files that are damaged, of the wrong shape or nested too deeply (read as
// defaults, kept until the next save), a writer killed before it replaces
// the file, and the open-with memory kept in the settings.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FrontendTestSupport.h"
#include "PrefsStore.h"
#include "PrefsStoreTesting.h"

using namespace quirel::frontend;
using namespace quirel::frontend::test;
using quirel::e2e::ReadFile;

namespace {

QVariantMap Settings(int resolution) { return {{"Resolution", resolution}}; }

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

// Writes `dict` as a property list under `name` in the configuration folder.
void WritePlist(const ConfigHome& home, const char* name, const QVariantMap& dict) {
  // The store writes only the current file: write it there, then move it.
  ASSERT_TRUE(WritePrefsToFile(dict));
  if (std::string(name) != kPrefsFileName) {
    ASSERT_EQ(std::rename(home.File(kPrefsFileName).c_str(), home.File(name).c_str()), 0);
  }
}

// A binary property list of `n` arrays, each holding the next `width` times:
// nested n deep, unfolding into width^(n-1) values and more.
std::string NestedBinaryArrays(uint32_t n, int width) {
  auto be32 = [](std::string* s, uint64_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s->push_back(char(v >> shift));
  };
  std::string list = "bplist00", offsets;
  for (uint32_t i = 0; i < n; ++i) {
    be32(&offsets, list.size());
    const int refs = i + 1 < n ? width : 0;
    list.push_back(char(0xA0 + refs));
    for (int k = 0; k < refs; ++k) be32(&list, i + 1);
  }
  const size_t table = list.size();
  list += offsets + std::string(6, '\0') + "\x04\x04";  // offset and reference sizes
  for (uint64_t v : {uint64_t(n), uint64_t(0), uint64_t(table)}) be32(&list, v >> 32), be32(&list, v);
  return list;
}

std::string Repeat(const std::string& text, int n) {
  std::string all;
  while (n--) all += text;
  return all;
}

QVariantMap CurrentFile(const ConfigHome& home) {
  QVariantMap dict;
  QString why;
  EXPECT_EQ(PrefsFromData(QByteArray::fromStdString(ReadFile(home.File(kPrefsFileName))), &dict, &why), PrefsRead::kRead)
      << why.toStdString();
  return dict;
}

}  // namespace

TEST(PrefsStore, MigratesOnceFromTheOlderFilesAndKey) {
  {
    // The folder and its parents are made; a file its owner may not read or
    // write is replaced by one the owner may.
    ConfigHome home("/made/here");
    EXPECT_FALSE(CopyScanSettingFromPrefs());
    EXPECT_EQ(CurrentFile(home), (QVariantMap{{"migration", 1}}));
    ASSERT_EQ(chmod(home.File(kPrefsFileName).c_str(), 0), 0);
    WriteScanSettingsToPrefs(Settings(600));
    struct stat st;
    ASSERT_EQ(stat(home.File(kPrefsFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0600, 0600u);
    EXPECT_EQ(CopyScanSettingFromPrefs(), Settings(600));
  }
  {
    // Older file 1's settings win over the current file's older key, which goes.
    ConfigHome home;
    WritePlist(home, kOlderPrefsFileNames[2], {{"Quirel Default Settings", Settings(3)}});
    WritePlist(home, kOlderPrefsFileNames[0], {{"Quirel Default Settings", Settings(1)}, {"Default Settings", Settings(4)}});
    WritePlist(home, kPrefsFileName, {{"Default Settings", Settings(2)}, {"Other", "kept"}});
    EXPECT_EQ(CopyScanSettingFromPrefs(), Settings(1));
    EXPECT_EQ(CurrentFile(home),
              (QVariantMap{{"migration", 1}, {"Quirel Default Settings", Settings(1)}, {"Other", "kept"}}));
  }
  {
    // Without newer settings anywhere, the current file's older key is taken
    // before the older files' older keys.
    ConfigHome home;
    WritePlist(home, kOlderPrefsFileNames[1], {{"Default Settings", Settings(5)}});
    WritePlist(home, kPrefsFileName, {{"Default Settings", Settings(2)}});
    EXPECT_EQ(CopyScanSettingFromPrefs(), Settings(2));
  }
  {
    // Migrated already: nothing is read from the older files, nothing removed.
    ConfigHome home;
    WritePlist(home, kOlderPrefsFileNames[0], {{"Quirel Default Settings", Settings(1)}});
    WritePlist(home, kPrefsFileName, {{"migration", 1}, {"Default Settings", Settings(2)}});
    EXPECT_FALSE(CopyScanSettingFromPrefs());
    EXPECT_TRUE(CurrentFile(home).contains("Default Settings"));

    WriteScanSettingsToPrefs(Settings(600));
    EXPECT_EQ(CurrentFile(home),
              (QVariantMap{{"migration", 1}, {"Default Settings", Settings(2)}, {"Quirel Default Settings", Settings(600)}}));
  }
}

TEST(PrefsStore, DamagedFilesReadAsDefaultsAndAreKeptUntilTheNextSave) {
  ConfigHome good;
  Quirel_Settings saved;
  saved.mResolution = 600;
  QVariantMap dict;
  saved.writeToDictionary(&dict);
  WriteScanSettingsToPrefs(dict);
  const std::string valid = ReadFile(good.File(kPrefsFileName));
  ASSERT_NE(valid.find("<integer>600</integer>"), std::string::npos) << valid;

  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"truncated", valid.substr(0, valid.size() / 2)},
      {"not a property list", "resolution = 600\n"},
      {"an array at the top", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><integer>1</integer></array></plist>"},
      {"a binary list with a NUL inside a text",
       QByteArray::fromHex("62706c6973743030d2010203065f101751756972656c2044656661756c742053657474696e6773596d6967726174"
                           "696f6ed104055b4f7269656e746174696f6e660057006900640065000000e91001080d273134404d0000000000"
                           "00010100000000000000070000000000000000000000000000004f")
           .toStdString()},
      {"200,000 nested arrays", "<plist>" + Repeat("<array>", 200000) + Repeat("</array>", 200000) + "</plist>"},
      {"a binary list nested 200,000 deep", NestedBinaryArrays(200000, 1)},
      {"a binary list unfolding into 2^40 values", NestedBinaryArrays(41, 2)},
      {"settings that are no dictionary",
       "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>migration</key><integer>1</integer>"
       "<key>Quirel Default Settings</key><string>x</string></dict></plist>"},
  };
  for (const auto& c : cases) {
    ConfigHome home;
    WriteFile(home.File(kPrefsFileName), c.text);
    LogCapture log;
    Quirel_Settings s;
    const auto stored = s.readDictionary();
    EXPECT_FALSE(stored) << c.name;
    EXPECT_EQ(s.mResolution, 300) << c.name;
    EXPECT_EQ(log.lines.size(), 1u) << c.name;
    EXPECT_EQ(ReadFile(home.File(kPrefsFileName)), c.text) << c.name << ": the file was touched by a read";

    s.mResolution = 150;
    QVariantMap d;
    s.writeToDictionary(&d);
    s.writeDictionary(d);
    Quirel_Settings back;
    back.readFromDictionary(s.readDictionary().value_or(QVariantMap()));
    EXPECT_EQ(back.mResolution, 150) << c.name << ": the save did not replace the file";
  }
}

TEST(PrefsStore, AWriterKilledBeforeTheReplaceLeavesTheOldFile) {
  ConfigHome home;
  WriteScanSettingsToPrefs(Settings(600));
  const std::string before = ReadFile(home.File(kPrefsFileName));

  const pid_t pid = fork();
  if (pid == 0) {
    gPrefsBeforeReplaceHook = [] { raise(SIGKILL); };
    WriteScanSettingsToPrefs(Settings(1200));
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer was not stopped at the replace";
  EXPECT_EQ(ReadFile(home.File(kPrefsFileName)), before);
  EXPECT_EQ(CopyScanSettingFromPrefs(), Settings(600));
}

TEST(PrefsStore, OpenWithMemoryPerTypeKeepsTheSettings) {
  ConfigHome home;
  Quirel_Settings s;
  WriteScanSettingsToPrefs(Settings(600));
  const HelperApp viewer("org.example.Viewer.desktop", "/apps/viewer.desktop", "Viewer");
  const HelperApp partial("org.example.Bare.desktop", QString(), "Bare");
  s.updateOpenWithApp(&viewer, "pdf");
  s.updateOpenWithApp(&partial, "tif");

  auto pdf = s.getOpenWithAppForType("pdf");
  ASSERT_TRUE(pdf);
  EXPECT_EQ(pdf->bundleId, viewer.bundleId);
  EXPECT_EQ(pdf->appPath, viewer.appPath);
  EXPECT_EQ(pdf->appName, viewer.appName);
  EXPECT_TRUE(pdf->bundleVers.isNull() && pdf->displayName.isNull());
  // A missing path ends the entry: the name after it is not stored.
  EXPECT_EQ(CopyScanSettingFromPrefs()->value("Open With App (tif)").toMap(),
            (QVariantMap{{"bundle", "org.example.Bare.desktop"}}));
  EXPECT_EQ(CopyScanSettingFromPrefs()->value("Resolution"), 600);

  s.updateOpenWithApp(nullptr, "pdf");
  EXPECT_FALSE(s.getOpenWithAppForType("pdf"));
  EXPECT_TRUE(s.getOpenWithAppForType("tif"));
}

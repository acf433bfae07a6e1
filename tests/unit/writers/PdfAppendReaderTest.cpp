// Tests of reading existing PDF files for appending, good and malformed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "PdfAppendReader.h"
#include "WriterTestSupport.h"

using namespace ZuzuvovOvav;
using namespace writertest;

namespace {

std::unique_ptr<PdfAppendReader> ReadPdf(const std::string& bytes, bool* ok) {
  auto reader = std::make_unique<PdfAppendReader>();
  // Kept for lookups after the reading, until the next one.
  static std::istringstream in;
  in.str(bytes);
  *ok = reader->Read(in, int64_t(bytes.size()));
  return reader;
}

std::string ErrorOf(const std::string& bytes) {
  bool ok;
  auto r = ReadPdf(bytes, &ok);
  return ok ? "" : r->mErrorMsg;
}

}  // namespace

TEST(PdfAppendReader, FlatDictionaryReadingTurnsNameValuesIntoKeys) {
  PdfDict d;
  std::string err;
  ASSERT_TRUE(PdfAppendReader::ParseDictionary("<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>", &d, &err));
  EXPECT_EQ(d, (PdfDict{{"/Type", ""}, {"/Pages", ""}, {"/Kids", "[3 0 R 4 0 R]"}, {"/Count", "2"}}));
  ASSERT_TRUE(PdfAppendReader::ParseDictionary("<< /Pages 2 0 R /Type /Catalog >>", &d, &err));
  EXPECT_EQ(d, (PdfDict{{"/Pages", "2 0 R"}, {"/Type", ""}, {"/Catalog", ""}}));
  ASSERT_TRUE(PdfAppendReader::ParseDictionary("x<</A[1[2]3]/B 1/A 2>>", &d, &err));
  EXPECT_EQ(d, (PdfDict{{"/A", "[1[2]3]"}, {"/B", "1"}})) << "first occurrence wins";
  ASSERT_TRUE(PdfAppendReader::ParseDictionary("<< >> /Later 1 >>", &d, &err));
  EXPECT_TRUE(d.empty()) << "keys after an empty dictionary belong to something else";

  EXPECT_FALSE(PdfAppendReader::ParseDictionary("< /A 1 >>", &d, &err));
  EXPECT_EQ(err, "Defective dictionary object.");
  EXPECT_FALSE(PdfAppendReader::ParseDictionary("<< /A 1 /B 2", &d, &err));
  EXPECT_EQ(err, "Error parsing last trailer entries.");
}

TEST(PdfAppendReader, HeaderAndEndOfFileChecks) {
  EXPECT_EQ(ErrorOf(SimplePdf().replace(0, 8, "%PDX-1.4")),
            "Target file does not start with a proper PDF version tag.");
  EXPECT_EQ(ErrorOf(SimplePdf().replace(0, 8, "%PDF-1.2")),
            "Target file format is too old (PDF 1.3 or newer is required).");
  for (const char* v : {"1.3", "1.7", "2.0"}) {
    std::string pdf = SimplePdf();
    pdf.replace(5, 3, v);
    EXPECT_EQ(ErrorOf(pdf), "") << v;
  }
  // The file's end is its last complete update; bytes after it (an update
  // cut short, or what only looks like an end) are kept out of it.
  const std::string simple = SimplePdf("<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                                       "<< /Size 4 /Root 1 0 R >>", "1.4", "");
  // The same file updated once more, the update pointing back to `prev`.
  const auto updated = [&](const std::string& prev) {
    return simple + "\nxref\n0 1\n0000000000 65535 f \ntrailer\n<< /Size 4 /Root 1 0 R /Prev " + prev +
           " >>\nstartxref\n" + std::to_string(simple.size() + 1) + "\n%%EOF\n";
  };
  const std::string prev = simple.substr(simple.rfind("startxref\n") + 10, simple.rfind("\n%%EOF") - simple.rfind("startxref\n") - 10);
  struct End {
    std::string name, bytes, error;
    size_t complete;
  };
  const End ends[] = {
      {"CR LF", simple + "\r\n", "", simple.size() + 2},
      {"LF", simple + "\n", "", simple.size() + 1},
      {"CR", simple + "\r", "", simple.size() + 1},
      {"nothing", simple, "", simple.size()},
      {"a blank", simple + " \n", "", simple.size()},
      {"two line ends", simple + "\n\n", "", simple.size() + 1},
      {"an update cut short", simple + "\n4 0 obj\n<< /Type /Pa", "", simple.size() + 1},
      {"an end that leads nowhere", simple + "\n4 0 obj\nstartxref\n12\n%%EOF\n", "", simple.size() + 1},
      {"no end at all", simple.substr(0, simple.size() - 5) + "%%EOX\n", "Target file does not end with a proper PDF EOF.", 0},
      {"a later update", updated(prev), "", updated(prev).size()},
      {"a later update on a damaged one", updated("12"), "Head of xref table not found in target file where indicated.", 0},
  };
  for (const End& e : ends) {
    bool ok;
    auto r = ReadPdf(e.bytes, &ok);
    EXPECT_EQ(ok ? "" : r->mErrorMsg, e.error) << e.name;
    if (ok) {
      EXPECT_EQ(r->mCompleteLen, int64_t(e.complete)) << e.name;
    }
  }
}

TEST(PdfAppendReader, RefusesWithTheTextOfTheFirstFailingCheck) {
  const std::string pages = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
  const std::string catalog = "<< /Type /Catalog /Pages 2 0 R >>";
  std::string noStart = SimplePdf();
  noStart.replace(noStart.rfind("startxref"), 9, "startxrex");
  EXPECT_EQ(ErrorOf(noStart), "Start of xref table not found in target file.");
  std::string badOffset = SimplePdf();
  const size_t at = badOffset.rfind("startxref\n") + 10;
  badOffset.replace(at, badOffset.find('\n', at) - at, "12");
  EXPECT_EQ(ErrorOf(badOffset), "Head of xref table not found in target file where indicated.");
  EXPECT_EQ(ErrorOf(SimplePdf(catalog, pages, "<< /Size 4 >>")), "Trailer dictionary has no /Root key.");
  EXPECT_EQ(ErrorOf(SimplePdf(catalog, pages, "<< /Size 4 /Root 1 0 R /Encrypt 7 0 R >>")),
            "Cannot append to a protected PDF.");
  EXPECT_EQ(ErrorOf(SimplePdf(catalog, pages, "<< /Size 4 /Root 9 0 R >>")),
            "Could not find root object in xref table. ");
  EXPECT_EQ(ErrorOf(SimplePdf("<< /Type /Page /Pages 2 0 R >>", pages)),
            "Root dictionary is not of type /Catalog.");
  EXPECT_EQ(ErrorOf(SimplePdf(catalog, "<< /Type /Page /Kids [3 0 R] /Count 1 >>")),
            "Pages dictionary is not of type /Pages.");
  // Entries the flat reading would get wrong are refused, not mangled.
  const std::string text =
      " dictionary of the target file holds entries that cannot be carried over (nested "
      "dictionary, string or comment).";
  EXPECT_EQ(ErrorOf(SimplePdf("<< /Type /Catalog /Pages 2 0 R /ViewerPreferences << /A 1 >> >>")),
            "The root" + text);
  EXPECT_EQ(ErrorOf(SimplePdf("<< /Type /Catalog /Pages 2 0 R /Lang (a>>b) >>")), "The root" + text);
  EXPECT_EQ(ErrorOf(SimplePdf(catalog, pages, "<< /Size 4 /Root 1 0 R /ID [(a]b)(c)] >>")),
            "The trailer" + text);
}

// Nested dictionaries where nothing is copied from them are read flat; only
// the Pages /Count, which the update adds to, must be the dictionary's own.
TEST(PdfAppendReader, NestedDictionariesOutsideTheCopiedEntriesAreRead) {
  const std::string catalog = "<< /Type /Catalog /Pages 2 0 R >>";
  // The same file updated once, its older trailer being `olderTrailer`.
  const auto updated = [&](const std::string& pages, const std::string& olderTrailer) {
    std::string pdf = SimplePdf(catalog, pages, olderTrailer);
    const std::string oldXref = pdf.substr(pdf.rfind("startxref\n") + 10);
    const size_t xref = pdf.size();
    pdf += "xref\n0 1\n0000000000 65535 f \ntrailer\n<< /Size 4 /Root 1 0 R /Prev " +
           oldXref.substr(0, oldXref.find('\n')) + " >>\nstartxref\n" + std::to_string(xref) +
           "\n%%EOF\n";
    return pdf;
  };
  const std::string flatTrailer = "<< /Size 4 /Root 1 0 R >>";
  const std::string unreliable =
      "The /Count of the pages dictionary of the target file cannot be read reliably (nested "
      "dictionary, string or comment).";
  struct Case {
    const char* name;
    std::string pages, olderTrailer, error;
    int count;
  };
  const Case cases[] = {
      {"resources after the count", "<< /Type /Pages /Kids [3 0 R] /Count 1 /Resources << /ProcSet [/PDF] >> >>",
       flatTrailer, "", 1},
      {"nested count after the count", "<< /Type /Pages /Kids [3 0 R] /Count 1 /X << /Count 5 >> >>", flatTrailer,
       "", 1},
      {"older trailer with an info dictionary", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
       "<< /Size 4 /Root 1 0 R /Info << /Title (x) >> /ID [<01><02>] >>", "", 1},
      {"nested count before the count", "<< /Type /Pages /X << /Count 5 >> /Kids [3 0 R] /Count 1 >>", flatTrailer,
       unreliable, 0},
      {"count in a string", "<< /Type /Pages /Kids [3 0 R] /T (/Count 7) /Count 1 >>", flatTrailer, unreliable, 0},
      {"resources before the count", "<< /Type /Pages /Kids [3 0 R] /Resources << /ProcSet [/PDF] >> /Count 1 >>",
       flatTrailer, "Pages dictionary has no /Count key.", 0},
  };
  for (const Case& c : cases) {
    bool ok;
    auto r = ReadPdf(updated(c.pages, c.olderTrailer), &ok);
    EXPECT_EQ(ok ? "" : r->mErrorMsg, c.error) << c.name;
    if (ok) {
      EXPECT_EQ(r->mOldPageCount, c.count) << c.name;
      EXPECT_EQ(r->mTrailerEntries, (PdfDict{{"/Size", "4"}, {"/Root", "1 0 R"}, {"/Prev", r->mLastTrailer["/Prev"]}}))
          << c.name << ": the newest trailer's entries";
    }
  }
}

TEST(PdfAppendReader, FollowsThePrevChainNewestFirstAndStopsOnLoops) {
  // A file updated once: object 1 (the Catalog) is replaced by object 5,
  // object 4 is freed, and the newer trailer points back to the old one.
  std::string pdf = SimplePdf("<< /Type /Catalog /Pages 2 0 R >>",
                              "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                              "<< /Size 4 /Root 1 0 R >>");
  const size_t oldXref = size_t(std::stoll(pdf.substr(pdf.rfind("startxref\n") + 10)));
  const size_t obj5 = pdf.size();
  pdf += "5 0 obj\n<< /Type /Catalog /Pages 2 0 R /PageMode /UseNone >>\nendobj\n";
  const size_t xref = pdf.size();
  char entry[64];
  std::snprintf(entry, sizeof entry, "%010zu 00000 n\n", obj5);
  pdf += "xref\n1 1\n0000000000 00001 f\n3 3\n0000000009 00000 n\n0000000000 00001 f\n" +
         std::string(entry) + "trailer\n<< /Size 6 /Root 5 0 R /Prev " + std::to_string(oldXref) +
         " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  bool ok;
  auto r = ReadPdf(pdf, &ok);
  ASSERT_TRUE(ok) << r->mErrorMsg;
  EXPECT_EQ(r->mPrevXref, int64_t(xref));
  EXPECT_EQ(r->mOldRootRef.mNum, 5);
  EXPECT_EQ(r->mObjNumBase, 6);
  ObjDescT d;
  EXPECT_FALSE(r->FindObject(1, &d)) << "freed by the newer section";
  EXPECT_FALSE(r->FindObject(4, &d));
  ASSERT_TRUE(r->FindObject(3, &d));
  EXPECT_EQ(d.mOffset, 9) << "the newer section's entry wins";
  ASSERT_TRUE(r->FindObject(2, &d));
  EXPECT_EQ(d.mOffset, int64_t(pdf.find("2 0 obj")));
  EXPECT_EQ(r->mRootEntries.at("/PageMode"), "/UseNone");

  // A section whose /Prev leads back to itself must not keep the reader.
  std::string loop = SimplePdf("<< /Type /Catalog /Pages 2 0 R >>",
                               "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                               "<< /Size 4 /Root 1 0 R /Prev 0000 >>");
  const std::string self = loop.substr(loop.rfind("startxref\n") + 10, 3);
  loop.replace(loop.find("/Prev 0000") + 7, 3, self);
  EXPECT_EQ(ErrorOf(loop), "Xref sections of target file refer back to each other (/Prev loop).");
}

TEST(PdfAppendReader, ObjectAndGenerationNumbersOutOfRangeAreRefused) {
  const std::string catalog = "<< /Type /Catalog /Pages 2 0 R >>";
  const std::string pages = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
  const std::string page = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>";
  const auto pdf = [&](const std::string& cat, const std::string& trailer, const std::string& rootGen) {
    return BuildPdf({cat, pages, page}, trailer, "1.4", "\n", {rootGen});
  };
  struct Case {
    std::string name, bytes, error;
  };
  const std::vector<Case> cases = {
      {"root at the largest generation", pdf(catalog, "<< /Size 4 /Root 1 65535 R >>", "65535"), ""},
      {"root generation near the int limit", pdf(catalog, "<< /Size 4 /Root 1 2147483647 R >>", "2147483647"),
       "Xref table of target file lists a generation number out of range."},
      {"root generation past the format's limit", pdf(catalog, "<< /Size 4 /Root 1 65536 R >>", "65536"),
       "Xref table of target file lists a generation number out of range."},
      {"reference with a huge generation", pdf(catalog, "<< /Size 4 /Root 1 2147483648 R >>", "0"),
       "Trailer dictionary has an invalid /Root reference."},
      {"reference with a huge number", pdf(catalog, "<< /Size 4 /Root 99999999999 0 R >>", "0"),
       "Trailer dictionary has an invalid /Root reference."},
      {"pages reference out of range", pdf("<< /Type /Catalog /Pages 2 70000 R >>", "<< /Size 4 /Root 1 0 R >>", "0"),
       "Root dictionary has an invalid /Pages reference."},
  };
  for (const Case& c : cases) {
    bool ok;
    auto r = ReadPdf(c.bytes, &ok);
    EXPECT_EQ(ok ? "" : r->mErrorMsg, c.error) << c.name;
    if (ok) {
      EXPECT_EQ(r->mOldRootRef.mGen, 65535) << c.name;
    }
  }
}

namespace ZuzuvovOvav {
extern std::atomic<bool> gStopNow;  // defined with the concurrent-append tests
}

namespace {

// Bytes this process has read from files so far.
int64_t BytesRead() {
  std::ifstream io("/proc/self/io");
  std::string key;
  int64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return -1;
}

}  // namespace

// A file of 5000 incremental updates, as 5000 pages make one: each section
// is read by its own length, the same unchanged file once per process (the
// check before the scan, then the writer), and a stop request ends it.
TEST(PdfAppendReader, LongChainsAreReadOnceSectionBySectionAndStop) {
  ScratchDir dir;
  std::string pdf = SimplePdf();
  for (int i = 0; i < 5000; ++i) {
    const size_t at = pdf.rfind("startxref\n") + 10;
    const std::string prev = pdf.substr(at, pdf.find('\n', at) - at);
    const size_t xref = pdf.size();
    pdf += "xref\n0 1\n0000000000 65535 f \ntrailer\n<< /Size 4 /Root 1 0 R /Prev " + prev + " >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
  }
  const std::string path = dir / "long.pdf";
  WriteFile(path, pdf);
  // Written long ago, as far as its time says: a reading of it may be kept.
  const timespec past[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const int64_t start = BytesRead();
  PdfAppendReader first;
  ASSERT_TRUE(first.ReadTarget(fd, int64_t(pdf.size()))) << first.mErrorMsg;
  const int64_t once = BytesRead() - start;
  EXPECT_LT(once, 2 * int64_t(pdf.size()) + 2 * PdfAppendReader::kWindowSize);
  PdfAppendReader again;
  ASSERT_TRUE(again.ReadTarget(fd, int64_t(pdf.size()))) << again.mErrorMsg;
  EXPECT_LT(BytesRead() - start - once, 4096) << "read again";
  EXPECT_EQ(again.mPrevXref, first.mPrevXref);
  EXPECT_EQ(again.mOldRootRef.mNum, 1);

  gStopNow = true;
  PdfAppendReader stopped;
  EXPECT_FALSE(stopped.Read(fd, int64_t(pdf.size())));
  gStopNow = false;
  EXPECT_TRUE(stopped.mStopped);
  EXPECT_EQ(stopped.mErrorMsg, "Reading of the target file was stopped.");
  close(fd);
}

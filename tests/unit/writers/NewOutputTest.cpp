// What a scan leaves at its output path: a new file replaces what was there
// only once it holds a page, never writes through a link planted there, and
// leaves no temporary file behind; appending through a link the user named
// writes the file it leads to.
#include <dirent.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/xattr.h>

#include <cstring>

#include "ImageWriter.h"
#include "WriterTestSupport.h"

using namespace ZuzuvovOvav;
using namespace writertest;

namespace {

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string LinkTarget(const std::string& path) {
  char buf[4096];
  const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? "" : std::string(buf, size_t(n));
}

int Pages(const std::string& path, bool pdf) {
  return pdf ? PdfPages(path)
             : std::atoi(Shell("tiffinfo '" + path + "' | grep -c 'TIFF Directory'").out.c_str());
}

}  // namespace

TEST(NewOutput, ReplacesWhatIsAtThePathOnlyWithAPageAndNeverWritesThroughALink) {
  enum class At { kFile, kLinkToVictim, kDanglingLink };
  enum class Run { kNoPage, kFirstPageFails, kPages, kAppendPage };
  // What the file at the path is given first: a mode, another group (4242),
  // an ACL; `byOther` writes the scan as a user who cannot give that group.
  struct Given {
    mode_t mode = 0;
    bool group = false, acl = false, byOther = false;
  };
  struct Case {
    std::string name;
    At at;
    Run run;
    int pagesPerFile = 0;
    Given given = {};
  };
  const std::vector<Case> cases = {
      {"link, pages written", At::kLinkToVictim, Run::kPages},
      {"link, no page", At::kLinkToVictim, Run::kNoPage},
      {"link, first page fails", At::kLinkToVictim, Run::kFirstPageFails},
      {"dangling link, pages written", At::kDanglingLink, Run::kPages},
      {"file, no page", At::kFile, Run::kNoPage},
      {"file, first page fails", At::kFile, Run::kFirstPageFails},
      {"file, pages written", At::kFile, Run::kPages},
      {"split files, link at the second", At::kLinkToVictim, Run::kPages, 1},
      {"append through the user's link", At::kLinkToVictim, Run::kAppendPage},
      {"file 0600, pages written", At::kFile, Run::kPages, 0, {0600}},
      {"file 0604 of another group with an ACL", At::kFile, Run::kPages, 0, {0604, true, true}},
      {"file 0664 of a group the user may not give", At::kFile, Run::kPages, 0, {0664, true, false, true}},
  };
  struct Umask {
    mode_t saved = umask(027);
    ~Umask() { umask(saved); }
  } mask;
  for (bool pdf : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(pdf ? "PDF " : "TIFF ") + c.name);
      if (c.given.group && geteuid() != 0) continue;  // only root can give a file any group
      if (c.given.byOther && pdf) continue;  // a child has no compression queue for the PDF writer
      ScratchDir dir;
      const std::string ext = pdf ? ".pdf" : ".tif";
      const std::string victim = dir / ("victim" + ext);
      ScanParams params(kImageTypeGray);
      params.mFileType = pdf ? kFileTypePDF : kFileTypeTIFF;
      params.mAddFileTypeExtension = false;
      params.mImagesPerFile = c.pagesPerFile;
      params.mBaseFilePath = dir / ("scan" + ext);
      // With split files the link waits at the second file's path.
      const std::string path = c.pagesPerFile ? dir / ("scan2" + ext) : params.mBaseFilePath;
      TestPage page = MakePage(kImageTypeGray, 40, 20, 1, 0, 100, c.run == Run::kAppendPage);
      // The victim: a valid one-page file, the link's target.
      {
        TestPage first = MakePage(kImageTypeGray, 40, 20, 1);
        ScanParams once = params;
        once.mImagesPerFile = 0;
        once.mBaseFilePath = victim;
        ImageWriter w(once);
        ASSERT_TRUE(w.WritePage(*first, false));
        w.Close();
      }
      const std::string victimBytes = ReadFile(victim);
      // A second name of the victim, or a link to it or to nothing.
      const int planted = c.at == At::kFile           ? link(victim.c_str(), path.c_str())
                          : c.at == At::kLinkToVictim ? symlink(victim.c_str(), path.c_str())
                                                      : symlink((dir / "elsewhere").c_str(), path.c_str());
      ASSERT_EQ(planted, 0);
      if (c.given.mode) {
        ASSERT_EQ(chmod(path.c_str(), c.given.mode), 0);
      }
      if (c.given.group) {
        ASSERT_EQ(chown(path.c_str(), c.given.byOther ? 65534 : uid_t(-1), 4242), 0);
      }
      if (c.given.acl) {
        // user::rw- user:1234:r-- group::r-- mask::r-- other::r--
        const uint32_t e[] = {2, 0x60001, ~0u, 0x40002, 1234, 0x40004, ~0u, 0x40010, ~0u, 0x40020, ~0u};
        ASSERT_EQ(setxattr(path.c_str(), "system.posix_acl_access", e, sizeof e, 0), 0);
      }
      struct stat given {};
      lstat(path.c_str(), &given);
      char acl[256];
      const ssize_t aclLen = getxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
      const std::vector<std::string> before = Listing(dir.path);

      ScanResults res;
      if (c.given.byOther) {
        // As a user of no group of 4242's, in a child: uncompressed pages.
        ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
        const ChildResult r = RunInChild(
            [&] {
              TestPage raw = MakePage(kImageTypeGray, 40, 20, 1, 0, 100, false, 0);
              if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return std::string("no");
              ImageWriter w(params);
              bool ok = w.WritePage(*raw, false) && w.WritePage(*raw, false);
              w.Close();
              return ok ? std::string("ok") : w.Results().mErrorMsg;
            },
            30);
        ASSERT_EQ(r.out, "ok");
        res.mFilePaths = {path};
      } else {
        params.mAppend = c.run == Run::kAppendPage;
        ImageWriter w(params);
        if (c.run == Run::kFirstPageFails) {
          // Room for the file's head, not for the page.
          TestPage big = MakePage(kImageTypeColor, 300, 300, 2, 0, 100, false, 0);
          FileSizeCap cap(4000);
          EXPECT_FALSE(w.WritePage(*big, false));
        } else if (c.run == Run::kNoPage) {
          // The skipped first side of a duplex job opens the file, writes nothing.
          w.mParams.mDuplex = w.mParams.mSkipFirstPage = true;
          EXPECT_TRUE(w.WritePage(*page, false));
        } else {
          for (int i = 0; i < 2; ++i) EXPECT_TRUE(w.WritePage(*page, false)) << w.Results().mErrorMsg;
        }
        w.Close();
        res = w.Results();
      }
      EXPECT_EQ(ReadFile(victim) == victimBytes, c.run != Run::kAppendPage) << "victim changed or not";
      if (c.run == Run::kAppendPage) {
        EXPECT_EQ(LinkTarget(path), victim);
        EXPECT_EQ(Pages(victim, pdf), 3);
        EXPECT_EQ(res.mFilePaths, std::vector<std::string>{path});
      } else if (c.run != Run::kPages) {
        // Nothing replaced, nothing left behind, nothing listed.
        EXPECT_EQ(Listing(dir.path), before);
        if (c.at != At::kDanglingLink) {
          EXPECT_TRUE(ReadFile(path) == victimBytes) << "the path's file changed";
        }
        EXPECT_EQ(LinkTarget(path), c.at == At::kLinkToVictim ? victim : "");
        EXPECT_TRUE(res.mFilePaths.empty());
      } else {
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        if (!c.given.mode) {
          EXPECT_EQ(st.st_mode & 0777, 0640u) << "the mode a new file gets under the umask";
        } else if (c.given.byOther) {
          // The user's own group, which the group bits must not let in.
          EXPECT_EQ(st.st_mode & 0777, given.st_mode & 0707);
          EXPECT_EQ(st.st_gid, 65534u);
        } else {
          // The replaced file's mode, group and ACL.
          EXPECT_EQ(st.st_mode & 07777, given.st_mode & 0777);
          EXPECT_EQ(st.st_gid, given.st_gid);
          char now[256];
          const ssize_t nowLen = getxattr(path.c_str(), "system.posix_acl_access", now, sizeof now);
          EXPECT_EQ(nowLen, aclLen);
          EXPECT_TRUE(aclLen <= 0 || std::memcmp(now, acl, size_t(aclLen)) == 0);
        }
        EXPECT_EQ(Pages(path, pdf), c.pagesPerFile ? 1 : 2);
        EXPECT_FALSE(Exists(dir / "elsewhere"));
        EXPECT_EQ(res.mFilePaths.back(), path) << "the user's path is reported";
        EXPECT_EQ(Listing(dir.path).size(), before.size() + (c.pagesPerFile ? 1 : 0));
      }
    }
  }
}

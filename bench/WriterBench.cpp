// Writer throughput for A4 pages at 300 dpi: pages/s and MB/s of page data
// (packed rows) for line art (PDF and TIFF, Group 4) and for gray and colour
// (PDF Flate, TIFF Deflate through the parallel scheme), and appending a
// page to a long PDF.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "HostFolders.h"
#include "ImageInfo.h"
#include "ImageWriterPdf.h"
#include "ImageWriterTiff.h"

using namespace ZuzuvovOvav;

namespace {

constexpr uint32_t kWidth = 2480;  // A4 at 300 dpi
constexpr uint32_t kRows = 3508;

// A page that looks like a scanned letter: white paper, lines of "text"
// (short dark runs), a gray logo block and a little sensor noise.
struct BenchPage {
  std::unique_ptr<ImageInfo> info;
  std::vector<uint8_t> bits;
};

BenchPage MakeA4(ImageTypeE type, int compress) {
  ScanParams p(type);
  p.mXRes = p.mYRes = 300;
  p.mBufWidthRaw = kWidth;
  p.mBufHeightRaw = kRows;
  p.mCompressOption = compress;
  p.mOutImageWidthPoint = kWidth * 72.0 / 300;
  BenchPage page;
  page.info = std::make_unique<ImageInfo>(p, kSideFront);
  ImageInfo& i = *page.info;
  i.mImageType = type;
  i.mWidth = kWidth;
  i.mHeight = kRows;
  i.mLineCount = kRows;
  const uint32_t samples = type == kImageTypeColor ? 3 : 1;
  i.mRowBytes = type == kImageTypeLineArt ? (kWidth + 7) / 8 : kWidth * samples;
  page.bits.assign(size_t(i.mRowBytes) * kRows, 0);
  uint32_t noise = 12345;
  for (uint32_t r = 0; r < kRows; ++r) {
    const bool textLine = (r / 40) % 2 == 1 && r > 300 && r < 3200 && (r % 40) > 8;
    for (uint32_t c = 0; c < kWidth; ++c) {
      noise = noise * 1103515245u + 12345u;
      const bool ink = textLine && c > 200 && c < 2280 && ((c * 7 + r * 3) / 13) % 5 < 2;
      const bool logo = r > 100 && r < 250 && c > 150 && c < 600;
      int dark = ink ? 220 : logo ? 90 : 0;
      dark += int((noise >> 16) & 7);
      if (type == kImageTypeLineArt) {
        if (dark > 128) page.bits[size_t(r) * i.mRowBytes + c / 8] |= uint8_t(0x80 >> (c % 8));
      } else {
        for (uint32_t s = 0; s < samples; ++s)
          page.bits[size_t(r) * i.mRowBytes + c * samples + s] =
              uint8_t(type == kImageTypeColor ? 255 - dark + int(s) * 3 : dark);
      }
    }
  }
  i.mBitMap = page.bits.data();
  return page;
}

std::string OutputPath(const char* ext) {
  std::string folder;
  if (quirel::host::TemporaryItemsFolder(&folder) != 0) folder = "/tmp";
  return folder + "/writer-bench-" + std::to_string(getpid()) + ext;
}

template <class Writer>
void WritePages(benchmark::State& state, ImageTypeE type, const char* ext) {
  const BenchPage page = MakeA4(type, 1);
  const std::string path = OutputPath(ext);
  const int64_t packed =
      type == kImageTypeLineArt ? (kWidth + 7) / 8 * kRows : int64_t(page.info->mRowBytes) * kRows;
  // Pages go into files of eight, so that the disk does not fill up.
  std::unique_ptr<Writer> writer;
  int inFile = 0;
  for (auto _ : state) {
    if (!writer) {
      writer = std::make_unique<Writer>();
      writer->OpenFile(path.c_str(), *page.info);
    }
    if (!writer->WritePage(*page.info)) state.SkipWithError(writer->mResults.mErrorMsg.c_str());
    if (++inFile == 8) {
      writer->CloseFile();
      writer.reset();
      inFile = 0;
    }
  }
  if (writer) writer->CloseFile();
  unlink(path.c_str());
  state.SetBytesProcessed(state.iterations() * packed);
  state.counters["pages/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_PdfLineArtG4(benchmark::State& s) { WritePages<ImageWriterPdfImpl>(s, kImageTypeLineArt, ".pdf"); }
void BM_TiffLineArtG4(benchmark::State& s) { WritePages<ImageWriterTiffImpl>(s, kImageTypeLineArt, ".tif"); }
void BM_PdfGrayFlate(benchmark::State& s) { WritePages<ImageWriterPdfImpl>(s, kImageTypeGray, ".pdf"); }
void BM_TiffGrayDeflate(benchmark::State& s) { WritePages<ImageWriterTiffImpl>(s, kImageTypeGray, ".tif"); }
void BM_PdfColourFlate(benchmark::State& s) { WritePages<ImageWriterPdfImpl>(s, kImageTypeColor, ".pdf"); }
void BM_TiffColourDeflate(benchmark::State& s) { WritePages<ImageWriterTiffImpl>(s, kImageTypeColor, ".tif"); }

// Appending one line-art page, in a run of its own, to a file of 5000 small
// pages (one update each): the opening reads the file's whole
// cross-reference chain, 5000 sections.
void BM_PdfAppendTo5000PageFile(benchmark::State& state) {
  const std::string path = OutputPath(".pdf");
  BenchPage small = MakeA4(kImageTypeGray, 1);
  small.info->mWidth = small.info->mRowBytes = 16;
  small.info->mHeight = small.info->mLineCount = 16;
  {
    ImageWriterPdfImpl w;
    w.OpenFile(path.c_str(), *small.info);
    for (int i = 0; i < 5000; ++i)
      if (!w.WritePage(*small.info)) state.SkipWithError(w.mResults.mErrorMsg.c_str());
    w.CloseFile();
  }
  BenchPage page = MakeA4(kImageTypeLineArt, 1);
  page.info->mParams.mAppend = true;
  for (auto _ : state) {
    ImageWriterPdfImpl w;
    if (!w.OpenFile(path.c_str(), *page.info) || !w.WritePage(*page.info))
      state.SkipWithError(w.mResults.mErrorMsg.c_str());
    w.CloseFile();
  }
  unlink(path.c_str());
}

}  // namespace

BENCHMARK(BM_PdfAppendTo5000PageFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PdfLineArtG4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TiffLineArtG4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PdfGrayFlate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TiffGrayDeflate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PdfColourFlate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TiffColourDeflate)->Unit(benchmark::kMillisecond)->UseRealTime();

// "--dump-pages DIR" writes the three pages as uncompressed TIFFs (line
// art as Group 4) for scripts/bench-writers-external.sh, which times other
// tools on the very same pages.
int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--dump-pages") {
    const std::string dir = argv[2];
    const struct {
      ImageTypeE type;
      const char* name;
    } pages[] = {{kImageTypeLineArt, "/lineart.tif"}, {kImageTypeGray, "/gray.tif"},
                 {kImageTypeColor, "/colour.tif"}};
    for (const auto& p : pages) {
      const BenchPage page = MakeA4(p.type, 0);
      ImageWriterTiffImpl w;
      if (!w.OpenFile((dir + p.name).c_str(), *page.info) || !w.WritePage(*page.info)) return 1;
      w.CloseFile();
    }
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

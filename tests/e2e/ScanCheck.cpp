// Test pages, expected turns and tones, tool runs and scanned files read back, for the end-to-end tests.
#include "ScanCheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/wait.h>

namespace quirel::e2e {

namespace fs = std::filesystem;

Image::Image(int w, int h, int c, uint8_t fill)
    : width(w), height(h), channels(c), px(size_t(w) * size_t(h) * size_t(c), fill) {}

void Image::Fill(int x0, int y0, int x1, int y1, uint8_t r, uint8_t g, uint8_t b) {
  const uint8_t v[3] = {r, g, b};
  for (int y = std::max(0, y0); y < std::min(height, y1); ++y)
    for (int x = std::max(0, x0); x < std::min(width, x1); ++x)
      for (int c = 0; c < channels; ++c) At(x, y, c) = v[c];
}

Image MakePage(int sheet, int side, const PageOptions& o) {
  const int w = o.width, h = o.height;
  Image page(w, h, o.kind == PageKind::kColor ? 3 : 1);
  // The marker: an "F" in the top-left corner.
  page.Fill(8, 8, 16, 64, 0);
  page.Fill(8, 8, 48, 16, 0);
  page.Fill(8, 32, 32, 40, 0);
  if (side == 2) {
    page.Fill(8, 72, 48, 80, 0);
    page.Fill(w - 24, h - 24, w - 8, h - 8, 0);
  }
  for (int i = 0; i < sheet; ++i) page.Fill(8 + 12 * i, h - 24, 16 + 12 * i, h - 16, 0);

  switch (o.kind) {
    case PageKind::kBilevel:
      for (int y = 96; y < 128; y += 8)
        for (int x = 64; x < 128; x += 8)
          if (((x + y) / 8) % 2) page.Fill(x, y, x + 8, y + 8, 0);
      break;
    case PageKind::kGray:
      for (int x = 8; x < w - 8; ++x) page.Fill(x, 96, x + 1, 128, uint8_t((x - 8) * 255 / (w - 17)));
      page.Fill(8, 136, 40, 168, 64);
      page.Fill(40, 136, 72, 168, 128);
      page.Fill(72, 136, 104, 168, 192);
      page.Fill(104, 136, 136, 168, 32);
      break;
    case PageKind::kColor:
      for (int x = 8; x < w - 8; ++x) {
        const uint8_t ramp = uint8_t((x - 8) * 255 / (w - 17));
        page.Fill(x, 96, x + 1, 112, ramp, uint8_t(255 - ramp), 100);
        page.Fill(x, 112, x + 1, 128, 40, ramp, 220);
      }
      page.Fill(8, 136, 40, 168, 200, 30, 30);
      page.Fill(40, 136, 72, 168, 30, 200, 30);
      page.Fill(72, 136, 104, 168, 30, 30, 200);
      page.Fill(104, 136, 136, 168, 250, 200, 0);
      break;
  }
  if (o.dots)
    for (auto [x, y] : {std::pair{70, 24}, {90, 44}, {120, 30}, {140, 56}}) page.Fill(x, y, x + 1, y + 1, 0);
  if (o.lightLines) {
    page.Fill(16, 172, 144, 196, 0);
    page.Fill(56, 172, 60, 196, 120);
    page.Fill(100, 172, 104, 196, 120);
  }
  return page;
}

Image Turn(const Image& in, char letter) {
  const int w = in.width, h = in.height;
  if (letter == 'n') return in;
  Image out = (letter == 'f') ? Image(w, h, in.channels) : Image(h, w, in.channels);
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x)
      for (int c = 0; c < in.channels; ++c) {
        uint8_t v = 0;
        if (letter == 'f') v = in.At(w - 1 - x, h - 1 - y, c);
        else if (letter == 'l') v = in.At(w - 1 - y, x, c);  // top-left goes to bottom-left
        else v = in.At(y, h - 1 - x, c);                     // top-left goes to top-right
        out.At(x, y, c) = v;
      }
  return out;
}

Image Threshold(const Image& in) {
  Image out(in.width, in.height, 1);
  for (int y = 0; y < in.height; ++y)
    for (int x = 0; x < in.width; ++x) out.At(x, y) = in.At(x, y) < 128 ? 0 : 255;
  return out;
}

Image Gray4(const Image& in) {
  // The scanner sends 255 - v (high is dark); raw values up to 255 - white
  // store white, from 255 - black on black, and the 14 levels between
  // spread evenly over the rest, rounded half a level up.
  Image out(in.width, in.height, 1);
  for (int y = 0; y < in.height; ++y)
    for (int x = 0; x < in.width; ++x) {
      const int raw = 255 - in.At(x, y);
      double stored;
      if (raw <= 255 - 231) stored = 0;
      else if (raw >= 255 - 16) stored = 255;
      else stored = 17.0 * ((raw - 25) * 14.0 / 214.0 + 0.5);
      out.At(x, y) = uint8_t(std::lround(255.0 - std::clamp(stored, 0.0, 255.0)));
    }
  return out;
}

Image ToGray(const Image& in) {
  if (in.channels == 1) return in;
  Image out(in.width, in.height, 1);
  for (int y = 0; y < in.height; ++y)
    for (int x = 0; x < in.width; ++x) out.At(x, y) = in.At(x, y, 0);
  return out;
}

std::string Comparison::Describe() const {
  std::ostringstream s;
  s << bad << " of " << checked << " pixels differ (largest difference " << maxDiff << ", mean " << meanDiff << ")";
  if (!first.empty()) s << "; first: " << first;
  return s.str();
}

Comparison Compare(const Image& got, const Image& expected, int tolerance, int interior) {
  Comparison r;
  if (got.width != expected.width || got.height != expected.height || got.channels != expected.channels) {
    r.bad = r.checked = 1;
    r.first = "size " + std::to_string(got.width) + "x" + std::to_string(got.height) + "x" +
              std::to_string(got.channels) + ", expected " + std::to_string(expected.width) + "x" +
              std::to_string(expected.height) + "x" + std::to_string(expected.channels);
    return r;
  }
  double sum = 0;
  for (int y = 0; y < got.height; ++y)
    for (int x = 0; x < got.width; ++x) {
      if (interior > 0) {
        bool uniform = true;
        for (int dy = -interior; dy <= interior && uniform; ++dy)
          for (int dx = -interior; dx <= interior && uniform; ++dx) {
            const int nx = std::clamp(x + dx, 0, got.width - 1), ny = std::clamp(y + dy, 0, got.height - 1);
            for (int c = 0; c < got.channels; ++c) uniform = uniform && expected.At(nx, ny, c) == expected.At(x, y, c);
          }
        if (!uniform) continue;
      }
      ++r.checked;
      int diff = 0;
      for (int c = 0; c < got.channels; ++c) diff = std::max(diff, std::abs(int(got.At(x, y, c)) - int(expected.At(x, y, c))));
      sum += diff;
      r.maxDiff = std::max(r.maxDiff, diff);
      if (diff > tolerance) {
        if (r.bad++ == 0) {
          std::ostringstream s;
          s << "(" << x << "," << y << ") got";
          for (int c = 0; c < got.channels; ++c) s << " " << int(got.At(x, y, c));
          s << ", expected";
          for (int c = 0; c < got.channels; ++c) s << " " << int(expected.At(x, y, c));
          r.first = s.str();
        }
      }
    }
  r.meanDiff = r.checked ? sum / double(r.checked) : 0;
  return r;
}

std::string ComparePages(const std::vector<Image>& got, const std::vector<Image>& expected, int tolerance, int interior,
                         long allowedBad) {
  std::ostringstream s;
  if (got.size() != expected.size()) s << got.size() << " pages, expected " << expected.size() << "\n";
  for (size_t i = 0; i < std::min(got.size(), expected.size()); ++i) {
    Comparison c = Compare(got[i], expected[i], tolerance, interior);
    if (c.bad > allowedBad || c.checked == 0) s << "page " << i + 1 << ": " << c.Describe() << "\n";
  }
  return s.str();
}

bool WritePnm(const std::string& path, const Image& image) {
  std::ofstream f(path, std::ios::binary);
  f << (image.channels == 1 ? "P5\n" : "P6\n") << image.width << " " << image.height << "\n255\n";
  f.write(reinterpret_cast<const char*>(image.px.data()), std::streamsize(image.px.size()));
  return bool(f);
}

bool ReadPnm(const std::string& path, Image* image, std::string* error) {
  const std::string data = ReadFile(path);
  size_t pos = 0;
  // The next header number, skipping blanks and comments.
  auto number = [&](int* v) {
    while (pos < data.size()) {
      if (data[pos] == '#') {
        while (pos < data.size() && data[pos] != '\n') ++pos;
      } else if (std::isspace(static_cast<unsigned char>(data[pos]))) {
        ++pos;
      } else {
        break;
      }
    }
    size_t start = pos;
    while (pos < data.size() && std::isdigit(static_cast<unsigned char>(data[pos]))) ++pos;
    if (start == pos) return false;
    *v = std::atoi(data.substr(start, pos - start).c_str());
    return true;
  };
  if (data.size() < 2 || data[0] != 'P' || (data[1] != '4' && data[1] != '5' && data[1] != '6')) {
    *error = path + ": not a binary PNM file";
    return false;
  }
  const char kind = data[1];
  pos = 2;
  int w = 0, h = 0, maxval = 1;
  if (!number(&w) || !number(&h) || (kind != '4' && !number(&maxval)) || w <= 0 || h <= 0 || maxval != (kind == '4' ? 1 : 255)) {
    *error = path + ": bad PNM header";
    return false;
  }
  ++pos;  // the single blank after the header
  Image img(w, h, kind == '6' ? 3 : 1);
  const size_t rowBytes = kind == '4' ? size_t(w + 7) / 8 : size_t(w) * size_t(img.channels);
  if (data.size() < pos + rowBytes * size_t(h)) {
    *error = path + ": PNM data too short";
    return false;
  }
  const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data()) + pos;
  if (kind == '4') {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) img.At(x, y) = (p[size_t(y) * rowBytes + size_t(x / 8)] & (0x80 >> (x % 8))) ? 0 : 255;
  } else {
    std::memcpy(img.px.data(), p, img.px.size());
  }
  *image = std::move(img);
  return true;
}

std::string Quote(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int Shell(const std::string& command, std::string* output) {
  output->clear();
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) output->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::string& CompiledLocales(const std::string& name) {
  static TempDir dir("locales");
  static std::map<std::string, bool> made;
  static const std::string empty;
  auto [it, fresh] = made.try_emplace(name, false);
  std::string out;
  if (fresh) it->second = Shell("localedef -i " + name + " -f UTF-8 " + Quote(dir.File(name + ".UTF-8")), &out) == 0;
  return it->second ? dir.Path() : empty;
}

std::vector<Image> PdfImages(const std::string& pdf, const std::string& workDir, std::string* error) {
  static int sCall = 0;
  const std::string folder = workDir + "/pdfimages-" + std::to_string(++sCall);
  fs::create_directories(folder);
  std::string out;
  std::vector<Image> images;
  if (Shell("pdfimages " + Quote(pdf) + " " + Quote(folder + "/img"), &out) != 0) {
    *error = "pdfimages failed: " + out;
    return images;
  }
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    Image img;
    if (!ReadPnm(f, &img, error)) return {};
    images.push_back(std::move(img));
  }
  return images;
}

int PdfPageCount(const std::string& pdf) {
  std::string out;
  if (Shell("pdfinfo " + Quote(pdf), &out) != 0) return -1;
  size_t at = out.find("\nPages:");
  if (at == std::string::npos) return -1;
  return std::atoi(out.c_str() + at + 7);
}

bool QpdfCheck(const std::string& pdf, std::string* report) {
  int status = Shell("qpdf --check " + Quote(pdf), report);
  return status == 0 && report->find("No syntax or stream encoding errors found") != std::string::npos;
}

namespace {

// Turns the decoded strip bytes of one tiffinfo directory into an image.
bool DecodeTiffPage(int w, int h, int bits, int samples, bool minIsWhite, const std::vector<uint8_t>& data,
                    Image* image, std::string* error) {
  const size_t rowBytes = (size_t(w) * size_t(bits) * size_t(samples) + 7) / 8;
  if (w <= 0 || h <= 0 || (bits != 1 && bits != 4 && bits != 8) || (samples != 1 && samples != 3) ||
      data.size() < rowBytes * size_t(h)) {
    *error = "unexpected TIFF page: " + std::to_string(w) + "x" + std::to_string(h) + ", " + std::to_string(bits) +
             " bits, " + std::to_string(samples) + " samples, " + std::to_string(data.size()) + " bytes";
    return false;
  }
  Image img(w, h, samples);
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = data.data() + size_t(y) * rowBytes;
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < samples; ++c) {
        const size_t i = size_t(x) * size_t(samples) + size_t(c);
        int v;
        if (bits == 8) v = row[i];
        else if (bits == 4) v = ((row[i / 2] >> (i % 2 ? 0 : 4)) & 15) * 17;
        else v = (row[i / 8] & (0x80 >> (i % 8))) ? 255 : 0;
        img.At(x, y, c) = uint8_t(minIsWhite ? 255 - v : v);
      }
  }
  *image = std::move(img);
  return true;
}

int FieldInt(const std::string& line, const std::string& key) {
  size_t at = line.find(key);
  return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + key.size());
}

}  // namespace

std::vector<TiffPage> TiffPages(const std::string& tiff, std::string* error) {
  std::string out;
  std::vector<TiffPage> pages;
  if (Shell("tiffinfo -d " + Quote(tiff), &out) != 0) {
    *error = "tiffinfo failed: " + out;
    return {};
  }
  struct Dir {
    int w = -1, h = -1, bits = 1, samples = 1;
    bool minIsWhite = false;
    std::string compression;
    std::vector<uint8_t> data;
  };
  std::vector<Dir> dirs;
  std::istringstream in(out);
  std::string line;
  bool inData = false;
  while (std::getline(in, line)) {
    if (line.rfind("=== TIFF directory", 0) == 0) {
      dirs.emplace_back();
      inData = false;
      continue;
    }
    if (dirs.empty()) continue;
    Dir& d = dirs.back();
    if (line.rfind("Strip ", 0) == 0 || line.rfind("Tile ", 0) == 0) {
      inData = true;
      continue;
    }
    if (inData && line.empty()) continue;  // rows of several samples are set apart by blank lines
    if (inData && line[0] == ' ' && line.size() > 1 && line[1] != ' ') {
      std::istringstream hex(line);
      std::string token;
      while (hex >> token) d.data.push_back(uint8_t(std::strtoul(token.c_str(), nullptr, 16)));
      continue;
    }
    inData = false;
    if (line.find("Image Width:") != std::string::npos) {
      d.w = FieldInt(line, "Image Width:");
      d.h = FieldInt(line, "Image Length:");
    } else if (line.find("Bits/Sample:") != std::string::npos) {
      d.bits = FieldInt(line, "Bits/Sample:");
    } else if (line.find("Samples/Pixel:") != std::string::npos) {
      d.samples = FieldInt(line, "Samples/Pixel:");
    } else if (line.find("Photometric Interpretation:") != std::string::npos) {
      d.minIsWhite = line.find("min-is-white") != std::string::npos;
    } else if (line.find("Compression Scheme:") != std::string::npos) {
      d.compression = line.substr(line.find(':') + 2);
    }
  }
  for (const Dir& d : dirs) {
    TiffPage page;
    page.compression = d.compression;
    page.bitsPerSample = d.bits;
    if (!DecodeTiffPage(d.w, d.h, d.bits, d.samples, d.minIsWhite, d.data, &page.image, error)) return {};
    pages.push_back(std::move(page));
  }
  return pages;
}

quirel::testing::ToolRun Scan(const TempDir& dir, const ScanSetup& setup, const std::vector<std::string>& args) {
  static int sCall = 0;
  std::string list;
  for (size_t i = 0; i < setup.pages.size(); ++i) {
    const Image& page = setup.pages[i];
    std::string path = dir.File("in" + std::to_string(++sCall) + (page.channels == 1 ? ".pgm" : ".ppm"));
    WritePnm(path, page);
    list += (i ? "," : "") + path;
  }
  std::string scanner = "model=" + setup.model + ";dpi=" + std::to_string(setup.dpi);
  if (!list.empty()) scanner += ";pages=" + list;
  if (!setup.extraScanner.empty()) scanner += ";" + setup.extraScanner;
  return quirel::testing::RunTool(args, {{"QUIREL_VIRTUAL_SCANNER", scanner}}, 60);
}

ScanOutput ScanFile(const TempDir& dir, const ScanSetup& setup, std::vector<std::string> args, bool tiff) {
  static int sCall = 0;
  ScanOutput out;
  out.path = dir.File("scan" + std::to_string(++sCall) + (tiff ? ".tif" : ".pdf"));
  args.push_back(tiff ? "--tiff" : "--pdf");
  args.push_back(out.path);
  out.run = Scan(dir, setup, args);
  if (out.run.exitStatus != 0) {
    out.problem = "exit status " + std::to_string(out.run.exitStatus) + ", signal " + std::to_string(out.run.signal) +
                  ": " + out.run.err;
    return out;
  }
  ReadBack(dir, tiff, &out);
  return out;
}

void ReadBack(const TempDir& dir, bool tiff, ScanOutput* out) {
  std::string error;
  if (tiff) {
    out->tiff = TiffPages(out->path, &error);
    out->images.clear();
    for (const TiffPage& p : out->tiff) out->images.push_back(p.image);
  } else {
    std::string report;
    if (!QpdfCheck(out->path, &report)) {
      out->problem = "qpdf --check: " + report;
      return;
    }
    out->images = PdfImages(out->path, dir.Path(), &error);
    const int pages = PdfPageCount(out->path);
    if (error.empty() && pages != int(out->images.size()))
      error = "pdfinfo counts " + std::to_string(pages) + " pages for " + std::to_string(out->images.size()) + " images";
  }
  out->problem = error;
}

std::vector<std::string> PageArea(const Image& page, int dpi, bool turned) {
  const int w = page.width * 1200 / dpi, h = page.height * 1200 / dpi;
  return {"--resolution", std::to_string(dpi), "--paper-width", std::to_string(turned ? h : w), "--paper-height",
          std::to_string(turned ? w : h)};
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace quirel::e2e

// Reading and checking PNG and PNM page files for the virtual scanner.
#include "VirtualPageFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include <sys/stat.h>
#include <zlib.h>

// Our own static copy of the PNG decoder, so that no other user of
// stb_image in the program can clash with it at link time. PNM files are
// read here, not by the decoder, which trusts their headers.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#endif
#include <stb/stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace quirel::virt {

namespace {

// The PNG decoder counts an image, its rows before filtering and its
// expanded samples in int, and takes no side longer than 2^24 pixels.
constexpr uint64_t kMaxBytes = 0x7FFFFFFF;
constexpr uint64_t kMaxSide = 1u << 24;

std::string Named(const std::string& path, const std::string& cause) { return "page file '" + path + "' " + cause; }

std::string SizeText(uint64_t w, uint64_t h) { return std::to_string(w) + " x " + std::to_string(h) + " pixels"; }

// Whether an image of w x h pixels with `bytesPerPixel` bytes of samples at
// its largest stage (rows prefixed with a filter byte) can be decoded.
bool SizeFits(uint64_t w, uint64_t h, uint64_t bytesPerPixel) {
  if (w == 0 || h == 0 || w > kMaxSide || h > kMaxSide) return false;
  return h * (w * bytesPerPixel + 1) <= kMaxBytes;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Opens a regular file for reading and gives its length.
FilePtr OpenRegular(const std::string& path, uint64_t* length, std::string* error) {
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) {
    *error = Named(path, std::string("cannot be opened: ") + std::strerror(errno));
    return nullptr;
  }
  struct stat st;
  if (fstat(fileno(f.get()), &st) != 0) {
    *error = Named(path, std::string("cannot be read: ") + std::strerror(errno));
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = Named(path, "is not a regular file");
    return nullptr;
  }
  *length = uint64_t(st.st_size);
  return f;
}

// ---------------------------------------------------------------- PNM

struct PnmHeader {
  int channels = 0;  // 1 for P5, 3 for P6
  uint64_t width = 0, height = 0, maxval = 0;
  uint64_t samplesAt = 0;  // offset of the first sample
};

bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// Reads a P5/P6 header after its two magic bytes: width, height and maxval
// in decimal, each after blanks or comments, and one blank before the
// samples. False with the cause.
bool ReadPnmHeader(FILE* f, int channels, PnmHeader* h, std::string* cause) {
  static const char* const kNames[3] = {"width", "height", "maxval"};
  uint64_t pos = 2;
  auto next = [&] {
    int c = std::getc(f);
    if (c != EOF) ++pos;
    return c;
  };
  uint64_t values[3] = {};
  int c = next();
  for (int i = 0; i < 3; ++i) {
    bool separated = false;
    while (true) {
      if (IsBlank(c)) {
        c = next();
      } else if (c == '#') {
        while (c != '\n' && c != '\r' && c != EOF) c = next();
      } else {
        break;
      }
      separated = true;
    }
    if (c == EOF) return *cause = "is truncated: it ends inside its header", false;
    if (!separated || !IsDigit(c)) return *cause = std::string("has a malformed header: no ") + kNames[i], false;
    uint64_t v = 0;
    while (IsDigit(c)) {
      v = v * 10 + uint64_t(c - '0');
      if (v > 0xFFFFFFFFu) return *cause = std::string("has a malformed header: the ") + kNames[i] + " is too large", false;
      c = next();
    }
    values[i] = v;
  }
  if (c == EOF) return *cause = "is truncated: it ends inside its header", false;
  if (!IsBlank(c)) return *cause = "has a malformed header: no blank after the maxval", false;
  h->channels = channels;
  h->width = values[0];
  h->height = values[1];
  h->maxval = values[2];
  h->samplesAt = pos;
  return true;
}

// Checks what the header promises against what is read and the file holds.
bool CheckPnm(const PnmHeader& h, uint64_t length, std::string* cause) {
  if (h.maxval == 0 || h.maxval > 65535) return *cause = "has a bad maxval " + std::to_string(h.maxval), false;
  if (h.maxval > 255)
    return *cause = "has 16-bit samples (maxval " + std::to_string(h.maxval) +
                    "); only 8-bit samples (maxval 1 to 255) are read",
           false;
  if (h.width == 0 || h.height == 0) return *cause = "has no pixels (" + SizeText(h.width, h.height) + ")", false;
  if (!SizeFits(h.width, h.height, 3)) return *cause = "is too large (" + SizeText(h.width, h.height) + ")", false;
  const uint64_t need = h.width * h.height * uint64_t(h.channels);
  const uint64_t have = length > h.samplesAt ? length - h.samplesAt : 0;
  if (have < need)
    return *cause = "is truncated: " + std::to_string(have) + " bytes of samples where " + SizeText(h.width, h.height) +
                    " need " + std::to_string(need),
           false;
  return true;
}

// ---------------------------------------------------------------- PNG

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }

// Samples per pixel of a colour type with an allowed bit depth; 0 when the
// pair is not one that PNG defines.
int PngChannels(int colorType, int depth) {
  auto depthIn = [depth](std::initializer_list<int> allowed) {
    for (int d : allowed)
      if (d == depth) return true;
    return false;
  };
  switch (colorType) {
    case 0: return depthIn({1, 2, 4, 8, 16}) ? 1 : 0;
    case 2: return depthIn({8, 16}) ? 3 : 0;
    case 3: return depthIn({1, 2, 4, 8}) ? 1 : 0;
    case 4: return depthIn({8, 16}) ? 2 : 0;
    case 6: return depthIn({8, 16}) ? 4 : 0;
    default: return 0;
  }
}

// Walks the chunks after the signature up to IEND, checking each checksum
// and the header fields; gives the size in pixels. False with the cause.
bool CheckPng(FILE* f, uint64_t length, uint64_t* width, uint64_t* height, std::string* cause) {
  uint64_t pos = 8;
  bool header = false, palette = false, data = false;
  int colorType = 0;
  std::vector<uint8_t> buffer(1 << 16);
  while (true) {
    uint8_t head[8];
    if (length - pos < 12 || std::fread(head, 1, 8, f) != 8)
      return *cause = "is truncated: it ends before its IEND chunk", false;
    const uint32_t size = Be32(head);
    char type[5] = {char(head[4]), char(head[5]), char(head[6]), char(head[7]), 0};
    const std::string name = std::string("'") + type + "'";
    if (size > 0x7FFFFFFF) return *cause = "has a damaged chunk (length " + std::to_string(size) + ")", false;
    if (length - pos - 12 < size) return *cause = "is truncated inside its " + name + " chunk", false;
    uLong crc = crc32(0, head + 4, 4);
    uint8_t ihdr[13] = {};
    for (uint32_t done = 0; done < size;) {
      size_t n = std::min<size_t>(buffer.size(), size - done);
      if (std::fread(buffer.data(), 1, n, f) != n) return *cause = "is truncated inside its " + name + " chunk", false;
      if (done == 0 && size == 13) std::memcpy(ihdr, buffer.data(), 13);
      crc = crc32(crc, buffer.data(), uInt(n));
      done += uint32_t(n);
    }
    uint8_t stored[4];
    if (std::fread(stored, 1, 4, f) != 4) return *cause = "is truncated inside its " + name + " chunk", false;
    if (Be32(stored) != uint32_t(crc)) return *cause = "has a damaged " + name + " chunk (checksum mismatch)", false;
    pos += 12 + uint64_t(size);

    const std::string t = type;
    if (!header) {
      if (t != "IHDR" || size != 13) return *cause = "has no IHDR chunk first", false;
      header = true;
      *width = Be32(ihdr);
      *height = Be32(ihdr + 4);
      const int depth = ihdr[8];
      colorType = ihdr[9];
      const int channels = PngChannels(colorType, depth);
      if (channels == 0)
        return *cause = "has an undefined bit depth " + std::to_string(depth) + " for colour type " +
                        std::to_string(colorType),
               false;
      if (ihdr[10] != 0 || ihdr[11] != 0 || ihdr[12] > 1)
        return *cause = "has an unknown compression, filter or interlace method", false;
      if (*width == 0 || *height == 0) return *cause = "has no pixels (" + SizeText(*width, *height) + ")", false;
      // The largest stage: four samples per pixel (palettes expand to
      // RGBA), two bytes each at depth 16.
      const uint64_t bytesPerPixel = uint64_t(std::max(channels, 4)) * (depth == 16 ? 2 : 1);
      if (!SizeFits(*width, *height, bytesPerPixel))
        return *cause = "is too large (" + SizeText(*width, *height) + ")", false;
    } else if (t == "IHDR") {
      return *cause = "has a second IHDR chunk", false;
    } else if (t == "PLTE") {
      palette = true;
    } else if (t == "IDAT") {
      if (colorType == 3 && !palette) return *cause = "has no palette before its image data", false;
      data = true;
    } else if (t == "IEND") {
      if (!data) return *cause = "has no image data", false;
      return true;
    } else if ((head[4] & 0x20) == 0) {
      return *cause = "has an unknown critical chunk " + name, false;
    }
  }
}

bool IsPng(const uint8_t* magic) { return std::memcmp(magic, kPngSignature, 8) == 0; }
bool IsPnm(const uint8_t* magic) { return magic[0] == 'P' && (magic[1] == '5' || magic[1] == '6'); }

// Reads the first bytes and opens the file; the format is told by them.
FilePtr OpenPage(const std::string& path, uint8_t* magic, uint64_t* length, std::string* error) {
  FilePtr f = OpenRegular(path, length, error);
  if (!f) return nullptr;
  std::memset(magic, 0, 8);
  size_t got = std::fread(magic, 1, 8, f.get());
  if (!(got == 8 && IsPng(magic)) && !(got >= 2 && IsPnm(magic))) {
    *error = Named(path, "is not a readable PNG or PNM image: only PNG and binary PGM/PPM (P5/P6) are read");
    return nullptr;
  }
  if (std::fseek(f.get(), IsPng(magic) ? 8 : 2, SEEK_SET) != 0) {
    *error = Named(path, std::string("cannot be read: ") + std::strerror(errno));
    return nullptr;
  }
  return f;
}

bool DecodePnm(FILE* f, const PageFile& file, uint64_t length, int channels, PageImage* out, std::string* error) {
  PnmHeader h;
  std::string cause;
  if (!ReadPnmHeader(f, channels, &h, &cause) || !CheckPnm(h, length, &cause)) {
    *error = Named(file.path, cause);
    return false;
  }
  if (h.width != uint64_t(file.width) || h.height != uint64_t(file.height)) {
    *error = Named(file.path, "changed since the scanner was set up");
    return false;
  }
  const size_t pixels = size_t(h.width * h.height);
  std::vector<uint8_t> rgb(pixels * 3);
  const size_t samples = pixels * size_t(channels);
  if (std::fread(rgb.data(), 1, samples, f) != samples) {
    *error = Named(file.path, "is truncated: it ends inside its samples");
    return false;
  }
  if (channels == 1) {
    // Gray to RGB in place, from the end so no sample is overwritten unread.
    for (size_t i = pixels; i-- > 0;) rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = rgb[i];
  }
  if (h.maxval != 255) {
    // Samples above the maxval count as the maxval.
    uint8_t scale[256];
    for (uint32_t v = 0; v < 256; ++v)
      scale[v] = uint8_t((std::min<uint64_t>(v, h.maxval) * 255 + h.maxval / 2) / h.maxval);
    for (uint8_t& v : rgb) v = scale[v];
  }
  out->width = file.width;
  out->height = file.height;
  out->rgb = std::move(rgb);
  return true;
}

bool DecodePng(FILE* f, const PageFile& file, uint64_t length, PageImage* out, std::string* error) {
  // Checked again: the file may have been replaced since it was set up.
  uint64_t w = 0, h = 0;
  std::string cause;
  if (!CheckPng(f, length, &w, &h, &cause)) {
    *error = Named(file.path, cause);
    return false;
  }
  if (w != uint64_t(file.width) || h != uint64_t(file.height)) {
    *error = Named(file.path, "changed since the scanner was set up");
    return false;
  }
  if (std::fseek(f, 0, SEEK_SET) != 0) {
    *error = Named(file.path, std::string("cannot be read: ") + std::strerror(errno));
    return false;
  }
  int dw = 0, dh = 0, n = 0;
  unsigned char* data = stbi_load_from_file(f, &dw, &dh, &n, 3);
  if (!data) {
    // Some of the decoder's failures leave no reason.
    const char* reason = stbi_failure_reason();
    *error = Named(file.path, std::string("cannot be decoded: ") + (reason ? reason : "damaged image data"));
    return false;
  }
  std::unique_ptr<unsigned char, void (*)(void*)> owned(data, stbi_image_free);
  if (uint64_t(dw) != w || uint64_t(dh) != h) {
    *error = Named(file.path, "cannot be decoded: its size differs from its header");
    return false;
  }
  out->width = dw;
  out->height = dh;
  out->rgb.assign(data, data + size_t(dw) * size_t(dh) * 3);
  return true;
}

}  // namespace

bool ProbePageFile(const std::string& path, PageFile* out, std::string* error) {
  uint8_t magic[8];
  uint64_t length = 0;
  FilePtr f = OpenPage(path, magic, &length, error);
  if (!f) return false;
  std::string cause;
  uint64_t w = 0, h = 0;
  if (IsPng(magic)) {
    if (!CheckPng(f.get(), length, &w, &h, &cause)) {
      *error = Named(path, cause);
      return false;
    }
  } else {
    PnmHeader header;
    if (!ReadPnmHeader(f.get(), magic[1] == '6' ? 3 : 1, &header, &cause) || !CheckPnm(header, length, &cause)) {
      *error = Named(path, cause);
      return false;
    }
    w = header.width;
    h = header.height;
  }
  out->path = path;
  out->width = int(w);
  out->height = int(h);
  return true;
}

bool DecodePageFile(const PageFile& file, PageImage* out, std::string* error) {
  uint8_t magic[8];
  uint64_t length = 0;
  FilePtr f = OpenPage(file.path, magic, &length, error);
  if (!f) return false;
  if (IsPng(magic)) return DecodePng(f.get(), file, length, out, error);
  return DecodePnm(f.get(), file, length, magic[1] == '6' ? 3 : 1, out, error);
}

}  // namespace quirel::virt

// Encodes test pages as baseline JPEG streams, the way scanners send them,
// for the tests and benchmarks of the JPEG paths.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace quirel::testing {

struct JpegOptions {
  int quality = 100;
  bool invert = false;       // store 255 - v, as a scanner's stream that the decoder inverts back
  bool fullChroma = true;    // no chroma subsampling (else the library's default 2x2)
  int restartInRows = 0;     // a restart marker after every this many rows of blocks
  int extraMarkerBytes = 0;  // an APP5 segment of this size after the header
};

// lines x samples pixels of `comps` components (1 gray, 3 RGB), rows packed.
inline std::vector<uint8_t> EncodeJpeg(const std::vector<uint8_t>& pixels, int lines, int samples, int comps,
                                       const JpegOptions& options = {}) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&c, &out, &outSize);
  c.image_width = JDIMENSION(samples);
  c.image_height = JDIMENSION(lines);
  c.input_components = comps;
  c.in_color_space = comps == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, options.quality, TRUE);
  if (options.fullChroma)
    for (int i = 0; i < c.num_components; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
  c.restart_in_rows = options.restartInRows;
  jpeg_start_compress(&c, TRUE);
  if (options.extraMarkerBytes > 0) {
    std::vector<JOCTET> marker(size_t(options.extraMarkerBytes), 0x5A);
    jpeg_write_marker(&c, JPEG_APP0 + 5, marker.data(), unsigned(marker.size()));
  }
  std::vector<uint8_t> row(size_t(samples) * comps);
  for (int i = 0; i < lines; ++i) {
    for (size_t k = 0; k < row.size(); ++k) {
      const uint8_t v = pixels[size_t(i) * row.size() + k];
      row[k] = options.invert ? uint8_t(255 - v) : v;
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  std::vector<uint8_t> result(out, out + outSize);
  jpeg_destroy_compress(&c);
  std::free(out);
  return result;
}

}  // namespace quirel::testing

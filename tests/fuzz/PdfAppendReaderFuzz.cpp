// Fuzz target for the PDF append reader: any bytes given as an existing PDF
// must end in a verdict (accept or a refusal text), never in a crash, a
// hang or a read outside the input.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "PdfAppendReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using ZuzuvovOvav::PdfAppendReader;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  {
    std::istringstream in(bytes);
    PdfAppendReader reader;
    if (reader.Read(in, int64_t(size))) {
      // What the writer relies on after a successful reading.
      if (reader.mObjNumBase < 0 || reader.mObjNumBase > PdfAppendReader::kMaxObjNum + 1) __builtin_trap();
      if (reader.mOldPageCount < 0) __builtin_trap();
      ZuzuvovOvav::ObjDescT root;
      if (!reader.FindObject(reader.mOldRootRef.mNum, &root)) __builtin_trap();
      if (reader.mCompleteLen <= 0 || reader.mCompleteLen > int64_t(size)) __builtin_trap();
    }
  }
  ZuzuvovOvav::PdfDict flat, entries;
  std::string error;
  if (PdfAppendReader::ParseDictionary(bytes, &flat, &error))
    PdfAppendReader::FlatReadingIsFaithful(bytes, flat, &entries);
  return 0;
}

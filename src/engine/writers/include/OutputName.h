// OutputName: how an output path given by a user becomes the name of the
// file written. The tool, the workflow action and the scan window all ask
// these functions, so that the name a front end keeps, shows, opens and
// appends to is the name the writers write.
//
// A path names its format by its extension, letter case ignored: ".pdf"
// for PDF, ".tif" or ".tiff" for TIFF ("Report.PDF", "scan.TIFF"). A path
// whose extension is not one of its format's ("scan.v2", "invoice.2024",
// "page.tif" for a PDF) gets the format's extension added.
#pragma once

#include <cstdint>
#include <string>

namespace ZuzuvovOvav {

// ".pdf" for the PDF type code, ".tif" for TIFF, null for any other.
const char* FileTypeExtension(uint32_t fileType);

// The type code (kFileTypePDF, kFileTypeTIFF) whose extension ends `path`'s
// last component, or 0 when it ends in neither.
uint32_t FileTypeOfPath(const std::string& path);

// `path` as a writer of `fileType` names its file: unchanged when it ends in
// an extension of that type, else with the type's extension added. A type
// without an extension leaves the path as it is.
std::string CompleteOutputPath(const std::string& path, uint32_t fileType);

// The file of a job split into several files that starts with page n (from
// 1): n inserted before the extension of the last component ("scan.pdf"
// gives "scan11.pdf"), or at the end when that component has no dot.
std::string NumberedOutputPath(const std::string& path, int n);
// Where NumberedOutputPath puts the number into `path`.
size_t NumberPosition(const std::string& path);

}  // namespace ZuzuvovOvav

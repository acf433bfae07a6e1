// Virtual scanners that come and go while programs run: the bus of
// QUIREL_VIRTUAL_SCANNER=@FILE.
//
// FILE holds scanner descriptions, one per line (or separated by '|' as in
// the variable itself); blank lines and lines starting with '#' are
// ignored; a missing file means no scanner. The file is watched: when it is
// written (closed after writing, or renamed into place) or removed, the
// scanners that appeared in it arrive and those that left it depart, with
// hot-plug notifications to the bus's watchers. A scanner that departs
// answers every further transfer with kIOReturnNoDevice, as after the
// unplug fault, so a scan in progress on it fails. A scanner whose
// description line is unchanged stays attached as it was. Every program
// that reads the same variable (the application and the tool it runs)
// sees the same scanners.
//
// Thread safety: Enumerate() and FindByLocation() may be called from any
// thread; notifications arrive on the bus's watcher thread.
#pragma once

#include <memory>
#include <string>

#include "UsbLayer.h"

namespace quirel::virt {

// The bus of the descriptions in `path`; null with *error when the file
// exists but cannot be read or holds a malformed description (the error
// names the file).
std::unique_ptr<usb::UsbBus> MakeWatchedVirtualBus(const std::string& path, std::string* error);

}  // namespace quirel::virt

// The virtual scanner: simulated scanners of the model table behind the USB
// layer, so that the whole system runs and is tested without hardware.
//
// A description (the value of QUIREL_VIRTUAL_SCANNER) names one or more
// scanners; see README-virtual.md for its keys. Each scanner answers the
// command blocks of the scanner's command set over its bulk pipes as a real
// scanner of that model would: paper in the feeder or on the flatbed, sides
// rendered at the window's resolution in the model's data form, end of side
// and paper conditions reported through sense data, and injected faults.
//
// Thread safety: the bus may be enumerated from any thread; each scanner
// serialises its own pipe traffic with a mutex.
#pragma once

#include <memory>
#include <string>

#include "UsbLayer.h"

namespace quirel::virt {

// Registers the virtual bus factory with the USB layer, so that
// quirel::usb::CurrentBus() builds virtual scanners when QUIREL_VIRTUAL_SCANNER
// is set. Call it once at start-up, before the first CurrentBus().
void RegisterVirtualScanner();

// Builds a bus of virtual scanners from a description; null with *error set
// when the description is malformed (the error names the bad key or file).
std::unique_ptr<usb::UsbBus> MakeVirtualBus(const std::string& description, std::string* error);

}  // namespace quirel::virt

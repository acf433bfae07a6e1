// The entry of the Quirel-AM plug-in: the host calls it to make the action.
#include "AMBundleAction.h"
#include "Quirel_Action.h"
#include "VirtualScanner.h"

extern "C" __attribute__((visibility("default"))) quirel::amhost::AMBundleAction* AMCreateBundleAction(
    const quirel::amhost::AMBundle* bundle, const QVariantMap* parameters) {
  // With QUIREL_VIRTUAL_SCANNER set, the action scans from the virtual bus
  // (the plug-in carries its own copy of the USB layer).
  quirel::virt::RegisterVirtualScanner();
  return new Quirel_Action(*bundle, parameters ? *parameters : QVariantMap());
}

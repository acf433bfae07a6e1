// Loading an action plug-in: the library of an action bundle is opened and
// its entry makes the action. The library stays loaded for the life of the
// process (the action's classes and static data live in it).
#pragma once

#include <QString>
#include <QVariantMap>
#include <memory>

#include "AMBundle.h"
#include "AMBundleAction.h"

namespace quirel::amhost {

// The action of `bundle` with `parameters`; null with *why saying why
// (no executable, the library does not load, no entry, the entry made none).
std::unique_ptr<AMBundleAction> LoadAction(const AMBundle& bundle, const QVariantMap& parameters, QString* why);

}  // namespace quirel::amhost

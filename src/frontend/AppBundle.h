// The application bundle: a folder "<name>.app" laid out as
// Contents/Info.plist, Contents/MacOS/<executables>, Contents/Resources.
// The application finds its command-line tool inside it.
#pragma once

#include <QString>

namespace quirel::frontend {

// The running application's bundle folder, without a trailing slash:
// the folder named by $QUIREL_BUNDLE when that is set and not empty; else the
// bundle that holds the running program (its path ends in
// "/Contents/MacOS/<name>"); else "Quirel.app" beside the running program or
// one folder above it (the build tree puts the tool there). Empty when none
// of these exists.
QString MainBundlePath();

// The path of the auxiliary executable `name` in `bundle`
// (<bundle>/Contents/MacOS/<name>); whether it exists is not checked.
QString AuxiliaryExecutablePath(const QString& bundle, const QString& name);

}  // namespace quirel::frontend

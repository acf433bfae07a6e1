// Running an action as a workflow step: its runWithInput on a worker
// thread while the calling (GUI) thread runs the event loop, so that the
// action's panels, sheets and previews work during the run.
#pragma once

#include <QString>
#include <QVariantMap>

#include "AMBundleAction.h"

namespace quirel::amhost {

struct AMRunResult {
  QString output;         // what the action returned
  QVariantMap errorInfo;  // empty after a good run
};

// Runs `action` with `input`; call on the GUI thread. Returns when the run
// has ended.
AMRunResult RunAction(AMBundleAction& action, const QString& input, AMBundleAction* fromAction = nullptr);

}  // namespace quirel::amhost

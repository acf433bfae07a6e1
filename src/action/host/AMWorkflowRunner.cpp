// Running an action on a worker thread under the GUI thread's event loop.
#include "AMWorkflowRunner.h"

#include <QEventLoop>
#include <thread>

namespace quirel::amhost {

AMRunResult RunAction(AMBundleAction& action, const QString& input, AMBundleAction* fromAction) {
  AMRunResult result;
  QEventLoop loop;
  std::thread worker([&] {
    result.output = action.runWithInput(input, fromAction, &result.errorInfo);
    // Queued: the loop quits once it runs, even when the run ended before
    // exec() was entered.
    QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
  return result;
}

}  // namespace quirel::amhost

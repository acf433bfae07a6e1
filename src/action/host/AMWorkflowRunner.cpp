// Running an action on a worker thread under the GUI thread's event loop.
#include "AMWorkflowRunner.h"

#include <QEventLoop>
#include <exception>
#include <thread>

namespace quirel::amhost {

AMRunResult RunAction(AMBundleAction& action, const QString& input, AMBundleAction* fromAction) {
  AMRunResult result;
  QEventLoop loop;
  std::thread worker([&] {
    // What the action throws ends its run with an error, not the process.
    try {
      result.output = action.runWithInput(input, fromAction, &result.errorInfo);
    } catch (const std::exception& e) {
      result.output.clear();
      result.errorInfo = AMErrorInfo(QStringLiteral("The action failed: %1").arg(QString::fromLocal8Bit(e.what())));
    } catch (const char* what) {
      result.output.clear();
      result.errorInfo = AMErrorInfo(QStringLiteral("The action failed: %1").arg(QString::fromLocal8Bit(what)));
    } catch (...) {
      result.output.clear();
      result.errorInfo = AMErrorInfo(QStringLiteral("The action failed for an unknown reason."));
    }
    // Queued: the loop quits once it runs, even when the run ended before
    // exec() was entered.
    QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
  return result;
}

}  // namespace quirel::amhost

// The workflow host's action base class.
#include "AMBundleAction.h"

#include <QCoreApplication>
#include <QThread>
#include <QWidget>

namespace quirel::amhost {

const char* const kAMErrorNumberKey = "NSAppleScriptErrorNumber";
const char* const kAMErrorMessageKey = "NSAppleScriptErrorMessage";
const char* const kAMCreateActionSymbol = "AMCreateBundleAction";

QVariantMap AMErrorInfo(const QString& message) {
  return {{QString::fromLatin1(kAMErrorNumberKey), kAMErrorNumber},
          {QString::fromLatin1(kAMErrorMessageKey), message}};
}

QString AMErrorMessage(const QVariantMap& errorInfo) {
  return errorInfo.value(QString::fromLatin1(kAMErrorMessageKey)).toString();
}

AMBundleAction::AMBundleAction(const AMBundle& bundle, const QVariantMap& parameters)
    : mBundle(bundle), mParameters(parameters) {}

AMBundleAction::~AMBundleAction() { delete mView.data(); }

QVariantMap AMBundleAction::parameters() const {
  std::lock_guard<std::mutex> lock(mParametersLock);
  return mParameters;
}

void AMBundleAction::setParameters(const QVariantMap& parameters) {
  std::lock_guard<std::mutex> lock(mParametersLock);
  mParameters = parameters;
}

QWidget* AMBundleAction::view() {
  if (!mViewLoaded) {
    mViewLoaded = true;
    mView = loadView();
  }
  return mView.data();
}

QString AMBundleAction::description() const {
  return QString::asprintf("action (%lx)", (unsigned long)(uintptr_t)this);
}

void AMBundleAction::performOnMainThreadAndWait(const std::function<void()>& fn) {
  if (QThread::currentThread() == thread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
}

}  // namespace quirel::amhost

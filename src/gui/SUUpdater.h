// The updater: the application holds one shared updater and makes its scan
// controller the updater's delegate at start-up. On this system updates come
// from the package manager, so the updater checks nothing by itself; it only
// keeps its delegate for whoever asks.
#pragma once

#include <QObject>
#include <QPointer>

class SUUpdater {
 public:
  static SUUpdater& sharedUpdater() {
    static SUUpdater updater;
    return updater;
  }
  void setDelegate(QObject* delegate) { mDelegate = delegate; }
  QObject* delegate() const { return mDelegate; }

 private:
  SUUpdater() = default;
  QPointer<QObject> mDelegate;
};

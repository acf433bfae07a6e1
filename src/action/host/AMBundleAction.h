// The workflow host's action base class: a plug-in's action object with its
// bundle, its parameters dictionary, its settings view, the host's calls
// (opened, updateParameters, runWithInput) and the error dictionary a run
// hands back.
//
// The object lives on the GUI thread, where the host creates it, loads its
// view and calls opened() and updateParameters(); runWithInput() is called
// on a worker thread while the GUI thread keeps running the user interface.
// parameters() and setParameters() may be called from either thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <QWidget>
#include <atomic>
#include <functional>
#include <mutex>

#include "AMBundle.h"

namespace quirel::amhost {

// The error dictionary of a failed run.
extern const char* const kAMErrorNumberKey;   // "NSAppleScriptErrorNumber"
extern const char* const kAMErrorMessageKey;  // "NSAppleScriptErrorMessage"
constexpr int kAMErrorNumber = -1753;
QVariantMap AMErrorInfo(const QString& message);
// The message of an error dictionary (empty when there is none).
QString AMErrorMessage(const QVariantMap& errorInfo);

class AMBundleAction : public QObject {
 public:
  // The base of every action's initialisation: the bundle it was loaded
  // from and its stored parameters.
  AMBundleAction(const AMBundle& bundle, const QVariantMap& parameters);
  ~AMBundleAction() override;
  AMBundleAction(const AMBundleAction&) = delete;
  AMBundleAction& operator=(const AMBundleAction&) = delete;

  const AMBundle& bundle() const { return mBundle; }
  QVariantMap parameters() const;
  void setParameters(const QVariantMap& parameters);

  // The settings view, loaded on the first call (GUI thread); the action
  // owns it.
  QWidget* view();
  bool hasView() const { return mViewLoaded; }

  // Once, after the view is loaded and before it is shown.
  virtual void opened() {}
  // Writes the view's settings into the parameters.
  virtual void updateParameters() {}
  // Runs the action with the input (a path, or empty) after `fromAction`
  // (null for the first step); returns the output; on failure also fills
  // *errorInfo with the error dictionary.
  virtual QString runWithInput(const QString& input, AMBundleAction* fromAction, QVariantMap* errorInfo) = 0;
  // Asks a running action to stop (GUI thread): it ends its work as soon as
  // it safely can, keeping what is done. A stop that comes before the run
  // has begun its work stops it too.
  virtual void stopAction() {}
  // What the last run did, for the host to tell its user: whether it ended
  // through a stop (the host's or the action's own, such as a Stop button),
  // how many pages it wrote (-1 when the action does not say), and the
  // status of the scan it ended with, as the tool reports the same scan's
  // (-1 when it ran none, or the action does not say).
  virtual bool lastRunStopped() const { return false; }
  virtual int lastRunPages() const { return -1; }
  virtual int lastRunStatus() const { return -1; }
  virtual QString description() const;

  // Whether a user can answer the action's dialogs. A host without a
  // display says no before the run; the action then fails with what it
  // would have asked instead of waiting for an answer that never comes.
  bool userCanAnswer() const { return mUserCanAnswer.load(); }
  void setUserCanAnswer(bool can) { mUserCanAnswer.store(can); }

 protected:
  // Makes the view; called once, on the GUI thread.
  virtual QWidget* loadView() = 0;
  // Runs `fn` on the GUI thread and waits for it; runs it at once when
  // called there.
  void performOnMainThreadAndWait(const std::function<void()>& fn);

 private:
  AMBundle mBundle;
  mutable std::mutex mParametersLock;
  QVariantMap mParameters;
  QPointer<QWidget> mView;
  bool mViewLoaded = false;
  std::atomic<bool> mUserCanAnswer{true};
};

// The entry of an action plug-in: a function with C linkage of this name
// and type that makes the plug-in's action.
extern const char* const kAMCreateActionSymbol;  // "AMCreateBundleAction"
using AMCreateActionFn = AMBundleAction* (*)(const AMBundle* bundle, const QVariantMap* parameters);

}  // namespace quirel::amhost

// Defined by each plug-in.
extern "C" quirel::amhost::AMBundleAction* AMCreateBundleAction(const quirel::amhost::AMBundle* bundle,
                                                                const QVariantMap* parameters);

// Shared pieces of the workflow action's tests: parameters files made from
// scan settings, the host program run against the virtual scanner, and
// copies of the action bundle placed elsewhere.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <string>

#include "ScanCheck.h"

namespace quirel::action::test {

// The action's parameters for settings of `fileType` and `fileAction`, with
// or without the preview window; the rest are the settings' defaults
// (line art, 300 dpi, the whole page of the locale's paper).
QVariantMap Parameters(int fileType, int fileAction, bool preview = false);
// Writes `parameters` as a property list file in `dir`; its path.
std::string WriteParameters(const e2e::TempDir& dir, const QVariantMap& parameters);

// A run of the host program quirel-workflow.
struct WorkflowRun {
  int status = -1;  // exit status; -1 when it did not exit normally
  QString out;
  QString err;
};
struct WorkflowEnv {
  std::string scanner = "model=fi-7160;sheets=2";  // QUIREL_VIRTUAL_SCANNER
  std::string actionPath;                          // QUIREL_ACTION_PATH, when not empty
  std::string home;                                // HOME and XDG_CONFIG_HOME
  int stopSignal = 0;                              // sent once `stopWhen` exists
  std::string stopWhen;
  std::string locale;                              // LC_ALL ("de_DE"), compiled privately, when not empty
  int stopAfterMs = 0;                             // or: `stopSignal` sent this long after the start
  // "" the offscreen platform; "none" no display at all; else DISPLAY
  // (and no platform named).
  std::string display;
};
WorkflowRun RunWorkflow(const QStringList& args, WorkflowEnv env, const QByteArray& stdinText = {});

// The action bundle of the build tree.
std::string BuiltActionBundle();
// Copies the action bundle into `folder` (created); the folder to search.
std::string CopyActionBundle(const std::string& folder);
// Makes an application bundle folder with `identifier` at `appPath`.
void MakeAppBundle(const std::string& appPath, const std::string& identifier);

}  // namespace quirel::action::test

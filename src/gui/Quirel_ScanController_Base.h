// The controller of the scan settings controls.
//
// It keeps the controls and the settings record in step both ways: every
// control action updates the settings and applies them to the controls
// again (enabling and labelling the controls to fit the scan source,
// orientation and image type); before a scan it reads the controls and
// checks the settings against the attached scanner's limits. It follows the
// attached scanner through the USB monitor, loads and saves the default
// settings, configures the save panel and owns the scan job.
//
// The controls are found by objectName below the root widget handed to
// bindOutlets() (a form made with Qt Designer): each outlet is the control
// whose objectName is the outlet's name. Radio groups are QButtonGroups;
// each radio button and each pop-up item carries its tag (a "tag" property
// on buttons, an "itemTags" list on combo boxes).
//
// Thread-bound: the GUI thread.
#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <memory>

#include <optional>

#include "Quirel_Settings.h"
#include "ScanJob_Base.h"
#include "ScanJobController.h"
#include "ScannerInfo.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QSlider;
class QStackedWidget;
class QWidget;
class Quirel_UsbMonitor;
class ScanPreviewControl;

class Quirel_ScanController_Base : public QObject, public quirel::frontend::ScanJobController {
  Q_OBJECT
 public:
  explicit Quirel_ScanController_Base(QObject* parent = nullptr);
  ~Quirel_ScanController_Base() override;

  // Finds the outlets below `root` and connects the controls' actions.
  void bindOutlets(QWidget* root);
  // Prepares the controls and starts the USB monitor; called once after
  // bindOutlets().
  void setupUi();

  // The bundle that holds the images and the command-line tool.
  QString bundle() const override;
  quirel::frontend::Quirel_Settings& settings() override { return mSettings; }
  QString description() const;
  void updatePreviewSize();
  // Reports a settings problem.
  virtual void doErrorPanel(const QString& text);
  void configureSavePanel(QFileDialog* panel) const;

  // Control actions.
  void doDepth();
  void doResolution();
  void doDetectPaperLen();
  void doScanSource();
  void doOrientation(QObject* sender);
  void doFlip();
  void doDuplex(QObject* sender);
  void doFullPage();
  void doDouble();
  void doThresholdMtx();
  void doFileType();
  void doDensity();
  void doStop();

  // Reads every control into the settings, then checks them; false (after
  // the alert) when they do not fit the attached scanner.
  virtual bool parseSettings();
  bool checkSettings();
  // Sets every control from the settings.
  virtual void applySettings();
  void loadDefaultArgs();
  void saveArgsAsDefaults();
  // Stores `scanned` (the settings a scan ran with) as the defaults.
  void saveArgsAsDefaults(const quirel::frontend::Quirel_Settings& scanned);
  void updateParameters(QVariantMap* parameters) const;
  void updateFromParameters(const QVariantMap& parameters);

  // Scanner tracking.
  void usbChange(bool arrived, uint32_t location, uint16_t product);
  void getScannerInfo();
  const quirel::frontend::ScannerInfo* scannerInfo() const { return mScannerInfo ? &*mScannerInfo : nullptr; }

  // From the scan job: each page's preview goes to the preview grid. (The
  // end-of-scan bookkeeping is the ScanJobController's.)
  void receivePreview(quirel::frontend::PreviewBitmap bitmap) override;
  bool windowShouldClose() const { return true; }

  // The preview image of a bitmap from the scan: gray with 0 shown white,
  // or ignored byte / red / green / blue; takes over the bitmap's buffer.
  static QImage ImageFromPreview(quirel::frontend::PreviewBitmap bitmap);
  // The greatest feeder length for these settings, in inches.
  double maxFeederLength() const;

 protected:
  quirel::frontend::ScanJob_Base* scanJob() { return mScanJob.get(); }
  bool isSetUp() const { return mIsSetUp; }

  // Outlets.
  QLabel* modelTxt = nullptr;
  QComboBox* depthMnu = nullptr;
  QComboBox* resolutionMnu = nullptr;
  QLabel* paperWidthLbl = nullptr;
  QLineEdit* paperWidthTxt = nullptr;
  QCheckBox* autoPaperLengthCbx = nullptr;
  QLabel* paperLengthLbl = nullptr;
  QLineEdit* paperLengthTxt = nullptr;
  QButtonGroup* scanSourceBtns = nullptr;
  QCheckBox* duplexCbx = nullptr;
  QCheckBox* flipBacksCbx = nullptr;
  QCheckBox* skipFirstCbx = nullptr;
  QCheckBox* skipLastCbx = nullptr;
  QAbstractButton* orientation1Btn = nullptr;
  QAbstractButton* orientation2Btn = nullptr;
  QAbstractButton* orientation3Btn = nullptr;
  QAbstractButton* orientation4Btn = nullptr;
  QAbstractButton* flipBtn = nullptr;
  QLabel* feedSideTxt = nullptr;
  QCheckBox* scanFullPageCbx = nullptr;
  QLabel* scanLeftLbl = nullptr;
  QLineEdit* scanLeftTxt = nullptr;
  QLabel* scanWidthLbl = nullptr;
  QLineEdit* scanWidthTxt = nullptr;
  QLabel* scanTopLbl = nullptr;
  QLineEdit* scanTopTxt = nullptr;
  QLabel* scanHeightLbl = nullptr;
  QLineEdit* scanHeightTxt = nullptr;
  QCheckBox* doubleThicknessCbx = nullptr;
  QCheckBox* doubleLengthCbx = nullptr;
  QButtonGroup* thresholdMtx = nullptr;
  QLineEdit* thresholdTxt = nullptr;
  QLineEdit* blackPointTxt = nullptr;
  QLineEdit* whitePointTxt = nullptr;
  QSlider* densitySld = nullptr;  // optional
  QButtonGroup* fileFormatBtns = nullptr;
  QStackedWidget* contrastTab = nullptr;
  QLabel* pwUnitLbl = nullptr;
  QLabel* phUnitLbl = nullptr;
  QLabel* slUnitLbl = nullptr;
  QLabel* swUnitLbl = nullptr;
  QLabel* stUnitLbl = nullptr;
  QLabel* shUnitLbl = nullptr;
  ScanPreviewControl* imageVw = nullptr;
  QAbstractButton* stopBtn = nullptr;

 private:
  void applyOrientationImages();
  // Keeps a number in the settings as it is typed, keystroke by keystroke,
  // so that a control action or a scanner that comes or goes meanwhile
  // does not show the old value again.
  void readTextField(QLineEdit* field);
  // Reads one number field into the settings by the rules of
  // parseSettings(). Text that is not a number marks the field, leaves the
  // setting as it was and adds a sentence naming the field to *problems
  // (when given).
  void readNumberField(QLineEdit* field, QString* problems);
  // The field as the user sees it named: "paper width", "scan area top"
  // (the labels swap with the orientation), "black point".
  QString fieldName(const QLineEdit* field) const;
  // Marks, after the controls were set, each enabled field whose text is
  // not a number.
  void markNumberFields();
  int orientationForButton(QObject* button, bool flip) const;

  quirel::frontend::Quirel_Settings mSettings;
  std::unique_ptr<quirel::frontend::ScanJob_Base> mScanJob;
  std::optional<quirel::frontend::ScannerInfo> mScannerInfo;
  std::unique_ptr<Quirel_UsbMonitor> mUsbMonitor;
  QString noScannerLblTxt;
  QString paperWidthOrigLblTxt;
  QString paperLengthOrigLblTxt;
  QString scanTopOrigLblTxt;
  QString scanLeftOrigLblTxt;
  QString scanHeightOrigLblTxt;
  QString scanWidthOrigLblTxt;
  bool mIsSetUp = false;
  int oldOrientation = 0;
  // Counts getScannerInfo() calls, so that a call that waited for the tool
  // can tell that a nested one has stored a newer result meanwhile.
  int mScannerQueries = 0;
};

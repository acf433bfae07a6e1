// Reading and setting the scan window's controls: cells and items by tag, numbers in the user's locale.
//
// Radio buttons carry their tag in a "tag" property, pop-up menus the tags of
// their items in an "itemTags" list (see Quirel_ScanController_Base.h).
// Every function takes a missing control (null) as one that shows nothing.
#pragma once

#include <QList>
#include <QString>

class QAbstractButton;
class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace quirel::gui {

constexpr double kMmPerInch = 25.4;
// Limits are compared in inches with this tolerance.
constexpr double kTolerance = 1.0 / 2400;

int TagOf(const QAbstractButton* button);
QAbstractButton* CellWithTag(QButtonGroup* group, int tag);
int SelectedTag(QButtonGroup* group);
void SelectCellWithTag(QButtonGroup* group, int tag);
QList<int> ItemTags(const QComboBox* menu);
int SelectedItemTag(const QComboBox* menu);
void SelectItemWithTag(QComboBox* menu, int tag);
void SetItemWithTagEnabled(QComboBox* menu, int tag, bool enabled);

bool IsOn(const QAbstractButton* b);
void SetOn(QAbstractButton* b, bool on);
void SetEnabled(QWidget* w, bool on);
void SetText(QLabel* l, const QString& t);

// Up to three decimals, without trailing zeros, in the user's locale.
QString FormatNumber(double v);
// Text that does not parse as a number reads as 0.
double ParseNumber(const QString& text);
int ParseInteger(const QString& text);
void ShowNumber(QLineEdit* field, double v);

}  // namespace quirel::gui

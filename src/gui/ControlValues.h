// Reading and setting the scan window's controls: cells and items by tag, numbers in the user's locale.
//
// Radio buttons carry their tag in a "tag" property, pop-up menus the tags of
// their items in an "itemTags" list (see Quirel_ScanController_Base.h).
// Every function takes a missing control (null) as one that shows nothing.
#pragma once

#include <QList>
#include <QString>
#include <optional>

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
// Exactly `decimals` decimals in the user's locale ("0,0" in German).
QString FormatFixed(double v, int decimals);
// The number a user typed: as the user's locale writes numbers (its decimal
// separator, its digit grouping), or else with a decimal point ("297.0"
// where the locale writes "297,0"); none for any other text, an empty one
// included, and for an infinite value.
std::optional<double> ReadNumber(const QString& text);
// Likewise for a whole number of 32 bits.
std::optional<int> ReadWholeNumber(const QString& text);
// Shows `v`, unless the user's own text is in the field: text that reads
// as `v` ("8." on its way to "8.5") or as no number at all (which the user
// is to correct; it stays as typed, and marked).
void ShowNumber(QLineEdit* field, double v);
// Marks a field whose text is not a number (a reddish background; the
// property "notANumber").
void MarkNotANumber(QLineEdit* field, bool on);

}  // namespace quirel::gui

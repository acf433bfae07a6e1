// Reading and setting the scan window's controls: cells and items by tag, numbers in the user's locale.
#include "ControlValues.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QStandardItemModel>
#include <QWidget>
#include <cmath>

namespace quirel::gui {


// ---- Controls by tag ----

int TagOf(const QAbstractButton* button) { return button ? button->property("tag").toInt() : 0; }

QAbstractButton* CellWithTag(QButtonGroup* group, int tag) {
  if (!group) return nullptr;
  for (QAbstractButton* b : group->buttons())
    if (TagOf(b) == tag) return b;
  return nullptr;
}

int SelectedTag(QButtonGroup* group) { return group ? TagOf(group->checkedButton()) : 0; }

void SelectCellWithTag(QButtonGroup* group, int tag) {
  if (QAbstractButton* b = CellWithTag(group, tag)) b->setChecked(true);
}

QList<int> ItemTags(const QComboBox* menu) {
  QList<int> tags;
  for (const QString& t : menu->property("itemTags").toStringList()) tags << t.toInt();
  return tags;
}

int SelectedItemTag(const QComboBox* menu) {
  if (!menu) return 0;
  const QList<int> tags = ItemTags(menu);
  const int i = menu->currentIndex();
  return i >= 0 && i < tags.size() ? tags[i] : 0;
}

void SelectItemWithTag(QComboBox* menu, int tag) {
  if (!menu) return;
  const int i = ItemTags(menu).indexOf(tag);
  if (i >= 0) menu->setCurrentIndex(i);
}

void SetItemWithTagEnabled(QComboBox* menu, int tag, bool enabled) {
  if (!menu) return;
  auto* model = qobject_cast<QStandardItemModel*>(menu->model());
  const int i = ItemTags(menu).indexOf(tag);
  if (model && i >= 0) model->item(i)->setEnabled(enabled);
}

bool IsOn(const QAbstractButton* b) { return b && b->isChecked(); }
void SetOn(QAbstractButton* b, bool on) {
  if (b) b->setChecked(on);
}
void SetEnabled(QWidget* w, bool on) {
  if (w) w->setEnabled(on);
}
void SetText(QLabel* l, const QString& t) {
  if (l) l->setText(t);
}

// ---- Numbers in text fields, in the user's locale ----

namespace {

QLocale UserLocale() {
  QLocale l;
  l.setNumberOptions(QLocale::OmitGroupSeparator);
  return l;
}

}  // namespace

QString FormatNumber(double v) {
  // Up to three decimals, without trailing zeros.
  QString s = UserLocale().toString(v, 'f', 3);
  const QChar point = UserLocale().decimalPoint().at(0);
  if (s.contains(point)) {
    while (s.endsWith('0')) s.chop(1);
    if (s.endsWith(point)) s.chop(1);
  }
  return s;
}

QString FormatFixed(double v, int decimals) { return UserLocale().toString(v, 'f', decimals); }

std::optional<double> ReadNumber(const QString& text) {
  const QString t = text.trimmed();
  bool ok = false;
  double v = UserLocale().toDouble(t, &ok);
  if (!ok) v = QLocale::c().toDouble(t, &ok);
  if (!ok || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<int> ReadWholeNumber(const QString& text) {
  const QString t = text.trimmed();
  bool ok = false;
  int v = UserLocale().toInt(t, &ok);
  if (!ok) v = QLocale::c().toInt(t, &ok);
  if (!ok) return std::nullopt;
  return v;
}

void ShowNumber(QLineEdit* field, double v) {
  if (!field) return;
  if (field->isModified()) {
    const std::optional<double> typed = ReadNumber(field->text());
    if (!typed || *typed == v) return;
  }
  field->setText(FormatNumber(v));
}

void MarkNotANumber(QLineEdit* field, bool on) {
  if (!field || field->property("notANumber").toBool() == on) return;
  field->setProperty("notANumber", on);
  field->setStyleSheet(on ? QStringLiteral("QLineEdit { background-color: #ffd9d6; }") : QString());
}

}  // namespace quirel::gui

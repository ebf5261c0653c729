// The port list of the main window.
#include "ui/MainFormUnit.h"

#include "ui/Prompts.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QStyledItemDelegate>

#include <exception>

#include <vector>

namespace {

constexpr int kDescriptionRole = Qt::UserRole;

// Draws each port's description after its path in the open list; the
// selected text stays the bare path, which is what the connection opens and
// the settings store.
class TPortItemDelegate : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;

protected:
  void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    const QString description = index.data(kDescriptionRole).toString();
    if (!description.isEmpty())
      option->text += QStringLiteral("   ") + description;
  }
};

} // namespace

void TMainTandrelForm::ShowPortDescriptions(QComboBox *combo) {
  combo->setItemDelegate(new TPortItemDelegate(combo));
}

void TMainTandrelForm::RefreshPortsList() {
  std::vector<TPortEntry> ports;
  ListPorts(ports, FPortSystem);
  PortsListComboBox->clear();
  for (const TPortEntry &port : ports)
    PortsListComboBox->addItem(QString::fromLocal8Bit(port.path), QString::fromLocal8Bit(port.description));
  if (PortsListComboBox->count() == 0) {
    ShowPrompt(this, ErrorPrompt(QStringLiteral("Нет доступных COM портов.")));
    return;
  }
  PortsListComboBox->setCurrentIndex(PreferredPortIndex(ports));
  // Long paths of virtual ports are shown whole in the open list.
  QAbstractItemView *view = PortsListComboBox->view();
  view->setMinimumWidth(view->sizeHintForColumn(0) + 2 * view->frameWidth());
}

void TMainTandrelForm::SelectComboItem(QComboBox *combo, const QString &text) {
  const QString wanted = text.toUpper();
  for (int i = 0; i < combo->count(); ++i) {
    if (combo->itemText(i).toUpper() == wanted) {
      combo->setCurrentIndex(i);
      return;
    }
  }
}

void TMainTandrelForm::SpeedButton1Click() { RefreshPortsList(); }

// After a disconnect: the same port stays chosen if it is still there.
// Asked for by the session in the middle of its own work: a failure is
// shown here and must not break that work off.
void TMainTandrelForm::RefreshPortsKeepingChoice() {
  const QString port = PortsListComboBox->currentText();
  try {
    RefreshPortsList();
  } catch (const std::exception &error) {
    ShowPrompt(this, ErrorPrompt(QString::fromUtf8(error.what())));
  }
  SelectComboItem(PortsListComboBox, port);
}

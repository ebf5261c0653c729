// The port list of the main window.
#include "app/MainFormUnit.h"

#include "ui/Prompts.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QStyledItemDelegate>

#include <algorithm>
#include <filesystem>
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

bool IsUsbAdapter(const std::string &path) {
  const std::string name = std::filesystem::path(path).filename().string();
  return name.starts_with("ttyUSB") || name.starts_with("ttyACM");
}

// A USB adapter is what a field engineer plugs in for the device; the
// machine's own UARTs (often its console) are listed before it.
int FirstChoice(const std::vector<TPortEntry> &ports) {
  const auto adapter = std::find_if(ports.begin(), ports.end(),
                                    [](const TPortEntry &port) { return IsUsbAdapter(port.path); });
  return adapter == ports.end() ? 0 : static_cast<int>(adapter - ports.begin());
}

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
    ShowError(this, QStringLiteral("Нет доступных COM портов."));
    return;
  }
  PortsListComboBox->setCurrentIndex(FirstChoice(ports));
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

void TMainTandrelForm::SpeedButton1Click() {
  RunHandler([this] { RefreshPortsList(); });
}

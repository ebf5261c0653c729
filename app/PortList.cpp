// The port list of the main window.
#include "app/MainFormUnit.h"

#include "ui/Prompts.h"

#include <QAbstractItemView>
#include <QComboBox>

#include <vector>

void TMainTandrelForm::RefreshPortsList() {
  std::vector<std::string> ports;
  ListDosDevices(ports, FPortSystem);
  PortsListComboBox->clear();
  for (const std::string &port : ports)
    PortsListComboBox->addItem(QString::fromLocal8Bit(port));
  if (PortsListComboBox->count() == 0) {
    ShowError(this, QStringLiteral("Нет доступных COM портов."));
    return;
  }
  PortsListComboBox->setCurrentIndex(0);
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

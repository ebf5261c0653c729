#include "ui/TPCServerSettingsUnit.h"

#include "ui/WizardFont.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TTCPServerSettingsForm::TTCPServerSettingsForm(QWidget *parent) : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("TCPServerSettingsForm"));
  setWindowTitle(QStringLiteral("Настройки TCP сервера"));
  setFont(WizardFont());

  Label1 = new QLabel(QStringLiteral("Порт:"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->move(24, 24);
  Label1->adjustSize();

  PortEdit = new QLineEdit(QStringLiteral("53462"), this);
  PortEdit->setObjectName(QStringLiteral("PortEdit"));
  PortEdit->setGeometry(qMax(59, Label1->geometry().right() + 6), 21, 62, 21);

  OkButton = new QPushButton(QStringLiteral("Сохранить"), this);
  OkButton->setObjectName(QStringLiteral("OkButton"));
  OkButton->setGeometry(136, 49, qMax(75, OkButton->sizeHint().width()), 25);
  connect(OkButton, &QPushButton::clicked, this, &TTCPServerSettingsForm::OkButtonClick);

  setTabOrder(PortEdit, OkButton);
  FixWindowSize(this, QSize(219, 82));
}

void TTCPServerSettingsForm::OkButtonClick() { hide(); }

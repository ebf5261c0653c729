#include "ui/TPCServerSettingsUnit.h"

#include "core/BridgeSettings.h"
#include "ui/WizardFont.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TTCPServerSettingsForm::TTCPServerSettingsForm(TBridgeSettings &settings, QWidget *parent) : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("TCPServerSettingsForm"));
  setWindowTitle(QStringLiteral("Настройки TCP сервера"));
  setFont(WizardFont());

  Label1 = new QLabel(QStringLiteral("Порт:"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->move(24, 24);
  Label1->adjustSize();

  PortEdit = new QLineEdit(settings.ServerPortText(), this);
  PortEdit->setObjectName(QStringLiteral("PortEdit"));
  // The text is the setting, kept as typed; the server's start writes back
  // the port it took.
  connect(PortEdit, &QLineEdit::textEdited, &settings, &TBridgeSettings::SetServerPortText);
  connect(&settings, &TBridgeSettings::Changed, PortEdit, [this, &settings] {
    if (PortEdit->text() != settings.ServerPortText())
      PortEdit->setText(settings.ServerPortText());
  });
  PortEdit->setGeometry(qMax(59, Label1->geometry().right() + 6), 21, 62, 21);

  OkButton = new QPushButton(QStringLiteral("Сохранить"), this);
  OkButton->setObjectName(QStringLiteral("OkButton"));
  OkButton->setGeometry(136, 49, qMax(75, OkButton->sizeHint().width()), 25);
  connect(OkButton, &QPushButton::clicked, this, &TTCPServerSettingsForm::OkButtonClick);

  setTabOrder(PortEdit, OkButton);
  FixWindowSize(this, QSize(219, 82));
}

void TTCPServerSettingsForm::OkButtonClick() { hide(); }

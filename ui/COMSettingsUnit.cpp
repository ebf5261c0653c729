#include "ui/COMSettingsUnit.h"

#include "core/BridgeSettings.h"
#include "ui/WizardFont.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

namespace {
const char *const kSpeeds[] = {"600",   "1200",  "2400",  "4800",  "9600",   "14400",  "19200",
                               "28800", "38400", "56000", "57600", "115200", "128000", "256000"};
} // namespace

TCOMSettingsForm::TCOMSettingsForm(TBridgeSettings &settings, QWidget *parent) : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("COMSettingsForm"));
  setWindowTitle(QStringLiteral("Настройки COM-порта"));
  setFont(WizardFont());

  Label1 = new QLabel(QStringLiteral("Скорость:"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->move(24, 16);
  Label1->adjustSize();

  SpeedComboBox = new QComboBox(this);
  SpeedComboBox->setObjectName(QStringLiteral("SpeedComboBox"));
  for (const char *speed : kSpeeds)
    SpeedComboBox->addItem(QString::fromLatin1(speed));
  SpeedComboBox->setCurrentText(QString::number(settings.BaudRate()));
  // The speed takes effect at the next opening of a cable port.
  connect(SpeedComboBox, &QComboBox::currentTextChanged, &settings,
          [&settings](const QString &speed) { settings.SetBaudRate(speed.toInt()); });
  SpeedComboBox->setGeometry(qMax(82, Label1->geometry().right() + 7), 13, qMax(71, SpeedComboBox->sizeHint().width()), 21);

  Label2 = new QLabel(QStringLiteral("бод"), this);
  Label2->setObjectName(QStringLiteral("Label2"));
  Label2->move(SpeedComboBox->geometry().right() + 6, 16);
  Label2->adjustSize();

  OKButton = new QPushButton(QStringLiteral("Сохранить"), this);
  OKButton->setObjectName(QStringLiteral("OKButton"));
  OKButton->setGeometry(167, 40, qMax(75, OKButton->sizeHint().width()), 25);
  connect(OKButton, &QPushButton::clicked, this, &TCOMSettingsForm::OKButtonClick);

  setTabOrder(SpeedComboBox, OKButton);
  FixWindowSize(this, QSize(250, 74));
}

void TCOMSettingsForm::OKButtonClick() { hide(); }

#pragma once

#include <QWidget>

class QComboBox;
class QLabel;
class QPushButton;
class TBridgeSettings;

// Hidden dialog that edits the serial speed of cable connections.
class TCOMSettingsForm : public QWidget {
  Q_OBJECT
public:
  explicit TCOMSettingsForm(TBridgeSettings &settings, QWidget *parent = nullptr);

  QLabel *Label1;
  QComboBox *SpeedComboBox;
  QLabel *Label2;
  QPushButton *OKButton;

  void OKButtonClick();
};

#pragma once

#include <QWidget>

class QComboBox;
class QLabel;
class QPushButton;

// Hidden dialog holding the serial speed of cable connections for the life of the program.
class TCOMSettingsForm : public QWidget {
  Q_OBJECT
public:
  explicit TCOMSettingsForm(QWidget *parent = nullptr);

  QLabel *Label1;
  QComboBox *SpeedComboBox;
  QLabel *Label2;
  QPushButton *OKButton;

  void OKButtonClick();
};

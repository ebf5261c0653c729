#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

// Hidden dialog holding the bridge's TCP port for the life of the program.
class TTCPServerSettingsForm : public QWidget {
  Q_OBJECT
public:
  explicit TTCPServerSettingsForm(QWidget *parent = nullptr);

  QLabel *Label1;
  QLineEdit *PortEdit;
  QPushButton *OkButton;

  void OkButtonClick();
};

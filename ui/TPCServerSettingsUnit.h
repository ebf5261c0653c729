#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class TBridgeSettings;

// Hidden dialog that edits the bridge's TCP port; it shows the port the
// server last took.
class TTCPServerSettingsForm : public QWidget {
  Q_OBJECT
public:
  explicit TTCPServerSettingsForm(TBridgeSettings &settings, QWidget *parent = nullptr);

  QLabel *Label1;
  QLineEdit *PortEdit;
  QPushButton *OkButton;

  void OkButtonClick();
};

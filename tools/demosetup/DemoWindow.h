#pragma once
// The demo setup program's window: connection state, a request line with
// quick buttons for the device's protocol, and what the device answered.

#include <QWidget>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class TDemoClient;

class TDemoWindow : public QWidget {
  Q_OBJECT
public:
  explicit TDemoWindow(TDemoClient *client, QWidget *parent = nullptr);

  QLabel *StateLabel;
  QLineEdit *RequestEdit;
  QPushButton *SendButton;
  QPushButton *PingButton;
  QPushButton *SerialButton;
  QPushButton *FirmwareButton;
  QPushButton *SetButton;
  QPlainTextEdit *AnswersView;

  // Sends the request line's text; a sent line is cleared for the next one.
  void SendButtonClick();
  // Puts a SET template into the request line, its arguments selected.
  void SetButtonClick();

private:
  QPushButton *AddRequestButton(const QString &request);
  bool SendRequest(const QString &request);
  void ShowConnected(bool connected);
  void AppendAnswer(const QByteArray &bytes);
  void AppendText(const QString &text);

  TDemoClient *FClient;
  QList<QPushButton *> FRequestButtons;
};

#pragma once
// The two settings only the hidden dialogs show: the speed of cable
// connections and the port the bridge listens on. They live for the program's
// life and are never stored; every start begins with 19200 baud and 53462.

#include <QObject>
#include <QString>

#include <cstdint>

class TBridgeSettings : public QObject {
  Q_OBJECT

public:
  static constexpr int32_t kDefaultBaudRate = 19200;
  static constexpr int kDefaultServerPort = 53462;

  using QObject::QObject;

  int32_t BaudRate() const { return FBaudRate; }
  void SetBaudRate(int32_t baudRate);

  // The port as typed in the dialog, whatever it holds.
  QString ServerPortText() const { return FServerPortText; }
  void SetServerPortText(const QString &text);
  // The port the server listens on: the typed one, or 53462 for a text that
  // is not a number, a privileged port or no TCP port at all. The text then
  // shows the port used.
  quint16 TakeServerPort();

signals:
  void Changed();

private:
  int32_t FBaudRate = kDefaultBaudRate;
  QString FServerPortText = QString::number(kDefaultServerPort);
};

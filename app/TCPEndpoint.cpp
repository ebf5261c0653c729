// The main window's side of the TCP endpoint: the server listens on the port
// of the TCP settings dialog.
#include "app/MainFormUnit.h"

#include "ui/TPCServerSettingsUnit.h"

#include <QLineEdit>

namespace {

constexpr int kDefaultServerPort = 53462;

// The port of the settings dialog: not a number, a privileged port or a number
// that is no TCP port at all gives the default.
int EffectiveServerPort(const QString &text) {
  bool isNumber = false;
  const int port = text.toInt(&isNumber);
  if (!isNumber || port < 1024 || port > 65535)
    return kDefaultServerPort;
  return port;
}

} // namespace

void TMainTandrelForm::StartTCPServer() {
  QLineEdit *portEdit = TCPServerSettingsForm ? TCPServerSettingsForm->PortEdit : nullptr;
  const int port = EffectiveServerPort(portEdit ? portEdit->text() : QString());
  if (portEdit)
    portEdit->setText(QString::number(port));
  FRelay->StartTCPServer(static_cast<quint16>(port));
}

void TMainTandrelForm::StopTCPServer() { FRelay->StopTCPServer(); }

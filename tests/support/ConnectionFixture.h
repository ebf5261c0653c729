#pragma once
// A window set up for connections to a simulated device or modem, with a setup
// program (a script that just waits) listed for the device key DEMO, and a
// scenario runner that drives a connection while the click that started it is
// still inside the main loop.

#include "BridgeTestSupport.h"
#include "MainFormFixture.h"
#include "SimProcess.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <functional>
#include <memory>

// Steps run one after another from a timer; the time limit ends the
// connection and records where it stopped.
class TScenario {
public:
  using TStep = std::function<bool()>; // true once the step is done

  TScenario &Then(const QString &what, TStep step);
  void Start(TMainTandrelForm &form, int timeoutMs = 30000);
  bool Finished() const { return FNext >= FSteps.size(); }
  // Records a failed expectation of a step; the test checks `failure` at the end.
  void Check(bool condition, const QString &what);

  QString failure;

private:
  void Tick();

  QList<QPair<QString, TStep>> FSteps;
  qsizetype FNext = 0;
  QTimer FTimer;
  QDeadlineTimer FDeadline;
  TMainTandrelForm *FForm = nullptr;
};

bool ProcessAlive(qint64 pid);

class TConnectionFixture {
public:
  // Connection type 1 for a device, 0 (with a phone number) for a modem.
  explicit TConnectionFixture(TSimProcess::TKind kind = TSimProcess::TKind::Device, const QStringList &simArgs = {},
                              TClock &clock = SystemClock(),
                              const QByteArray &setupIni = "[Devices]\r\nDEMO=prog\r\n");

  TMainTandrelForm &form() { return *fixture.form; }
  bool LogHas(const QString &text) const { return fixture.LogTexts().contains(text); }
  int LogCount(const QString &text) const { return int(fixture.LogTexts().count(text)); }
  bool Relaying() { return form().Relay().Running() && form().ConnectState() == csConnected; }
  QString CopyPath() const { return fixture.Path(QStringLiteral("run/tandrel/prog.exe")); }
  // Connects the loopback client once the server is up; true when connected.
  bool ClientConnected();
  QColor StatusColour() const;
  // A step that sends `bytes` from the client once and is done when the same
  // bytes came back (a mismatch is recorded in the scenario).
  TScenario::TStep Echoes(TScenario &scenario, const QByteArray &bytes);
  // A step that clicks the connect label once.
  TScenario::TStep Clicks();

  TSimProcess device;
  TMainFormFixture fixture;
  quint16 port = 0;
  std::unique_ptr<QTcpSocket> client;
};

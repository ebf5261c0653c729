#pragma once
// A session without any window, for connections to a simulated device or
// modem: settings and setup folders of its own, a setup program (a script
// that just waits) listed for the device key DEMO, the bridge on a free port,
// and every box recorded and closed by the user soon after.

#include "SimProcess.h"
#include "core/BridgeSettings.h"
#include "core/LogModel.h"
#include "core/Session.h"

#include <QList>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>

class TSessionFixture {
public:
  // Connection type 1 for a device, 0 (with a phone number) for a modem.
  explicit TSessionFixture(TSimProcess::TKind kind = TSimProcess::TKind::Device, const QStringList &simArgs = {},
                           TClock &clock = SystemClock(),
                           const QByteArray &setupIni = "[Devices]\r\nDEMO=prog\r\n");

  // The choices of a window set up for the device or modem.
  TConnectChoice Choice() const { return choice; }
  void Click() { session.URLLabel1Click(choice); }

  // The log's entries with their time stamps cut off.
  QStringList LogTexts() const;
  bool LogHas(const QString &text) const { return LogTexts().contains(text); }
  int LogCount(const QString &text) const { return int(LogTexts().count(text)); }
  bool Relaying() const { return session.Relay().Running() && session.State() == csConnected; }
  QString CopyPath() const { return Path(QStringLiteral("run/tandrel/prog.exe")); }
  QString StorePath() const { return Path(QStringLiteral("config/Tandrel.reg")); }
  QString SetupFolder() const { return Path(QStringLiteral("exe")); }
  QString Path(const QString &name) const { return FFolder.filePath(name); }
  // Puts a program beside setup.ini for it to name.
  bool AddProgram(const QString &name, const QByteArray &contents) const;
  // Connects the loopback client once the server is up; true when connected.
  bool ClientConnected();

private:
  QTemporaryDir FFolder;

public:
  TSimProcess device;
  TLogModel log;
  TBridgeSettings settings;
  TSession session;
  TConnectChoice choice;
  quint16 port = 0;
  std::unique_ptr<QTcpSocket> client;
  // The boxes shown, in order; while `closeBoxes` is false they stay up.
  QList<TPrompt> prompts;
  bool closeBoxes = true;

private:
  TSessionEnvironment Environment(TClock &clock);
};

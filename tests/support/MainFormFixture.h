#pragma once
// The wizard's four windows over a session in the test process, with a
// private settings file, an empty hardware port list, chosen extra ports and
// answered prompts.

#include "PromptRecorder.h"
#include "core/BridgeSettings.h"
#include "core/LogModel.h"
#include "core/Session.h"
#include "ui/COMSettingsUnit.h"
#include "ui/LOGUnit.h"
#include "ui/MainFormUnit.h"
#include "ui/TPCServerSettingsUnit.h"

#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class TMainFormFixture {
public:
  // `extraPorts` are offered after the (empty) hardware list; a non-empty
  // `storedSettings` is the settings file's text when the window starts.
  explicit TMainFormFixture(TClock &clock = SystemClock(), const QStringList &extraPorts = {},
                            const QByteArray &storedSettings = {});
  ~TMainFormFixture();

  QString StorePath() const { return FFolder.filePath(QStringLiteral("config/Korvel/Tandrel.reg")); }
  QString SetupFolder() const { return FFolder.filePath(QStringLiteral("exe/")); }
  QString Path(const QString &name) const { return FFolder.filePath(name); }
  // The log's entries with their time stamps cut off.
  QStringList LogTexts() const;

private:
  QTemporaryDir FFolder;

public:
  TPromptRecorder prompts;
  TLogModel logModel;
  TBridgeSettings settings;
  std::unique_ptr<TSession> session;
  std::unique_ptr<TMainTandrelForm> form;
  std::unique_ptr<TCOMSettingsForm> comSettings;
  std::unique_ptr<TTCPServerSettingsForm> tcpSettings;
  std::unique_ptr<TLOGForm> log;
};

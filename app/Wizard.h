#pragma once
// The wizard as the program builds it: the log, the bridge's settings, the
// session, and the four windows that show them.

#include "core/BridgeSettings.h"
#include "core/LogModel.h"
#include "core/Session.h"
#include "ui/COMSettingsUnit.h"
#include "ui/LOGUnit.h"
#include "ui/MainFormUnit.h"
#include "ui/TPCServerSettingsUnit.h"

class TWizard {
public:
  explicit TWizard(const TSessionEnvironment &environment);

  TLogModel log;
  TBridgeSettings settings;
  TSession session;
  TMainTandrelForm mainForm;
  TCOMSettingsForm comSettings;
  TTCPServerSettingsForm tcpSettings;
  TLOGForm logForm;
};

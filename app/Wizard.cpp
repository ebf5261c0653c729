#include "app/Wizard.h"

TWizard::TWizard(const TSessionEnvironment &environment)
    : session(environment, log, settings), mainForm(session, log, environment.portSystem, environment.storePath),
      comSettings(settings), tcpSettings(settings), logForm(log) {
  mainForm.AttachWindows(&comSettings, &tcpSettings, &logForm);
}

#include "app/Application.h"
#include "app/MainFormUnit.h"
#include "app/QuitRequests.h"
#include "platform/PrivateTempFolder.h"
#include "platform/SingleInstance.h"
#include "ui/COMSettingsUnit.h"
#include "ui/LOGUnit.h"
#include "ui/Prompts.h"
#include "ui/TPCServerSettingsUnit.h"

#include <QIcon>

int main(int argc, char *argv[]) {
  TTandrelApplication app(argc, argv);
  QGuiApplication::setDesktopFileName(QStringLiteral("tandrel"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("tandrel")));

  TSingleInstanceLock instance;
  const std::string lockFolder = PrivateTempFolder(nullptr);
  if (!lockFolder.empty() &&
      instance.Acquire(lockFolder, "TMainTandrelForm", CurrentDisplayName()) ==
          TSingleInstanceLock::TResult::HeldByAnother) {
    ShowPrompt(nullptr, QStringLiteral("Приложение уже запущено."), QStringLiteral("Предупреждение"),
               TPromptIcon::Warning);
    BringRunningInstanceForward("TMainTandrelForm");
    return 0;
  }

  TMainTandrelForm mainForm(TMainFormEnvironment::FromSystem());
  TCOMSettingsForm comSettings;
  TTCPServerSettingsForm tcpSettings;
  TLOGForm log;
  mainForm.AttachWindows(&comSettings, &tcpSettings, &log);
  const TQuitRequests quitRequests(&mainForm);
  mainForm.show();
  instance.PublishWindow(static_cast<std::uintptr_t>(mainForm.winId()));
  return app.exec();
}

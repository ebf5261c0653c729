#include "app/Application.h"
#include "app/QuitRequests.h"
#include "app/Wizard.h"
#include "platform/PrivateTempFolder.h"
#include "platform/SingleInstance.h"
#include "ui/Prompts.h"

#include <QIcon>

namespace {

// A second start says so and ends once the box is closed; on Windows the
// running window comes to the front.
int RefuseSecondInstance(TTandrelApplication &app) {
  ShowPrompt(nullptr,
             TPrompt{QStringLiteral("Приложение уже запущено."), QStringLiteral("Предупреждение"), TPromptIcon::Warning},
             [] {
               BringRunningInstanceForward("TMainTandrelForm");
               QCoreApplication::quit();
             });
  app.exec();
  return 0;
}

} // namespace

int main(int argc, char *argv[]) {
  TTandrelApplication app(argc, argv);
  QGuiApplication::setDesktopFileName(QStringLiteral("tandrel"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("tandrel")));

  TSingleInstanceLock instance;
  const std::string lockFolder = PrivateTempFolder(nullptr);
  if (!lockFolder.empty() &&
      instance.Acquire(lockFolder, "TMainTandrelForm", CurrentDisplayName()) ==
          TSingleInstanceLock::TResult::HeldByAnother)
    return RefuseSecondInstance(app);

  TWizard wizard(TSessionEnvironment::FromSystem());
  const TQuitRequests quitRequests(&wizard.mainForm);
  wizard.mainForm.show();
  instance.PublishWindow(static_cast<std::uintptr_t>(wizard.mainForm.winId()));
  return app.exec();
}

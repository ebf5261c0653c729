#include "app/Application.h"

#include "ui/Prompts.h"

#include <exception>

TTandrelApplication::TTandrelApplication(int &argc, char **argv) : QApplication(argc, argv) {}

bool TTandrelApplication::notify(QObject *receiver, QEvent *event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception &error) {
    ShowError(activeWindow(), QString::fromUtf8(error.what()));
  } catch (...) {
    ShowError(activeWindow(), QStringLiteral("Неизвестная ошибка"));
  }
  return false;
}

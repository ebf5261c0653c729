#include "app/Application.h"

#include "ui/Prompts.h"

#include <exception>

TTandrelApplication::TTandrelApplication(int &argc, char **argv) : QApplication(argc, argv) {}

bool TTandrelApplication::notify(QObject *receiver, QEvent *event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ReportCurrentError(activeWindow());
  }
  return false;
}

void ReportCurrentError(QWidget *owner) {
  try {
    throw;
  } catch (const std::exception &error) {
    ShowError(owner, QString::fromUtf8(error.what()));
  } catch (...) {
    ShowError(owner, QStringLiteral("Неизвестная ошибка"));
  }
}

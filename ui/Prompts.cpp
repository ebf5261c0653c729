#include "ui/Prompts.h"

#include <QMessageBox>

namespace {

class TMessageBoxPrompter : public TPrompter {
public:
  void Show(QWidget *owner, const TPrompt &prompt, std::function<void()> closed) override {
    QMessageBox::Icon icon = QMessageBox::Critical;
    if (prompt.icon == TPromptIcon::Warning)
      icon = QMessageBox::Warning;
    else if (prompt.icon == TPromptIcon::Information)
      icon = QMessageBox::Information;
    auto *box = new QMessageBox(icon, prompt.caption, prompt.text, QMessageBox::Ok, owner);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    if (closed)
      QObject::connect(box, &QMessageBox::finished, box, [closed](int) { closed(); });
    box->show();
  }
};

TMessageBoxPrompter gMessageBoxPrompter;
TPrompter *gPrompter = &gMessageBoxPrompter;

} // namespace

TPrompter *SetPrompter(TPrompter *prompter) {
  TPrompter *previous = gPrompter;
  gPrompter = prompter ? prompter : &gMessageBoxPrompter;
  return previous;
}

void ShowPrompt(QWidget *owner, const TPrompt &prompt, std::function<void()> closed) {
  gPrompter->Show(owner, prompt, std::move(closed));
}

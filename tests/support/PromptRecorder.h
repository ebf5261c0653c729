#pragma once
// Answers every message box at once and remembers what it showed.

#include "ui/Prompts.h"

#include <QList>

class TPromptRecorder : public TPrompter {
public:
  TPromptRecorder() { FPrevious = SetPrompter(this); }
  ~TPromptRecorder() override { SetPrompter(FPrevious); }
  void Show(QWidget *, const TPrompt &prompt) override { prompts.append(prompt); }

  QList<TPrompt> prompts;

private:
  TPrompter *FPrevious;
};

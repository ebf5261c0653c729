#pragma once
// Remembers every message box shown and closes it as a user would: soon
// after, from the event loop, never inside the call that showed it.

#include "ui/Prompts.h"

#include <QList>
#include <QObject>

class TPromptRecorder : public TPrompter {
public:
  TPromptRecorder() { FPrevious = SetPrompter(this); }
  ~TPromptRecorder() override { SetPrompter(FPrevious); }
  void Show(QWidget *, const TPrompt &prompt, std::function<void()> closed) override {
    prompts.append(prompt);
    if (closed)
      QMetaObject::invokeMethod(&FContext, std::move(closed), Qt::QueuedConnection);
  }

  QList<TPrompt> prompts;

private:
  TPrompter *FPrevious;
  QObject FContext; // a queued close is dropped with the recorder
};

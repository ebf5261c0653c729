#pragma once
// One seam for every message box, so that tests can answer them. Boxes are
// modal to the user but never to the program: the call returns at once, and
// `closed` runs once the user has closed the box.

#include "core/Prompt.h"

#include <functional>

class QWidget;

class TPrompter {
public:
  virtual ~TPrompter() = default;
  virtual void Show(QWidget *owner, const TPrompt &prompt, std::function<void()> closed) = 0;
};

// Routes ShowPrompt to `prompter` (nullptr restores the real message boxes);
// returns the one it replaces.
TPrompter *SetPrompter(TPrompter *prompter);

void ShowPrompt(QWidget *owner, const TPrompt &prompt, std::function<void()> closed = {});

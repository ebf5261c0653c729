#pragma once

#include <QFont>

class QWidget;

// Tahoma 8 pt where installed, else the system's sans serif at 8 pt.
QFont WizardFont();

// Gives a window a fixed client size that is at least `designed` and large
// enough for every child's size hint, and centres it on its screen.
void FixWindowSize(QWidget *window, QSize designed);

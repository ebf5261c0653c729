#include "Skip.h"

bool RunningUnderWine() { return false; }

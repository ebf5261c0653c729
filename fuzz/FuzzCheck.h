#pragma once
// Checks for the fuzz targets. A failed check prints what broke and aborts;
// libFuzzer reports that as a crash and keeps the input that caused it.

#include <QString>

// Ends the run unless `holds`.
void Check(bool holds, const char *what);
// Ends the run, showing both texts, unless they are equal.
void CheckEqual(const QString &actual, const QString &expected, const char *what);

#pragma once
// Whole files, read and written by the tests.

#include <QByteArray>
#include <QString>

// The file's bytes; empty when it cannot be read.
QByteArray ReadFile(const QString &path);
// Replaces the file with `bytes` in one step; false when that fails.
bool WriteFile(const QString &path, const QByteArray &bytes);

#pragma once
// The history of dialled phone numbers: the values phone1 … phone8 of the
// settings key, the most recently added new number first.

#include <QString>
#include <QStringList>

// Entries in index order; missing indexes leave no gap.
QStringList LoadPhoneHistory(const QString &storePath);

// Puts `number` at the top unless an entry equals it exactly (case and blanks
// count), then rewrites phone1 … phoneN, N = min(entries, 8). Values above
// phoneN are left as they are.
void StorePhoneNumber(const QString &storePath, const QString &number);

#include "core/PhoneHistory.h"

#include "core/RegStore.h"

#include <algorithm>

namespace {

constexpr int kPhoneHistorySize = 8;

QString PhoneValueName(int index)
{
  return QStringLiteral("phone%1").arg(index);
}

QStringList ReadHistory(const TRegistryKey &key)
{
  QStringList numbers;
  for (int i = 1; i <= kPhoneHistorySize; ++i) {
    const QString name = PhoneValueName(i);
    if (key.ValueExists(name))
      numbers.append(key.ReadString(name));
  }
  return numbers;
}

} // namespace

QStringList LoadPhoneHistory(const QString &storePath)
{
  return ReadHistory(TRegistryKey(storePath));
}

void StorePhoneNumber(const QString &storePath, const QString &number)
{
  TRegistryKey key(storePath);
  QStringList numbers = ReadHistory(key);
  if (!numbers.contains(number, Qt::CaseSensitive))
    numbers.prepend(number);
  const int count = std::min<int>(numbers.size(), kPhoneHistorySize);
  for (int i = 0; i < count; ++i)
    key.WriteString(PhoneValueName(i + 1), numbers[i]);
}

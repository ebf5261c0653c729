#pragma once
// The per-user settings key HKEY_CURRENT_USER\SOFTWARE\Korvel\Tandrel: the
// registry itself on Windows, a text file in the .reg export format elsewhere.

#include "platform/SettingsStore.h"

#include <QString>

#include <cstdint>
#include <memory>

// One open of the key. Closing the key is destroying the object.
class TRegistryKey {
public:
  // `storePath`: the .reg file, or on Windows the key's path under
  // HKEY_CURRENT_USER.
  explicit TRegistryKey(const QString &storePath = DefaultStorePath());
  ~TRegistryKey();
  TRegistryKey(const TRegistryKey &) = delete;
  TRegistryKey &operator=(const TRegistryKey &) = delete;

  // Value names compare case-insensitively, as in the registry. A read of a
  // missing value raises "Failed to get data for '%s'".
  bool ValueExists(const QString &name) const;
  QString ReadString(const QString &name) const;
  int32_t ReadInteger(const QString &name) const;
  void WriteString(const QString &name, const QString &value);
  void WriteInteger(const QString &name, int32_t value);

  // Windows: SOFTWARE\Korvel\Tandrel\. Elsewhere
  // $XDG_CONFIG_HOME/Korvel/Tandrel.reg, ~/.config when the variable is unset.
  static QString DefaultStorePath();

private:
  std::unique_ptr<TSettingsStore> FStore;
};

// This system's store at `storePath` (one backend file per OS).
std::unique_ptr<TSettingsStore> OpenSettingsStore(const QString &storePath);

// Moves a store that cannot be read aside, beside it under its own name with
// ".broken-" and the date and time appended, never over an earlier one, so
// that the next open starts an empty store. Returns where it went, or an
// empty text with the reason in `error`.
QString SetAsideBrokenStore(const QString &storePath, QString *error);

#pragma once
// The per-user settings key HKEY_CURRENT_USER\SOFTWARE\Korvel\Tandrel, kept in
// a text file in the .reg export format. Values are typed like registry
// values: text (REG_SZ, REG_EXPAND_SZ) and 32-bit integers (REG_DWORD); other
// kinds a user left in the file are kept and refused on reading.

#include <QString>

#include <cstdint>
#include <memory>
#include <stdexcept>

// what() is UTF-8 text meant for the user.
class TRegistryError : public std::runtime_error {
public:
  explicit TRegistryError(const QString &message);
};

struct TRegDocument;
struct TRegEntry;
struct TRegValue;

// One open of the key: the file (and its folder) is created when missing, its
// contents are read once, every write replaces the file atomically. Closing
// the key is destroying the object.
class TRegistryKey {
public:
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

  // $XDG_CONFIG_HOME/Korvel/Tandrel.reg, ~/.config when the variable is unset.
  static QString DefaultStorePath();

private:
  enum class TState { Loaded, Unreadable, Corrupt };

  void Load();
  const TRegValue *Find(const QString &name) const;
  void Write(const TRegEntry &entry);

  QString FPath;
  TState FState = TState::Loaded;
  int FCorruptLine = 0;
  std::unique_ptr<TRegDocument> FDocument;
};

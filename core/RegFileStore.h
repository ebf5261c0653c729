#pragma once
// The settings key kept in a text file in the .reg export format, for systems
// without a registry. Values are typed like registry values; other kinds a
// user left in the file are kept and refused on reading.

#include "platform/SettingsStore.h"

#include <QString>

#include <memory>

struct TRegDocument;
struct TRegEntry;
struct TRegValue;

// The file (and its folder) is created when missing, its contents are read
// once, every write replaces the file atomically.
class TRegFileStore : public TSettingsStore {
public:
  explicit TRegFileStore(const QString &path);
  ~TRegFileStore() override;
  TRegFileStore(const TRegFileStore &) = delete;
  TRegFileStore &operator=(const TRegFileStore &) = delete;

  bool ValueExists(const std::u16string &name) const override;
  std::u16string ReadString(const std::u16string &name) const override;
  int32_t ReadInteger(const std::u16string &name) const override;
  void WriteString(const std::u16string &name, const std::u16string &value) override;
  void WriteInteger(const std::u16string &name, int32_t value) override;

private:
  enum class TState { Loaded, Unreadable, Corrupt };

  void Load();
  const TRegValue *Find(const std::u16string &name) const;
  void Write(const TRegEntry &entry);

  QString FPath;
  TState FState = TState::Loaded;
  int FCorruptLine = 0;
  std::unique_ptr<TRegDocument> FDocument;
};

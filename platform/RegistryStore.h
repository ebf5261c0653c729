#pragma once
// The settings key in the Windows registry.

#include "platform/SettingsStore.h"

#include <memory>
#include <string>

// Opens HKEY_CURRENT_USER\<subKey>, creating it when missing.
std::unique_ptr<TSettingsStore> OpenRegistryStore(const std::u16string &subKey);

// Renames the key HKEY_CURRENT_USER\<subKey> (a trailing backslash allowed)
// to the first free one of <name><suffix>, <name><suffix>-2, ... beside it.
// Returns the new key's path under HKEY_CURRENT_USER, or an empty text with
// the system's reason in `error`.
std::u16string SetAsideRegistryKey(const std::u16string &subKey, const std::u16string &suffix, std::string *error);

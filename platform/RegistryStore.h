#pragma once
// The settings key in the Windows registry.

#include "platform/SettingsStore.h"

#include <memory>

// Opens HKEY_CURRENT_USER\<subKey>, creating it when missing.
std::unique_ptr<TSettingsStore> OpenRegistryStore(const std::u16string &subKey);

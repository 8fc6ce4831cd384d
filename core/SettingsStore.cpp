#include "core/SettingsStore.h"

#include "core/TerminalSettings.h"

#include "core/TerminalSession.h"

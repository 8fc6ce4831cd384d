#include "serial/EngineLink.h"

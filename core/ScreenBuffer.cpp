#include "core/ScreenBuffer.h"

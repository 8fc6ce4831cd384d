#include "core/Viewport.h"

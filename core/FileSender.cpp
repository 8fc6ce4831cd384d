#include "core/FileSender.h"

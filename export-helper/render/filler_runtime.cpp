#include "render/filler_runtime.h"

#include "render/subtitle_layout.h"

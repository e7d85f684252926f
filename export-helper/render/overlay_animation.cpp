#include "render/overlay_animation.h"

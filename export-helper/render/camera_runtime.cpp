#include "render/camera_runtime.h"

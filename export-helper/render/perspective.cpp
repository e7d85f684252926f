#include "render/perspective.h"

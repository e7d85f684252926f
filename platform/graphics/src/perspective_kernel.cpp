#include "vantrel/graphics/perspective.h"

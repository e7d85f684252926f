#include "vantrel/graphics/text.h"

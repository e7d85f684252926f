#include "render/annotation_paths.h"

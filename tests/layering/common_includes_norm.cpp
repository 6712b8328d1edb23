// A common helper reaching up into a method's folder.
#include "norm/reinhard.h"

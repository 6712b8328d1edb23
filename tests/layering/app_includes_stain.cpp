// A source of the driver reaching past the library's public headers into a method's folder.
#include "stain/norm_od_stain.h"

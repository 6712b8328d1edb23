// A source of the driver including a header of each folder the driver uses.
#include "cli/image_io.h"
#include "common/parallel_for.h"
#include "histonorm/histonorm.h"
#include "report/run_review.h"
#include "slide/normalise_slide.h"

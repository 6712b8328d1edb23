#pragma once
// histonorm: colour normalisation of stained tissue images, as a library.
//
//   #include <histonorm/histonorm.h>
//   histonorm::Options options;
//   options.colourModelPath = "he.model";  // needed by the stain method only
//   auto norm = histonorm::MakeNormaliser(*histonorm::ParseMethod("BimodalDeconvRVM"), options);
//   norm->CalcStats(target);                 // 8-bit BGR cv::Mat; call once per target image
//   const cv::Mat result = norm->Norm(source);
//
// In CMake: find_package(histonorm CONFIG REQUIRED) and link histonorm::histonorm.
// The library writes nothing to the console and no files: lines go to Options::log and the stain
// method's diagnostics to Options::diagnostics.
#include "histonorm/fitted_transform.h"
#include "histonorm/log_sink.h"
#include "histonorm/make_normaliser.h"
#include "histonorm/method.h"
#include "histonorm/model_load_error.h"
#include "histonorm/norm_base.h"
#include "histonorm/options.h"
#include "histonorm/result_check.h"
#include "histonorm/saved_target.h"
#include "histonorm/stain_diagnostics.h"
#include "histonorm/stain_params.h"

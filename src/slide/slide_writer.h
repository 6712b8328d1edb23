#pragma once
// Streaming a slide level through a colour transform into a pyramidal, tiled BigTIFF.
//
//   histonorm::slide::WriteSlide(slide, transform, "out.tif", {.tileSize = 512}, [](const Progress& p)
//   {...});
//
// The level is read and transformed a row of tiles at a time by libvips's worker threads, its tiles encoded
// on as many threads and written by libtiff, so the memory used depends on the tile size, the level's width
// and the thread count, not on the slide's size. The result: level 0 at full size, then each level half the
// one before, down to the first that fits in one tile. It carries what the source states: the resolution
// (as TIFF resolution tags and in the description), the magnification, and the associated images (label,
// macro, thumbnail) as images of their own, laid out so that OpenSlide reports them (openslide.mpp-x,
// openslide.objective-power, its associated images). Nothing is made up for what the source does not state.
#include <cstdint>
#include <functional>
#include <string>
#include <vips/vips8>

#include "histonorm/fitted_transform.h"
#include "slide/slide_reader.h"

namespace histonorm::slide {

struct WriteSettings {
  int level = 0;          // the slide level to write as level 0 of the result
  int tileSize = 512;     // the side of the square tiles, a multiple of 16
  int quality = 90;       // the JPEG quality, 1..100
  bool lossless = false;  // deflate instead of JPEG
  unsigned threads = 0;   // libvips's worker threads (process-wide) and the encoding threads; 0 = all cores
};

struct Progress {
  std::int64_t tilesDone = 0;
  std::int64_t tilesTotal = 0;
  double seconds = 0;      // since the writing started
  double secondsLeft = 0;  // estimated
  double megapixelsPerSecond = 0;
};
// Called at most twice a second while writing, and once at the end; never concurrently.
using ProgressCallback = std::function<void(const Progress&)>;

// requires: `image` has 3 unsigned 8-bit bands, red, green, blue; `transform` outlives the returned image
//           and everything made from it.
// ensures:  a lazily computed image of the same size and bands: `transform` applied to each region.
// throws:   SlideError.
[[nodiscard]] vips::VImage TransformImage(const vips::VImage& image, const FittedTransform& transform);

// requires: settings are in range (tileSize a positive multiple of 16, quality 1..100, a valid level).
// ensures:  `outputPath` holds the level, transformed, as a pyramidal tiled BigTIFF with the slide's
//           resolution, magnification and associated images. The file is written under a temporary name in
//           the same folder, flushed to the disk and renamed at the end, so `outputPath` is never left
//           half-written; the same inputs give the same bytes for any thread count.
// throws:   SlideError when reading or writing fails (a damaged tile, a full disk: what() says why);
//           nothing is left at `outputPath` then, and an earlier file there is unchanged.
void WriteSlide(const Slide& slide, const FittedTransform& transform, const std::string& outputPath,
                const WriteSettings& settings, const ProgressCallback& progress = {});

}  // namespace histonorm::slide

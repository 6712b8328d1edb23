#pragma once
// Writing a BigTIFF, one image (directory) after another, through libtiff onto an open file descriptor.
//
//   histonorm::slide::TiffOutput tiff(fd, "out.tif");
//   tiff.StartImage({.size = {1024, 512}, .tileSize = 512});
//   tiff.WriteRawTile(0, firstTile);  // tiles encoded by the caller
//   tiff.WriteRawTile(1, secondTile);
//   tiff.FinishImage();
//   tiff.Finish();
//
// Every read and write goes through this class's own calls on the descriptor, so a failure of the file
// system (a full disk, a file-size limit) is caught where it happens and reported with its reason; nothing
// is written to the console. After a failure the output is abandoned, never flushed again.
#include <tiffio.h>

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

namespace histonorm::slide {

enum class TileCompression {
  kJpeg,            // each tile a complete JPEG stream, YCbCr with 2 x 2 chroma subsampling
  kJpegFullChroma,  // the same without chroma subsampling
  kDeflate,         // each tile a zlib stream of its red, green, blue bytes
};

struct TiffImageHeader {
  cv::Size size;
  int tileSize = 0;  // the side of the square tiles; 0 for one strip, which WriteStrip compresses (deflate)
  TileCompression compression = TileCompression::kJpeg;  // of the tiles
  bool reduced = false;                                  // a reduced-resolution copy of an earlier image
  std::string description;                               // ImageDescription; none when empty
  std::optional<cv::Point2d> micronsPerPixel;            // written as pixels per centimetre when known
};

// What libtiff's calls on the descriptor share: the descriptor and the first failure's reason.
struct TiffIoState {
  int fd = -1;
  int ioError = 0;      // errno of the first failed read, write or seek
  std::string message;  // libtiff's first error message
};

class TiffOutput {
 public:
  // requires: fd is open for reading and writing on an empty file, and outlives this object.
  // throws:   SlideError when libtiff cannot start the file.
  TiffOutput(int fd, const std::string& name);
  // Frees libtiff's state without writing anything more (the file is then incomplete unless Finish ran).
  ~TiffOutput();
  TiffOutput(const TiffOutput&) = delete;
  TiffOutput& operator=(const TiffOutput&) = delete;
  TiffOutput(TiffOutput&&) = delete;
  TiffOutput& operator=(TiffOutput&&) = delete;

  // requires: no image started, or the last one finished.
  // throws:   SlideError.
  void StartImage(const TiffImageHeader& header);
  // requires: a tiled image started; `index` counts tiles in reading order; `bytes` is one encoded tile.
  // throws:   SlideError, with the file system's reason when the write failed.
  void WriteRawTile(std::uint32_t index, const std::vector<unsigned char>& bytes);
  // requires: a one-strip image started; `rgb` is CV_8UC3 red, green, blue of the header's size.
  // throws:   SlideError.
  void WriteStrip(const cv::Mat& rgb);
  // Writes the started image's directory. throws: SlideError.
  void FinishImage();
  // Flushes everything libtiff holds. throws: SlideError.
  void Finish();

 private:
  [[noreturn]] void Fail(const std::string& what) const;

  std::unique_ptr<TiffIoState> state_;
  TIFF* tiff_ = nullptr;
};

}  // namespace histonorm::slide

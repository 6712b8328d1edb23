#include "slide/tiff_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "slide/slide_reader.h"

namespace histonorm::slide {

namespace {

TiffIoState& State(thandle_t handle) { return *static_cast<TiffIoState*>(handle); }

void Remember(TiffIoState& state, int error) {
  if (state.ioError == 0) state.ioError = error;
}

tmsize_t ReadBytes(thandle_t handle, void* data, tmsize_t size) {
  TiffIoState& state = State(handle);
  auto* bytes = static_cast<char*>(data);
  tmsize_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(state.fd, bytes + done, static_cast<std::size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Remember(state, errno);
    if (n <= 0) break;
    done += n;
  }
  return done;
}

tmsize_t WriteBytes(thandle_t handle, void* data, tmsize_t size) {
  TiffIoState& state = State(handle);
  const auto* bytes = static_cast<const char*>(data);
  tmsize_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(state.fd, bytes + done, static_cast<std::size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Remember(state, n < 0 ? errno : ENOSPC);
      return -1;
    }
    done += n;
  }
  return done;
}

toff_t Seek(thandle_t handle, toff_t offset, int whence) {
  TiffIoState& state = State(handle);
  const off_t position = ::lseek(state.fd, static_cast<off_t>(offset), whence);
  if (position < 0) {
    Remember(state, errno);
    return static_cast<toff_t>(-1);
  }
  return static_cast<toff_t>(position);
}

int CloseNothing(thandle_t /*handle*/) { return 0; }  // the descriptor belongs to the caller

toff_t Size(thandle_t handle) {
  struct stat status {};
  return ::fstat(State(handle).fd, &status) == 0 ? static_cast<toff_t>(status.st_size) : 0;
}

int MapNothing(thandle_t /*handle*/, void** /*base*/, toff_t* /*size*/) { return 0; }
void UnmapNothing(thandle_t /*handle*/, void* /*base*/, toff_t /*size*/) {}

int KeepFirstError(TIFF* /*tiff*/, void* user, const char* /*module*/, const char* format,
                   va_list arguments) {
  auto& state = *static_cast<TiffIoState*>(user);
  if (state.message.empty()) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    state.message = text;
  }
  return 1;
}

int IgnoreWarning(TIFF* /*tiff*/, void* /*user*/, const char* /*module*/, const char* /*format*/,
                  va_list /*arguments*/) {
  return 1;
}

}  // namespace

TiffOutput::TiffOutput(int fd, const std::string& name) : state_(std::make_unique<TiffIoState>()) {
  state_->fd = fd;
  const std::unique_ptr<TIFFOpenOptions, decltype(&TIFFOpenOptionsFree)> options(TIFFOpenOptionsAlloc(),
                                                                                 &TIFFOpenOptionsFree);
  if (!options) throw SlideError("out of memory");
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), KeepFirstError, state_.get());
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), IgnoreWarning, nullptr);
  // "w8": a new BigTIFF, so that levels beyond 4 GiB fit.
  tiff_ = TIFFClientOpenExt(name.c_str(), "w8", state_.get(), ReadBytes, WriteBytes, Seek, CloseNothing, Size,
                            MapNothing, UnmapNothing, options.get());
  if (tiff_ == nullptr) Fail("cannot start the file");
}

TiffOutput::~TiffOutput() {
  if (tiff_ != nullptr) TIFFCleanup(tiff_);
}

void TiffOutput::Fail(const std::string& what) const {
  if (state_->ioError != 0) throw SlideError(std::strerror(state_->ioError));
  throw SlideError(state_->message.empty() ? what : state_->message);
}

void TiffOutput::StartImage(const TiffImageHeader& header) {
  TIFF* t = tiff_;
  const bool jpeg = header.tileSize > 0 && header.compression != TileCompression::kDeflate;
  const int chromaStep = header.compression == TileCompression::kJpeg ? 2 : 1;
  bool ok = TIFFSetField(t, TIFFTAG_SUBFILETYPE, header.reduced ? FILETYPE_REDUCEDIMAGE : 0) != 0 &&
            TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(header.size.width)) != 0 &&
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(header.size.height)) != 0 &&
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8) != 0 &&
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3) != 0 &&
            TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) != 0 &&
            TIFFSetField(t, TIFFTAG_COMPRESSION, jpeg ? COMPRESSION_JPEG : COMPRESSION_ADOBE_DEFLATE) != 0 &&
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, jpeg ? PHOTOMETRIC_YCBCR : PHOTOMETRIC_RGB) != 0;
  if (jpeg) ok = ok && TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, chromaStep, chromaStep) != 0;
  if (header.tileSize > 0) {
    ok = ok && TIFFSetField(t, TIFFTAG_TILEWIDTH, static_cast<std::uint32_t>(header.tileSize)) != 0 &&
         TIFFSetField(t, TIFFTAG_TILELENGTH, static_cast<std::uint32_t>(header.tileSize)) != 0;
  } else {
    ok = ok && TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(header.size.height)) != 0;
  }
  if (!header.description.empty())
    ok = ok && TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, header.description.c_str()) != 0;
  if (header.micronsPerPixel) {
    // Pixels per centimetre: 10,000 micrometres over the pixel's size.
    ok = ok && TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER) != 0 &&
         TIFFSetField(t, TIFFTAG_XRESOLUTION, 1e4 / header.micronsPerPixel->x) != 0 &&
         TIFFSetField(t, TIFFTAG_YRESOLUTION, 1e4 / header.micronsPerPixel->y) != 0;
  }
  if (!ok) Fail("cannot describe an image");
}

void TiffOutput::WriteRawTile(std::uint32_t index, const std::vector<unsigned char>& bytes) {
  const auto size = static_cast<tmsize_t>(bytes.size());
  // libtiff takes a non-const pointer but only reads the bytes.
  if (TIFFWriteRawTile(tiff_, index, const_cast<unsigned char*>(bytes.data()), size) != size)
    Fail("cannot write a tile");
}

void TiffOutput::WriteStrip(const cv::Mat& rgb) {
  const cv::Mat continuous = rgb.isContinuous() ? rgb : rgb.clone();
  const auto size = static_cast<tmsize_t>(continuous.total() * continuous.elemSize());
  if (TIFFWriteEncodedStrip(tiff_, 0, continuous.data, size) != size) Fail("cannot write an image");
}

void TiffOutput::FinishImage() {
  if (TIFFWriteDirectory(tiff_) == 0) Fail("cannot write an image's directory");
}

void TiffOutput::Finish() {
  if (TIFFFlush(tiff_) == 0 || state_->ioError != 0) Fail("cannot finish the file");
}

}  // namespace histonorm::slide

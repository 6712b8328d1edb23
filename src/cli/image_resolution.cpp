#include "cli/image_resolution.h"

#include <libexif/exif-data.h>
#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <opencv2/imgcodecs.hpp>

namespace histonorm::app {

namespace {

constexpr double kMetresPerInch = 0.0254;
constexpr double kMetresPerCentimetre = 0.01;

std::uint32_t BigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
std::uint16_t BigEndian16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
void PutBigEndian32(std::uint32_t value, std::uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}
void PutBigEndian16(std::uint16_t value, std::uint8_t* p) {
  p[0] = static_cast<std::uint8_t>(value >> 8);
  p[1] = static_cast<std::uint8_t>(value);
}

// Above a pixel per micrometre squared a thousand times, no scanner made the file: a damaged header.
constexpr double kMostPerMetre = 1e9;

std::optional<Resolution> Valid(Resolution r) {
  const auto sane = [](double v) { return std::isfinite(v) && v > 0 && v <= kMostPerMetre; };
  if (!sane(r.xPerMetre) || !sane(r.yPerMetre)) return std::nullopt;
  return r;
}

// PNG: signature, then chunks (length, type, data, CRC); pHYs comes before the first IDAT.
constexpr std::array<std::uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::size_t kPngChunkOverhead = 12;
constexpr std::uint32_t kPhysLength = 9;
constexpr std::uint8_t kPngUnitMetre = 1;

bool IsPng(const std::vector<std::uint8_t>& bytes) {
  return bytes.size() >= kPngSignature.size() &&
         std::equal(kPngSignature.begin(), kPngSignature.end(), bytes.begin());
}

std::optional<Resolution> ReadPng(const std::vector<std::uint8_t>& bytes) {
  std::size_t at = kPngSignature.size();
  while (at + kPngChunkOverhead <= bytes.size()) {
    const std::uint32_t length = BigEndian32(&bytes[at]);
    if (length > bytes.size() - at - kPngChunkOverhead) return std::nullopt;
    const std::uint8_t* type = &bytes[at + 4];
    const std::uint8_t* data = &bytes[at + 8];
    if (std::memcmp(type, "IDAT", 4) == 0) return std::nullopt;
    if (std::memcmp(type, "pHYs", 4) == 0) {
      if (length != kPhysLength || data[8] != kPngUnitMetre) return std::nullopt;
      return Valid(
          {static_cast<double>(BigEndian32(data)), static_cast<double>(BigEndian32(data + 4)), false});
    }
    at += kPngChunkOverhead + length;
  }
  return std::nullopt;
}

bool StampPng(const Resolution& r, std::vector<std::uint8_t>& bytes) {
  const std::size_t afterHeader = kPngSignature.size() + kPngChunkOverhead + 13;  // IHDR holds 13 bytes
  const double x = std::round(r.xPerMetre);
  const double y = std::round(r.yPerMetre);
  if (!IsPng(bytes) || bytes.size() < afterHeader || x < 1 || y < 1 || x > 0x7FFFFFFF || y > 0x7FFFFFFF)
    return false;
  std::array<std::uint8_t, kPngChunkOverhead + kPhysLength> chunk{};
  PutBigEndian32(kPhysLength, chunk.data());
  std::memcpy(&chunk[4], "pHYs", 4);
  PutBigEndian32(static_cast<std::uint32_t>(x), &chunk[8]);
  PutBigEndian32(static_cast<std::uint32_t>(y), &chunk[12]);
  chunk[16] = kPngUnitMetre;
  PutBigEndian32(static_cast<std::uint32_t>(crc32(0, &chunk[4], 4 + kPhysLength)), &chunk[17]);
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(afterHeader), chunk.begin(), chunk.end());
  return true;
}

// JPEG: the Exif data, else the JFIF APP0 segment right after the start of image: FF D8 FF E0, length,
// "JFIF\0", version, then the density unit (0 aspect only, 1 per inch, 2 per centimetre) and the two
// densities.
constexpr std::size_t kJfifUnit = 13;
constexpr std::size_t kJfifEnd = 18;

bool IsJfif(const std::vector<std::uint8_t>& bytes) {
  static constexpr std::array<std::uint8_t, 4> kStart = {0xFF, 0xD8, 0xFF, 0xE0};
  return bytes.size() >= kJfifEnd && std::equal(kStart.begin(), kStart.end(), bytes.begin()) &&
         std::memcmp(&bytes[6], "JFIF", 5) == 0;
}

// The resolution of the Exif data of a JPEG file (its first directory), which readers prefer to the
// JFIF density: cameras and many tools state it there only.
std::optional<Resolution> ReadExif(const std::vector<std::uint8_t>& bytes) {
  const std::unique_ptr<ExifData, decltype(&exif_data_unref)> exif(
      exif_data_new_from_data(bytes.data(),
                              static_cast<unsigned int>(std::min<std::size_t>(bytes.size(), 0xFFFFFFFF))),
      &exif_data_unref);
  if (!exif) return std::nullopt;
  ExifContent* first = exif->ifd[EXIF_IFD_0];
  const ExifEntry* x = exif_content_get_entry(first, EXIF_TAG_X_RESOLUTION);
  const ExifEntry* y = exif_content_get_entry(first, EXIF_TAG_Y_RESOLUTION);
  const auto rational = [](const ExifEntry* e) {
    return e != nullptr && e->format == EXIF_FORMAT_RATIONAL && e->size >= 8;
  };
  if (!rational(x) || !rational(y)) return std::nullopt;
  const ExifByteOrder order = exif_data_get_byte_order(exif.get());
  std::uint16_t unit = 2;  // per inch unless stated
  if (const ExifEntry* u = exif_content_get_entry(first, EXIF_TAG_RESOLUTION_UNIT);
      u != nullptr && u->format == EXIF_FORMAT_SHORT && u->size >= 2)
    unit = exif_get_short(u->data, order);
  if (unit != 2 && unit != 3) return std::nullopt;
  const auto value = [order](const ExifEntry* e) {
    const ExifRational r = exif_get_rational(e->data, order);
    return r.denominator == 0 ? 0.0 : static_cast<double>(r.numerator) / r.denominator;
  };
  const double metres = unit == 2 ? kMetresPerInch : kMetresPerCentimetre;
  return Valid({value(x) / metres, value(y) / metres, unit == 2});
}

bool IsJpeg(const std::vector<std::uint8_t>& bytes) {
  return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

std::optional<Resolution> ReadJpeg(const std::vector<std::uint8_t>& bytes) {
  if (std::optional<Resolution> exif = ReadExif(bytes)) return exif;
  if (!IsJfif(bytes)) return std::nullopt;
  const std::uint8_t unit = bytes[kJfifUnit];
  if (unit != 1 && unit != 2) return std::nullopt;
  const double metres = unit == 1 ? kMetresPerInch : kMetresPerCentimetre;
  return Valid(
      {BigEndian16(&bytes[kJfifUnit + 1]) / metres, BigEndian16(&bytes[kJfifUnit + 3]) / metres, unit == 1});
}

bool StampJfif(const Resolution& r, std::vector<std::uint8_t>& bytes) {
  if (!IsJfif(bytes)) return false;
  // Per centimetre when the densities per inch do not fit 16 bits.
  bool inches = r.inches;
  double x = std::round(r.xPerMetre * (inches ? kMetresPerInch : kMetresPerCentimetre));
  double y = std::round(r.yPerMetre * (inches ? kMetresPerInch : kMetresPerCentimetre));
  if (inches && std::max(x, y) > 0xFFFF) {
    inches = false;
    x = std::round(r.xPerMetre * kMetresPerCentimetre);
    y = std::round(r.yPerMetre * kMetresPerCentimetre);
  }
  if (x < 1 || y < 1 || std::max(x, y) > 0xFFFF) return false;
  bytes[kJfifUnit] = inches ? 1 : 2;
  PutBigEndian16(static_cast<std::uint16_t>(x), &bytes[kJfifUnit + 1]);
  PutBigEndian16(static_cast<std::uint16_t>(y), &bytes[kJfifUnit + 3]);
  return true;
}

// TIFF, read through libtiff from memory.
struct MemoryFile {
  const std::vector<std::uint8_t>* bytes = nullptr;
  toff_t at = 0;
};

tmsize_t ReadMemory(thandle_t handle, void* data, tmsize_t size) {
  auto& file = *static_cast<MemoryFile*>(handle);
  const toff_t left = file.bytes->size() - std::min<toff_t>(file.at, file.bytes->size());
  const auto n = static_cast<tmsize_t>(std::min<toff_t>(left, static_cast<toff_t>(size)));
  if (n > 0) std::memcpy(data, file.bytes->data() + file.at, static_cast<std::size_t>(n));
  file.at += static_cast<toff_t>(n);
  return n;
}
tmsize_t WriteNothing(thandle_t /*handle*/, void* /*data*/, tmsize_t /*size*/) { return -1; }
toff_t SeekMemory(thandle_t handle, toff_t offset, int whence) {
  auto& file = *static_cast<MemoryFile*>(handle);
  const toff_t base = whence == SEEK_CUR ? file.at : whence == SEEK_END ? file.bytes->size() : 0;
  file.at = base + offset;
  return file.at;
}
int CloseNothing(thandle_t /*handle*/) { return 0; }
toff_t MemorySize(thandle_t handle) { return static_cast<MemoryFile*>(handle)->bytes->size(); }
int MapNothing(thandle_t /*handle*/, void** /*base*/, toff_t* /*size*/) { return 0; }
void UnmapNothing(thandle_t /*handle*/, void* /*base*/, toff_t /*size*/) {}
int Quiet(TIFF* /*tiff*/, void* /*user*/, const char* /*module*/, const char* /*format*/, va_list /*args*/) {
  return 1;
}

bool IsTiff(const std::vector<std::uint8_t>& bytes) {
  return bytes.size() >= 4 && ((bytes[0] == 'I' && bytes[1] == 'I') || (bytes[0] == 'M' && bytes[1] == 'M'));
}

std::optional<Resolution> ReadTiff(const std::vector<std::uint8_t>& bytes) {
  const std::unique_ptr<TIFFOpenOptions, decltype(&TIFFOpenOptionsFree)> options(TIFFOpenOptionsAlloc(),
                                                                                 &TIFFOpenOptionsFree);
  if (!options) return std::nullopt;
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), Quiet, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), Quiet, nullptr);
  MemoryFile file{&bytes, 0};
  const std::unique_ptr<TIFF, decltype(&TIFFClose)> tiff(
      TIFFClientOpenExt("image", "r", &file, ReadMemory, WriteNothing, SeekMemory, CloseNothing, MemorySize,
                        MapNothing, UnmapNothing, options.get()),
      &TIFFClose);
  if (!tiff) return std::nullopt;
  float x = 0;
  float y = 0;
  std::uint16_t unit = RESUNIT_INCH;
  if (TIFFGetField(tiff.get(), TIFFTAG_XRESOLUTION, &x) == 0 ||
      TIFFGetField(tiff.get(), TIFFTAG_YRESOLUTION, &y) == 0)
    return std::nullopt;
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_RESOLUTIONUNIT, &unit);
  if (unit != RESUNIT_INCH && unit != RESUNIT_CENTIMETER) return std::nullopt;
  const double metres = unit == RESUNIT_INCH ? kMetresPerInch : kMetresPerCentimetre;
  return Valid({x / metres, y / metres, unit == RESUNIT_INCH});
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

}  // namespace

std::optional<Resolution> ReadResolution(const std::vector<std::uint8_t>& bytes) {
  if (IsPng(bytes)) return ReadPng(bytes);
  if (IsJpeg(bytes)) return ReadJpeg(bytes);
  if (IsTiff(bytes)) return ReadTiff(bytes);
  return std::nullopt;
}

bool StampResolution(const std::string& extension, const Resolution& resolution,
                     std::vector<std::uint8_t>& encoded) {
  const std::string lower = Lower(extension);
  if (lower == ".png") return StampPng(resolution, encoded);
  if (lower == ".jpg" || lower == ".jpeg" || lower == ".jpe") return StampJfif(resolution, encoded);
  return true;
}

std::vector<int> TiffResolutionParams(const Resolution& resolution) {
  const double metres = resolution.inches ? kMetresPerInch : kMetresPerCentimetre;
  return {cv::IMWRITE_TIFF_RESUNIT, resolution.inches ? RESUNIT_INCH : RESUNIT_CENTIMETER,
          cv::IMWRITE_TIFF_XDPI,    static_cast<int>(std::lround(resolution.xPerMetre * metres)),
          cv::IMWRITE_TIFF_YDPI,    static_cast<int>(std::lround(resolution.yPerMetre * metres))};
}

bool IsTiffExtension(const std::string& extension) {
  const std::string lower = Lower(extension);
  return lower == ".tif" || lower == ".tiff";
}

}  // namespace histonorm::app

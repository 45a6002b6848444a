#include "common/png.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>

namespace larkspire::png {
namespace {

// libpng reports errors by longjmp; nothing of ours with a destructor may live
// between setjmp and the calls that can jump, so the writer keeps plain data.
struct Sink {
  std::vector<std::uint8_t>* bytes;
};

void writeBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* sink = static_cast<Sink*>(png_get_io_ptr(png));
  sink->bytes->insert(sink->bytes->end(), data, data + length);
}

void flushBytes(png_structp) {}

// Warnings would go to stderr by default; the programs keep it clean.
void ignoreWarning(png_structp, png_const_charp) {}

void raiseError(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// The picture's rows and the form PNG stores them in: a filter-type byte,
// then the pixels. No filter is both the fastest and about the smallest
// choice on user interfaces (flat areas, text). Opaque pictures are stored
// as RGB: a 1600 x 1600 screenshot then fits in 8 MiB even when nothing
// compresses.
struct Picture {
  const RowSource* rows;
  std::size_t width;
  std::size_t height;
  bool opaque;
  ChannelOrder order;
  std::size_t rowBytes() const { return 1 + width * (opaque ? 3 : 4); }
};

// Rows [first, end) of the picture as stored, written at `out`; `scratch`
// is where the source may put its RGBA rows.
void storeRows(const Picture& picture, std::size_t first, std::size_t end, std::uint8_t* out,
               std::vector<std::uint8_t>& scratch) {
  if (end <= first) return;
  const std::size_t rgbaBytes = picture.width * 4;
  if (scratch.size() < (end - first) * rgbaBytes) scratch.resize((end - first) * rgbaBytes);
  const std::uint8_t* rgba = (*picture.rows)(static_cast<int>(first), static_cast<int>(end), scratch.data());
  const bool bgra = picture.order == ChannelOrder::bgra;
  for (std::size_t y = first; y < end; ++y) {
    const std::uint8_t* in = rgba + rgbaBytes * (y - first);
    *out++ = 0;
    if (!picture.opaque && !bgra) {
      std::memcpy(out, in, rgbaBytes);
      out += rgbaBytes;
      continue;
    }
    if (!picture.opaque) {
      for (std::size_t x = 0; x < picture.width; ++x, in += 4, out += 4) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
        out[3] = in[3];
      }
    } else if (bgra) {
      for (std::size_t x = 0; x < picture.width; ++x, in += 4, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
      }
    } else {
      for (std::size_t x = 0; x < picture.width; ++x, in += 4, out += 3) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
      }
    }
  }
}

// One part of the zlib stream: rows [first, end), stored and raw-deflated.
// Every part but the last ends on a byte boundary (a sync flush) without
// ending the stream, so the parts join into one stream; each starts from
// the 32 KiB of rows before it as its dictionary, so splitting costs next
// to nothing in size.
struct Part {
  std::size_t first = 0;
  std::size_t end = 0;
  bool last = false;
  std::vector<std::uint8_t> deflated;
  uLong adler = 0;
  bool ok = false;
};

void deflatePart(const Picture& picture, int level, Part& part) {
  // Rows are stored and deflated a block at a time: buffers as large as
  // the picture would cost a page fault every few kilobytes.
  constexpr std::size_t kWindow = 32768;
  constexpr std::size_t kBlock = 65536;
  const std::size_t rowBytes = picture.rowBytes();
  const std::size_t rowsAtOnce = std::max<std::size_t>(1, kBlock / rowBytes);
  std::vector<std::uint8_t> block(rowsAtOnce * rowBytes);
  std::vector<std::uint8_t> out(kBlock);
  std::vector<std::uint8_t> scratch;

  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return;
  bool ok = true;
  const std::size_t before = std::min(part.first, (kWindow + rowBytes - 1) / rowBytes);
  if (before > 0) {
    std::vector<std::uint8_t> dictionary(before * rowBytes);
    storeRows(picture, part.first - before, part.first, dictionary.data(), scratch);
    const std::size_t window = std::min(dictionary.size(), kWindow);
    ok = deflateSetDictionary(&stream, dictionary.data() + dictionary.size() - window, static_cast<uInt>(window)) ==
         Z_OK;
  }
  uLong adler = adler32(0, nullptr, 0);
  int result = Z_OK;
  for (std::size_t y = part.first; ok && y < part.end;) {
    const std::size_t rows = std::min(rowsAtOnce, part.end - y);
    storeRows(picture, y, y + rows, block.data(), scratch);
    adler = adler32(adler, block.data(), static_cast<uInt>(rows * rowBytes));
    y += rows;
    const int flush = y < part.end ? Z_NO_FLUSH : part.last ? Z_FINISH : Z_SYNC_FLUSH;
    stream.next_in = block.data();
    stream.avail_in = static_cast<uInt>(rows * rowBytes);
    do {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      result = deflate(&stream, flush);
      if (result == Z_STREAM_ERROR) ok = false;
      part.deflated.insert(part.deflated.end(), out.data(), out.data() + (out.size() - stream.avail_out));
    } while (ok && stream.avail_out == 0);
  }
  deflateEnd(&stream);
  part.adler = adler;
  part.ok = ok && stream.avail_in == 0 && (!part.last || result == Z_STREAM_END);
}

// The zlib stream of the picture's stored rows, made in parts on as many
// threads as there are cores (up to four) when the picture is large enough
// to be worth it. None when it is too large for one pass of zlib or zlib
// fails. libpng deflates on one thread: on the widget factory's 1600 x 867
// picture that took 11.6 ms of an observe, in two parts 8.8 ms (medians of
// 20 interleaved runs on two cores). Other encoders and strategies were
// measured before: libdeflate was no faster once the rest of the work was
// counted, and zlib's Sub or Up filters, RLE, Huffman-only or filtered
// strategies were as slow or slower and up to six times larger.
std::optional<std::vector<std::uint8_t>> compressedRows(const Picture& picture, int level) {
  constexpr std::size_t kPartAtLeast = 512 * 1024;
  const std::size_t total = picture.rowBytes() * picture.height;
  if (total > std::numeric_limits<uInt>::max() / 2) return std::nullopt;
  const std::size_t cores = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
  const std::size_t count = std::clamp<std::size_t>(total / kPartAtLeast, 1, std::min(cores, picture.height));
  std::vector<Part> parts(count);
  for (std::size_t k = 0; k < count; ++k) {
    parts[k].first = picture.height * k / count;
    parts[k].end = picture.height * (k + 1) / count;
    parts[k].last = k + 1 == count;
  }
  std::vector<std::thread> helpers;
  for (std::size_t k = 1; k < count; ++k) {
    try {
      helpers.emplace_back(deflatePart, std::cref(picture), level, std::ref(parts[k]));
    } catch (const std::system_error&) {
      deflatePart(picture, level, parts[k]);  // no thread to spare
    }
  }
  deflatePart(picture, level, parts[0]);
  for (auto& helper : helpers) helper.join();

  // The zlib header (deflate, 32 KiB window, the level's class, the check
  // bits), the parts, then the Adler-32 of all the stored rows.
  const unsigned method = 0x78;
  unsigned flags = (level <= 1 ? 0u : level <= 5 ? 1u : level == 6 ? 2u : 3u) << 6;
  flags += 31 - (method * 256 + flags) % 31;
  std::vector<std::uint8_t> stream{static_cast<std::uint8_t>(method), static_cast<std::uint8_t>(flags)};
  uLong adler = adler32(0, nullptr, 0);
  for (const Part& part : parts) {
    if (!part.ok) return std::nullopt;
    stream.insert(stream.end(), part.deflated.begin(), part.deflated.end());
    adler = adler32_combine(adler, part.adler, static_cast<z_off_t>((part.end - part.first) * picture.rowBytes()));
  }
  for (int shift = 24; shift >= 0; shift -= 8) stream.push_back(static_cast<std::uint8_t>(adler >> shift));
  return stream;
}

// libpng writes the signature and the chunks around the image data, which
// is compressed here.
bool encodeInto(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& idat, int width, int height,
                bool opaque) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, raiseError, ignoreWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  Sink sink{&out};
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &sink, writeBytes, flushBytes);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_chunk(png, reinterpret_cast<png_const_bytep>("IDAT"), idat.data(), idat.size());
  png_write_chunk(png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
  png_destroy_write_struct(&png, &info);
  return true;
}

// Whether a picture of this size can be encoded, known before any pixel is
// read: PNG allows 2^31-1 per side, the row size must also fit in memory
// sizes, and libpng has limits of its own.
bool encodable(int width, int height) {
  if (width <= 0 || height <= 0) return false;
  if (static_cast<std::size_t>(width) > std::numeric_limits<std::size_t>::max() / 4 / static_cast<std::size_t>(height))
    return false;
  return width <= PNG_USER_WIDTH_MAX && height <= PNG_USER_HEIGHT_MAX;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> encodePng(const RowSource& rows, int width, int height, bool opaque,
                                                   int compressionLevel, ChannelOrder order) {
  if (!rows || !encodable(width, height)) return std::nullopt;
  const Picture picture{&rows, static_cast<std::size_t>(width), static_cast<std::size_t>(height), opaque, order};
  auto idat = compressedRows(picture, std::clamp(compressionLevel, 0, 9));
  if (!idat || idat->size() > PNG_UINT_31_MAX) return std::nullopt;
  std::vector<std::uint8_t> out;
  if (!encodeInto(out, *idat, width, height, opaque)) return std::nullopt;
  return out;
}

bool isOpaque(const std::uint8_t* rgba, std::size_t pixels) {
  for (std::size_t i = 0; i < pixels; ++i) {
    if (rgba[i * 4 + 3] != 255) return false;
  }
  return true;
}

std::optional<std::vector<std::uint8_t>> encodePng(const std::uint8_t* rgba, int width, int height,
                                                   int compressionLevel) {
  if (!rgba || !encodable(width, height)) return std::nullopt;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  const bool opaque = isOpaque(rgba, static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  const RowSource rows = [rgba, rowBytes](int first, int, std::uint8_t*) {
    return rgba + static_cast<std::size_t>(first) * rowBytes;
  };
  return encodePng(rows, width, height, opaque, compressionLevel);
}

}  // namespace larkspire::png

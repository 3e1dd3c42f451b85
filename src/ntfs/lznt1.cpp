#include "ntfs/lznt1.h"

#include <algorithm>
#include <cstring>

#include "storage/byte_view.h"

namespace velmora::ntfs {

namespace {

constexpr size_t kChunkOutput = 4096;

// Decodes the tokens of one compressed chunk; `dst` is the chunk's output start.
bool DecodeChunk(const uint8_t* src, size_t src_size, uint8_t* dst, size_t dst_room,
                 size_t* written) {
  size_t in = 0;
  size_t pos = 0;
  while (in < src_size) {
    const uint8_t flags = src[in++];
    for (int bit = 0; bit < 8 && in < src_size; ++bit) {
      if ((flags & (1u << bit)) == 0) {
        if (pos >= dst_room) {
          *written = pos;
          return false;
        }
        dst[pos++] = src[in++];
        continue;
      }
      if (src_size - in < 2) {
        *written = pos;
        return false;
      }
      const uint16_t token = ByteView({src, src_size}).Le16(in).value_or(0);
      in += 2;
      if (pos == 0) {
        *written = pos;
        return false;
      }
      // The split between offset and length bits moves as the position grows.
      unsigned length_bits = 12;
      for (size_t p = pos - 1; p >= 0x10; p >>= 1) --length_bits;
      const size_t back = (token >> length_bits) + 1u;
      const size_t length = (token & ((1u << length_bits) - 1u)) + 3u;
      if (back > pos || length > dst_room - pos) {
        *written = pos;
        return false;
      }
      for (size_t i = 0; i < length; ++i, ++pos) dst[pos] = dst[pos - back];
    }
  }
  *written = pos;
  return true;
}

}  // namespace

bool DecompressLznt1(std::span<const uint8_t> in, std::span<uint8_t> out, size_t* produced) {
  size_t src = 0;
  size_t dst = 0;
  *produced = 0;
  while (src + 2 <= in.size() && dst < out.size()) {
    const uint16_t header = ByteView(in).Le16(src).value_or(0);
    if (header == 0) break;
    const size_t data_size = (header & 0x0FFFu) + 1u;
    src += 2;
    if (data_size > in.size() - src) return false;
    const size_t room = std::min(kChunkOutput, out.size() - dst);
    if ((header & 0x8000u) == 0) {
      // Stored chunk: the bytes as they are.
      const size_t n = std::min(data_size, room);
      std::memcpy(out.data() + dst, in.data() + src, n);
      dst += n;
      *produced = dst;
    } else {
      size_t written = 0;
      const bool ok = DecodeChunk(in.data() + src, data_size, out.data() + dst, room, &written);
      // A chunk that ends short stands for a full 4096 bytes; the rest are zeros.
      const bool more =
          src + data_size + 2 <= in.size() && (in[src + data_size] | in[src + data_size + 1]) != 0;
      if (more && written < room) {
        std::memset(out.data() + dst + written, 0, room - written);
        written = room;
      }
      dst += written;
      *produced = dst;
      if (!ok) return false;
    }
    src += data_size;
  }
  return true;
}

}  // namespace velmora::ntfs

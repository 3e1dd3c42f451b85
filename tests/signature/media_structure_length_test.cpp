// ISO base-media box chains and Matroska segments measured from their own structure,
// planted in an image with random data and a boundary after them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "carve_test_support.h"
#include "storage/error_codes.h"
#include "support/planted_image.h"

namespace velmora {
namespace {

using testing::PlantedFile;
using testing::PlantedImage;
using Bytes = std::vector<uint8_t>;

void PutBe(Bytes* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void Append(Bytes* out, const Bytes& more) { out->insert(out->end(), more.begin(), more.end()); }

// A box of `size` bytes in all, its payload filled with `fill`.
Bytes Box(const char* type, uint32_t size, uint8_t fill = 0x5A) {
  Bytes box;
  PutBe(&box, size, 4);
  box.insert(box.end(), type, type + 4);
  box.resize(std::max<size_t>(size, 8), fill);
  return box;
}

// A box with a 64-bit size field.
Bytes LargeBox(const char* type, uint64_t size, size_t stored_bytes, uint8_t fill = 0x5A) {
  Bytes box;
  PutBe(&box, 1, 4);
  box.insert(box.end(), type, type + 4);
  PutBe(&box, size, 8);
  box.resize(stored_bytes, fill);
  return box;
}

Bytes FileType(const char* brand) {
  Bytes box;
  PutBe(&box, 20, 4);
  const std::string text = std::string("ftyp") + brand + std::string("\0\0\0\0", 4) + brand;
  box.insert(box.end(), text.begin(), text.end());
  return box;
}

// ftyp, wide, mdat, moov as a camera writes them.
Bytes QuickTimeMovie() {
  Bytes movie = FileType("qt  ");
  Append(&movie, Box("wide", 8));
  Append(&movie, Box("mdat", 3000, 0x77));
  Append(&movie, Box("moov", 700, 0x33));
  return movie;
}

struct Carved {
  int status;
  CarveResult result;
  uint64_t to_boundary;
};

Carved CarvePlanted(const Bytes& file) {
  PlantedFile planted(file);
  Carved carved{};
  carved.status = planted.Carve(&carved.result);
  carved.to_boundary = planted.BytesToBoundary();
  return carved;
}

// Carves a file planted so that the image ends `file.size()` bytes after its start
// (rounded up to a whole sector).
CarveResult CarveAtImageEnd(const Bytes& file) {
  const uint64_t sectors =
      (file.size() + PlantedImage::kSectorSize - 1) / PlantedImage::kSectorSize;
  PlantedImage image(PlantedFile::kStart + sectors, 5);
  image.Plant(PlantedFile::kStart, file);
  CarveContext context = testing::CarvingContext();
  CarveResult result;
  EXPECT_EQ(IdentifyAndMeasure(context, PlantedImage::kSectorSize, image.Open(),
                               image.SectorData(PlantedFile::kStart), PlantedImage::kSectorSize,
                               PlantedFile::kStart, CarveProgress{}, &result),
            kSuccess);
  return result;
}

TEST(IsoBoxChainTest, EachIsoRowMeasuresTheChainExactly) {
  const Carved mov = CarvePlanted(QuickTimeMovie());
  ASSERT_EQ(mov.status, kSuccess);
  EXPECT_EQ(mov.result.type, 17);
  EXPECT_EQ(mov.result.length, QuickTimeMovie().size());

  Bytes phone = FileType("3gp4");
  Append(&phone, Box("moov", 900));
  Append(&phone, Box("free", 8));
  Append(&phone, Box("mdat", 5000, 0x99));
  const Carved three_gp = CarvePlanted(phone);
  EXPECT_EQ(three_gp.result.type, 16);
  EXPECT_EQ(three_gp.result.length, phone.size());

  Bytes mp4 = FileType("isom");
  Append(&mp4, Box("mdat", 4321, 0x44));
  Append(&mp4, Box("moov", 600));
  Append(&mp4, Box("udta", 40));
  const Carved iso = CarvePlanted(mp4);
  EXPECT_EQ(iso.result.type, 18);
  EXPECT_EQ(iso.result.length, mp4.size());
}

TEST(IsoBoxChainTest, SixtyFourBitSizeIsFollowed) {
  Bytes movie = FileType("qt  ");
  Append(&movie, LargeBox("mdat", 70000, 70000, 0x11));
  Append(&movie, Box("moov", 500));
  const Carved carved = CarvePlanted(movie);
  EXPECT_EQ(carved.result.length, movie.size());
}

TEST(IsoBoxChainTest, ManySmallBoxesAcrossReadWindows) {
  Bytes movie = FileType("qt  ");
  Append(&movie, Box("moov", 500));
  for (int i = 0; i < 12000; ++i) Append(&movie, Box(i % 2 ? "free" : "skip", 8));
  Append(&movie, Box("mdat", 3333, 0x21));
  const Carved carved = CarvePlanted(movie);
  EXPECT_EQ(carved.result.length, movie.size());
}

TEST(IsoBoxChainTest, HeadersAcrossSectorAndWindowEdgesAreRead) {
  // A 64-bit header split by a sector edge, then one split by the 4 KiB read window's edge.
  for (const uint64_t edge : {uint64_t{512}, uint64_t{4096}}) {
    Bytes movie = FileType("qt  ");
    Append(&movie, Box("moov", 300));
    Append(&movie, Box("free", static_cast<uint32_t>(edge - 6 - movie.size())));
    ASSERT_EQ(movie.size(), edge - 6);
    Append(&movie, LargeBox("mdat", 6000, 6000, 0x11));
    Append(&movie, Box("udta", 40));
    const Carved carved = CarvePlanted(movie);
    EXPECT_EQ(carved.result.length, movie.size()) << "edge " << edge;
  }
}

TEST(IsoBoxChainTest, WhatIsNotATopLevelBoxEndsTheFile) {
  const Bytes movie = QuickTimeMovie();

  Bytes unknown_type = movie;
  Append(&unknown_type, Box("abcd", 64));
  Append(&unknown_type, Box("free", 64));
  EXPECT_EQ(CarvePlanted(unknown_type).result.length, movie.size());

  Bytes too_small = movie;
  Append(&too_small, Box("free", 7));
  Append(&too_small, Box("free", 64));
  EXPECT_EQ(CarvePlanted(too_small).result.length, movie.size());

  Bytes large_too_small = movie;
  Append(&large_too_small, LargeBox("free", 15, 16));
  Append(&large_too_small, Box("free", 64));
  EXPECT_EQ(CarvePlanted(large_too_small).result.length, movie.size());
}

TEST(IsoBoxChainTest, OtherFilesInsideTheMediaDataDoNotEndIt) {
  // Motion-JPEG frames start with a picture header, often on a sector boundary.
  Bytes movie = QuickTimeMovie();
  std::copy_n("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10, movie.begin() + 1024);
  ASSERT_EQ(std::string(movie.begin() + 32, movie.begin() + 36), "mdat");
  const Carved carved = CarvePlanted(movie);
  EXPECT_EQ(carved.result.length, movie.size());
}

TEST(IsoBoxChainTest, FileSystemStructureInsideEndsTheFileThere) {
  // A file record in the middle of the media data: the file is not stored in one piece,
  // and carving over the record would hide it from the scan.
  Bytes movie = QuickTimeMovie();
  std::copy_n("FILE0", 5, movie.begin() + 3 * 512);
  const Carved mov = CarvePlanted(movie);
  EXPECT_EQ(mov.result.length, 3u * 512);

  Bytes matroska = {0x1A, 0x45, 0xDF, 0xA3, 0x80 | 4, 0x42,        0x86, 0x81,
                    0x01, 0x18, 0x53, 0x80, 0x67,     0x40 | 0x10, 0x00};  // 4096-byte segment
  matroska.resize(matroska.size() + 4096, 0x2B);
  std::copy_n("INDX(", 5, matroska.begin() + 5 * 512);
  EXPECT_EQ(CarvePlanted(matroska).result.length, 5u * 512);
}

TEST(IsoBoxChainTest, BoxPastTheSourceEndIsCutThere) {
  Bytes movie = FileType("qt  ");
  Append(&movie, Box("moov", 400));
  Append(&movie, Box("wide", 8));
  Bytes media = Box("mdat", 100000, 0x66);
  media.resize(1500);  // the image ends inside the media data
  Append(&movie, media);
  const CarveResult result = CarveAtImageEnd(movie);
  EXPECT_EQ(result.type, 17);
  EXPECT_EQ(result.uncut_length, 20u + 400 + 8 + 100000);
  EXPECT_EQ(result.length, 4u * 512) << "the image's last byte";

  // A hostile 64-bit size runs to the cap, then is cut in the same way.
  Bytes hostile = FileType("qt  ");
  Append(&hostile, Box("moov", 400));
  Append(&hostile, LargeBox("mdat", ~uint64_t{0}, 1000));
  const CarveResult cut = CarveAtImageEnd(hostile);
  EXPECT_EQ(cut.uncut_length, 4ull * 1024 * 1024 * 1024);
  EXPECT_EQ(cut.length, 3u * 512);
}

TEST(IsoBoxChainTest, TruncatedHeaderAtTheSourceEndEndsTheFileBeforeIt) {
  // The last eight bytes of the image announce a 64-bit size that is not there.
  Bytes movie = FileType("qt  ");
  Append(&movie, Box("moov", 400));
  Append(&movie, Box("mdat", 1024 - 20 - 400 - 8, 0x42));
  ASSERT_EQ(movie.size(), 1024u - 8);
  Bytes header;
  PutBe(&header, 1, 4);
  header.insert(header.end(), {'f', 'r', 'e', 'e'});
  Append(&movie, header);
  const CarveResult result = CarveAtImageEnd(movie);
  EXPECT_EQ(result.length, 1024u - 8);
}

TEST(IsoBoxChainTest, ChainsThatCannotBeTrustedKeepTheBoundaryRule) {
  Bytes no_movie_box = FileType("qt  ");
  Append(&no_movie_box, Box("mdat", 3000));
  Append(&no_movie_box, Box("free", 100));
  const Carved without_moov = CarvePlanted(no_movie_box);
  EXPECT_EQ(without_moov.result.type, 17);
  EXPECT_EQ(without_moov.result.length, without_moov.to_boundary);

  Bytes no_media_data = FileType("3gp5");
  Append(&no_media_data, Box("moov", 3000));
  const Carved without_mdat = CarvePlanted(no_media_data);
  EXPECT_EQ(without_mdat.result.type, 16);
  EXPECT_EQ(without_mdat.result.length, without_mdat.to_boundary);

  // A size of zero runs to the end of the file, which the structure cannot tell.
  Bytes open_ended = FileType("qt  ");
  Append(&open_ended, Box("moov", 300));
  Append(&open_ended, Box("mdat", 2000));
  open_ended[20 + 300 + 3] = 0;
  open_ended[20 + 300 + 2] = 0;
  const Carved to_end = CarvePlanted(open_ended);
  EXPECT_EQ(to_end.result.length, to_end.to_boundary);

  // Recognised by "moov" at offset 0: no file-type box starts the chain.
  Bytes bare = Box("wide", 8);
  std::copy_n("moov", 4, bare.begin());
  Append(&bare, Box("mdat", 2000));
  Append(&bare, Box("moov", 300));
  const Carved headless = CarvePlanted(bare);
  EXPECT_EQ(headless.result.type, 17);
  EXPECT_EQ(headless.result.length, headless.to_boundary);
}

TEST(IsoBoxChainTest, Mp4WithoutATrustedChainKeepsTheEncoderMarkerRule) {
  Bytes mp4 = FileType("isom");
  Append(&mp4, Box("mdat", 2000, 0x10));
  const std::string marker = "freeIsoMedia File Produced by test";
  mp4.insert(mp4.end(), marker.begin(), marker.end());
  const Carved carved = CarvePlanted(mp4);
  EXPECT_EQ(carved.result.type, 18);
  EXPECT_EQ(carved.result.length, mp4.size());
}

// EBML header element, then a Segment element with an eight-byte size field.
Bytes Matroska(uint64_t segment_size_field, size_t segment_stored_bytes) {
  Bytes file = {0x1A, 0x45, 0xDF, 0xA3, 0x80 | 20};
  file.resize(file.size() + 20, 0x42);
  Append(&file, {0x18, 0x53, 0x80, 0x67, 0x01});
  PutBe(&file, segment_size_field, 7);
  file.resize(file.size() + segment_stored_bytes, 0x1F);
  return file;
}

TEST(MatroskaSegmentTest, KnownSegmentSizeGivesTheExactLength) {
  const Bytes file = Matroska(9000, 9000);
  const Carved carved = CarvePlanted(file);
  ASSERT_EQ(carved.status, kSuccess);
  EXPECT_EQ(carved.result.type, 19);
  EXPECT_EQ(carved.result.length, file.size());

  // The shortest size field: one byte.
  Bytes small = {0x1A, 0x45, 0xDF, 0xA3, 0x84, 0x42, 0x86,
                 0x81, 0x01, 0x18, 0x53, 0x80, 0x67, 0x80 | 100};
  small.resize(small.size() + 100, 0x2B);
  EXPECT_EQ(CarvePlanted(small).result.length, small.size());
}

TEST(MatroskaSegmentTest, UnknownOrMissingSegmentKeepsTheBoundaryRule) {
  const Carved live = CarvePlanted(Matroska(0x00FFFFFFFFFFFFFF, 9000));  // unknown size
  EXPECT_EQ(live.result.type, 19);
  EXPECT_EQ(live.result.length, live.to_boundary);

  Bytes other_element = Matroska(9000, 9000);
  other_element[25] = 0x1F;  // not the Segment id
  const Carved missing = CarvePlanted(other_element);
  EXPECT_EQ(missing.result.length, missing.to_boundary);

  Bytes bad_size = Matroska(9000, 9000);
  bad_size[4] = 0x00;  // a size field cannot start with a zero byte
  const Carved malformed = CarvePlanted(bad_size);
  EXPECT_EQ(malformed.result.length, malformed.to_boundary);
}

TEST(MatroskaSegmentTest, SegmentPastTheSourceEndIsCutThere) {
  const CarveResult result = CarveAtImageEnd(Matroska(1000000, 2000));
  EXPECT_EQ(result.uncut_length, 37u + 1000000);
  EXPECT_EQ(result.length, 4u * 512);
}

// EBML header, Segment declaring `segment_size`, Info, then a Cluster of `blocks` SimpleBlocks
// of 1000 bytes whose size field claims `extra` bytes more than they fill.
Bytes WalkableMatroska(uint64_t segment_size, int blocks, uint64_t extra, size_t* cluster_data) {
  Bytes file = {0x1A, 0x45, 0xDF, 0xA3, 0x80 | 4, 0x42, 0x86, 0x81, 0x01};
  Append(&file, {0x18, 0x53, 0x80, 0x67, 0x01});
  PutBe(&file, segment_size, 7);
  Append(&file, {0x15, 0x49, 0xA9, 0x66, 0x80 | 3, 0x2A, 0xD7, 0xB1});  // Info
  const uint64_t filled = 3 + static_cast<uint64_t>(blocks) * 1003;
  Append(&file, {0x1F, 0x43, 0xB6, 0x75, 0x10});  // Cluster, four-byte size
  PutBe(&file, filled + extra, 3);
  *cluster_data = file.size();
  Append(&file, {0xE7, 0x81, 0x00});  // Timecode
  for (int i = 0; i < blocks; ++i) {
    Append(&file, {0xA3, 0x43, 0xE8});  // SimpleBlock of 1000 bytes
    file.resize(file.size() + 1000, static_cast<uint8_t>(0x30 + i));
  }
  return file;
}

// The start of a longer file (the rest overwritten) still declares the whole Segment: it ends
// where its elements stop, not 50 MB on over whatever follows.
TEST(MatroskaSegmentTest, ACutFileEndsWhereItsElementsStop) {
  size_t cluster_data = 0;
  Bytes whole = WalkableMatroska(0, 3, 0, &cluster_data);
  const uint64_t children = whole.size() - 17;  // after the Segment header
  whole = WalkableMatroska(children, 3, 0, &cluster_data);
  ASSERT_EQ(whole.size(), 17 + children);
  const Carved complete = CarvePlanted(whole);
  EXPECT_EQ(complete.result.length, whole.size()) << "elements that fill the Segment: its size";

  Bytes cut = WalkableMatroska(50 << 20, 3, 6 * 1003, &cluster_data);
  const size_t third_block = cluster_data + 3 + 2 * 1003;
  cut.resize(third_block + 500);  // cut inside the third block
  const Carved carved = CarvePlanted(cut);
  ASSERT_EQ(carved.status, kSuccess);
  EXPECT_EQ(carved.result.type, 19);
  EXPECT_EQ(carved.result.length, third_block + 1003) << "the cut block, not the declared 50 MB";

  // Cut just after a whole cluster: the file ends with it.
  Bytes after_cluster = WalkableMatroska(50 << 20, 2, 0, &cluster_data);
  EXPECT_EQ(CarvePlanted(after_cluster).result.length, after_cluster.size());
}

// Tiny elements through the whole Segment are followed only so far: at the limit the walk gives
// up and the declared size stands; one element fewer, it ends where they stop.
TEST(MatroskaSegmentTest, AWalkOfTinyElementsStopsAtItsLimit) {
  for (const size_t voids : {size_t{199999}, size_t{200000}}) {
    Bytes file = {0x1A, 0x45, 0xDF, 0xA3, 0x80 | 4, 0x42, 0x86, 0x81, 0x01};
    Append(&file, {0x18, 0x53, 0x80, 0x67, 0x01});
    PutBe(&file, 50 << 20, 7);
    const size_t elements_at = file.size();
    for (size_t i = 0; i < voids; ++i) Append(&file, {0xEC, 0x80});  // empty Void elements
    const Carved carved = CarvePlanted(file);
    if (voids < 200000) {
      EXPECT_EQ(carved.result.length, elements_at + 2 * voids);
    } else {
      EXPECT_GT(carved.result.length, file.size() + 4096) << "the declared size stands";
    }
  }
}

}  // namespace
}  // namespace velmora

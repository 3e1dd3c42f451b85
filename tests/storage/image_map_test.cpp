// The image map's text: what is accepted, and hostile or damaged maps refused with a reason.
#include "storage/image_map.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

std::string Header(uint64_t sectors) {
  return "# velmora image map\nvelmora-image-map 1\nsector-size 512\nfirst-sector "
         "8\nsector-count " +
         std::to_string(sectors) + "\n";
}

TEST(ImageMapTest, MarkMergesAndTheTextRoundTrips) {
  ImageMap map;
  map.Reset(512, 8, 100);
  map.Mark(0, 10 * 512, MapStatus::kCopied);
  map.Mark(10 * 512, 2 * 512, MapStatus::kUnreadable);
  map.Mark(12 * 512, 88 * 512, MapStatus::kCopied);
  map.Mark(10 * 512, 512, MapStatus::kCopied);  // a retried sector that read
  ASSERT_EQ(map.ranges.size(), 3u);
  EXPECT_EQ(map.ranges[0].length, 11u * 512);
  EXPECT_EQ(map.ranges[1].status, MapStatus::kUnreadable);
  EXPECT_EQ(map.BytesWith(MapStatus::kUntried), 0u);
  map.Mark(99 * 512, 5 * 512, MapStatus::kUnreadable);  // clipped at the image's end
  EXPECT_EQ(map.ranges.back().offset + map.ranges.back().length, map.ImageBytes());

  ImageMap parsed;
  std::string error;
  ASSERT_TRUE(ParseImageMap(FormatImageMap(map), &parsed, &error)) << error;
  EXPECT_TRUE(parsed.SameCopyAs(map));
  ASSERT_EQ(parsed.ranges.size(), map.ranges.size());
  for (size_t i = 0; i < map.ranges.size(); ++i) {
    EXPECT_EQ(parsed.ranges[i].offset, map.ranges[i].offset);
    EXPECT_EQ(parsed.ranges[i].status, map.ranges[i].status);
  }
}

TEST(ImageMapTest, RangesMustTileTheImageExactly) {
  ImageMap map;
  std::string error;
  // A last range ending exactly at the image's end is whole; one sector further is refused.
  EXPECT_TRUE(ParseImageMap(Header(4) + "0 1024 +\n1024 1024 ?\n", &map, &error)) << error;
  EXPECT_FALSE(ParseImageMap(Header(4) + "0 1024 +\n1024 1536 ?\n", &map, &error));
  EXPECT_NE(error.find("passes the end"), std::string::npos) << error;
  EXPECT_FALSE(ParseImageMap(Header(4) + "0 1024 +\n", &map, &error));
  EXPECT_NE(error.find("incomplete"), std::string::npos) << error;
  EXPECT_FALSE(ParseImageMap(Header(4) + "0 1024 +\n512 1536 ?\n", &map, &error));
  EXPECT_FALSE(ParseImageMap(Header(4) + "0 1000 +\n1000 1048 ?\n", &map, &error));
}

TEST(ImageMapTest, HostileTextIsRefusedWithAReason) {
  ImageMap map;
  std::string error;
  const char* hostile[] = {
      "",
      "\x01\x02\xff garbage",
      "velmora-image-map 2\n",
      "velmora-image-map 1\nsector-size 511\nfirst-sector 0\nsector-count 1\n0 511 +\n",
      "velmora-image-map 1\nsector-size 512\nfirst-sector 0\nsector-count 18446744073709551615\n",
      "velmora-image-map 1\nsector-size 512\nfirst-sector 0\nsector-count 2\n0 1024 *\n",
      "velmora-image-map 1\nsector-size 512\nfirst-sector 0\nsector-count 2\n0 -512 +\n",
      "velmora-image-map 1\nsector-size 512\nfirst-sector 0\nsector-count 2\n0 "
      "99999999999999999999999 +\n",
      "velmora-image-map 1\nfirst-sector 0\nsector-size 512\nsector-count 2\n0 1024 +\n",
  };
  for (const char* text : hostile) {
    SCOPED_TRACE(text);
    error.clear();
    EXPECT_FALSE(ParseImageMap(text, &map, &error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace velmora

// The erosion pass: which pixels change, that every decision is taken on the
// source, the fixed border, and that only the exact values 0 and 255 count;
// the same tables through many passes in place.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "erode.h"
#include "gray_image.h"

namespace {

// '#' is 255, '.' is 0, 'h' is 128, 'n' is 254, 'o' is 1; one string a row,
// row 0 on top.
uint8_t value_of(char c) {
  switch (c) {
    case '#': return 255;
    case '.': return 0;
    case 'h': return 128;
    case 'n': return 254;
    default: return 1;
  }
}

GrayImage* from_rows(const std::vector<std::string>& rows) {
  int32_t width = static_cast<int32_t>(rows[0].size());
  int32_t height = static_cast<int32_t>(rows.size());
  GrayImage* image = new_gray_image(width, height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      set_gray(image, x, y, value_of(rows[y][x]));
    }
  }
  return image;
}

std::vector<uint8_t> pixels_of(const GrayImage* image) {
  return std::vector<uint8_t>(image->pixels, image->pixels + image->width * image->height);
}

TEST(GrayImage, CreationRefusesWhatCannotBeAnImage) {
  struct Case {
    int32_t width, height;
    bool created;
  };
  const Case cases[] = {
      {1, 1, true},          {3, 2, true},          {0, 5, false},   {5, 0, false},
      {-3, 4, false},        {4, -3, false},        {-4, -4, false}, {INT32_MIN, -1, false},
      {65536, 65536, false},  // 2^32 bytes: one more than a 32-bit size holds
      {INT32_MAX, 3, false}, {70000, 70000, false},
  };
  for (const Case& c : cases) {
    GrayImage* image = new_gray_image(c.width, c.height);
    EXPECT_EQ(image != nullptr, c.created) << c.width << "x" << c.height;
    if (image != nullptr) {
      EXPECT_EQ(image->width, c.width);
      EXPECT_EQ(image->height, c.height);
      EXPECT_EQ(pixels_of(image), std::vector<uint8_t>(c.width * c.height, 0));
    }
    free_gray_image(image);
  }
  free_gray_image(nullptr);
}

TEST(GrayImage, AccessIsBoundsCheckedAndKeepsTheLowByte) {
  GrayImage* image = new_gray_image(3, 2);
  set_gray(image, 2, 1, 0x1FE);  // low byte 0xFE
  set_gray(image, 0, 0, 7);
  const int32_t outside[][2] = {{-1, 0}, {3, 0}, {0, -1}, {0, 2}, {INT32_MIN, INT32_MAX}};
  for (const auto& p : outside) {
    set_gray(image, p[0], p[1], 99);
    EXPECT_EQ(gray_at(image, p[0], p[1]), 0) << p[0] << "," << p[1];
  }
  EXPECT_EQ(pixels_of(image), (std::vector<uint8_t>{7, 0, 0, 0, 0, 0xFE}));
  EXPECT_EQ(gray_at(image, 2, 1), 0xFE);
  free_gray_image(image);
}

TEST(ErodeOnce, ChangesExactlyTheExpectedPixels) {
  struct Case {
    const char* name;
    std::vector<std::string> before;
    int passes;
    std::vector<std::string> after;
  };
  const Case cases[] = {
      {"all white stays",
       {"#####", "#####", "#####", "#####", "#####"},
       1,
       {"#####", "#####", "#####", "#####", "#####"}},
      {"centre, one pass: the cross",
       {"#####", "#####", "##.##", "#####", "#####"},
       1,
       {"#####", "##.##", "#...#", "##.##", "#####"}},
      {"centre, two passes: diagonals too, border kept",
       {"#####", "#####", "##.##", "#####", "#####"},
       2,
       {"#####", "#...#", "#...#", "#...#", "#####"}},
      {"black border pixel erodes inwards only",
       {"#####", "#####", ".####", "#####", "#####"},
       1,
       {"#####", "#####", "..###", "#####", "#####"}},
      // Done in place, row-major, the new 0 at (2, 1) would take (3, 1) along.
      {"decisions are taken on the source",
       {"#####", "#.###", "#####", "#####", "#####"},
       1,
       {"#####", "#..##", "#.###", "#####", "#####"}},
      {"only 0 erodes, only 255 is eroded",
       {"hhhh", "h#hh", "hhhh", "hhhh"},
       3,
       {"hhhh", "h#hh", "hhhh", "hhhh"}},
      {"near values are not 0 or 255",
       {"#####", "#n.##", "#o###", "##.o#", "#####"},
       1,
       {"#####", "#n..#", "#o.##", "#..o#", "#####"}},
      {"2 columns come back unchanged",
       {"#.", "##", "##", ".#", "##", "##", "##", "#.", "##", "##"},
       4,
       {"#.", "##", "##", ".#", "##", "##", "##", "#.", "##", "##"}},
      {"2 rows come back unchanged", {"#.########", "####.#####"}, 2, {"#.########", "####.#####"}},
      {"a single pixel", {"#"}, 1, {"#"}},
      {"3x3: only the centre can change", {"#.#", "###", "###"}, 1, {"#.#", "#.#", "###"}},
      {"a hundred passes end where the second did",
       {"#####", "#####", "##.##", "#####", "#####"},
       100,
       {"#####", "#...#", "#...#", "#...#", "#####"}},
      {"other values stop the front for good",
       {"#######", "#.#n###", "#######"},
       100,
       {"#######", "#..n###", "#######"}},
      {"the front runs along a corridor, one pixel a pass",
       {"##########", "#.########", "##########"},
       5,
       {"##########", "#......###", "##########"}},
  };
  for (const Case& c : cases) {
    GrayImage* current = from_rows(c.before);
    for (int k = 0; k < c.passes; ++k) {
      std::vector<uint8_t> source_before = pixels_of(current);
      GrayImage* next = erode_once(current);
      ASSERT_NE(next, nullptr) << c.name;
      EXPECT_EQ(pixels_of(current), source_before) << c.name << ": source modified";
      EXPECT_NE(next->pixels, current->pixels);
      EXPECT_EQ(next->width, current->width);
      EXPECT_EQ(next->height, current->height);
      free_gray_image(current);
      current = next;
    }
    GrayImage* expected = from_rows(c.after);
    EXPECT_EQ(pixels_of(current), pixels_of(expected)) << c.name;
    // All passes at once, in place, with every kernel set this CPU runs.
    for (size_t s = 0; s < kErodeKernelSetCount; ++s) {
      const ErodeKernelSet& set = kErodeKernelSets[s];
      if (!set.available()) continue;
      GrayImage* image = from_rows(c.before);
      EXPECT_TRUE(erode_passes_with(image, c.passes, set, c.passes, nullptr, nullptr));
      EXPECT_EQ(pixels_of(image), pixels_of(expected)) << c.name << ", " << set.name;
      free_gray_image(image);
    }
    free_gray_image(expected);
    free_gray_image(current);
  }
}

}  // namespace

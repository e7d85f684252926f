#pragma once
// Known pictures for the recorder's tests, and comparisons of recorded frames
// with screenshots.

#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "vantrel/testing/process.h"

namespace vantrel::testing {

// A picture of 60-pixel squares in colours that differ from square to square
// in both directions, so that a crop that is off in either direction, or by a
// factor, compares badly; written as PNG (through ffmpeg) to `path`.
inline void writePattern(const std::string& path, int width, int height) {
  std::string ppm = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int bx = x / 60, by = y / 60;
      ppm.push_back(static_cast<char>((bx * 71 + by * 13) % 200 + 40));
      ppm.push_back(static_cast<char>((by * 89 + bx * 7) % 200 + 40));
      ppm.push_back(static_cast<char>(((bx + by) % 2) * 150 + 50));
    }
  }
  const std::string ppmPath = path + ".ppm";
  std::ofstream(ppmPath, std::ios::binary) << ppm;
  const ProcessResult r = runProcess({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", ppmPath, path});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
}

// The mean absolute difference per channel of two RGB24 pictures of one size.
inline double meanDifference(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return 255;
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    sum += std::abs(static_cast<int>(static_cast<unsigned char>(a[i])) - static_cast<int>(static_cast<unsigned char>(b[i])));
  }
  return sum / static_cast<double>(a.size());
}

// The last frame of a video as RGB24.
inline std::string lastFrameRgb(const std::string& path) {
  const ProcessResult r = runProcess({"/usr/bin/ffmpeg", "-v", "error", "-sseof", "-0.5", "-i", path, "-update", "1",
                                      "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  return r.exitStatus == 0 ? r.out : std::string();
}

}  // namespace vantrel::testing

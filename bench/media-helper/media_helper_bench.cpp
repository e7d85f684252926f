// vantrel_media_helper_bench waveform | proxy [scratch dir]
//
// Runs the real program as a child (as the host does) and reports the median
// wall time of several runs, the real-time factor and the child's peak RSS,
// next to a baseline measured in the same run: the ffmpeg program doing the
// same decode (waveform) or the same decode-scale-encode (proxy).

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Run {
  double seconds = 0;
  long peakRssKiB = 0;
  int status = -1;
};

Run runChild(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  Run run;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) return run;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peakRssKiB = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

void makeFixture(const std::vector<std::string>& args, const std::string& path) {
  if (std::filesystem::exists(path)) return;
  std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-y", "-loglevel", "error"};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(path);
  std::printf("making %s ...\n", path.c_str());
  std::fflush(stdout);
  if (runChild(argv).status != 0) {
    std::fprintf(stderr, "ffmpeg failed for %s\n", path.c_str());
    std::exit(1);
  }
}

Run median(const std::vector<std::string>& argv, int runs) {
  std::vector<Run> all;
  for (int i = 0; i < runs; ++i) {
    all.push_back(runChild(argv));
    if (all.back().status != 0) {
      std::fprintf(stderr, "%s failed with status %d\n", argv[0].c_str(), all.back().status);
      std::exit(1);
    }
  }
  std::sort(all.begin(), all.end(), [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
  Run m = all[all.size() / 2];
  for (const Run& r : all) m.peakRssKiB = std::max(m.peakRssKiB, r.peakRssKiB);
  return m;
}

void report(const char* what, const Run& ours, const Run& base, double mediaSeconds) {
  std::printf("%s: ours %.2f s (%.0fx real time, peak RSS %.1f MiB) | ffmpeg %.2f s (%.0fx, %.1f MiB) | ratio %.2f\n",
              what, ours.seconds, mediaSeconds / ours.seconds, ours.peakRssKiB / 1024.0, base.seconds,
              mediaSeconds / base.seconds, base.peakRssKiB / 1024.0, ours.seconds / base.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const std::string dir = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string() + "/media_helper_bench";
  std::filesystem::create_directories(dir);
  const int runs = 3;
  if (mode == "waveform") {
    // A recording's sound: a tone with noise, 48 kHz stereo AAC, one hour.
    const double seconds = 3600;
    const std::string input = dir + "/hour.m4a";
    makeFixture({"-f", "lavfi", "-i", "sine=frequency=220:sample_rate=48000:duration=3600", "-ac", "2", "-c:a", "aac",
                 "-b:a", "96k"},
                input);
    const Run ours = median({MEDIA_HELPER_PATH, "extract-waveform", "--input-path", input, "--output-path",
                             dir + "/hour.waveform.json", "--source-fingerprint", "bench"},
                            runs);
    const Run base = median({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-i", input, "-ac", "1", "-ar",
                             "8000", "-f", "f32le", "-y", "/dev/null"},
                            runs);
    report("waveform of 60 min", ours, base, seconds);
    return 0;
  }
  if (mode == "proxy") {
    const double seconds = 20;
    const std::string input = dir + "/screen_1080p60.mp4";
    makeFixture({"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=60:duration=20", "-c:v", "libx264", "-preset",
                 "veryfast", "-b:v", "12M", "-pix_fmt", "yuv420p"},
                input);
    const Run ours = median({MEDIA_HELPER_PATH, "create-proxy", "--max-long-edge", "960", "--max-fps", "30",
                             "--keyframe-interval", "0.25", "--input-path", input, "--output-path",
                             dir + "/proxy.mp4"},
                            runs);
    const Run base = median({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-i", input, "-vf",
                             "fps=30,scale=960:540", "-c:v", "libx264", "-preset", "ultrafast", "-g", "8", "-bf", "0",
                             "-b:v", "2M", "-an", "-f", "mp4", "-y", "/dev/null"},
                            runs);
    report("proxy 1080p60 -> 960 px 30 fps", ours, base, seconds);
    return 0;
  }
  std::fprintf(stderr, "usage: vantrel_media_helper_bench waveform | proxy [scratch dir]\n");
  return 1;
}

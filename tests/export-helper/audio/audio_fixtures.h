#pragma once
// Sound files made on demand with the ffmpeg program (sines of a different
// frequency per source, so where each one landed can be read back), a manifest
// to edit per test, an export through a real MP4 writer, and measurements of the
// decoded result.

#include "audio/audio_pipeline.h"

#include <string>
#include <vector>

namespace vantrel::exporter::test {

inline constexpr int kRate = 48000;

std::string scratchPath(const std::string& name);
// `name` made once per process from lavfi input `source` and extra ffmpeg args.
std::string fixture(const std::string& name, const std::string& lavfiSource, const std::vector<std::string>& args);
// Stereo AAC in .m4a: a sine of `hz` lasting `seconds`.
std::string aacSine(double hz, double seconds, int rate = kRate);
// 16-bit PCM WAV sine (audio that is not AAC).
std::string wavSine(double hz, double seconds, int rate);
// A 3 s recording (video and AAC) whose sound starts `offset` seconds after
// its picture, silent but for a loud 1 kHz beep at 1.5 s of the recording.
std::string lateSoundRecording(double offset);
// An MP4 with a video track and no audio.
std::string videoOnly();

NativeVideoSegmentPlan segment(const std::string& id, std::int64_t sourceIndex, double sourceStart, double sourceEnd,
                               double outputStart, double outputEnd);
// Mix of the recording's sound at full level, no segments, `duration` seconds.
NativeExportManifestV1 manifest(double duration, std::vector<std::string> sources);

// Resolves, adds the input to a fresh writer, runs the audio writing task and
// finishes the file. Returns the MP4's path; errors of the task propagate.
std::string exportAudio(const NativeExportManifestV1& m, const std::string& name);
// The same with a pipeline given by the test.
std::string exportAudio(const NativeExportManifestV1& m, ResolvedAudioPipeline pipeline, const std::string& name);

// The first audio track decoded to mono float at kRate, from time 0 of the file.
std::vector<float> decodeMono(const std::string& path);
double rms(const std::vector<float>& s, double from, double to);
// Amplitude of the `hz` component over [from, to) (Goertzel), 0 for silence.
double toneLevel(const std::vector<float>& s, double hz, double from, double to);
// First time the `hz` tone reaches half of `level`, scanning 5 ms windows; -1 if never.
double toneOnset(const std::vector<float>& s, double hz, double level, double after = 0);
// Zero-crossing frequency over [from, to).
double frequency(const std::vector<float>& s, double from, double to);

}  // namespace vantrel::exporter::test

#pragma once
// Audio inputs of the PulseAudio server (or PipeWire's PulseAudio service).
// The server is found the way libpulse finds it; it is never spawned.
// Threads: each call runs its own main loop on the calling thread; calls from
// different threads do not share anything.

#include <chrono>
#include <string>
#include <vector>

namespace vantrel::desktop {

struct AudioInput {
  std::string id;     // the source name, stable across runs
  std::string label;  // the source description
  bool isDefault = false;
};

// Every source that is not the monitor of a sink, in the server's order.
// Throws DesktopError(AudioServerFailed) when no server answers within
// `timeout`.
std::vector<AudioInput> listAudioInputs(std::chrono::milliseconds timeout = std::chrono::seconds(3));

}  // namespace vantrel::desktop

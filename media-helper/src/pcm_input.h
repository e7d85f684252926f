#pragma once
// Decoded mono PCM of an audio track, with reader failures told as
// MediaHelperError(readerFailed). Internal to the helper's commands.

#include <optional>

#include "vantrel/media/readers.h"
#include "vantrel/mediahelper/errors.h"

namespace vantrel::mediahelper {

inline media::PcmSettings monoPcm(int sampleRate, int bitDepth, bool isFloat) {
  media::PcmSettings settings;
  settings.sampleRate = sampleRate;
  settings.channels = 1;
  settings.bitDepth = bitDepth;
  settings.isFloat = isFloat;
  settings.interleaved = true;
  return settings;
}

// The next buffer, or nothing at the end; a reader failure throws readerFailed.
inline std::optional<media::PcmBuffer> nextPcm(media::PcmReader& reader) {
  try {
    return reader.next();
  } catch (const media::MediaError& e) {
    throw makeError(MediaHelperErrorCode::readerFailed, e.text());
  }
}

// Throws readerFailed unless the reader read to the end.
inline void requireCompleted(const media::PcmReader& reader) {
  if (reader.status() == media::ReaderStatus::completed) return;
  const std::string text = reader.errorText();
  throw makeError(MediaHelperErrorCode::readerFailed, text.empty() ? "unknown error" : text);
}

}  // namespace vantrel::mediahelper
